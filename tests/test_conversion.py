"""Moving values between Python objects and cells."""

import collections
import enum
import math

import pytest

import kelvra


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    def __str__(self):
        return "not used"


class Color(enum.IntEnum):
    RED = 7


class Custom:
    def __str__(self):
        return "custom!"


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class SurrogateStr:
    def __str__(self):
        return "\udc80"


class BackwardsList(list):
    def __iter__(self):
        return reversed(list(super().__iter__()))


class Emptier:
    """Empties the list holding it when its text is asked for."""

    def __init__(self, victim):
        self.victim = victim

    def __str__(self):
        self.victim.clear()
        return "emptied"


@pytest.mark.parametrize(
    "value,expected,kind",
    [
        (None, None, type(None)),
        (True, True, bool),
        (False, False, bool),
        (0, 0, int),
        (2**63 - 1, 2**63 - 1, int),
        (-(2**63), -(2**63), int),
        (IntSub(5), 5, int),
        (Color.RED, 7, int),
        (2.5, 2.5, float),
        (2.0, 2.0, float),
        (-0.0, -0.0, float),
        (float("inf"), float("inf"), float),
        (FloatSub(1.5), 1.5, float),
        ("x", "x", str),
        ("", "", str),
        ("naïve ☃ \x00 end", "naïve ☃ \x00 end", str),
        (StrSub("own text"), "own text", str),
        (b"ab", "b'ab'", str),
        ([1, 2], "[1, 2]", str),
        ({"k": 1}, "{'k': 1}", str),
        (Custom(), "custom!", str),
        (1 + 2j, "(1+2j)", str),
    ],
)
def test_round_trip_of_one_value(value, expected, kind):
    df = kelvra.DataFrame()
    df["a"] = [value]
    [back] = df["a"]
    assert type(back) is kind
    assert back == expected
    if isinstance(expected, float):
        assert math.copysign(1, back) == math.copysign(1, expected)


def test_mixed_column_and_nan():
    df = kelvra.DataFrame()
    df["a"] = [1, 2.5, "x", True, None, [1, 2], float("nan")]
    got = df["a"]
    assert got[:6] == [1, 2.5, "x", True, None, "[1, 2]"]
    assert [type(v) for v in got[:4]] == [int, float, str, bool]
    assert isinstance(got[6], float) and got[6] != got[6]


@pytest.mark.parametrize(
    "values,expected",
    [
        ((1, 2), [1, 2]),
        (range(3), [0, 1, 2]),
        ((x * x for x in range(3)), [0, 1, 4]),
        (bytearray(b"ab"), [97, 98]),
        ({"k": 1}.keys(), ["k"]),
        ({"k": 1}.values(), [1]),
        ({"k": 1}.items(), ["('k', 1)"]),
        (map(str, [1, 2]), ["1", "2"]),
        (zip([1], [2]), ["(1, 2)"]),
        (frozenset([5]), [5]),
        ([], []),
        (BackwardsList([1, 2]), [2, 1]),
        (collections.deque([1, "x"]), [1, "x"]),
        (collections.namedtuple("P", "x y")(1, None), [1, None]),
    ],
)
def test_accepted_iterables(values, expected):
    df = kelvra.DataFrame()
    df["d"] = values
    assert df["d"] == expected
    assert df.columns() == ["d"]


@pytest.mark.parametrize("values", ["abc", b"ab", {"k": 1}, 5, None])
def test_refused_values(values):
    df = kelvra.DataFrame()
    df["d"] = [1]
    with pytest.raises(TypeError):
        df["d"] = values
    assert df["d"] == [1]


CAST_ERROR = (
    "Unable to cast Python instance of type {} to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)


@pytest.mark.parametrize(
    "bad,type_text",
    [
        (2**63, "<class 'int'>"),
        (-(2**63) - 1, "<class 'int'>"),
        (IntSub(2**70), "<class 'int'>"),
        ("\ud800", "<class 'str'>"),
        (SurrogateStr(), "<class 'str'>"),
    ],
)
def test_unconvertible_item_leaves_table_unchanged(make_df, bad, type_text):
    df = make_df(c=[1, 2, 3], other=["x"])
    with pytest.raises(RuntimeError) as err:
        df["c"] = [1, bad]
    if not isinstance(bad, IntSub):
        assert str(err.value) == CAST_ERROR.format(type_text)
    with pytest.raises(RuntimeError):
        df["new"] = [bad]
    assert df.columns() == ["c", "other"]
    assert df["c"] == [1, 2, 3]
    assert df.shape() == (3, 2)


def test_items_are_taken_as_they_were_when_the_call_began():
    values = [1, "x"]
    values += [Emptier(values), 2.5, None]
    df = kelvra.DataFrame()
    df["a"] = values
    assert df["a"] == [1, "x", "emptied", 2.5, None]
    assert values == []


def test_str_failure_propagates_unchanged(make_df):
    df = make_df(a=[1])
    with pytest.raises(ValueError, match="no text"):
        df["a"] = [BadStr()]
    assert df["a"] == [1]


def test_ragged_columns_and_row_count():
    df = kelvra.DataFrame()
    df["a"] = [1, 2, 3]
    df["b"] = [1]
    assert df.shape() == (3, 2)
    assert df["b"] == [1]
    df["a"] = [1]
    assert df.shape() == (1, 2)
    df["c"] = []
    assert df.shape() == (1, 3)
    df["b"] = range(5)
    assert df.shape() == (5, 3)


def test_replacing_keeps_order():
    df = kelvra.DataFrame()
    for name in ("x", "y", "z"):
        df[name] = [name]
    df["y"] = [1, 2]
    assert df.columns() == ["x", "y", "z"]
    assert df["y"] == [1, 2]


def test_names_are_bytes():
    df = kelvra.DataFrame()
    df[b"k"] = [1]
    df["k"] = [2]
    df[bytearray(b"k")] = [3]
    assert df.columns() == ["k"]
    assert df[b"k"] == [3]
    df["A"] = [1]
    df["a"] = [2]
    df[""] = [3]
    assert df.columns() == ["k", "A", "a", ""]
    assert df["nothing"] == []


def test_non_utf8_name_raises_on_columns():
    df = kelvra.DataFrame()
    df[b"\xff"] = [1]
    with pytest.raises(UnicodeDecodeError):
        df.columns()
    assert df.shape() == (1, 1)
    assert df[b"\xff"] == [1]


def test_getitem_returns_a_new_list(make_df):
    df = make_df(a=[1, 2])
    got = df["a"]
    got.append(3)
    assert df["a"] == [1, 2]


@pytest.mark.parametrize("second", ["b\xe9", "1"], ids=["strings", "mixed"])
def test_string_cell_not_utf8_names_column_and_row(tmp_path, second):
    path = tmp_path / "latin1.csv"
    path.write_bytes(f"t\nok\n{second}\ncaf\xe9\n".encode("latin-1"))
    df = kelvra.read_csv(str(path))
    row = 1 if second == "b\xe9" else 2
    with pytest.raises(UnicodeDecodeError, match=f"column 't' at row {row} "):
        df["t"]
