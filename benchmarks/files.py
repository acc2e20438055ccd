"""Many files, more than one core: the bench table split into files, every file read and the
numeric columns summed, by Kelvra in Dask tasks (1 and 2 worker processes), by
dask.dataframe.read_csv (pyarrow engine) on the same clusters, by polars' scan_csv and by DuckDB's
read_csv on all threads, and by Kelvra in this one process for reference.

    python -m benchmarks.files [--size ROWS ...] [--files N] [--repeat N]

The contenders run in turns, one run of each per round, so a shared machine's slow moments fall
on all of them alike. Writes build/bench-files-ROWS.json.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import json
import os
import statistics
import sys
import time
from pathlib import Path

from . import data

BUILD_DIR = data.REPO_ROOT / "build"
sys.path.insert(0, str(data.REPO_ROOT / "examples"))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.files", description=__doc__)
    parser.add_argument("--size", type=int, nargs="+", default=[1_000_000, 10_000_000],
                        help="rows of the table (default 1,000,000 and 10,000,000)")
    parser.add_argument("--files", type=int, default=8, help="files the table is split into")
    parser.add_argument("--repeat", type=int, default=5, help="measured rounds, after a warm-up")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2],
                        help="worker processes of each Dask cluster (default 1 and 2)")
    parser.add_argument("--only", metavar="WORD",
                        help="time only the contenders whose name holds WORD (`kelvra`, `dask`)")
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster

    import kelvra_dask  # examples/kelvra_dask.py: the recipe that is measured

    with contextlib.ExitStack() as stack:  # every cluster closed, however the run ends
        clusters = []
        for workers in args.workers:
            # One thread per worker: Kelvra runs on the calling thread, so a worker is a core.
            cluster = stack.enter_context(LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address="127.0.0.1:0"))
            clusters.append((workers, stack.enter_context(Client(cluster, set_as_default=False))))
        for rows in args.size:
            paths = [str(p) for p in data.split_csv(rows, args.files)]
            contenders = _contenders(paths, clusters, kelvra_dask)
            if args.only:  # the reference, Kelvra in one process, always runs
                contenders = {name: run for k, (name, run) in enumerate(contenders.items())
                              if k == 0 or args.only in name}
            record = _measure(rows, paths, contenders, args.repeat)
            _print(record)
            out = BUILD_DIR / f"bench-files-{rows}.json"
            with open(out, "w", encoding="utf-8") as f:
                json.dump(record, f, indent=1)
                f.write("\n")
            print(f"written: {out}\n")
    return 0


def _contenders(paths, clusters, kelvra_dask) -> dict:
    """name -> a call that reads every file and returns {column: sum} of the numeric columns."""
    import dask.dataframe
    import duckdb
    import polars

    columns = list(data.NUMERIC)

    def kelvra_dask_sums(client):
        parts = client.gather(client.map(kelvra_dask.file_totals, paths, columns=columns,
                                         pure=False))
        return {name: total for name, (total, _) in kelvra_dask.combine(parts).items()}

    def dask_read_csv_sums(client):
        frame = dask.dataframe.read_csv(paths, engine="pyarrow", blocksize=None,
                                         assume_missing=True)
        return {name: float(v) for name, v in client.compute(frame[columns].sum()).result().items()}

    def kelvra_one_process():
        parts = [kelvra_dask.file_totals(path, columns) for path in paths]
        return {name: total for name, (total, _) in kelvra_dask.combine(parts).items()}

    def polars_sums():
        frame = polars.scan_csv(paths).select(polars.col(columns).sum()).collect()
        return {name: float(frame[name][0]) for name in columns}

    quoted = ", ".join(f'sum("{name}")::DOUBLE' for name in columns)
    listed = "[" + ", ".join("'" + p.replace("'", "''") + "'" for p in paths) + "]"
    connection = duckdb.connect()

    def duckdb_sums():
        row = connection.execute(f"select {quoted} from read_csv({listed})").fetchone()
        return dict(zip(columns, map(float, row)))

    contenders = {"kelvra, one process": kelvra_one_process}
    for workers, client in clusters:
        contenders[f"kelvra in dask, {workers} worker(s)"] = (
            lambda client=client: kelvra_dask_sums(client))
    for workers, client in clusters:
        contenders[f"dask read_csv (pyarrow), {workers} worker(s)"] = (
            lambda client=client: dask_read_csv_sums(client))
    contenders[f"polars scan_csv, {os.cpu_count()} threads"] = polars_sums
    contenders[f"duckdb read_csv, {os.cpu_count()} threads"] = duckdb_sums
    return contenders


def _measure(rows, paths, contenders, repeat) -> dict:
    times = {name: [] for name in contenders}
    sums = {}
    for name, run in contenders.items():  # warm-up: imports, page cache, the workers' modules
        sums[name] = run()
    for _ in range(repeat):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    reference = sums["kelvra, one process"]
    agree = {name: all(abs(got[c] - reference[c]) <= 1e-9 * max(1.0, abs(reference[c]))
                       for c in reference) for name, got in sums.items()}
    size = sum(Path(p).stat().st_size for p in paths)
    versions = {name: importlib.metadata.version(name)
                for name in ("dask", "distributed", "pyarrow", "polars", "duckdb")}
    return {"rows": rows, "files": len(paths), "bytes": size, "cpu_count": os.cpu_count(),
            "versions": versions,
            "results": {name: {"best_s": min(t), "median_s": statistics.median(t), "runs": t,
                               "sums_agree": agree[name]} for name, t in times.items()}}


def _print(record: dict) -> None:
    results = record["results"]
    base = next(r["best_s"] for name, r in results.items() if name.startswith("kelvra in dask"))
    print(f"\n{record['rows']:,} rows in {record['files']} files "
          f"({record['bytes'] / 1e6:,.0f} MB), {record['cpu_count']} cores; best and median "
          f"of {len(next(iter(results.values()))['runs'])} rounds")
    print(f"{'':44} {'best s':>8} {'median s':>9} {'MB/s':>7} {'vs 1 worker':>12}")
    for name, r in results.items():
        note = "" if r["sums_agree"] else "  (sums differ!)"
        print(f"{name:44} {r['best_s']:8.3f} {r['median_s']:9.3f} "
              f"{record['bytes'] / 1e6 / r['best_s']:7.0f} {base / r['best_s']:11.2f}x{note}")


if __name__ == "__main__":
    sys.exit(main())
