"""Kelvra inside Dask: each task reads its own files with Kelvra and runs Kelvra's operations
there; what goes back to the engine is what the engine combines.

A `kelvra.DataFrame` cannot be pickled, so a task hands back either plain numbers (the sums and
counts of `file_totals`, combined by `combine` and `means`) or its table as Arrow
(`file_arrow`, and `file_pandas` for pandas through Arrow, the partitions of `dask_frame`).
`use_serializer(client)` lets Dask move `DataFrame`s themselves, as an Arrow IPC stream.

Every function here is a plain module-level function, so Dask's workers import this module
(they need it on their path, as they need `kelvra`) rather than receive pickled code.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence

import kelvra
import pyarrow

# One column's share of a sum: (sum of its numeric cells, how many there are).
Total = tuple[float, int]


def read(path: str) -> kelvra.DataFrame:
    """One file, by its suffix: `.csv` with read_csv, `.json` with read_json."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".csv":
        return kelvra.read_csv(path)
    if suffix == ".json":
        return kelvra.read_json(path)
    raise ValueError(f"{path}: not a .csv or .json file")


def totals(df: kelvra.DataFrame) -> dict[str, Total]:
    """{column: (sum, count)} of a table of numeric columns: Kelvra's sum, and the count that
    Kelvra's mean divides by (the cells that are present), read from the Arrow export's validity
    (no copy of the columns). A column of text, or one that mixes text with numbers, raises
    TypeError naming it: its count of numbers is not in its Arrow form."""
    sums = df.sum()
    table = pyarrow.table(df)
    result = {}
    for name in table.column_names:
        column = table[name]
        kind = column.type
        if not (pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind)
                or pyarrow.types.is_boolean(kind) or pyarrow.types.is_null(kind)):
            raise TypeError(f"column {name!r} holds text ({kind}): select numeric columns")
        result[name] = (sums[name], len(column) - column.null_count)
    return result


def file_totals(path: str, columns: Sequence[str],
                where: tuple[str, float] | None = None) -> dict[str, Total]:
    """The totals of one file's `columns`, of the rows Kelvra's filter_gt keeps when `where` is
    (column, threshold), of every row otherwise."""
    df = read(path)
    if where is not None:
        df = df.filter_gt(*where)
    return totals(df.select(list(columns)))


def combine(parts: Iterable[Mapping[str, Total]]) -> dict[str, Total]:
    """The files' totals added up, in the order given (so the same order gives the same sums)."""
    result: dict[str, Total] = {}
    for part in parts:
        for name, (total, count) in part.items():
            so_far, counted = result.get(name, (0.0, 0))
            result[name] = (so_far + total, counted + count)
    return result


def means(combined: Mapping[str, Total]) -> dict[str, float]:
    """Each column's mean over every file: the sum of its cells over their count, as one table's
    mean is, never a mean of the files' means (0.0 where no file has a cell, as Kelvra's mean of
    a column without one)."""
    return {name: total / count if count else 0.0
            for name, (total, count) in combined.items()}


def file_arrow(path: str, schema: pyarrow.Schema | None = None) -> pyarrow.Table:
    """One file read by Kelvra, as a pyarrow Table; cast to `schema` when given, so that every
    file's table has the same types (a column without a missing cell in one file and with one
    in the next, or text in only some files, would otherwise differ)."""
    table = pyarrow.table(read(path))
    return table if schema is None else table.cast(schema)


def file_pandas(path: str, schema: pyarrow.Schema):
    """One file as a pandas DataFrame through Arrow: its columns keep their Arrow types
    (`pandas.ArrowDtype`), so missing integers stay integers and every partition has `schema`."""
    import pandas

    return file_arrow(path, schema).to_pandas(types_mapper=pandas.ArrowDtype)


def dask_frame(paths: Sequence[str], schema: pyarrow.Schema):
    """A dask.dataframe with one partition per file, each read by Kelvra in a task."""
    import dask.dataframe
    import pandas

    meta = schema.empty_table().to_pandas(types_mapper=pandas.ArrowDtype)
    return dask.dataframe.from_map(file_pandas, list(paths), schema=schema, meta=meta,
                                   label="kelvra-read", enforce_metadata=False)


# --- DataFrames between workers --------------------------------------------------------------
# The Arrow export turns a column that mixes types into float64 or text; asked for a union of the
# column's own cell types, it gives every cell with its type. Which types a column mixes is not in
# its default export, so each candidate union is asked for in turn (most likely first): a request
# that does not fit costs one export of that column, and the first that fits is the column's.
_CELL_TYPES = (("int", pyarrow.int64()), ("float", pyarrow.float64()),
               ("str", pyarrow.string()), ("bool", pyarrow.bool_()))
# Every set of two or more cell types, in the order the export lists them (int, float, str,
# bool); those with text first, fewer types first.
_MIXES = sorted((tuple(i for i in range(4) if mask >> i & 1) for mask in range(16)
                 if mask.bit_count() >= 2), key=lambda mix: (2 not in mix, len(mix), mix))


def _union(mix: Sequence[int]) -> pyarrow.DataType:
    return pyarrow.dense_union([pyarrow.field(*_CELL_TYPES[i]) for i in mix])


def _exact_column(df: kelvra.DataFrame, name: str, column: pyarrow.ChunkedArray):
    # Integers and doubles within +-2**53 come as float64, every other mix as text.
    if column.type == pyarrow.float64():
        mixes = [(0, 1)]
    elif column.type == pyarrow.string_view():
        mixes = _MIXES
    else:
        return column
    one = df.select([name])
    for mix in mixes:
        kind = _union(mix)
        got = pyarrow.RecordBatchReader.from_stream(
            one, schema=pyarrow.schema([(name, kind)])).read_all()
        if got.schema.field(0).type == kind:
            return got[name]
    return column


def exact_table(df: kelvra.DataFrame) -> pyarrow.Table:
    """The table as Arrow with every cell's own type: a column that mixes types as a union."""
    table = pyarrow.table(df)
    return pyarrow.table([_exact_column(df, name, table[name]) for name in table.column_names],
                         names=table.column_names)


def _serialize(df: kelvra.DataFrame) -> tuple[dict, list]:
    table = exact_table(df)
    sink = pyarrow.BufferOutputStream()
    with pyarrow.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    return {}, [memoryview(sink.getvalue())]


def _deserialize(header: dict, frames: list) -> kelvra.DataFrame:
    table = pyarrow.ipc.open_stream(pyarrow.py_buffer(frames[0])).read_all()
    df = kelvra.DataFrame()
    for name in table.column_names:
        df[name] = table[name]
    return df


def register_serializer() -> None:
    """Lets this process's Dask send and receive kelvra.DataFrame as an Arrow IPC stream: every
    cell with its type and every missing cell. A column shorter than the table arrives as long
    as the table, ending in missing cells."""
    from distributed.protocol import dask_deserialize, dask_serialize

    dask_serialize.register(kelvra.DataFrame)(_serialize)
    dask_deserialize.register(kelvra.DataFrame)(_deserialize)


def use_serializer(client) -> None:
    """register_serializer in this process and in every worker of the client's cluster, those
    that start later included: a task may then return a DataFrame, and another task on another
    worker, or the client, receive it."""
    from distributed.diagnostics.plugin import WorkerPlugin

    class _Serializer(WorkerPlugin):
        name = "kelvra-dataframe-serializer"

        def setup(self, worker) -> None:
            register_serializer()

    register_serializer()
    client.register_plugin(_Serializer())
