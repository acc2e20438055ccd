"""The benchmark table: generated from a fixed seed, written once as CSV and as JSON records.

The same rows feed every library. They are cached under build/bench-data/, keyed by the row count
and by GENERATOR_VERSION, so a run only pays for generation the first time it meets a size.
"""

from __future__ import annotations

import csv
import gzip
import json
import os
import shutil
import sys
from dataclasses import dataclass
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parent.parent
DATA_DIR = REPO_ROOT / "build" / "bench-data"

SEED = 20240611
# Bump whenever the generated content changes, so that stale cached files are not reused.
GENERATOR_VERSION = 1

# Column roles. The mixed column holds integers and strings side by side, which only Kelvra keeps
# as they are; the peers read it as strings.
COLUMNS = ("int", "int_na", "double", "double_na", "category", "text", "flag", "mixed")
NUMERIC = ("int", "int_na", "double", "double_na", "flag")
SELECTED = ("int", "double", "category")
FILTER_COLUMN = "int"
FILTER_THRESHOLD = 0.0  # "int" is uniform around zero, so about half the rows pass
GETITEM_COLUMN = "int"

MISSING_SHARE = 0.05
TEXT_COMMA_SHARE = 0.15
TEXT_QUOTE_SHARE = 0.05
MIXED_STRING_SHARE = 0.3

_CATEGORIES = ("red", "green", "blue", "amber", "teal", "plum", "sand", "rust", "jade", "onyx",
               "ivory", "coral")
_MIXED_WORDS = ("n/a", "unknown", "pending", "see notes")
_SYLLABLES = ("ka", "lo", "mi", "ne", "ru", "sa", "ti", "vo", "zen", "dar", "pel", "quo", "bri",
              "sto", "wex", "ly")


@dataclass(frozen=True)
class Dataset:
    """The cached files of one size."""

    rows: int

    @property
    def stem(self) -> str:
        return f"table-v{GENERATOR_VERSION}-{self.rows}"

    @property
    def csv_path(self) -> Path:
        return DATA_DIR / f"{self.stem}.csv"

    @property
    def csv_gz_path(self) -> Path:
        """The CSV file gzip-compressed (at gzip's default level), as data is often shipped."""
        return DATA_DIR / f"{self.stem}.csv.gz"

    @property
    def json_path(self) -> Path:
        return DATA_DIR / f"{self.stem}.json"

    @property
    def cells(self) -> int:
        return self.rows * len(COLUMNS)

    def exists(self) -> bool:
        return self.csv_path.exists() and self.json_path.exists() and self.csv_gz_path.exists()

    def output_path(self, library: str, extension: str) -> Path:
        """Where a library's writer puts its file; one per library so runs never collide."""
        return DATA_DIR / "out" / f"{library}-{self.rows}.{extension}"


def ensure(rows: int) -> Dataset:
    """The dataset of this size, generated and written first if it is not cached yet."""
    dataset = Dataset(rows)
    if dataset.exists():
        return dataset
    if not (dataset.csv_path.exists() and dataset.json_path.exists()):
        print(f"bench: generating {rows:,} rows into {DATA_DIR}", file=sys.stderr, flush=True)
        columns = generate_columns(rows)
        DATA_DIR.mkdir(parents=True, exist_ok=True)
        _write_atomically(dataset.csv_path, lambda f: _write_csv(f, columns))
        _write_atomically(dataset.json_path, lambda f: _write_json(f, columns))
    _write_gzip(dataset.csv_path, dataset.csv_gz_path)
    return dataset


