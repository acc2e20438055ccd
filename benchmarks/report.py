"""The results as a printed table and as build/bench.json."""

from __future__ import annotations

from .data import COLUMNS
from .timing import spread_of
from .workload import OPERATIONS

LIBRARIES = ("kelvra", "pandas", "polars", "polars_1t", "pyarrow", "pyarrow_1t")
# bench.json reports memory for these; pyarrow is there for read_csv only.
MEMORY_LIBRARIES = ("kelvra", "pandas", "polars", "polars_1t")


def seconds(records: dict, library: str, op: str) -> float | None:
    record = records.get(library)
    return None if record is None else record["results"].get(op)


def median_seconds(records: dict, library: str, op: str) -> float | None:
    record = records.get(library)
    return None if record is None else record.get("medians", {}).get(op)


def spread(records: dict, library: str, op: str) -> float | None:
    """The spread of an operation's measured runs (timing.spread_of), or None."""
    record = records.get(library)
    runs = None if record is None else record.get("runs", {}).get(op)
    return spread_of(runs) if runs else None


def bench_json(rows: int, records: dict, versions: dict, scan: dict | None = None) -> dict:
    """{"rows", "results": [{"op", "<library>_s", "<library>_median_s", "<library>_spread",
    ...}], "memory_mb", "scan_limit", "versions"}: the best and the median of each operation's
    measured runs in seconds and their spread (interquartile range / median), all null where a
    library has no equivalent or the operation failed; scan_limit is what
    benchmarks/scan_limit.py measured (null if it failed)."""
    results = []
    for op in OPERATIONS:
        entry = {"op": op}
        for library in LIBRARIES:
            entry[f"{library}_s"] = _significant(seconds(records, library, op))
            entry[f"{library}_median_s"] = _significant(median_seconds(records, library, op))
            ratio = spread(records, library, op)
            entry[f"{library}_spread"] = None if ratio is None else round(ratio, 3)
        results.append(entry)
    memory = {}
    for library in MEMORY_LIBRARIES:
        held = (records.get(library) or {}).get("memory")
        memory[library] = None if held is None else round(held["peak_mb"], 1)
    cpu = {library: record["cpu"]["read_csv"] for library, record in records.items()
           if "read_csv" in record.get("cpu", {})}
    return {"rows": rows, "results": results, "memory_mb": memory, "scan_limit": scan,
            "read_csv_cpu": cpu, "versions": versions}


