"""One library, measured in a process of its own: its memory after reading the CSV, then every
operation. Writes one JSON record; an operation that raises is recorded as null with the error.

    python -m benchmarks.worker LIBRARY ROWS RESULT_PATH [--repeat N] [--budget SECONDS]
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import sys

from . import data
from .cpu_share import cpu_times
from .timing import best_of, current_rss_bytes, peak_rss_bytes, reset_peak_rss
from .workload import NEEDS_TABLE, OPERATIONS, READERS, Inputs

MB = 1024 * 1024
# Operations whose user and kernel time are measured as well (in runs of their own).
CPU_SHARE_OPS = ("read_csv",)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.worker")
    parser.add_argument("library")
    parser.add_argument("rows", type=int)
    parser.add_argument("result_path")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--budget", type=float, default=20.0)
    args = parser.parse_args(argv)

    record = {"library": args.library, "rows": args.rows, "version": None, "memory": None,
              "results": {}, "medians": {}, "runs": {}, "warmups": {}, "cpu": {}, "errors": {},
              "notes": []}

    def save() -> None:
        with open(args.result_path, "w", encoding="utf-8") as f:
            json.dump(record, f, indent=1)

    try:
        measure(args, record, save)
    finally:
        save()
    return 0


def measure(args, record: dict, save) -> None:
    """Fills the record; `save` is called after every operation, so that a crash in native code
    keeps what was measured before it."""
    dataset = data.Dataset(args.rows)
    expected_shape = (args.rows, len(data.COLUMNS))
    library = importlib.import_module(f"benchmarks.{args.library}_ops")
    record["version"] = library.version()
    inputs = Inputs(args.library, dataset)

    inputs.table, record["memory"] = _load_measured(library, dataset, expected_shape, record)
    if inputs.table is None and library.from_columns is not None:
        # Without a working reader the in-memory operations still run, on the same rows.
        try:
            inputs.table = library.from_columns(data.generate_columns(args.rows))
            record["notes"].append("read_csv failed: the other operations ran on a table "
                                   "built from Python lists of the same rows")
        except Exception as error:  # noqa: BLE001
            record["errors"]["table"] = _describe(error)

    def check_shape(result) -> None:
        got = library.shape(result)
        if got != expected_shape:
            raise ValueError(f"returned a table of shape {got}, expected {expected_shape}")

    ops = library.Ops(inputs)
    # head prints; the text goes nowhere, as the results go to a file.
    sys.stdout = open(os.devnull, "w")
    try:
        for op in OPERATIONS:
            prepare = getattr(ops, op, None)
            if prepare is None:
                record["results"][op] = None  # no equivalent in this library
                continue
            if inputs.table is None and op in NEEDS_TABLE:
                record["results"][op] = None
                record["errors"][op] = "no table to work on: read_csv failed"
                continue
            try:
                timing = best_of(prepare(), args.repeat, args.budget,
                                 check=check_shape if op in READERS else None)
            except Exception as error:  # noqa: BLE001 - any failure is reported, the run goes on
                record["results"][op] = None
                record["errors"][op] = _describe(error)
            else:
                record["results"][op] = timing.best
                record["medians"][op] = timing.median
                record["runs"][op] = timing.runs
                record["warmups"][op] = timing.warmup
                if op in CPU_SHARE_OPS:
                    record["cpu"][op] = cpu_times(prepare())
            finally:
                # A written file goes at once: its pages would otherwise be written back to the
                # disk by the kernel while the next operations are timed.
                inputs.remove_outputs()
            save()
    finally:
        sys.stdout.close()
        sys.stdout = sys.__stdout__
        inputs.remove_outputs()


def _load_measured(library, dataset, expected_shape, record):
    """Reads the CSV in this fresh process and notes the memory it took: the process's peak
    resident size once the table is read, and the growth of the resident size per cell held."""
    gc.collect()
    reset_peak_rss()
    before = current_rss_bytes()
    try:
        table = library.load(dataset.csv_path)
        got = library.shape(table)
        if got != expected_shape:
            raise ValueError(f"read_csv returned a table of shape {got}, "
                             f"expected {expected_shape}")
    except Exception as error:  # noqa: BLE001
        record["errors"]["memory"] = _describe(error)
        return None, None
    after = current_rss_bytes()
    memory = {"peak_mb": peak_rss_bytes() / MB, "table_mb": (after - before) / MB,
              "bytes_per_cell": (after - before) / dataset.cells}
    return table, memory


def _describe(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


if __name__ == "__main__":
    sys.exit(main())
