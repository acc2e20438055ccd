import math
import os
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelvra

# (field text, cell): a field is a number only when all of it, blanks and tabs aside, is one.
INFERENCE = [
    # Sign and digits: an int64 when in range.
    ("42", 42), ("+7", 7), ("0012", 12), (" 12", 12), ("\t-3 ", -3), ("-0", 0),
    ("123456789012345678", 123456789012345678), ("9223372036854775807", 2**63 - 1),
    ("-9223372036854775808", -(2**63)), ("9223372036854775808", "9223372036854775808"),
    # A '.' and/or an exponent: a double unless out of range.
    ("3.14", 3.14), (".5", 0.5), ("1.", 1.0), ("-.5", -0.5), ("1.5e3", 1500.0), ("1e5", 1e5),
    ("1e+06", 1e6), ("2E-3", 0.002), ("-0.0", -0.0), ("5e-324", 5e-324), (" 4.5\t", 4.5),
    ("1.0e999", "1.0e999"), ("1e-400", "1e-400"),
    # Anything else stays text.
    ("12abc", "12abc"), ("2024-01-05", "2024-01-05"), ("1.2.3", "1.2.3"), ("0x1A", "0x1A"),
    ("1_000", "1_000"), ("1 2", "1 2"), ("inf", "inf"), ("nan", "nan"), ("true", "true"),
    (".", "."), ("-", "-"), ("+-5", "+-5"), ("1e", "1e"), ("e5", "e5"), ("  ", "  "),
    # Quoting does not change inference; empty is missing.
    ('"42"', 42), ('" 7.5 "', 7.5), ("", None), ('""', None),
]  # fmt: skip


@pytest.mark.parametrize(("text", "cell"), INFERENCE, ids=[repr(t) for t, _ in INFERENCE])
def test_cell_inference(read_bytes, text, cell):
    _, cells = read_bytes(b"v,w\n" + text.encode() + b",end\n")
    # repr tells 1 from 1.0 and -0.0 from 0.0.
    assert repr(cells["v"]) == repr([cell])


# Texts at the edges of the short integer path (one digit, signs, 8 and 16 digits, leading zeros,
# the 19-20 digit overflow), decimals of 16 bytes with the '.' at either end and past the eighth
# byte, and every inference case, read inside a run of an int column, of a
# double column and of columns that mix types with and without text: the same cells as a field
# read alone.
RUN_EDGES = INFERENCE + [
    ("9", 9), ("+9", 9), ("-9", -9), ("x", "x"), ("12345678", 12345678), ("-123456789", -123456789),
    ("1234567890123456", 1234567890123456), ("+0000000000000009", 9),
    ("-12345678901234567", -12345678901234567), ("-9223372036854775809", "-9223372036854775809"),
    ("99999999999999999999", "99999999999999999999"), ("12345678.5", 12345678.5), ("1e3", 1000.0),
    ("123456789012345.", 123456789012345.0), ("-.000000000000001", -1e-15),
    ("+1234567890.12345", 1234567890.12345),
]  # fmt: skip


@pytest.mark.parametrize(("text", "cell"), RUN_EDGES, ids=[repr(t) for t, _ in RUN_EDGES])
def test_cell_inference_within_runs(read_bytes, text, cell):
    rows = f"i,d,m,n\n1,1.5,1,1\n2,2.5,x,2.5\n{text},{text},{text},{text}\n3,3.5,4,4\n"
    _, cells = read_bytes(rows.encode())
    assert repr([cells[c][2] for c in "idmn"]) == repr([cell] * 4)


BOM = b"\xef\xbb\xbf"

