"""Kelvra inside Dask (examples/kelvra_dask.py): files read in the tasks of a local cluster of two
worker processes on loopback, their results combined by Dask, against the same work done in this
one process and against one table of every row."""

import os
import re
import sys

import pytest

import kelvra

if "ASAN_OPTIONS" in os.environ:
    # Importing them leaves interpreter objects behind that LeakSanitizer reports as leaks, and
    # the worker processes would inherit the sanitizer.
    pytest.skip("dask, pandas and pyarrow are not imported under the sanitizer",
                allow_module_level=True)

dask = pytest.importorskip("dask", reason="dask is not installed (pinned in requirements-dev.txt)")
distributed = pytest.importorskip("distributed", reason="distributed is not installed")
pyarrow = pytest.importorskip("pyarrow", reason="pyarrow is not installed")
pytest.importorskip("pandas", reason="pandas is not installed (dask.dataframe needs it)")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "examples"))
import kelvra_dask  # noqa: E402

COLUMNS = ["id", "amount", "score", "flag"]
FILES = 4
ROWS_PER_FILE = 50


def _file_columns(k: int) -> dict:
    """File k's cells. Doubles are multiples of 1/4, so that every sum of them is exact whatever
    the order of its additions, and the sums of any grouping of the files equal one table's."""
    rows = range(k * ROWS_PER_FILE, (k + 1) * ROWS_PER_FILE)
    return {
        "id": list(rows),
        "amount": [None if i % 7 == 0 else (i % 23 - 11) * 0.25 for i in rows],
        "score": [(i * 37) % 101 - 50 for i in rows],
        "flag": [i % 3 == 0 for i in rows],
        "label": [f"r{i}" if i % 5 else None for i in rows],
    }


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """FILES files (CSV and JSON alternating) and one CSV of every row, in the same order."""
    folder = tmp_path_factory.mktemp("dask-files")
    paths = []
    everything = {name: [] for name in _file_columns(0)}
    for k in range(FILES):
        df = kelvra.DataFrame()
        for name, values in _file_columns(k).items():
            df[name] = values
            everything[name] += values
        path = str(folder / (f"part-{k}.csv" if k % 2 == 0 else f"part-{k}.json"))
        df.to_json(path) if path.endswith(".json") else df.to_csv(path)
        paths.append(path)
    whole = kelvra.DataFrame()
    for name, values in everything.items():
        whole[name] = values
    return paths, whole


@pytest.fixture(scope="module")
def client():
    """Two worker processes on loopback, one thread each; closed however the tests end."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster:
        with distributed.Client(cluster) as c:
            c.wait_for_workers(2)
            yield c


SCHEMA = pyarrow.schema([("id", pyarrow.int64()), ("amount", pyarrow.float64()),
                         ("score", pyarrow.int64()), ("flag", pyarrow.bool_()),
                         ("label", pyarrow.string())])


@pytest.mark.parametrize("where", [None, ("score", 0.0), ("amount", 1.5), ("score", 1000.0)])
def test_sums_and_means_of_many_files_equal_one_tables(client, files, where):
    paths, whole = files
    workers = sorted(client.scheduler_info()["workers"])
    # The files alternate between the two worker processes.
    futures = [client.submit(kelvra_dask.file_totals, path, COLUMNS, where,
                             workers=[workers[k % 2]]) for k, path in enumerate(paths)]
    combined = kelvra_dask.combine(client.gather(futures))
    # The same work in this process gives the same figures, bit for bit.
    assert combined == kelvra_dask.combine(
        kelvra_dask.file_totals(p, COLUMNS, where) for p in paths)
    one = (whole if where is None else whole.filter_gt(*where)).select(COLUMNS)
    assert {name: total for name, (total, _) in combined.items()} == one.sum()
    assert kelvra_dask.means(combined) == one.mean()


def test_a_dask_dataframe_from_kelvras_files_equals_one_table_cell_for_cell(client, files):
    paths, whole = files
    frame = kelvra_dask.dask_frame(paths, SCHEMA)
    assert frame.npartitions == FILES
    got = client.compute(frame).result()
    expected = pyarrow.table(whole).cast(SCHEMA)
    assert pyarrow.Table.from_pandas(got, preserve_index=False).equals(expected)
    # The engine's own reductions over the partitions.
    counts = client.compute(frame.count()).result()
    assert dict(counts) == {name: len(whole[name]) - whole[name].count(None)
                            for name in SCHEMA.names}
    kept = client.compute(frame[frame["score"] > 0]["id"]).result().tolist()
    assert kept == whole.filter_gt("score", 0.0)["id"]


def test_a_mean_of_a_text_column_is_refused_by_name(files):
    with pytest.raises(TypeError, match="'label'"):
        kelvra_dask.file_totals(files[0][0], ["id", "label"])


@pytest.mark.parametrize("name, content, message", [
    ("bad.csv", b"a,b\n1,2\n3,4,5\n", "line 3"),
    ("bad.json", b'[{"a": 1}, {"a": ]', "line 1, column 18"),
])
def test_a_workers_error_names_the_malformed_file(client, tmp_path, name, content, message):
    bad = tmp_path / name
    bad.write_bytes(content)
    future = client.submit(kelvra_dask.file_totals, str(bad), ["a"])
    with pytest.raises(Exception, match=re.escape(name) + ".*" + message) as raised:
        future.result()
    # The error is Kelvra's own, as it would be in this process.
    with pytest.raises(type(raised.value)):
        kelvra_dask.read(str(bad))
    assert client.submit(len, [1, 2]).result() == 2  # the cluster goes on working


MIXED = {
    "n": [1, 2.5, None, "x", True, 2**62],
    "ints_doubles": [1, 2.5, None, -3, 0.0, 7],
    "text": ["a", None, "42", "", "b", "c"],
    "short": [1, 2],
}


@pytest.fixture(scope="module")
def serialized_client(client):
    kelvra_dask.use_serializer(client)
    return client


def test_dataframes_move_between_workers_with_every_cell_and_its_type(serialized_client,
                                                                     make_df):
    c = serialized_client
    df = make_df(**MIXED)
    first, second = sorted(c.scheduler_info()["workers"])
    made = c.scatter(df, workers=[first], hash=False)  # sent to one worker and kept there
    cells = c.submit(lambda d: {name: d[name] for name in d.columns()}, made, workers=[second])
    expected = {name: values + [None] * (6 - len(values)) for name, values in MIXED.items()}
    got = cells.result()
    assert got == expected
    assert {name: [type(v) for v in vs] for name, vs in got.items()} == {
        name: [type(v) for v in vs] for name, vs in expected.items()}
    back = made.result()
    assert isinstance(back, kelvra.DataFrame) and back.shape() == df.shape()


def test_the_example_runs(serialized_client, tmp_path, capsys):
    import dask_files  # examples/dask_files.py, on the cluster of these tests

    dask_files.demo(serialized_client, dask_files.write_sample_files(str(tmp_path), 3, 100))
    out = capsys.readouterr().out
    assert "sums:  {'id': 44850.0," in out and "mean amount by city" in out
    assert "received here: (100, 4)" in out
