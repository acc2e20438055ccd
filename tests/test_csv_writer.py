import math
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvra


def make_table(columns):
    df = kelvra.DataFrame()
    for name, values in columns.items():
        df[name] = values
    return df


@pytest.fixture
def write(csv_path):
    """Writes a table built from {name: values}; returns the file's bytes."""

    def run(columns):
        make_table(columns).to_csv(str(csv_path))
        return csv_path.read_bytes()

    return run


TABLES = {
    "no_columns": ({}, b"\n"),
    "no_rows": ({"a": [], "b": []}, b"a,b\n"),
    "ints_and_doubles": ({"a": [1, 2], "b": [0.5, 2.0]}, b"a,b\n1,0.5\n2,2.0\n"),
    "int64_limits": ({"a": [-(2**63), 2**63 - 1]}, b"a\n-9223372036854775808\n%d\n" % (2**63 - 1)),
    "booleans_as_digits": ({"f": [True, False]}, b"f\n1\n0\n"),
    "missing_in_middle": ({"a": [1], "b": [None], "c": [3]}, b"a,b,c\n1,,3\n"),
    "missing_last": ({"a": [1], "b": [None]}, b"a,b\n1,\n"),
    "short_column": ({"a": [1, 2, 3], "b": [7]}, b"a,b\n1,7\n2,\n3,\n"),
    "mixed_cells": ({"m": [1, 2.5, "x", True, None]}, b'm\n1\n2.5\nx\n1\n""\n'),
    "quoting": (
        {"x,y": ["a,b", 'say "hi"', "l1\nl2", "c\rr", "plain", '"'], 'q"': [1, 2, 3, 4, 5, 6]},
        b'"x,y","q"""\n"a,b",1\n"say ""hi""",2\n"l1\nl2",3\n"c\rr",4\nplain,5\n"""",6\n',
    ),
    "one_column_empty_cells": ({"a": [None, "", "x"]}, b'a\n""\n""\nx\n'),
    "one_column_empty_name": ({"": [1]}, b'""\n1\n'),
    "empty_names_among_others": ({"": [""], "b": [None]}, b",b\n,\n"),
    "bom_name_quoted": ({"\ufeffa": [1], "\ufeffb": [2]}, '"\ufeffa",\ufeffb\n1,2\n'.encode()),
    "utf8_text": ({"ville": ["Zürich"]}, "ville\nZürich\n".encode()),
    # Fields are checked sixteen bytes at a time, up to the end of the column's text.
    "special_byte_past_sixteen": (
        {"t": ["abcdefghijklmnopq,r", 'abcdefghijklmnopqrstu"', "x\r"]},
        b't\n"abcdefghijklmnopq,r"\n"abcdefghijklmnopqrstu"""\n"x\r"\n',
    ),
}


@pytest.mark.parametrize(("columns", "expected"), TABLES.values(), ids=TABLES.keys())
def test_bytes_written(write, columns, expected):
    assert write(columns) == expected


DOUBLES = [
    (2.0, "2.0"),
    (3.14159265, "3.14159265"),
    (0.1 + 0.2, "0.30000000000000004"),
    (-0.0, "-0.0"),
    (1e6, "1e+06"),
    (1e5, "1e+05"),
    (123456.7, "123456.7"),
    (1e-05, "1e-05"),
    (1e16, "1e+16"),
    (-1.5e300, "-1.5e+300"),
    (5e-324, "5e-324"),
    (math.inf, "inf"),
    (-math.inf, "-inf"),
    (math.nan, "nan"),
    (-math.nan, "nan"),
]


@pytest.mark.parametrize(("value", "text"), DOUBLES, ids=[t for _, t in DOUBLES])
def test_double_text(write, value, text):
    assert write({"d": [value]}) == f"d\n{text}\n".encode()


def test_existing_file_replaced(write, csv_path):
    csv_path.write_bytes(b"x" * 10000)
    assert write({"a": [1]}) == b"a\n1\n"


def replaced_file(tmp_path, case):
    """Prepares the case's target; returns (path to write, file that must get the table, the
    mode bits it must have or None, the names the folder must hold afterwards)."""
    old = tmp_path / "old.csv"
    if case == "new_file":
        umask = os.umask(0o022)
        os.umask(umask)
        return old, old, 0o666 & ~umask, ["old.csv"]
    old.write_bytes(b"x\n" * 1000)
    if case == "existing_file_keeps_its_mode":
        old.chmod(0o640)
        return old, old, 0o640, ["old.csv"]
    if case == "symlink_is_followed":
        old.chmod(0o604)
        (tmp_path / "link.csv").symlink_to("old.csv")
        return tmp_path / "link.csv", old, 0o604, ["link.csv", "old.csv"]
    # No temporary file fits beside a name this long, so the file is written in place.
    assert case == "written_in_place"
    long = tmp_path / ("n" * 250)
    long.write_bytes(b"x\n" * 1000)
    return long, long, None, ["n" * 250, "old.csv"]


@pytest.mark.parametrize(
    "case", ["new_file", "existing_file_keeps_its_mode", "symlink_is_followed", "written_in_place"]
)
def test_file_replaced_whole(tmp_path, case):
    path, written, mode, names = replaced_file(tmp_path, case)
    make_table({"a": [1]}).to_csv(str(path))
    assert written.read_bytes() == b"a\n1\n"
    if mode is not None:
        assert written.stat().st_mode & 0o7777 == mode
    assert sorted(os.listdir(tmp_path)) == names  # no temporary file left behind
    assert os.path.islink(tmp_path / "link.csv") == (case == "symlink_is_followed")


def test_device_written_in_place():
    make_table({"a": [1]}).to_csv("/dev/null")
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")


@pytest.mark.parametrize("target", ["no/such/dir/out.csv", "."])
def test_open_error(tmp_path, target):
    path = str(tmp_path / target)
    with pytest.raises(RuntimeError, match=r"^Cannot open file for writing: " + path + "$"):
        make_table({"a": [1]}).to_csv(path)


@pytest.mark.parametrize("rows", [1, 200_000])  # the error surfaces at the end or mid-write
def test_write_error_reported(rows):
    with pytest.raises(RuntimeError, match=r"^Error writing file: /dev/full$"):
        make_table({"a": list(range(rows))}).to_csv("/dev/full")


def reads_as_number(text):
    # Python's float() accepts every numeric form the reader does, and more: a superset is safe.
    try:
        float(text)
    except ValueError:
        return False
    return True


cells = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text().filter(lambda s: not reads_as_number(s)),
)


@st.composite
def tables(draw):
    names = draw(st.lists(st.text(), min_size=1, max_size=4, unique=True))
    return {name: draw(st.lists(cells, max_size=5)) for name in names}


def read_back_form(cell):
    if isinstance(cell, bool):
        return int(cell)
    if cell == "":
        return None
    return cell


@settings(max_examples=150, deadline=None)
@given(tables())
def test_round_trip(tmp_path_factory, columns):
    path = str(tmp_path_factory.mktemp("round") / "t.csv")
    make_table(columns).to_csv(path)
    df = kelvra.read_csv(path)

    rows = max(len(values) for values in columns.values())
    assert df.shape() == (rows, len(columns))
    assert df.columns() == list(columns)
    for name, values in columns.items():
        expected = [read_back_form(c) for c in values] + [None] * (rows - len(values))
        # repr keeps types apart (1 vs 1.0) and the sign of -0.0.
        assert repr(df[name]) == repr(expected)