STRUCTURE = {
    "quoted_commas_quotes": (b'a,b\n"x,y","a ""b"""\n', {"a": ["x,y"], "b": ['a "b"']}),
    "quoted_eols": (b'a,b\n"l1\nl2","c\r\nd"\n3,4\n', {"a": ["l1\nl2", 3], "b": ["c\r\nd", 4]}),
    "quote_inside_unquoted": (b'a,b\nab"c,d""\n', {"a": ['ab"c'], "b": ['d""']}),
    "quoted_empty_is_missing": (b'a,b\n"",1\n', {"a": [None], "b": [1]}),
    "trailing_comma": (b"a,b\n1,\n", {"a": [1], "b": [None]}),
    "only_comma": (b"a,b\n,\n", {"a": [None], "b": [None]}),
    "leading_comma": (b"a,b\n,y\n", {"a": [None], "b": ["y"]}),
    "short_rows_padded": (b"a,b,c\n1\n2,3\n", {"a": [1, 2], "b": [None, 3], "c": [None, None]}),
    "short_row_in_mixed_column": (b"a,b\n1,1\n2,x\n3\n", {"a": [1, 2, 3], "b": [1, "x", None]}),
    "empty_lines_skipped": (b"a\n1\n\n\r\n2\n\n", {"a": [1, 2]}),
    "crlf": (b"a,b\r\n1,x\r\n", {"a": [1], "b": ["x"]}),
    "no_final_line_end": (b"a,b\n1,2", {"a": [1], "b": [2]}),
    "trailing_comma_at_end": (b"a,b\n1,", {"a": [1], "b": [None]}),
    "quoted_field_at_end": (b'a\n"x"', {"a": ["x"]}),
    "mixed_types_in_column": (b"a\n1\nx\n2.5\n", {"a": [1, "x", 2.5]}),
    "bom_dropped": (BOM + b"a,b\n1,2\n", {"a": [1], "b": [2]}),
    "header_blanks_kept": (b"a, b\n1,2\n", {"a": [1], " b": [2]}),
    "empty_and_quoted_names": (b',"x,y"\n1,2\n', {"": [1], "x,y": [2]}),
    "header_trailing_comma": (b"a,\n1,2\n", {"a": [1], "": [2]}),
    "one_column_quoted_empty": (b'a\n""\n1\n', {"a": [None, 1]}),
    "header_only": (b"a,b\n", {"a": [], "b": []}),
    "empty_file": (b"", {}),
    "bom_only": (BOM, {}),
}


@pytest.mark.parametrize(("data", "expected"), STRUCTURE.values(), ids=STRUCTURE.keys())
def test_structure(read_bytes, data, expected):
    shape, cells = read_bytes(data)
    assert repr(cells) == repr(expected)
    rows = max((len(v) for v in expected.values()), default=0)
    assert shape == (rows, len(expected))


@pytest.mark.parametrize(
    ("header", "names"),
    [
        (b"a,a,b,b,b", ["a", "a.1", "b", "b.1", "b.2"]),
        (b"a,a,a.1", ["a", "a.2", "a.1"]),
        (b"a,a,a.1,a,a.3,a.1,a.1.1", ["a", "a.2", "a.1", "a.4", "a.3", "a.1.2", "a.1.1"]),
        (b",,", ["", ".1", ".2"]),
    ],
)
def test_duplicate_names_renamed(read_bytes, header, names):
    row = ",".join(str(i) for i in range(len(names))).encode()
    shape, cells = read_bytes(header + b"\n" + row + b"\n")
    assert list(cells) == names
    assert [v for (v,) in cells.values()] == list(range(len(names)))
    assert shape == (1, len(names))


ERRORS = {
    "too_many_fields": (b"a,b\n1,2\n1,2,3\n", 3, "expected 2 fields, found 3"),
    "one_column": (b"a\n1,\n", 2, "expected 1 field, found 2"),
    "lines_count_empty_lines": (b"a,b\n\n\r\n1,2,3\n", 4, "expected 2 fields, found 3"),
    "lines_count_quoted_line_ends": (b'a,b\n"x\ny",1\n1,2,3\n', 4, "expected 2 fields, found 3"),
    "text_after_closing_quote": (b'a\n"x"y\n', 2, "unexpected text after a closing quote"),
    "blank_after_closing_quote": (b'a,b\n"x" ,1\n', 2, "unexpected text after a closing quote"),
    "text_after_multiline_quote": (b'a\n"x\ny"z\n', 3, "unexpected text after a closing quote"),
    "unterminated_quote": (b'a,b\n1,2\n"abc\n1,2\n', 3, "unterminated quoted field"),
    "unterminated_after_pair": (b'a\n"x""', 2, "unterminated quoted field"),
}


