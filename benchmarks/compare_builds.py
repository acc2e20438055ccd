"""Kelvra's operations timed with two builds of the module in one interleaved loop (A B, B A,
A B, ...: each goes first in every other round), each run a worker process of its own: the speed of one build against another's on the same
machine at the same time, as a ratio.

    python -m benchmarks.compare_builds DIR_A DIR_B [--size ROWS] [--rounds N] [--repeat N]

DIR_A and DIR_B each hold a kelvra module (a build folder, or an installed wheel's site-packages).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from . import data
from .workload import OPERATIONS


def run_worker(build_dir: str, rows: int, repeat: int) -> dict:
    environment = {**os.environ, "PYTHONPATH": os.path.realpath(build_dir)}
    with tempfile.TemporaryDirectory() as scratch:
        result = Path(scratch) / "record.json"
        subprocess.run([sys.executable, "-m", "benchmarks.worker", "kelvra", str(rows), str(result),
                        "--repeat", str(repeat)], cwd=data.REPO_ROOT, env=environment,
                       stdout=subprocess.DEVNULL, check=True)
        return json.loads(result.read_text(encoding="utf-8"))["results"]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.compare_builds")
    parser.add_argument("build_a")
    parser.add_argument("build_b")
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    data.ensure(args.size)  # the files, made once before any timing
    best: dict[str, dict[str, float]] = {"a": {}, "b": {}}
    for round_number in range(args.rounds):
        order = [("a", args.build_a), ("b", args.build_b)]
        for key, build in order if round_number % 2 == 0 else reversed(order):
            print(f"round {round_number + 1}: {build}", file=sys.stderr, flush=True)
            for op, seconds in run_worker(build, args.size, args.repeat).items():
                if seconds is not None:
                    best[key][op] = min(seconds, best[key].get(op, float("inf")))
    print(f"{'operation':<16}{'A (s)':>12}{'B (s)':>12}{'B / A':>8}")
    for op in OPERATIONS:
        a, b = best["a"].get(op), best["b"].get(op)
        if a and b:
            print(f"{op:<16}{a:>12.4f}{b:>12.4f}{b / a:>8.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
