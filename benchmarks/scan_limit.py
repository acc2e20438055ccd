"""How fast one core merely passes over the CSV's bytes once: the floor under any read_csv.

    python -m benchmarks.scan_limit PATH

Two figures, each the best of several runs: `read_s`, reading the file from the page cache into
memory already allocated (the copy every reader pays), and `memchr_s`, one memchr pass over the
bytes in memory (bytes.find of a byte the file does not hold is a single memchr call). A third,
`copy_s`, copies the bytes in memory to memory already written once (one memcpy): the copy
bandwidth against which the operations that only move memory are read.
"""

from __future__ import annotations

import json
import os
import sys
import time
from pathlib import Path

RUNS = 7
CHUNK = 1 << 20


def measure(path: Path) -> dict:
    size = path.stat().st_size
    buffer = bytearray(size)
    view = memoryview(buffer)
    read_s = min(_timed_read(path, view) for _ in range(RUNS))
    data = bytes(buffer)
    absent = next(bytes([b]) for b in range(256) if bytes([b]) not in data)
    memchr_s = min(_timed(lambda: data.find(absent)) for _ in range(RUNS))
    source = memoryview(data)
    copy_s = min(_timed(lambda: view.__setitem__(slice(None), source)) for _ in range(RUNS))
    return {"bytes": size, "read_s": _significant(read_s), "memchr_s": _significant(memchr_s),
            "copy_s": _significant(copy_s), "read_gb_s": round(size / read_s / 1e9, 2),
            "memchr_gb_s": round(size / memchr_s / 1e9, 2),
            "copy_gb_s": round(size / copy_s / 1e9, 2)}


def _timed_read(path: Path, view: memoryview) -> float:
    started = time.perf_counter()
    fd = os.open(path, os.O_RDONLY)
    try:
        done = 0
        while done < len(view):
            got = os.readv(fd, [view[done:done + CHUNK]])
            if got == 0:
                break
            done += got
    finally:
        os.close(fd)
    return time.perf_counter() - started


def _timed(call) -> float:
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


def _significant(value: float) -> float:
    return float(f"{value:.4g}")


if __name__ == "__main__":
    print(json.dumps(measure(Path(sys.argv[1]))))