@pytest.mark.parametrize(("data", "line", "message"), ERRORS.values(), ids=ERRORS.keys())
def test_malformed_file_names_file_and_line(read_bytes, csv_path, data, line, message):
    with pytest.raises(ValueError) as raised:
        read_bytes(data)
    assert str(raised.value) == f"{csv_path}: line {line}: {message}"


def check_read(read_bytes, csv_path, data, expected):
    """expected: {name: cells}, or the "line N: message" the read must fail with."""
    if isinstance(expected, str):
        with pytest.raises(ValueError) as raised:
            read_bytes(data)
        assert str(raised.value) == f"{csv_path}: {expected}"
    else:
        test_structure(read_bytes, data, expected)


# The header is the first line that is not empty; line numbers still count the lines before it.
LEADING_EMPTY_LINES = {
    "skipped": (b"\n\r\n\ra,b\n1,2\n", {"a": [1], "b": [2]}),
    "empty_first_line": (b"\n1,2\n", {"1": [], "2": []}),
    "crlf_empty_first_line": (b"\r\n1\r\n", {"1": []}),
    "after_bom": (BOM + b"\n\na\n1\n", {"a": [1]}),
    "quoted_empty_is_a_name": (b'\n""\n1\n', {"": [1]}),
    "only_empty_lines": (b"\n\r\n\r\n", {}),
    "lines_counted": (b"\n\na\n1\n1,2\n", "line 5: expected 1 field, found 2"),
}


@pytest.mark.parametrize(("data", "expected"), LEADING_EMPTY_LINES.values(),
                         ids=LEADING_EMPTY_LINES.keys())
def test_header_is_first_line_not_empty(read_bytes, csv_path, data, expected):
    check_read(read_bytes, csv_path, data, expected)


# Outside quoted fields a lone CR ends a line as LF and CR LF do; inside one it is text.
LONE_CR = {
    "ends_lines": (b"a,b\r1,2\r", {"a": [1], "b": [2]}),
    "ends_unquoted_field": (b"a\nx\ry\n", {"a": ["x", "y"]}),
    "all_line_ends_mixed": (b"a\r1\n2\r\n3\r\r4", {"a": [1, 2, 3, 4]}),
    "text_in_quotes": (b'a\r"x\ry"\r"\r\n"\r', {"a": ["x\ry", "\r\n"]}),
    "after_closing_quote": (b'a\n"x"\r', {"a": ["x"]}),
    "after_closing_quote_then_row": (b'a,b\r"x",1\r2,"y"\r', {"a": ["x", 2], "b": [1, "y"]}),
    "lines_counted": (b"a\r1\r\r1,2\r", "line 4: expected 1 field, found 2"),
    "lines_counted_in_quotes": (b'a,b\r"x\ry",1\r1,2,3\r', "line 4: expected 2 fields, found 3"),
}


@pytest.mark.parametrize(("data", "expected"), LONE_CR.values(), ids=LONE_CR.keys())
def test_lone_cr_ends_line(read_bytes, csv_path, data, expected):
    check_read(read_bytes, csv_path, data, expected)


@pytest.mark.parametrize("kind", ["missing", "directory"])
def test_open_errors(tmp_path, kind):
    path = tmp_path / "missing.csv" if kind == "missing" else tmp_path
    with pytest.raises(RuntimeError, match=r"^Cannot open file: " + str(path) + "$"):
        kelvra.read_csv(str(path))


def test_read_error_is_reported():
    # Opens fine, then every read fails (address 0 is never mapped).
    with pytest.raises(RuntimeError, match=r"^Error reading file: /proc/self/mem$"):
        kelvra.read_csv("/proc/self/mem")