def render(rows: int, records: dict, versions: dict, repeats: int,
           scan: dict | None = None) -> str:
    libraries = [library for library in LIBRARIES if library in records]
    peers = [library for library in libraries if library != "kelvra"]
    lines = [
        f"Kelvra against {', '.join(peers) or 'no peer'}: {rows:,} rows x {len(COLUMNS)} columns, "
        f"best and median of {repeats} runs or more after one to warm up",
        "ratio = peer time / Kelvra time: above 1 means Kelvra is faster",
        "",
    ]
    header = [f"{'operation':<12}"] + [f"{library:>11}" for library in libraries]
    header += [f"{peer + '/kelvra':>18}" for peer in peers]
    lines.append("".join(header))
    for op in OPERATIONS:
        cells = [f"{op:<12}"]
        for library in libraries:
            cells.append(f"{_time_text(records, library, op):>11}")
        kelvra = seconds(records, "kelvra", op)
        for peer in peers:
            peer_time = seconds(records, peer, op)
            ratio = "-" if not kelvra or peer_time is None else f"{peer_time / kelvra:.2f}"
            cells.append(f"{ratio:>18}")
        lines.append("".join(cells))

    lines += ["", "median of the measured runs, and their spread: interquartile range / median"]
    lines.append(f"{'operation':<12}" + "".join(f"{library:>17}" for library in libraries))
    for op in OPERATIONS:
        cells = [f"{op:<12}"]
        for library in libraries:
            median = median_seconds(records, library, op)
            ratio = spread(records, library, op)
            text = "-" if median is None or ratio is None else (
                f"{_duration(median)} {ratio * 100:3.0f}%")
            cells.append(f"{text:>17}")
        lines.append("".join(cells))

    if scan is not None:
        lines += ["", f"one core's pass over the CSV's {scan['bytes'] / 1e6:.0f} MB: "
                      f"read from the page cache {_duration(scan['read_s'])} "
                      f"({scan['read_gb_s']} GB/s), memchr in memory {_duration(scan['memchr_s'])} "
                      f"({scan['memchr_gb_s']} GB/s)"]
        if "copy_s" in scan:
            lines.append(f"one core's memcpy of as many bytes in memory: {_duration(scan['copy_s'])} "
                         f"({scan['copy_gb_s']} GB/s copied)")
        kelvra = seconds(records, "kelvra", "read_csv")
        if kelvra:
            lines.append(f"kelvra read_csv: {scan['bytes'] / kelvra / 1e9:.2f} GB/s, "
                         f"{kelvra / (scan['read_s'] + scan['memchr_s']):.1f}x read + memchr")
        portable = scan.get("portable_scan_read_csv_s")
        if kelvra and portable:
            lines.append(f"kelvra read_csv with the portable scanner: {_duration(portable)}, "
                         f"{portable / kelvra:.2f}x the time with this CPU's ({_scanner()})")
    lines += _cpu_lines(records, libraries)
    lines += ["", f"{'memory after read_csv':<22}" + "".join(f"{lib:>11}" for lib in libraries)]
    for label, key, form in (("peak RSS, MB", "peak_mb", "{:.0f}"),
                             ("table held, MB", "table_mb", "{:.0f}"),
                             ("bytes per cell", "bytes_per_cell", "{:.1f}")):
        cells = [f"{label:<22}"]
        for library in libraries:
            held = records[library]["memory"]
            cells.append(f"{'-' if held is None else form.format(held[key]):>11}")
        lines.append("".join(cells))

    lines += ["", "versions: " + ", ".join(f"{name} {value}" for name, value in versions.items())]

    problems = []
    for library in libraries:
        # One line per distinct message: a library that fails the same way everywhere says so once.
        failed: dict[str, list[str]] = {}
        for what, text in records[library]["errors"].items():
            failed.setdefault(text, []).append(what)
        problems += [f"  {library} {', '.join(whats)}: {text}" for text, whats in failed.items()]
    problems += [f"  {library}: {note}"
                 for library in libraries for note in records[library]["notes"]]
    if problems:
        lines += ["", "errors and notes ('error' in the table; such a time is null in bench.json):"]
        lines += problems
    return "\n".join(lines)


def _cpu_lines(records: dict, libraries: list[str]) -> list[str]:
    """read_csv's user and kernel time per run (the median of runs of their own; all threads)."""
    lines = []
    for library in libraries:
        cpu = records[library].get("cpu", {}).get("read_csv")
        if cpu is None:
            continue
        total = cpu["user_s"] + cpu["sys_s"]
        share = 100 * cpu["sys_s"] / total if total > 0 else 0.0
        lines.append(f"  {library:<11} user {_duration(cpu['user_s'])}, kernel "
                     f"{_duration(cpu['sys_s'])} ({share:.0f}% kernel)")
    return ["", "read_csv CPU time per run, all threads:"] + lines if lines else []


def _scanner() -> str:
    """The scanner body the default build picks on this CPU."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            flags = next((line.split() for line in f if line.startswith(("flags", "Features"))),
                         [])
    except OSError:
        return "unknown"
    if "avx2" in flags and "pclmulqdq" in flags:
        return "AVX2"
    return "NEON with PMULL" if "pmull" in flags else "the baseline one"


def _time_text(records: dict, library: str, op: str) -> str:
    value = seconds(records, library, op)
    if value is not None:
        return _duration(value)
    return "error" if op in records[library]["errors"] else "-"


def _duration(value: float) -> str:
    if value >= 1.0:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.1f} ms"
    return f"{value * 1e6:.0f} us"


def _significant(value: float | None) -> float | None:
    return None if value is None else float(f"{value:.4g}")
