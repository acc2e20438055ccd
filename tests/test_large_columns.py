"""Columns large enough that their cells live in mappings of their own, made and freed table by table."""

import os

import pytest
from memory_use import resident_mb

import kelvra

ROWS = 400_000  # 3.2 MB of payloads: past the size from which arrays are mappings of their own


@pytest.mark.parametrize("rounds", [3])
def test_reused_blocks_hold_exactly_the_new_cells(rounds):
    base = kelvra.DataFrame()
    base["i"] = range(ROWS)
    base["s"] = [None if i % 7 == 0 else f"s{i}" for i in range(ROWS)]
    for round_ in range(1, rounds + 1):
        scaled = base * round_
        kept = scaled.filter_gt("i", (ROWS - 6) * round_)
        assert kept["i"] == [float(i * round_) for i in range(ROWS - 5, ROWS)]
        assert kept["s"] == [None if i % 7 == 0 else f"s{i}" for i in range(ROWS - 5, ROWS)]
        column = scaled["i"]
        assert column[::50_000] == [float(i * round_) for i in range(0, ROWS, 50_000)]
        assert scaled.sum()["i"] == float(round_ * ROWS * (ROWS - 1) // 2)
        del scaled, kept, column


def test_tables_alive_at_once_do_not_share_blocks():
    tables = [kelvra.DataFrame() for _ in range(4)]
    for k, df in enumerate(tables):
        df["v"] = [k] * ROWS
    products = [df * 2 for df in tables]
    del tables
    again = [kelvra.DataFrame() for _ in range(4)]
    for k, df in enumerate(again):
        df["v"] = [k + 10] * ROWS
    for k, df in enumerate(products):
        assert df.sum()["v"] == 2.0 * k * ROWS
    for k, df in enumerate(again):
        assert df.mean()["v"] == float(k + 10)


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizer keeps freed memory")
def test_freed_tables_give_their_memory_back():
    values = [i * 0.5 for i in range(ROWS)]
    words = [f"word {i}" for i in range(ROWS)]
    before = resident_mb()
    for _ in range(3):
        df = kelvra.DataFrame()
        df["d"] = values
        df["s"] = words
        derived = [df * 2, df.filter_gt("d", 10.0), (df * 3).filter_gt("d", 0.0)]
        del df, derived
    assert resident_mb() - before < 8


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_cell_longer_than_the_output_buffer(tmp_path, fmt):
    long_text = 'a"b,\\\n' * 600_000  # 3.6 MB, more with its quotes or escapes
    df = kelvra.DataFrame()
    df["i"] = [1, 2, 3]
    df["s"] = ["x", long_text, "y"]
    path = str(tmp_path / f"t.{fmt}")
    getattr(df, f"to_{fmt}")(path)
    back = getattr(kelvra, f"read_{fmt}")(path)
    assert back["i"] == [1, 2, 3]
    assert back["s"] == ["x", long_text, "y"]


def test_filter_over_many_blocks_written_around_the_cache():
    # Over a million kept rows: the result arrays pass the size written with streaming stores,
    # and the rows are taken in many blocks, some crossing the end of the shorter column.
    rows = 1_200_000
    keys = [i % 10 for i in range(rows)]
    texts = [None if i % 11 == 0 else f"text number {i}" if i % 3 else "short" for i in range(rows)]
    mixed = [None if i % 13 == 0 else f"word{i}" if i % 4 == 0 else i for i in range(rows)]
    df = kelvra.DataFrame()
    df["k"] = keys
    df["t"] = texts
    df["m"] = mixed
    df["short"] = texts[: rows - 30]
    out = df.filter_gt("k", 0)
    kept = [i for i in range(rows) if keys[i] > 0]
    assert out.shape() == (len(kept), 4)
    assert out["k"] == [keys[i] for i in kept]
    assert out["t"] == [texts[i] for i in kept]
    assert out["m"] == [mixed[i] for i in kept]
    assert out["short"] == [texts[i] for i in kept if i < rows - 30]
