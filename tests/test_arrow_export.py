"""DataFrame.__arrow_c_stream__ as pyarrow, polars, pandas and DuckDB read it."""

import csv
import ctypes
import gc
import math
import os
import random

import pytest

import kelvra

NO_WHEEL = "{} is not installed: it has no wheel for this interpreter (a free-threaded one, say)"


def need(module):
    if "ASAN_OPTIONS" in os.environ:
        # Importing them leaves interpreter objects behind that LeakSanitizer reports as leaks;
        # test_stream_read_through_ctypes still runs the export under the sanitizer.
        pytest.skip(f"{module} is not imported under the sanitizer")
    return pytest.importorskip(module, reason=NO_WHEEL.format(module))


def table(**columns):
    df = kelvra.DataFrame()
    for name, values in columns.items():
        df[name] = values
    return df


def with_schema(df, schema):
    """What a consumer that asks for a schema sees: the object, passing that schema on."""

    class Requesting:
        def __arrow_c_stream__(self, requested_schema=None):
            return df.__arrow_c_stream__(schema.__arrow_c_schema__())

    return Requesting()


def read_pyarrow(df):
    t = need("pyarrow").table(df)
    return {f.name: str(f.type) for f in t.schema}, t.to_pydict()


def read_polars(df):
    frame = need("polars").DataFrame(df)
    return {k: str(v) for k, v in frame.schema.items()}, frame.to_dict(as_series=False)


def read_pandas(df):
    frame = need("pandas").DataFrame.from_arrow(df)
    return {k: str(v) for k, v in frame.dtypes.items()}, frame.to_dict("list")


def read_duckdb(df):
    relation = need("duckdb").sql("select * from df")
    columns = list(zip(*relation.fetchall())) or [()] * len(relation.columns)
    return dict(zip(relation.columns, map(str, relation.types))), dict(
        zip(relation.columns, map(list, columns))
    )


def read_to_pandas(df):
    frame = need("pyarrow").table(df).to_pandas()
    return {k: str(v) for k, v in frame.dtypes.items()}, frame.to_dict("list")


READERS = {
    "pyarrow": read_pyarrow,
    "polars": read_polars,
    "pandas": read_pandas,
    "duckdb": read_duckdb,
}
# Every consumer that a table is handed to as it is.
CONSUMERS = {**READERS, "pyarrow.to_pandas": read_to_pandas}

# Every column type, with missing cells, a column shorter than the table and one without a
# present cell. pandas turns an int column with missing cells into float64 and None into nan:
# its own convention, so it gets the table without missing cells.
CELLS = {
    "i": [1, None, -(2**63), 2**63 - 1],
    "f": [1.5, math.nan, -0.0, -math.inf],
    "b": [True, None, False, True],
    "s": ["x", None, "", "naïve café ☕"],
    "short": [7],
    "n": [None, None],
}
FULL = {
    "i": [1, -(2**63), 2**63 - 1],
    "f": [1.5, -0.0, math.inf],
    "b": [True, False, True],
    "s": ["x", "", "naïve café ☕"],
}
TYPES = {
    "pyarrow": {"i": "int64", "f": "double", "b": "bool", "s": "string_view", "short": "int64",
                "n": "null"},
    "polars": {"i": "Int64", "f": "Float64", "b": "Boolean", "s": "String", "short": "Int64",
               "n": "Null"},
    "pandas": {"i": "int64", "f": "float64", "b": "bool", "s": "str"},
    "duckdb": {"i": "BIGINT", "f": "DOUBLE", "b": "BOOLEAN", "s": "VARCHAR", "short": "BIGINT",
               "n": '"NULL"'},
}


