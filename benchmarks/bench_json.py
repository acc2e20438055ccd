"""Times to_json and read_json on a generated table; pandas and polars too when installed.

Usage: python benchmarks/bench_json.py [rows]   (default 1,000,000 rows x 8 columns)
"""

import os
import random
import sys
import tempfile
import time

import kelvra


def make_columns(rows):
    rng = random.Random(7)
    words = ["alpha", "beta", "gamma", "delta", "a somewhat longer text value", "é ü ø"]
    return {
        "id": list(range(rows)),
        "count": [rng.randrange(-10**6, 10**6) for _ in range(rows)],
        "price": [rng.random() * 1000 for _ in range(rows)],
        "ratio": [rng.random() for _ in range(rows)],
        "name": [rng.choice(words) for _ in range(rows)],
        "code": [f"C{rng.randrange(10**9)}" for _ in range(rows)],
        "flag": [rng.random() < 0.5 for _ in range(rows)],
        "score": [None if i % 10 == 0 else rng.randrange(100) for i in range(rows)],
    }


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    print(f"{label:<32} {time.perf_counter() - start:8.3f} s")
    return result


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    columns = make_columns(rows)
    df = kelvra.DataFrame()
    for name, values in columns.items():
        df[name] = values
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "table.json")
        timed("kelvra to_json", lambda: df.to_json(path))
        print(f"file: {os.path.getsize(path) / 1e6:.1f} MB, {rows} rows x {len(columns)} columns")
        back = timed("kelvra read_json", lambda: kelvra.read_json(path))
        assert back.shape() == df.shape()
        try:
            import pandas
        except ImportError:
            pandas = None
        if pandas is not None:
            frame = timed("pandas read_json(records)",
                          lambda: pandas.read_json(path, orient="records"))
            timed("pandas to_json(records)",
                  lambda: frame.to_json(path + ".pd", orient="records"))
        try:
            import polars
        except ImportError:
            polars = None
        if polars is not None:
            frame = timed("polars read_json", lambda: polars.read_json(path))
            timed("polars write_json", lambda: frame.write_json(path + ".pl"))


if __name__ == "__main__":
    main()
