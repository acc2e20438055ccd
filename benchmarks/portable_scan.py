"""read_csv with the module built with the portable CSV scanner (`make test PORTABLE_SCAN=ON`'s
build), in a process of its own: the speed of the scanner that CPUs without the x86-64 and AArch64
bodies run, set beside this CPU's own.

    python -m benchmarks.portable_scan BUILD_DIR CSV_PATH REPEAT
"""

from __future__ import annotations

import json
import os
import sys

from .timing import best_of


def measure(build_dir: str, csv_path: str, repeat: int) -> dict:
    sys.path.insert(0, build_dir)
    import kelvra

    where = os.path.dirname(os.path.realpath(kelvra.__file__))
    if where != os.path.realpath(build_dir):
        raise RuntimeError(f"kelvra was imported from {where}, not from {build_dir}")
    timing = best_of(lambda: kelvra.read_csv(csv_path), repeat, budget_s=20.0)
    return {"read_csv_s": float(f"{timing.best:.4g}")}


if __name__ == "__main__":
    print(json.dumps(measure(sys.argv[1], sys.argv[2], int(sys.argv[3]))))