def same_values(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if isinstance(w, float) and math.isnan(w):
            assert math.isnan(g)
        else:
            assert g == w and type(g) is type(w), (g, w)
            if isinstance(w, float):
                assert math.copysign(1.0, g) == math.copysign(1.0, w)


@pytest.mark.parametrize("consumer", READERS)
def test_every_column_type_exactly(consumer):
    cells = FULL if consumer == "pandas" else CELLS
    types, values = READERS[consumer](table(**cells))
    assert types == TYPES[consumer]
    rows = max(map(len, cells.values()))
    for name, want in cells.items():
        padded = want + [None] * (rows - len(want))  # a shorter column ends in nulls
        got = [x.item() if hasattr(x, "item") else x for x in values[name]]
        same_values(got, padded)


LONG = "a text of more than twelve bytes"  # in a byte buffer, not inline
MIXED = [1, "a", None, 2.5, True, -0.0, "é", LONG]


def csv_texts(df, name, tmp_path):
    """The column's cells as to_csv writes them (parsed back from the file), None where missing."""
    path = tmp_path / "column.csv"
    df.select([name]).to_csv(str(path))
    with open(path, newline="", encoding="utf-8") as f:
        texts = [row[0] for row in list(csv.reader(f))[1:]]
    texts += [None] * (df.shape()[0] - len(texts))  # a shorter column ends in nulls
    cells = df[name] + [None] * (len(texts) - len(df[name]))
    return [None if cell is None else text for cell, text in zip(cells, texts)]


def default_export(cells):
    """What a column of these cells becomes: its Arrow type and, for float64, its values."""
    kinds = {type(c) for c in cells if c is not None}
    if kinds <= {int, float} and all(abs(c) <= 2**53 for c in cells if type(c) is int):
        return "double", [None if c is None else float(c) for c in cells]
    return "string_view", None


def same_cell(got, want):
    """A consumer's value against Kelvra's cell. pandas has no null beside NaN in a float64 or
    text column, so there a missing cell may come back as NaN."""
    if want is None:
        assert got is None or (isinstance(got, float) and math.isnan(got)), got
    elif isinstance(want, float):
        assert isinstance(got, float) and (got == want or (math.isnan(got) and math.isnan(want)))
        assert math.copysign(1.0, got) == math.copysign(1.0, want), (got, want)
    else:
        assert got == want and type(got) is type(want), (got, want)


def check_default_columns(df, tmp_path, consumer):
    """Each column of the table reaches the consumer with every value equal to Kelvra's cell:
    a mixed column's as a number in a float64 column or as the text that to_csv writes."""
    values = CONSUMERS[consumer](df)[1]
    rows = df.shape()[0]
    for name in df.columns():
        cells = df[name] + [None] * (rows - len(df[name]))  # a shorter column ends in nulls
        kinds = {type(c) for c in cells if c is not None}
        if len(kinds) > 1:
            kind, numbers = default_export(cells)
            want = numbers if kind == "double" else csv_texts(df, name, tmp_path)
        elif kinds == {int} and "pandas" in consumer and None in cells:
            want = [None if c is None else float(c) for c in cells]  # pandas: float64 and nan
        else:
            want = cells
        got = [x.item() if hasattr(x, "item") else x for x in values[name]]
        assert len(got) == len(want), name
        for g, w in zip(got, want):
            same_cell(g, w)


# Every mix of cell types: float64 where the numbers are all exact as doubles, else text.
MIXES = {
    "int+double": ([1, 2.5, None, -3, 2**53, -(2**53), 0], "double"),
    "int+double beyond 2**53": ([1, 2.5, None, 2**53 + 1], "string_view"),
    "int+double below -2**53": ([-(2**53) - 1, 0.5], "string_view"),
    "nan, infinities, -0.0": ([1, math.nan, None, math.inf, -math.inf, -0.0], "double"),
    "double+text": ([1.5, "NA", None, ".", -0.0, 0.1234567890123, "x,\"y\"\n"], "string_view"),
    "int+text": (["NA", 12, None, -(2**63), 2**63 - 1], "string_view"),
    "int+bool": ([1, True, None, False, 0], "string_view"),
    "all four": ([1, "a", None, 2.5, True, -0.0, "é", LONG, -1.5e-300, math.nan], "string_view"),
}


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("mix", MIXES)
def test_mixed_column_by_default(tmp_path, consumer, mix):
    cells, arrow_type = MIXES[mix]
    df = table(m=cells, i=list(range(len(cells))), short=[1, "x"])  # short: ends in nulls
    if consumer == "pyarrow":
        t = need("pyarrow").table(df)
        t.validate(full=True)
        assert [str(f.type) for f in t.schema] == [arrow_type, "int64", "string_view"]
    check_default_columns(df, tmp_path, consumer)


# Small files of the kind found in public data sets: NA and . for missing values, numbers with and
# without decimals, quoted text, empty fields, CRLF endings; and generated ones of the same cells.
MESSY_CSV = {
    "survey": b'id,age,income,score,comment\r\n1,34,52000.50,7,ok\r\n2,NA,.,8.5,"late, very late"'
              b'\r\n3,29,48000,NA,\r\n4,.,61000.25,9,"said ""no"""\r\n5,41,,10,caf\xc3\xa9\r\n',
    "sensor": b"station,reading,delta,count\nA1,-1.5e-3,nan,12\nB2,100000,inf,.\nA1,3,-0.0,"
              b"9007199254740993\nC3,.,1,2.5\n",
    "codes": b"zip,code,share\n007,12345678901234567890,1\n+5,0x1F,0.5\n-0,1e3,NA\n",
    "prices": b"item,price,qty,rate\nA,1,2,0.25\nB,2.5,,1\nC,,3,1e-2\nD,-0.5,4,-7\n",
}


def messy_csv(seed, rows=150):
    """Six columns, each drawing its fields from some of: integers, decimals, missing-value
    markers and text."""
    rnd = random.Random(seed)
    kinds = [
        lambda: str(rnd.randint(-999, 999)),
        lambda: f"{rnd.uniform(-1e4, 1e4):.{rnd.randint(1, 10)}f}",  # long ones too
        lambda: rnd.choice(["NA", ".", "", "n/a"]),
        lambda: rnd.choice(["yes", "x y", '"q, r"']),
    ]
    columns = [rnd.sample(range(4), rnd.randint(1, 4)) for _ in range(6)]
    lines = [",".join(f"c{k}" for k in range(len(columns)))]
    for _ in range(rows):
        lines.append(",".join(kinds[rnd.choice(col)]() for col in columns))
    return ("\n".join(lines) + "\n").encode()


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("source", [*MESSY_CSV, 1, 2, 3])
def test_messy_csv_files_reach_every_consumer(tmp_path, consumer, source):
    path = tmp_path / "data.csv"
    path.write_bytes(MESSY_CSV[source] if source in MESSY_CSV else messy_csv(source))
    check_default_columns(kelvra.read_csv(str(path)), tmp_path, consumer)


def test_mixed_column_as_requested_union():
    """The exact union, asked for as a consumer of unions asks: each cell back with its type."""
    pa = need("pyarrow")
    df = table(m=MIXED, p=[1.5, None, False], q=[None, LONG, 3])
    df["r"] = (table(r=[1, None, LONG, True]) * 2)["r"]  # a product's missing rows stay null
    kinds = {"int": pa.int64(), "float": pa.float64(), "str": pa.string_view(), "bool": pa.bool_()}
    codes = {"int": 0, "float": 1, "str": 2, "bool": 3}

    def union(*names):
        fields = [pa.field(n, kinds[n]) for n in names]
        return pa.dense_union(fields, type_codes=[codes[n] for n in names])

    schema = pa.schema([("m", union("int", "float", "str", "bool")),
                        ("p", union("float", "bool")), ("q", union("int", "str")),
                        ("r", union("float", "str"))])
    t = pa.RecordBatchReader.from_stream(df, schema=schema).read_all()
    assert t.schema == schema
    t.validate(full=True)
    same_values(t.column("m").to_pylist(), MIXED)
    pad = [None] * (len(MIXED) - 4)
    same_values(t.column("p").to_pylist(), [1.5, None, False, None] + pad)
    same_values(t.column("q").to_pylist(), [None, LONG, 3, None] + pad)
    same_values(t.column("r").to_pylist(), [2.0, None, LONG, 2.0] + pad)


# A consumer may ask for text: each cell as to_csv writes it, numbers that would be float64 too.
MIXED_TEXT = ["1", "a", None, "2.5", "1", "-0.0", "é", LONG]
NUMBERS = [1, 2.5, None, -0.0]


@pytest.mark.parametrize("consumer", READERS)
@pytest.mark.parametrize("text_type", ["string", "large_string", "string_view"])
def test_mixed_column_as_requested_text(consumer, text_type):
    pa = need("pyarrow")
    schema = pa.schema([("m", getattr(pa, text_type)()), ("d", getattr(pa, text_type)())])
    types, values = READERS[consumer](with_schema(table(m=MIXED, d=NUMBERS, i=[1, 2]), schema))
    if consumer == "pyarrow":
        assert types == {"m": text_type, "d": text_type, "i": "int64"}
    for name, want in {"m": MIXED_TEXT, "d": ["1", "2.5", None, "-0.0"]}.items():
        got = [None if isinstance(x, float) else x for x in values[name]]  # pandas: nan for null
        assert got == want + [None] * (len(got) - len(want))


@pytest.mark.parametrize(
    "consumer, mode, text",
    [("pyarrow", "dense", "large_string"), ("pyarrow", "sparse", "string_view"),
     ("pyarrow", "sparse", "string"), ("duckdb", "sparse", "large_string")],
)
def test_mixed_column_as_requested_union_layout(consumer, mode, text):
    pa = need("pyarrow")
    # DuckDB takes a type code for the child's position: codes 0 and 1, not the cell types.
    children = [pa.field("int", pa.int64()), pa.field("str", getattr(pa, text)())]
    union = getattr(pa, mode + "_union")(children)
    df = with_schema(table(m=[None, "a", 1, None, LONG]), pa.schema([("m", union)]))
    if consumer == "pyarrow":
        t = pa.table(df)
        t.validate(full=True)
        assert t.schema.field("m").type == union
    assert READERS[consumer](df)[1]["m"] == [None, "a", 1, None, LONG]


@pytest.mark.parametrize("text", ["string", "large_string"])
def test_string_column_as_requested_string(text):
    pa = need("pyarrow")
    schema = pa.schema([("s", getattr(pa, text)())])
    t = pa.table(with_schema(table(s=["a", None, LONG]), schema))
    assert t.schema.field("s").type == getattr(pa, text)()
    assert t.column("s").to_pylist() == ["a", None, LONG]


def test_request_that_cannot_be_met_gives_own_types():
    pa = need("pyarrow")
    # Repeated type codes would give two children one code; mixed columns' own types follow.
    repeated = pa.union([pa.field("int", pa.int64()), pa.field("str", pa.string_view())],
                        "dense", type_codes=[0, 0])
    swapped = pa.sparse_union([pa.field("str", pa.string()), pa.field("int", pa.int64())])
    schema = pa.schema([("i", pa.string()), ("s", pa.int32()), ("absent", pa.int8()),
                        ("m", repeated), ("n", swapped), ("d", pa.int64())])
    t = pa.table(with_schema(table(i=[1, 2], s=["x", "y"], m=[1, "a"], n=[1, "a"], d=[1, 2.5]),
                             schema))
    t.validate(full=True)
    assert [str(f.type) for f in t.schema] == ["int64", "string_view", "string_view",
                                               "string_view", "double"]
    assert t.column("m").to_pylist() == ["1", "a"]


@pytest.mark.parametrize("consumer", READERS)
@pytest.mark.parametrize("columns", [{}, {"a": [], "b": []}])
def test_table_without_rows(consumer, columns):
    if consumer == "duckdb" and not columns:
        pytest.skip("DuckDB refuses a table without columns")
    types, values = READERS[consumer](table(**columns))
    assert list(types) == list(columns)
    assert all(v == [] for v in values.values())


@pytest.mark.parametrize(
    "columns, fault",
    [
        ({b"caf\xe9": [1]}, "the column name 'caf\\xe9' is not valid UTF-8"),
        ({"a": [1], "b": ["ok", b"x".decode(), None]}, None),
        ({"a\0b": [1]}, "the column name 'a\\x00b' holds a NUL byte"),
    ],
)
def test_names_arrow_cannot_hold_are_refused(columns, fault):
    df = kelvra.DataFrame()
    for name, values in columns.items():
        df[name] = values
    if fault is None:
        df.__arrow_c_stream__()
        return
    with pytest.raises(ValueError) as err:
        df.__arrow_c_stream__()
    assert str(err.value) == f"Cannot export the table to Arrow: {fault}"


@pytest.mark.parametrize("mixed", [False, True])
def test_string_cell_not_utf8_is_refused(tmp_path, mixed):
    source = tmp_path / "latin1.csv"
    source.write_bytes(b"a,b\n1,ok\n2,caf\xe9\n" + (b"3,4\n" if mixed else b""))
    df = kelvra.read_csv(str(source))
    # What one export found is remembered; a second one, and one of a table derived from it, must
    # refuse the same cell.
    for table in (df, df, df.filter_gt("a", 0)):
        with pytest.raises(ValueError) as err:
            table.__arrow_c_stream__()
        assert str(err.value) == (
            "Cannot export the table to Arrow: "
            "the string in column 'b' at row 1 (counting from 0) is not valid UTF-8"
        )


def test_rows_filtered_out_are_not_checked(tmp_path):
    pa = need("pyarrow")
    source = tmp_path / "latin1.csv"
    source.write_bytes(b"k,s,m\n1,caf\xe9 au lait noir,caf\xe9 au lait\n2,%s,%s\n3,x,4\n"
                       % (LONG.encode(), LONG.encode()))
    t = pa.table(kelvra.read_csv(str(source)).filter_gt("k", 1))
    t.validate(full=True)
    assert t.to_pydict() == {"k": [2, 3], "s": [LONG, "x"], "m": [LONG, "4"]}


def test_stream_capsule_and_refused_request():
    capsule = table(a=[1]).__arrow_c_stream__()
    assert type(capsule).__name__ == "PyCapsule" and "arrow_array_stream" in repr(capsule)
    del capsule  # released unconsumed
    with pytest.raises(TypeError):
        table(a=[1]).__arrow_c_stream__(requested_schema=b"not a capsule")


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.c_void_p),
    ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)), ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.c_void_p),
    ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)), ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [
        ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)),
        ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)),
        ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.c_void_p)),
        ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)),
        ("private_data", ctypes.c_void_p),
    ]


