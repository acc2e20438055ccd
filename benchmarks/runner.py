"""Runs the whole benchmark: data, one worker process per library, the table and bench.json.

    python -m benchmarks [--size ROWS] [--repeat N] [--budget SECONDS] [--libraries a,b]
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import data, report
from .workload import OPERATIONS

BUILD_DIR = data.REPO_ROOT / "build"
WORKER_TIMEOUT_S = 3600


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__)
    parser.add_argument("--size", type=_row_count, default=1_000_000,
                        help="rows of the generated table (default 1,000,000)")
    parser.add_argument("--repeat", type=int, default=5,
                        help="measured runs per operation, after one to warm up")
    parser.add_argument("--budget", type=float, default=20.0,
                        help="after 3 runs, stop repeating once an operation took this long")
    parser.add_argument("--libraries", default=",".join(report.LIBRARIES),
                        help="comma-separated subset of " + ",".join(report.LIBRARIES))
    parser.add_argument("--portable-scan-build", metavar="DIR",
                        help="also time read_csv with the module built in DIR with the portable "
                             "CSV scanner")
    args = parser.parse_args(argv)
    libraries = [name for name in args.libraries.split(",") if name]
    unknown = set(libraries) - set(report.LIBRARIES)
    if unknown:
        parser.error(f"unknown libraries: {', '.join(sorted(unknown))}")

    if not data.Dataset(args.size).exists():
        # In a process of its own: the generated lists would otherwise stay in this one's memory
        # and in every worker's peak resident size, which a new program inherits from its parent.
        subprocess.run([sys.executable, "-m", "benchmarks.data", str(args.size)],
                       cwd=data.REPO_ROOT, check=True)
    records = {library: _run_worker(library, args) for library in libraries}
    versions = _versions(records)
    scan = _scan_limit(data.Dataset(args.size).csv_path)
    if scan is not None and args.portable_scan_build:
        scan["portable_scan_read_csv_s"] = _portable_scan(args)

    print(report.render(args.size, records, versions, args.repeat, scan))
    BUILD_DIR.mkdir(exist_ok=True)
    summary = report.bench_json(args.size, records, versions, scan)
    _write_json(BUILD_DIR / "bench.json", summary)
    # Everything measured, every run and error included, kept per size so sizes can be compared.
    _write_json(BUILD_DIR / f"bench-detail-{args.size}.json",
                {**summary, "repeat": args.repeat, "libraries": records})
    print(f"\nwritten: {BUILD_DIR / 'bench.json'}, {BUILD_DIR / f'bench-detail-{args.size}.json'}")
    return 0


def _run_worker(library: str, args) -> dict:
    print(f"bench: {library} ...", file=sys.stderr, end="", flush=True)
    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as scratch:
        result_path = Path(scratch) / "record.json"
        command = [sys.executable, "-m", "benchmarks.worker", library, str(args.size),
                   str(result_path), "--repeat", str(args.repeat), "--budget", str(args.budget)]
        try:
            done = subprocess.run(command, cwd=data.REPO_ROOT, env=_worker_environment(),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                  timeout=WORKER_TIMEOUT_S)
            if done.returncode < 0:
                failure = f"worker killed by signal {-done.returncode}"
            elif done.returncode > 0:
                failure = f"worker exited with code {done.returncode}: {_last_line(done.stderr)}"
            else:
                failure = None
        except subprocess.TimeoutExpired:
            failure = f"worker timed out after {WORKER_TIMEOUT_S} s"
        try:
            record = json.loads(result_path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            record = {"library": library, "version": None, "memory": None, "results": {},
                      "errors": {}, "notes": []}
    # A worker that died (a crash in native code, say) leaves its remaining operations unmeasured.
    for op in OPERATIONS:
        if op not in record["results"]:
            record["results"][op] = None
            record["errors"].setdefault(op, "not measured: the worker stopped early")
    if failure:
        record["notes"].append(failure)
    print(f" {time.perf_counter() - started:.0f} s", file=sys.stderr, flush=True)
    return record


def _scan_limit(csv_path: Path) -> dict | None:
    """One core's plain pass over the CSV's bytes, measured in a process of its own."""
    done = subprocess.run([sys.executable, "-m", "benchmarks.scan_limit", str(csv_path)],
                          cwd=data.REPO_ROOT, capture_output=True, text=True)
    if done.returncode != 0:
        print(f"bench: scan limit failed: {_last_line(done.stderr)}", file=sys.stderr)
        return None
    return json.loads(done.stdout)


def _portable_scan(args) -> float | None:
    """read_csv with the portable scanner's build, measured in a process of its own."""
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([sys.executable, "-m", "benchmarks.portable_scan",
                           args.portable_scan_build, str(data.Dataset(args.size).csv_path),
                           str(args.repeat)],
                          cwd=data.REPO_ROOT, env=environment, capture_output=True, text=True)
    if done.returncode != 0:
        print(f"bench: portable scan failed: {_last_line(done.stderr)}", file=sys.stderr)
        return None
    return json.loads(done.stdout)["read_csv_s"]


def _worker_environment() -> dict:
    environment = dict(os.environ)
    # Set on some machines to steer around OpenBLAS faults on certain processors; they slow
    # numpy, so the peers run without them (both go together).
    if "OPENBLAS_CORETYPE" in environment or "OPENBLAS_L2_SIZE" in environment:
        environment.pop("OPENBLAS_CORETYPE", None)
        environment.pop("OPENBLAS_L2_SIZE", None)
    return environment


def _versions(records: dict) -> dict:
    versions = {library: record["version"] for library, record in records.items()
                if record.get("version")}
    try:
        versions["numpy"] = importlib.metadata.version("numpy")
    except importlib.metadata.PackageNotFoundError:
        pass
    versions["python"] = f"{platform.python_version()} ({platform.python_implementation()})"
    versions["cpu"] = f"{_cpu_model()}, {os.cpu_count()} cores"
    versions["os"] = f"{platform.system()} {platform.release()} {platform.machine()}"
    return versions


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def _row_count(text: str) -> int:
    rows = int(text.replace(",", "").replace("_", ""))
    if rows < 1:
        raise argparse.ArgumentTypeError("the size must be at least 1 row")
    return rows


def _last_line(text: str) -> str:
    lines = [line for line in text.strip().splitlines() if line.strip()]
    return lines[-1] if lines else "no message"


def _write_json(path: Path, content: dict) -> None:
    with open(path, "w", encoding="utf-8") as f:
        json.dump(content, f, indent=2)
        f.write("\n")
