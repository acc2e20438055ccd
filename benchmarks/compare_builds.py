"""Kelvra's operations timed with two builds of the module in one interleaved loop (A B, B A,
A B, ...: each goes first in every other round), each run a process of its own: the speed of one
build against another's on the same machine at the same time, as a ratio of the best times.

    python -m benchmarks.compare_builds DIR_A DIR_B [--size ROWS] [--rounds N] [--repeat N]
                                        [--ops read_csv,read_json,...]

DIR_A and DIR_B each hold a kelvra module (a build folder, or an installed wheel's site-packages).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

from . import data
from .timing import best_of
from .workload import Inputs

DEFAULT_OPS = "read_csv,read_json,filter_gt,multiply,sum,to_csv"


def measure(build_dir: str, rows: int, repeat: int, ops: list[str]) -> dict[str, float]:
    """Runs in the child process, with build_dir first on sys.path."""
    sys.path.insert(0, build_dir)
    import kelvra

    where = os.path.dirname(os.path.realpath(kelvra.__file__))
    if where != os.path.realpath(build_dir):
        raise RuntimeError(f"kelvra was imported from {where}, not from {build_dir}")
    from . import kelvra_ops

    inputs = Inputs("kelvra", data.Dataset(rows))
    inputs.table = kelvra.read_csv(str(inputs.dataset.csv_path))
    library = kelvra_ops.Ops(inputs)
    results = {}
    try:
        for op in ops:
            results[op] = best_of(getattr(library, op)(), repeat, budget_s=20.0).best
            inputs.remove_outputs()
    finally:
        inputs.remove_outputs()
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.compare_builds")
    parser.add_argument("build_a")
    parser.add_argument("build_b", nargs="?")
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--ops", default=DEFAULT_OPS)
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    ops = args.ops.split(",")
    if args.measure:
        print(json.dumps(measure(args.build_a, args.size, args.repeat, ops)))
        return 0
    data.ensure(args.size)  # the files, made once before any timing
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    best: dict[str, dict[str, float]] = {"A": {}, "B": {}}
    order = [("A", args.build_a), ("B", args.build_b)]
    for round_number in range(args.rounds):
        for key, build in order if round_number % 2 == 0 else reversed(order):
            print(f"round {round_number + 1}: {key} {build}", file=sys.stderr, flush=True)
            done = subprocess.run([sys.executable, "-m", "benchmarks.compare_builds", build,
                                   "--measure", "--size", str(args.size), "--repeat",
                                   str(args.repeat), "--ops", args.ops],
                                  cwd=data.REPO_ROOT, env=environment, check=True,
                                  capture_output=True, text=True)
            for op, seconds in json.loads(done.stdout).items():
                best[key][op] = min(seconds, best[key].get(op, float("inf")))
    print(f"{'operation':<12}{'A (s)':>10}{'B (s)':>10}{'B / A':>8}")
    for op in ops:
        a, b = best["A"][op], best["B"][op]
        print(f"{op:<12}{a:>10.4f}{b:>10.4f}{b / a:>8.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
