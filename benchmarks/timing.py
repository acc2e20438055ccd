"""Best-of-N timing and the process's resident memory."""

from __future__ import annotations

import gc
import resource
import sys
import time
from dataclasses import dataclass
from typing import Callable


FAST_TOTAL_S = 0.5
FAST_MAX_RUNS = 50


@dataclass(frozen=True)
class Timing:
    best: float  # seconds
    runs: list[float]


def best_of(run: Callable[[], object], repeats: int, budget_s: float, min_runs: int = 3,
            check: Callable[[object], None] | None = None) -> Timing:
    """Runs `run` at least `repeats` times and keeps the fastest.

    The machine is shared, so a single run says little: quick operations go on repeating until
    they have run for FAST_TOTAL_S in all (at most FAST_MAX_RUNS runs), and after `min_runs` runs a
    slow one stops once the runs so far took longer than `budget_s`. The collector is off while a
    run is timed, as timeit does, and each result is released before the next run starts, so that
    no run pays for freeing its predecessor. `check` sees the first result and raises if it is not
    the work that was asked for.
    """
    times: list[float] = []
    collector_was_on = gc.isenabled()
    try:
        while len(times) < repeats or (sum(times) < FAST_TOTAL_S and len(times) < FAST_MAX_RUNS):
            gc.collect()
            gc.disable()
            start = time.perf_counter()
            result = run()
            elapsed = time.perf_counter() - start
            if collector_was_on:
                gc.enable()
            if not times and check is not None:
                check(result)
            del result
            times.append(elapsed)
            if len(times) >= min_runs and sum(times) > budget_s:
                break
    finally:
        if collector_was_on:
            gc.enable()
    return Timing(best=min(times), runs=times)


def current_rss_bytes() -> int:
    """Resident memory now (Linux); falls back to the peak where /proc is missing."""
    try:
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[1])
        return pages * resource.getpagesize()
    except OSError:
        return peak_rss_bytes()


def reset_peak_rss() -> None:
    """Starts the high-water mark afresh at the current resident size (Linux 4.0 and later).

    Without this the mark would include whatever the parent process held when it started us: a
    new program inherits the peak of the process it replaced.
    """
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def peak_rss_bytes() -> int:
    """The process's high-water mark of resident memory."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024  # bytes there, KiB elsewhere