def split_csv(rows: int, files: int) -> list[Path]:
    """The CSV of this size cut into `files` files of about equal size, each starting with the
    header line (cached beside it). The text fields hold no line breaks, so every line break
    ends a row and the cuts fall on line breaks."""
    source = ensure(rows).csv_path
    folder = DATA_DIR / f"{Dataset(rows).stem}-split-{files}"
    paths = [folder / f"part-{i:03d}.csv" for i in range(files)]
    if all(path.exists() for path in paths):
        return paths
    folder.mkdir(parents=True, exist_ok=True)
    with open(source, "rb") as f:
        header = f.readline()
        body = f.read()
    at = 0
    for i, path in enumerate(paths):
        end = len(body) if i == files - 1 else body.find(b"\n", len(body) * (i + 1) // files) + 1
        end = max(end, at) if end > 0 else len(body)
        _write_atomically(path, lambda f: f.write(header + body[at:end]), binary=True)
        at = end
    return paths


def generate_columns(rows: int) -> dict[str, list]:
    """The table as Python lists, None for a missing cell. Deterministic for a given numpy."""
    import numpy as np

    rng = np.random.default_rng(SEED)

    def with_missing(values: list) -> list:
        missing = (rng.random(rows) < MISSING_SHARE).tolist()
        return [None if gone else v for v, gone in zip(values, missing)]

    columns = {
        "int": rng.integers(-1_000_000, 1_000_000, rows).tolist(),
        "int_na": with_missing(rng.integers(0, 100_000, rows).tolist()),
        # Rounded so that every value is written in plain decimal notation by every writer.
        "double": np.round(rng.normal(0.0, 1000.0, rows), 4).tolist(),
        "double_na": with_missing(np.round(rng.uniform(0.0, 100.0, rows), 3).tolist()),
        "category": [_CATEGORIES[i] for i in rng.integers(0, len(_CATEGORIES), rows).tolist()],
        "text": _free_text(rng, rows),
        "flag": rng.integers(0, 2, rows).tolist(),
        "mixed": _mixed(rng, rows),
    }
    assert tuple(columns) == COLUMNS
    return columns


def _free_text(rng, rows: int) -> list[str]:
    """Sentences of 3 to 10 made-up words; some hold a comma, some a quoted word, so that every
    CSV writer has to quote them and every reader has to honour the quotes."""
    words = [a + b for a in _SYLLABLES for b in _SYLLABLES]
    counts = rng.integers(3, 11, rows).tolist()
    picks = rng.integers(0, len(words), sum(counts)).tolist()
    commas = (rng.random(rows) < TEXT_COMMA_SHARE).tolist()
    quotes = (rng.random(rows) < TEXT_QUOTE_SHARE).tolist()
    texts = []
    at = 0
    for count, comma, quote in zip(counts, commas, quotes):
        sentence = [words[i] for i in picks[at:at + count]]
        at += count
        if comma:
            sentence[1] += ","
        if quote:
            sentence[-1] = f'"{sentence[-1]}"'
        texts.append(" ".join(sentence))
    return texts


def _mixed(rng, rows: int) -> list[int | str]:
    numbers = rng.integers(0, 10_000, rows).tolist()
    is_string = (rng.random(rows) < MIXED_STRING_SHARE).tolist()
    labels = rng.integers(0, len(_MIXED_WORDS), rows).tolist()
    return [_MIXED_WORDS[label] if string else number
            for number, string, label in zip(numbers, is_string, labels)]


def _write_csv(f, columns: dict[str, list]) -> None:
    # Minimal quoting, as pandas and polars write: only fields with a comma or a quote are quoted.
    writer = csv.writer(f, lineterminator="\n")
    writer.writerow(COLUMNS)
    writer.writerows(zip(*columns.values()))


def _write_json(f, columns: dict[str, list]) -> None:
    # An array of row objects, one per line, as Kelvra's writer lays them out.
    f.write("[\n")
    last = len(columns[COLUMNS[0]]) - 1
    for i, row in enumerate(zip(*columns.values())):
        f.write(json.dumps(dict(zip(COLUMNS, row))))
        f.write(",\n" if i < last else "\n")
    f.write("]\n")


def _write_gzip(source: Path, path: Path) -> None:
    """One gzip member at the default level, with no timestamp: the same bytes on every run."""

    def write(out):
        with open(source, "rb") as f, gzip.GzipFile(fileobj=out, mode="wb", compresslevel=6,
                                                   mtime=0, filename="") as z:
            shutil.copyfileobj(f, z, 1 << 20)

    _write_atomically(path, write, binary=True)


def _write_atomically(path: Path, write, binary: bool = False) -> None:
    """Writes through a temporary file, so an interrupted run never leaves a truncated cache."""
    temporary = path.with_suffix(path.suffix + ".tmp")
    with (open(temporary, "wb") if binary else
          open(temporary, "w", encoding="utf-8", newline="")) as f:
        write(f)
    os.replace(temporary, path)


if __name__ == "__main__":
    ensure(int(sys.argv[1]))