@pytest.mark.parametrize("source", ["proc", "fifo"])
def test_files_without_a_size(tmp_path, source):
    # A /proc file says it is empty and a FIFO has no size: both are read to their end.
    if source == "proc":
        df = kelvra.read_csv("/proc/self/limits")
        assert df.columns()[0].startswith("Limit ") and df.shape() == (16, 1)
        return
    path = tmp_path / "pipe.csv"
    os.mkfifo(path)
    # Another process writes it: the reader holds the interpreter while it reads.
    write = "import sys; open(sys.argv[1], 'wb').write(b'a,b\\n' + b'1,x\\n' * 50_000)"
    writer = subprocess.Popen([sys.executable, "-c", write, str(path)])
    df = kelvra.read_csv(str(path))
    assert writer.wait() == 0
    assert df.shape() == (50_000, 2) and df["b"][-1] == "x"


# Another process cuts the file short or writes other records into it, over and over, while it
# is read: each read gives the rows it found or an error naming the file, never a crash.
CHANGER = r"""
import os, sys, time
path, change = sys.argv[1], sys.argv[2]
size = os.path.getsize(path)
stop = time.monotonic() + 0.8
with open(path, "r+b") as f:
    while time.monotonic() < stop:
        if change == "truncate":
            f.truncate(size // 3)
            f.truncate(size // 7)
        else:
            f.seek(size // 2)
            f.write(b'9,"a, b"\n1,2,3\n' * 1000)
        f.flush()
"""


@pytest.mark.parametrize("change", ["truncate", "rewrite"])
def test_file_changed_while_read(tmp_path, change):
    path = tmp_path / "changing.csv"
    rows = 500_000
    path.write_bytes(b"a,b\n" + b"12345,text\n" * rows)
    changer = subprocess.Popen([sys.executable, "-c", CHANGER, str(path), change])
    outcomes = set()
    try:
        time.sleep(0.05)
        while changer.poll() is None:
            try:
                df = kelvra.read_csv(str(path))
            except (ValueError, RuntimeError) as error:
                assert str(path) in str(error)
                outcomes.add("error")
            else:
                assert df.columns() == ["a", "b"] and df.shape()[0] <= rows
                outcomes.add("rows")
    finally:
        changer.wait()
    assert changer.returncode == 0 and outcomes


READ_BLOCK = 2 << 20  # the reader's block size; the tricky record below is cut by it
TRICKY = b'"a""b","c\nd"\r\n'


@pytest.mark.parametrize("cut", range(1, len(TRICKY)))
def test_record_cut_by_block_end(read_bytes, cut):
    # Fill with "1,2\n" rows and one "1,<digits>\n" row so the block ends `cut` bytes into TRICKY.
    head = b"a,b\n"
    fill = READ_BLOCK - cut - len(head)
    rows, rest = divmod(fill - 4, 4)
    data = head + b"1,2\n" * rows + b"1," + b"9" * (rest + 1) + b"\n" + TRICKY + b"3,x\n"
    assert data.index(TRICKY) + cut == READ_BLOCK
    shape, cells = read_bytes(data)
    assert shape == (rows + 3, 2)
    assert cells["a"][-3:] == [1, 'a"b', 3]
    assert cells["b"][-3:] == [int("9" * (rest + 1)), "c\nd", "x"]


# Columns whose cells change kind part-way through, at and around the rows the reader takes a
# run at a time, between every layout a column can have: missing, int, double, text, mixed.
KINDS = {"int": ("-17", -17), "double": ("2.5", 2.5), "text": ('"a,b"', "a,b"), "missing": ("", None)}
KIND_CHANGES = [("missing", "int", 1), ("int", "double", 1023), ("int", "text", 1024),
                ("text", "double", 1025), ("double", "int", 2048), ("missing", "text", 3000)]


@pytest.mark.parametrize(("before", "after", "at"), KIND_CHANGES)
def test_column_changes_kind_part_way(read_bytes, before, after, at):
    rows = 3100
    texts = [KINDS[before] if i < at else KINDS[after] for i in range(rows)]
    # Every 7th row of a second column is missing, every 5th of the first holds the other kind.
    lines = [f"{(KINDS[after] if i % 5 == 4 else t)[0]},{'' if i % 7 == 0 else i}"
             for i, t in enumerate(texts)]
    shape, cells = read_bytes(("a,b\n" + "\n".join(lines) + "\n").encode())
    assert shape == (rows, 2)
    assert cells["a"] == [(KINDS[after] if i % 5 == 4 else t)[1] for i, t in enumerate(texts)]
    assert cells["b"] == [None if i % 7 == 0 else i for i in range(rows)]


