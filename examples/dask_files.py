"""Many files, more than one core: Kelvra reads each file in a Dask task, on a local cluster of
worker processes, and Dask combines what the tasks hand back.

    make demo-dask
    PYTHONPATH=build/cpython-311 .venv/bin/python examples/dask_files.py [--workers N]

It writes a few CSV and JSON files into a temporary folder and reads them. The recipe's functions
are in kelvra_dask.py beside this file.
"""

import argparse
import os
import sys
import tempfile

import kelvra
import pyarrow
from distributed import Client, LocalCluster

import kelvra_dask

NUMBERS = ["id", "amount", "flag"]


def write_sample_files(folder: str, files: int = 6, rows: int = 1000) -> list[str]:
    """CSV and JSON files of the same columns: an id, an amount (some missing), a 0/1 flag and a
    city."""
    cities = ["Oslo", "Lima", "Pune", "Kyiv"]
    paths = []
    for k in range(files):
        ids = range(k * rows, (k + 1) * rows)
        df = kelvra.DataFrame()
        df["id"] = ids
        df["amount"] = [None if i % 11 == 0 else (i * 7 % 400 - 200) / 4 for i in ids]
        df["flag"] = [i % 2 for i in ids]
        df["city"] = [cities[i % len(cities)] for i in ids]
        path = os.path.join(folder, f"part-{k}.json" if k % 3 == 2 else f"part-{k}.csv")
        df.to_json(path) if path.endswith(".json") else df.to_csv(path)
        paths.append(path)
    return paths


def run(paths: list[str], workers: int) -> None:
    # Worker processes on loopback, one thread each: Kelvra runs on its caller's thread, so each
    # worker is one core's worth of reading; the scheduler's web server takes a free port there too.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster, \
            Client(cluster) as client:
        print(f"{len(paths)} files, {workers} worker processes")
        demo(client, paths)


def demo(client: Client, paths: list[str]) -> None:
    """The three ways of the recipe, on the files given (sample files' columns)."""
    # 1. Kelvra's own sums and filters in every task; plain dicts come back and are added up.
    #    The mean is the sum of the sums over the sum of the counts, as one table's mean is.
    parts = client.gather(client.map(kelvra_dask.file_totals, paths, columns=NUMBERS))
    combined = kelvra_dask.combine(parts)
    print("sums: ", {name: total for name, (total, _) in combined.items()})
    print("means:", kelvra_dask.means(combined))
    positive = kelvra_dask.combine(client.gather(client.map(
        kelvra_dask.file_totals, paths, columns=NUMBERS, where=("amount", 0.0))))
    print("rows with amount > 0:", positive["id"][1],
          " their mean amount:", kelvra_dask.means(positive)["amount"])

    # 2. The tables handed to Dask as Arrow, one partition per file, combined there.
    schema = pyarrow.schema([("id", pyarrow.int64()), ("amount", pyarrow.float64()),
                             ("flag", pyarrow.int64()), ("city", pyarrow.string())])
    frame = kelvra_dask.dask_frame(paths, schema)
    by_city = client.compute(frame.groupby("city")["amount"].mean()).result()
    print("dask.dataframe, mean amount by city:")
    print(by_city.sort_index().to_string())

    # 3. A DataFrame that a task returns, used by a second task and sent to this process, as an
    #    Arrow stream (without the serializer Dask says it cannot serialize a DataFrame).
    kelvra_dask.use_serializer(client)
    table = client.submit(kelvra_dask.read, paths[0])
    shape = client.submit(lambda df: df.filter_gt("amount", 40.0).shape(), table).result()
    print("a task's DataFrame, filtered in a second task:", shape,
          " received here:", table.result().shape())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        run(write_sample_files(folder), args.workers)
    return 0


if __name__ == "__main__":  # worker processes import this file's module: keep the work here
    sys.exit(main())
