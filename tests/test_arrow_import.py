"""Columns set from Arrow producers (pyarrow, polars, pandas), and other libraries' missing values
item by item."""

import os
import subprocess
import sys
import textwrap

import pytest

import kelvra

NO_WHEEL = "{} is not installed: it has no wheel for this interpreter (a free-threaded one, say)"


def need(module):
    if os.environ.get("KELVRA_SANITIZE"):
        # The leak-checking pass skips them (their imports leave objects behind); the second
        # pass of make sanitize runs this file without leak checking.
        pytest.skip(f"{module} is not imported while leaks are checked")
    return pytest.importorskip(module, reason=NO_WHEEL.format(module))


def cells(values):
    """The column set from values, read back as (type, repr) pairs."""
    df = kelvra.DataFrame()
    df["a"] = values
    return [(type(v), repr(v)) for v in df["a"]]


class CapsuleOnly:
    """A producer that offers nothing but the Arrow PyCapsule interface: no len(), no items."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__(requested_schema)


def test_values_of_other_libraries_are_exact():
    pa, pd, np = need("pyarrow"), need("pandas"), need("numpy")
    df = kelvra.DataFrame()
    df["a"] = pa.array([1, None, 3])
    df["b"] = pd.Series([1, None], dtype="Int64")
    df["c"] = pd.Series(["x", None])
    df["d"] = np.ma.masked_array([1, 2], [0, 1])
    assert [df[k] for k in "abcd"] == [[1, None, 3], [1, None], ["x", None], [1, None]]
    assert df.sum() == {"a": 4.0, "b": 1.0, "c": 0.0, "d": 1.0}


# Each: the pyarrow array (made from the module), read through Arrow; the same values as a list
# of pyarrow scalars go item by item, and must give the same cells.
ARRAYS = {
    "int8": lambda pa: pa.array([-128, None, 127], pa.int8()),
    "uint16": lambda pa: pa.array([0, 65535, None], pa.uint16()),
    "int32": lambda pa: pa.array([-(2**31), 2**31 - 1], pa.int32()),
    "uint64": lambda pa: pa.array([0, 2**63 - 1, None], pa.uint64()),
    "int64_sliced": lambda pa: pa.array([9, None, -(2**63), 2**63 - 1, None] * 30)[3:140],
    "float16": lambda pa: pa.array([1.5, None, -0.0], pa.float16()),
    "float32": lambda pa: pa.array([0.1, float("inf"), None], pa.float32()),
    "float64": lambda pa: pa.array([float("nan"), -0.0, 5e-324, None]),
    "bool_sliced": lambda pa: pa.array([True, None, False] * 50)[7:],
    "string": lambda pa: pa.array(["", "é", None, "a text longer than twelve"]),
    "large_string_sliced": lambda pa: pa.array(["a", None, "ü" * 20] * 40, pa.large_string())[5:],
    "string_view": lambda pa: pa.array(["x", None, "y" * 40] * 3000, pa.string_view())[1:],
    "dictionary": lambda pa: pa.array(["p", None, "q", "p" * 30]).dictionary_encode()[1:],
    "dictionary-int64": lambda pa: pa.DictionaryArray.from_arrays(
        pa.array([0, 1, None, 2, 1] * 2000, pa.int32()), pa.array([5, None, -(2**40)]))[7:],
    "dictionary-double-uint8": lambda pa: pa.DictionaryArray.from_arrays(
        pa.array([1, 0, 1] * 3000, pa.uint8()), pa.array([0.5, float("nan")])),
    "dictionary-strings": lambda pa: pa.DictionaryArray.from_arrays(
        pa.array([2, None, 0, 1] * 2000, pa.int16()),
        pa.array(["p", None, "a text longer than twelve"], pa.string_view()))[3:],
    "dictionary-chunked": lambda pa: pa.chunked_array(
        [pa.array(["x" * 20, "y", None] * 2000).dictionary_encode() for _ in range(3)]),
    "dense-union": lambda pa: pa.UnionArray.from_dense(
        pa.array([0, 1, 1, 0] * 2000, pa.int8()), pa.array([i // 2 for i in range(8000)], pa.int32()),
        [pa.array(list(range(4000))), pa.array(["s", None, "a text longer than twelve", "t"] * 1000)]
    )[5:],
    "sparse-union": lambda pa: pa.UnionArray.from_sparse(
        pa.array([1, 0, 2] * 3000, pa.int8()),
        [pa.array([1.5] * 9000), pa.array(["u" * 15, None, "v"] * 3000),
         pa.array([True, False, None] * 3000)]),
    "null": lambda pa: pa.nulls(5),
    "bool8": lambda pa: pa.ExtensionArray.from_storage(
        pa.bool8(), pa.array([1, 0, None, -3] * 2000, pa.int8()))[3:],
    "chunked": lambda pa: pa.chunked_array([[1, None], [], [3]]),
    # Many chunks of a few rows: plain numbers without missing values come in one piece, the rest
    # chunk by chunk.
    **{f"small-chunks-{t}": (lambda t: lambda pa: pa.chunked_array(
        [pa.array(c, getattr(pa, t)()) for c in ([0, 1], [1], [1, 0, 1]) * 200]))(t)
       for t in ("int16", "uint32", "uint64", "float16", "float64")},
    "small-chunks-bool": lambda pa: pa.chunked_array([[False, True], [True]] * 300),
    "small-chunks-missing": lambda pa: pa.chunked_array([[i, None] for i in range(600)]),
    "small-chunks-bool8": lambda pa: pa.chunked_array([pa.ExtensionArray.from_storage(
        pa.bool8(), pa.array([1, 0, -3], pa.int8()))] * 500),
}
# Types whose values are not cells: item by item, as their scalars' as_py() values.
ITEM_BY_ITEM = {
    "timestamp": lambda pa: pa.array([0, None], pa.timestamp("s")),
    "decimal": lambda pa: pa.array([1, None], pa.decimal128(5, 2)),
    "json-extension": lambda pa: pa.array(['{"a": 1}', None], pa.json_()),
}


@pytest.mark.parametrize("make", [*ARRAYS.values(), *ITEM_BY_ITEM.values()],
                         ids=[*ARRAYS, *ITEM_BY_ITEM])
def test_arrow_path_and_item_path_give_the_same_cells(make):
    pa = need("pyarrow")
    values = make(pa)
    expected = cells(list(values))
    assert cells(values) == expected
    if make in ARRAYS.values() and isinstance(values, pa.Array):
        assert cells(CapsuleOnly(values)) == expected


@pytest.mark.parametrize("mode", ["dense", "sparse"])
def test_mixed_column_round_trips_through_a_union(mode):
    pa = need("pyarrow")
    source = kelvra.DataFrame()
    source["m"] = [None, 1, 2.5, "x", True, "a text longer than twelve", None, -(2**63), False]
    children = [("int", pa.int64()), ("float", pa.float64()), ("str", pa.string_view()),
                ("bool", pa.bool_())]
    union = getattr(pa, mode + "_union")([pa.field(*c) for c in children], [0, 1, 2, 3])
    schema = pa.schema([("m", union)])

    class Requesting:
        def __arrow_c_stream__(self, requested_schema=None):
            return source.__arrow_c_stream__(schema.__arrow_c_schema__())

    column = pa.table(Requesting())["m"]
    assert column.type == union
    assert cells(column) == cells(source["m"])


def categorical_chunks(pl):
    dtype = pl.Categorical(pl.Categories.random())
    return pl.concat([pl.Series([None, f"c{i}", "v" * 20] * 6000, dtype=dtype) for i in range(3)],
                     rechunk=False)


def far_categories(pl):
    """A Categorical whose category ids start far past 0: its mapping holds many other texts."""
    texts = [f"other {i}" for i in range(40000)] + ["x", None, "y" * 20] * 6000
    return pl.Series(texts, dtype=pl.Categorical(pl.Categories.random()))[40000:]


SERIES = {
    "polars-str": lambda pl, pd: pl.Series(["a", None, "b" * 30], dtype=pl.String),
    "polars-uint8": lambda pl, pd: pl.Series([1, None], dtype=pl.UInt8),
    "polars-categorical": lambda pl, pd: pl.Series(["u", "v", None], dtype=pl.Categorical),
    # Categoricals of many rows are read from their category ids and the texts of those ids
    # (a mapping of their own: its ids start at 0).
    "polars-categorical-many": lambda pl, pd: pl.Series(
        ["u", None, "v" * 20, "w"] * 5000, dtype=pl.Categorical(pl.Categories.random())),
    "polars-categorical-chunks": lambda pl, pd: categorical_chunks(pl),
    "polars-categorical-far-ids": lambda pl, pd: far_categories(pl),
    "polars-enum-many": lambda pl, pd: pl.Series(["p", None, "q"] * 7000, dtype=pl.Enum(["q", "p"])),
    "polars-small-chunks": lambda pl, pd: pl.concat(
        [pl.Series([float(i), None, 2.5]) for i in range(500)], rechunk=False),
    "pandas-boolean": lambda pl, pd: pd.Series([True, None], dtype="boolean"),
    "pandas-object": lambda pl, pd: pd.Series([1, "x", 2.5], dtype=object),  # item by item
}


@pytest.mark.parametrize("make", SERIES.values(), ids=SERIES.keys())
def test_series_give_their_values(make):
    pl, pd = need("polars"), need("pandas")
    values = make(pl, pd)
    assert cells(values) == cells([None if v is pd.NA else v for v in values.to_list()])


@pytest.mark.parametrize("make, value, row", [
    (lambda pa: pa.array([1, None, 2**63], pa.uint64()), 2**63, 2),
    (lambda pa: pa.chunked_array([[1], [2**64 - 1]], pa.uint64()), 2**64 - 1, 1),
    (lambda pa: pa.DictionaryArray.from_arrays(pa.array([1, 0], pa.int8()),
                                               pa.array([7, 2**63], pa.uint64())), 2**63, 0),
], ids=["array", "chunked", "dictionary-values"])
def test_unsigned_value_above_int64_is_refused_and_table_kept(make, value, row):
    pa = need("pyarrow")
    df = kelvra.DataFrame()
    df["a"] = [7]
    with pytest.raises(RuntimeError) as raised:
        df["a"] = make(pa)
    assert str(raised.value) == (f"the integer {value} in row {row} (counting from 0) is outside "
                                 "the signed 64-bit range")
    assert df["a"] == [7]


def two_column_table():
    table = kelvra.DataFrame()
    table["x"], table["y"] = [1], [2]
    return table


TABLES = {
    "pyarrow-table": lambda pa, pd, pl: pa.table({"x": [1, 2, 3]}),
    "record-batch": lambda pa, pd, pl: pa.record_batch({"x": [1, 2, 3]}),
    "pandas-dataframe": lambda pa, pd, pl: pd.DataFrame({"x": [1, 2, 3]}),
    "polars-dataframe": lambda pa, pd, pl: pl.DataFrame({"x": [1, 2, 3]}),
    "pyarrow-table-of-two": lambda pa, pd, pl: pa.table({"x": [1], "y": [2]}),
    "kelvra-table-of-two": lambda pa, pd, pl: two_column_table(),
}


@pytest.mark.parametrize("make", TABLES.values(), ids=TABLES.keys())
def test_a_table_is_refused(make):
    values = make(need("pyarrow"), need("pandas"), need("polars"))
    df = kelvra.DataFrame()
    with pytest.raises(TypeError, match="set one column at a time"):
        df["a"] = values
    assert df.shape() == (0, 0)


def test_missing_markers_item_by_item():
    pa, pd, np = need("pyarrow"), need("pandas"), need("numpy")
    items = [pd.NA, pd.NaT, np.ma.masked, pa.scalar(None, pa.int64()), pa.scalar(2**40),
             pa.scalar("s"), pa.scalar(1.5, pa.float32()), pa.scalar([1, 2])]
    assert cells(items) == cells([None, None, None, None, 2**40, "s", 1.5, "[1, 2]"])


MALFORMED = {
    "dictionary-index": lambda pa: pa.DictionaryArray.from_arrays(
        pa.array([0, 5], pa.int32()), pa.array(["a"]), safe=False),
    "dictionary-uint64-index": lambda pa: pa.DictionaryArray.from_arrays(
        pa.array([0, 2**63], pa.uint64()), pa.array(["a"]), safe=False),
    "union-type-code": lambda pa: pa.UnionArray.from_buffers(
        pa.sparse_union([pa.field("i", pa.int64())]), 2, [None, pa.py_buffer(bytes([0, 7]))],
        children=[pa.array([1, 2])]),
}


@pytest.mark.parametrize("make", MALFORMED.values(), ids=MALFORMED.keys())
def test_array_not_laid_out_as_its_type_says_is_refused(make):
    pa = need("pyarrow")
    df = kelvra.DataFrame()
    with pytest.raises(ValueError, match="Cannot read the Arrow array"):
        df["a"] = make(pa)
    assert df.shape() == (0, 0)


# Arrays no library exports, each set as a column in a process of its own (a crash fails its case
# alone). `hs` is tests/arrow_structs.py, `keep` holds what the hand-made structs point to. Each
# gives the cells the column must get, or the exception and a part of its message.
HOSTILE = {
    **{f"view-data-buffer-{index}": (f"""
        a = pa.array(["x" * 20], pa.string_view())
        v = bytearray(a.buffers()[1].to_pybytes())
        struct.pack_into("<i", v, 8, {index})
        values = pa.Array.from_buffers(pa.string_view(), 1,
                                       [None, pa.py_buffer(bytes(v)), a.buffers()[2]])
        """, ("ValueError", "names a data buffer that the array does not have"))
       for index in (1, 2**31 - 3, 2**31 - 1, -1)},
    "utf8-null-data": ("""
        values = hs.Producer(keep, hs.schema(keep, "u"),
                             hs.array(keep, 3, [None, hs.offsets([0, 0, 0, 0]), None]))
        """, ["", "", ""]),
    "large-utf8-null-data": ("""
        values = hs.Producer(keep, hs.schema(keep, "U"), hs.array(
            keep, 3, [bytes([0b101]), hs.offsets([0, 0, 0, 0], 8), None], null_count=1))
        """, ["", None, ""]),
    "utf8-null-data-with-text": ("""
        values = hs.Producer(keep, hs.schema(keep, "u"),
                             hs.array(keep, 1, [None, hs.offsets([0, 2]), None]))
        """, ("ValueError", "values buffer is missing")),
    "view-null-data-buffer": ("""
        views = bytes(16 * 3)
        values = hs.Producer(keep, hs.schema(keep, "vu"), hs.array(
            keep, 3, [None, views, None, (0).to_bytes(8, "little")]))
        """, ["", "", ""]),
    "view-empty-data-buffer": ("""
        values = pa.Array.from_buffers(pa.string_view(), 2,
                                       [None, pa.py_buffer(bytes(32)), pa.py_buffer(b"")])
        """, ["", ""]),
    "view-negative-data-size": ("""
        values = hs.Producer(keep, hs.schema(keep, "vu"), hs.array(
            keep, 1, [None, bytes(16), b"x", (-5).to_bytes(8, "little", signed=True)]))
        """, ("ValueError", "negative size")),
    "large-utf8-offsets-near-int64-max": ("""
        values = hs.Producer(keep, hs.schema(keep, "U"), hs.array(
            keep, 2, [None, hs.offsets([0, 1, 2**63 - 1], 8), b"x"]))
        """, ("ValueError", "longer than the 2 GiB")),
    "offset-and-length-past-64-bits": ("""
        values = hs.Producer(keep, hs.schema(keep, "l"),
                             hs.array(keep, 2**62, [None, bytes(8)], offset=2**62))
        """, ("ValueError", "reach past what 64 bits address")),
    "union-nested-60000-deep": ("""
        inner = hs.schema(keep, "l")
        for _ in range(60000):
            inner = hs.schema(keep, "+us:0", [inner])
        values = hs.Producer(keep, inner, hs.array(keep, 0, [None]))
        """, ("ValueError", "nests more than 64 levels deep")),
}


@pytest.mark.parametrize("case", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_array_is_read_or_refused_without_a_crash(case):
    need("pyarrow")
    code, expected = case
    script = "\n".join([
        "import struct, sys",
        f"sys.path.insert(0, {os.path.dirname(__file__)!r})",
        "import pyarrow as pa, kelvra, arrow_structs as hs",
        "keep = hs.Keep()",
        textwrap.dedent(code),
        "df = kelvra.DataFrame()",
        "try:",
        "    df['c'] = values",
        "    print(repr(df['c']))",
        "except Exception as e:",
        "    print(repr((type(e).__name__, str(e))))",
    ])
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=os.environ, timeout=120)
    assert done.returncode == 0, done.stderr
    got = eval(done.stdout)
    if isinstance(expected, tuple):
        assert got[0] == expected[0] and expected[1] in got[1], got
    else:
        assert got == expected
