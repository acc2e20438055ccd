"""User and kernel CPU time of an operation's runs, from getrusage: how much of a reader's time is
the kernel's (the page-cache copy, fresh pages for its arrays). Kept apart from the wall-clock
timing, in a field of its own in the worker's record."""

from __future__ import annotations

import gc
import resource
import statistics
from typing import Callable

RUNS = 5


def cpu_times(run: Callable[[], object], runs: int = RUNS) -> dict:
    """{"user_s", "sys_s"}: the median of `runs` runs of each, the collector off during a run and
    each result released before the next (as the timed runs are)."""
    users: list[float] = []
    kernels: list[float] = []
    collector_was_on = gc.isenabled()
    try:
        for _ in range(runs):
            gc.collect()
            gc.disable()
            before = resource.getrusage(resource.RUSAGE_SELF)
            result = run()
            after = resource.getrusage(resource.RUSAGE_SELF)
            if collector_was_on:
                gc.enable()
            del result
            users.append(after.ru_utime - before.ru_utime)
            kernels.append(after.ru_stime - before.ru_stime)
    finally:
        if collector_was_on:
            gc.enable()
    return {"user_s": round(statistics.median(users), 5),
            "sys_s": round(statistics.median(kernels), 5)}
