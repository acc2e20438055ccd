"""Columns whose cells change type part-way, checked against a direct computation in Python.

Columns of one type and columns that mix types are stored differently; these sequences cross
from one to the other at various rows (and across 64-row words of the missing-value mask).
"""

import math

import pytest

import kelvra

N = 150


def reading(v):
    """The numeric reading of a cell, or None for strings and missing cells."""
    if v is None or isinstance(v, str):
        return None
    return float(v)


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    return type(a) is type(b) and a == b


SEQUENCES = {
    "ints then a string": [i for i in range(N - 1)] + ["x"],
    "strings then an int": [f"s{i}" for i in range(N - 1)] + [7],
    "missing then strings": [None] * 70 + [f"t{i}" for i in range(N - 70)],
    "missing then ints": [None] * 65 + list(range(N - 65)),
    "all missing": [None] * N,
    "every type": [[i, i * 0.5, f"w{i}", i % 3 == 0, None][i % 5] for i in range(N)],
    "bools and doubles": [True if i % 2 else -1.25 * i for i in range(N)],
    "empty strings and missing": ["" if i % 3 else None for i in range(N)],
}


@pytest.mark.parametrize("values", SEQUENCES.values(), ids=SEQUENCES.keys())
def test_operations_match_cell_by_cell(values):
    df = kelvra.DataFrame()
    df["a"] = values
    assert all(same(g, e) for g, e in zip(df["a"], values, strict=True))

    product = (df * -2.0)["a"]
    expected = [None if v is None else v if isinstance(v, str) else float(v) * -2.0 for v in values]
    assert all(same(g, e) for g, e in zip(product, expected, strict=True))

    for threshold in (-math.inf, 10.0):
        kept = df.filter_gt("a", threshold)["a"]
        model = [v for v in values if reading(v) is not None and reading(v) > threshold]
        assert all(same(g, e) for g, e in zip(kept, model, strict=True))

    numbers = [reading(v) for v in values if reading(v) is not None]
    total = 0.0
    for x in numbers:
        total += x
    assert df.sum()["a"] == total
    assert df.mean()["a"] == (total / len(numbers) if numbers else 0.0)


def test_repeated_json_key_replaces_the_cell_across_types(tmp_path):
    path = tmp_path / "rows.json"
    path.write_text('[{"a": "long text", "a": 1}, {"a": 2, "a": "x"}, {"a": 3, "a": null}]')
    assert kelvra.read_json(str(path))["a"] == [1, "x", None]


def _text(i):
    """Strings of every length up to 46 bytes: stored inline up to 12 bytes, in buffers beyond."""
    return "é" * (i % 3) + "x" * (i % 41)


@pytest.mark.parametrize("keep", [lambda k: k % 2 == 0, lambda k: k < 3, lambda k: k > N - 2],
                         ids=["every other row", "first rows", "last row"])
def test_row_subsets_keep_every_string(keep, tmp_path):
    keys = list(range(N))
    text = [_text(i) if i % 11 else None for i in range(N)]
    mixed = [[i, _text(i + 20), None, 2.5, f"{i:>30}"][i % 5] for i in range(N)]
    df = kelvra.DataFrame()
    df["key"] = [k if keep(k) else -1 for k in keys]
    df["text"] = text
    df["mixed"] = mixed
    kept = df.filter_gt("key", -0.5)
    rows = [i for i in keys if keep(i)]
    assert kept["text"] == [text[i] for i in rows]
    assert all(same(kept["mixed"][j], mixed[i]) for j, i in enumerate(rows))
    path = tmp_path / "kept.json"
    kept.to_json(str(path))
    assert kelvra.read_json(str(path))["text"] == kept["text"]
    (kept * 2.0).to_csv(str(tmp_path / "kept.csv"))
    assert kelvra.read_csv(str(tmp_path / "kept.csv"))["text"] == [
        None if t == "" else t for t in kept["text"]]