def test_stream_read_through_ctypes():
    """The stream as a C consumer takes it: moved out of the capsule, read, released."""
    capsule = table(i=[5, None], s=["é", "xy"], m=[1, "a"]).__arrow_c_stream__()
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    held = ArrowArrayStream.from_address(get_pointer(capsule, b"arrow_array_stream"))
    stream = ArrowArrayStream.from_buffer_copy(held)
    held.release = type(held.release)()  # moved: the capsule no longer releases it
    schema, batch, end = ArrowSchema(), ArrowArray(), ArrowArray()
    me = ctypes.addressof(stream)
    assert stream.get_schema(me, ctypes.addressof(schema)) == 0
    assert stream.get_next(me, ctypes.addressof(batch)) == 0
    assert stream.get_next(me, ctypes.addressof(end)) == 0 and not end.release
    del capsule
    fields = [schema.children[k].contents for k in range(schema.n_children)]
    assert [(f.name, f.format) for f in fields] == [(b"i", b"l"), (b"s", b"vu"), (b"m", b"vu")]
    assert (batch.length, batch.children[0].contents.null_count) == (2, 1)
    ints = ctypes.cast(batch.children[0].contents.buffers[1], ctypes.POINTER(ctypes.c_int64))
    assert ints[0] == 5
    text = batch.children[1].contents  # string views, both inline: length, then the text
    views = [ctypes.string_at(text.buffers[1] + 16 * k, 16) for k in range(2)]
    assert [v[4 : 4 + v[0]].decode() for v in views] == ["é", "xy"]
    batch.release(ctypes.addressof(batch))
    schema.release(ctypes.addressof(schema))
    stream.release(me)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_million_rows_are_shared_and_outlive_the_table():
    pa = need("pyarrow")
    n = 1_000_000
    df = kelvra.DataFrame()
    df["i"] = range(n)
    df["j"] = range(0, -3 * n, -3)
    df["x"] = [k * 0.5 for k in range(n)]
    df["y"] = [1.0 / (k + 1) for k in range(n)]
    sums = df.sum()
    pa.table(table(warm=[1]))  # pyarrow's first import of a stream maps memory of its own
    gc.collect()
    before = resident_bytes()
    t = pa.table(df)
    grown = resident_bytes() - before
    assert grown < 16 * 2**20, f"export grew the resident size by {grown} bytes"
    del df
    gc.collect()
    pc = pytest.importorskip("pyarrow.compute")
    assert pc.sum(t["i"]).as_py() == sums["i"] == n * (n - 1) // 2
    assert pc.sum(t["j"]).as_py() == sums["j"]
    for name in "xy":
        assert math.isclose(pc.sum(t[name]).as_py(), sums[name], rel_tol=1e-12)
