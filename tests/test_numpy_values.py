"""numpy's numbers and arrays, and other buffers of plain numbers, as column values."""

import array
import decimal
import fractions
import math
import numbers
import os

import pytest

import kelvra

if os.environ.get("KELVRA_SANITIZE"):
    np = None
    NO_NUMPY = "numpy is not imported under make sanitize: LeakSanitizer reports its import's leaks"
else:
    try:
        import numpy as np
    except ImportError:  # numpy is pinned in requirements-dev.txt
        np = None
    NO_NUMPY = "numpy is not installed"

needs_numpy = pytest.mark.skipif(np is None, reason=NO_NUMPY)

CAST_ERROR = (
    "Unable to cast Python instance of type {} to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)


def cells(values):
    """The column set from values, read back, as (type, value) pairs; NaN and -0.0 kept apart."""
    df = kelvra.DataFrame()
    df["a"] = values
    return [(type(v), repr(v)) for v in df["a"]]


def python_cells(values):
    return [(type(v), repr(v)) for v in values]


# Per dtype: values spanning its range, and the Python type each becomes.
DTYPES = [
    ("int8", [-128, -1, 0, 127], int),
    ("uint8", [0, 1, 255], int),
    ("int16", [-(2**15), 7, 2**15 - 1], int),
    ("uint16", [0, 2**16 - 1], int),
    ("int32", [-(2**31), 0, 2**31 - 1], int),
    ("uint32", [0, 2**32 - 1], int),
    ("int64", [-(2**63), -1, 2**63 - 1], int),
    ("uint64", [0, 2**63 - 1], int),
    ("float16", [1.5, -0.0, 65504.0, 2.0**-24, float("inf"), float("-inf"), float("nan")], float),
    ("float32", [1.5, -0.0, 3.4e38, 1e-45, float("inf"), float("nan")], float),
    ("float64", [0.1, -0.0, 5e-324, float("-inf"), float("nan")], float),
    ("bool", [True, False, True], bool),
]


@needs_numpy
@pytest.mark.parametrize("dtype,values,kind", DTYPES, ids=[d[0] for d in DTYPES])
def test_numpy_scalars_and_arrays_give_the_same_cells(dtype, values, kind):
    arr = np.array(values, dtype=dtype)
    expected = python_cells([kind(x.item()) for x in arr])
    swapped = arr.astype(arr.dtype.newbyteorder())  # not the machine's byte order
    strided = np.repeat(arr, 2)[::2]
    for source in (arr, list(arr), tuple(arr), swapped, strided, memoryview(arr)):
        assert cells(source) == expected, type(source)


@needs_numpy
@pytest.mark.parametrize(
    "make,type_text",
    [
        pytest.param(lambda a: a, "<class 'numpy.uint64'>", id="array"),
        pytest.param(list, "<class 'numpy.uint64'>", id="scalars"),
        pytest.param(memoryview, "<class 'int'>", id="memoryview"),
        pytest.param(lambda a: array.array("Q", a.tolist()), "<class 'int'>", id="array.array"),
    ],
)
def test_uint64_above_int64_fails_like_an_int(make_df, make, type_text):
    df = make_df(c=[1])
    with pytest.raises(RuntimeError) as err:
        df["c"] = make(np.array([5, 2**63, 2**64 - 1], dtype=np.uint64))
    assert str(err.value) == CAST_ERROR.format(type_text)
    assert df["c"] == [1]


@pytest.mark.parametrize(
    "values,expected",
    [
        (array.array("q", [-(2**63), 5]), [-(2**63), 5]),
        (array.array("B", [0, 255]), [0, 255]),
        (array.array("d", [2.5, -0.0]), [2.5, -0.0]),
        (array.array("f", [0.5]), [0.5]),
        (memoryview(array.array("i", [1, -2])), [1, -2]),
        (memoryview(b"ab"), [97, 98]),
        (memoryview(b"\x00\x02").cast("?"), [False, True]),
        (memoryview(array.array("h", [1, 2, 3, 4]))[::2], [1, 3]),
        (memoryview(b"abcd").cast("c"), ["b'a'", "b'b'", "b'c'", "b'd'"]),
        (bytearray(b"\x00\xff"), [0, 255]),
    ],
)
def test_other_buffers(values, expected):
    assert cells(values) == python_cells(expected)


def test_two_dimensional_memoryview_fails_as_a_sequence():
    df = kelvra.DataFrame()
    with pytest.raises(NotImplementedError):
        df["a"] = memoryview(bytes(4)).cast("B", (2, 2))


class Whole:
    """An integral number of the caller's own, known only through the numbers ABC."""

    def __index__(self):
        return 42


numbers.Integral.register(Whole)


class Measure:
    """A real number that is not rational: its float() is its cell."""

    def __float__(self):
        return 0.25

    def __str__(self):
        return "measure"


numbers.Real.register(Measure)


def numpy_values():
    if np is None:
        return []
    return [
        (np.longdouble(0.5), 0.5),
        (np.str_("text"), "text"),
        (np.bytes_(b"a"), "b'a'"),
        (np.complex64(1 + 2j), str(np.complex64(1 + 2j))),
        (np.datetime64("2024-01-05"), "2024-01-05"),
        (np.float64(2.5), 2.5),
        (np.array(7), "7"),  # an array, not a numpy scalar
        (np.array([1, 2]), "[1 2]"),
    ]


@pytest.mark.parametrize(
    "value,expected",
    [
        (Whole(), 42),
        (Measure(), 0.25),
        (decimal.Decimal("1.50"), "1.50"),
        (fractions.Fraction(1, 3), "1/3"),
        (b"ab", "b'ab'"),
        *numpy_values(),
    ],
    ids=lambda v: type(v).__name__,
)
def test_numbers_by_kind_and_the_rest_as_text(value, expected):
    assert cells([value]) == python_cells([expected])


@needs_numpy
def test_two_dimensional_array_gives_the_text_of_each_row():
    arr = np.arange(4).reshape(2, 2)
    assert cells(arr) == python_cells([str(row) for row in arr])


@needs_numpy
@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array([1, "x", None, 2.5, True], dtype=object),
        lambda: [np.int8(1), "x", None, np.float32(2.5), np.True_],
    ],
    ids=["object-array", "mixed-list"],
)
def test_mixed_numpy_items(make):
    assert cells(make()) == python_cells([1, "x", None, 2.5, True])


@needs_numpy
def test_masked_array_items_stay_its_own():
    values = np.ma.masked_array([1, 2, 3], mask=[0, 1, 0])
    assert cells(values) == python_cells([1, None, 3])


@needs_numpy
def test_numpy_columns_add_up():
    df = kelvra.DataFrame()
    df["a"] = np.arange(3)
    df["c"] = np.array([True, False])
    df["f"] = np.array([1.5], np.float32)
    assert (df["a"], df["c"], df["f"]) == ([0, 1, 2], [True, False], [1.5])
    assert df.sum() == {"a": 3.0, "c": 1.0, "f": 1.5}
    df["e"] = np.array([], dtype=np.int64)
    assert df["e"] == []
    assert df.shape() == (3, 4)