# Records whose quotes, CR LF pairs and lone CRs fall on every offset of the tokenizer's 64-byte
# blocks: a quote and what follows it, or a CR and an LF, may lie in different blocks.
QUOTING_AT_OFFSETS = b'"p""q","r\r\ns"\r\nu"v,"w"\r"y",z"\n"",""""\r'


@pytest.mark.parametrize("shift", range(65))
def test_quoting_across_block_boundaries(read_bytes, shift):
    shape, cells = read_bytes(b"a,b\n" + b"x" * shift + b",1\n" + QUOTING_AT_OFFSETS * 3)
    assert shape == (13, 2)
    assert cells["a"][1:5] == ['p"q', 'u"v', "y", None]
    assert cells["b"][1:5] == ["r\r\ns", "w", 'z"', '"']


# Records of the header's width are read and converted a run at a time. One record of another
# shape at any row of a run, or around its ends, must give the cells it gives alone: a short
# record, an empty line, a CR LF, quoted fields with "" pairs, text in the int column.
RUN_BREAKS = {
    "short": ("7", [7, None, None, None]),
    "empty line": ("\n8,8.5,t,8", [8, 8.5, "t", 8]),
    "crlf": ("9,9.5,t,9\r", [9, 9.5, "t", 9]),
    "quoted": ('"7","2.5","x""y",""""', [7, 2.5, 'x"y', '"']),
    "text": ('"q""r",1e3,"",-4', ['q"r', 1000.0, None, -4]),
}


@pytest.mark.parametrize("at", [0, 1, 2, 31, 63, 64, 65, 127, 128, 254, 255, 256, 257, 511, 512])
@pytest.mark.parametrize("kind", RUN_BREAKS)
def test_record_breaking_a_run(read_bytes, kind, at):
    rows = 600
    text, cells = RUN_BREAKS[kind]

    def row(i):
        return [i, i + 0.5, f"t{i}", i if i % 3 else "w"]

    lines = [text if i == at else ",".join(map(str, row(i))) for i in range(rows)]
    shape, got = read_bytes(("a,b,c,d\n" + "\n".join(lines) + "\n").encode())
    expected = [cells if i == at else row(i) for i in range(rows)]
    assert shape == (rows, 4)
    assert [list(r) for r in zip(*got.values())] == expected


def test_field_longer_than_block(read_bytes):
    long = "y" * (3 * READ_BLOCK)
    shape, cells = read_bytes(f'a,b\n1,"{long}"\n2,{long}\n3,z'.encode())
    assert shape == (3, 2)
    assert cells["b"] == [long, long, "z"]
    assert cells["a"] == [1, 2, 3]


# Decimal texts of every length and scale: the fast exact path and the general conversion must
# both round as correctly as Python's float() does.
DECIMAL_TEXTS = st.builds(
    lambda digits, point, exponent: (digits[:point] + "." + digits[point:]) + exponent,
    st.text("0123456789", min_size=1, max_size=25),
    st.integers(0, 25),
    st.sampled_from(["", "e0", "e5", "e-5", "e22", "e-22", "e23", "e-23", "e300", "e-300"]),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(DECIMAL_TEXTS | st.floats(allow_nan=False, allow_infinity=False).map(repr),
                min_size=1, max_size=50))
def test_doubles_correctly_rounded(tmp_path_factory, texts):
    path = tmp_path_factory.mktemp("doubles") / "d.csv"
    path.write_text("v\n" + "\n".join(texts) + "\n")
    got = kelvra.read_csv(str(path))["v"]
    for text, value in zip(texts, got):
        expected = float(text)
        if math.isinf(expected) or (expected == 0.0 and any(c in text.split("e")[0]
                                                             for c in "123456789")):
            assert value == text  # out of range: stays text
        elif "." not in text and "e" not in text:
            assert value == int(text)
        else:
            assert repr(value) == repr(expected), text
