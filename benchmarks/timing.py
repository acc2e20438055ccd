"""Best-of-N timing and the process's resident memory."""

from __future__ import annotations

import gc
import resource
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Callable


FAST_TOTAL_S = 0.5
FAST_MAX_RUNS = 50


@dataclass(frozen=True)
class Timing:
    best: float  # seconds, the fastest measured run
    median: float  # seconds, the median measured run
    runs: list[float]  # every measured run, in order
    warmup: float  # seconds, the first call, not counted in best or median

    @property
    def spread(self) -> float:
        return spread_of(self.runs)


def spread_of(runs: list[float]) -> float:
    """How far apart the runs lie: the distance between the quartiles over the median. On a
    shared machine a few runs are always interrupted, so the extremes would say more about the
    machine than about the operation."""
    if len(runs) < 2:
        return 0.0
    first, _, third = statistics.quantiles(runs, n=4, method="inclusive")
    median = statistics.median(runs)
    return (third - first) / median if median else 0.0


def best_of(run: Callable[[], object], repeats: int, budget_s: float, min_runs: int = 3,
            check: Callable[[object], None] | None = None) -> Timing:
    """Calls `run` once to warm up, then at least `repeats` times more, and keeps every time.

    The first call is timed but set apart: it is where an operation meets memory the process has
    never touched (in a virtual machine the host backs such pages as they are first written, at a
    tenth of the usual speed) and code and data not yet in the caches; a program that calls the
    operation more than once sees that only once. `check` sees its result and raises if it is not
    the work that was asked for.

    The machine is shared, so a single run says little: quick operations go on repeating until
    they have run for FAST_TOTAL_S in all (at most FAST_MAX_RUNS runs), and after `min_runs` runs a
    slow one stops once the runs so far took longer than `budget_s`. The garbage collector is off
    while the calls run, as in timeit. A full collection runs once before the first call; between
    calls, untimed, only the youngest generation is collected, which holds whatever cycles the
    last call left (nothing is promoted while the collector is off) without walking the whole
    heap: a full collection before every call left the caches cold, which no program calling the
    operation in a loop sees. Each result is released before the next call starts, so that no run
    pays for freeing its predecessor.
    """
    collector_was_on = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = run()
        warmup = time.perf_counter() - start
        if check is not None:
            check(result)
        del result
        gc.collect(0)
        times: list[float] = []
        while len(times) < repeats or (sum(times) < FAST_TOTAL_S and len(times) < FAST_MAX_RUNS):
            start = time.perf_counter()
            result = run()
            elapsed = time.perf_counter() - start
            del result
            gc.collect(0)
            times.append(elapsed)
            if len(times) >= min_runs and sum(times) + warmup > budget_s:
                break
    finally:
        if collector_was_on:
            gc.enable()
    return Timing(best=min(times), median=statistics.median(times), runs=times, warmup=warmup)


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
