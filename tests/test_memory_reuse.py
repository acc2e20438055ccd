"""Memory that freed tables give back is kept for the next large arrays only while other tables
hold large arrays, never more than they hold, and goes back to the kernel with the last of them."""

import os

import pytest
from memory_use import resident_mb

import kelvra

ROWS = 1_000_000
# Sum of the "i" column of every table read; the doubled table's is twice that.
I_SUM = float(ROWS * (ROWS - 1) // 2)

pytestmark = pytest.mark.skipif(
    "ASAN_OPTIONS" in os.environ, reason="the sanitizer keeps freed memory"
)


@pytest.fixture(scope="module")
def big_csv(tmp_path_factory):
    """A CSV file of ROWS rows: an integer, a double and a text column."""
    df = kelvra.DataFrame()
    df["i"] = range(ROWS)
    df["x"] = [i * 0.25 for i in range(ROWS)]
    df["s"] = [f"text {i}" for i in range(ROWS)]
    path = tmp_path_factory.mktemp("reuse") / "big.csv"
    df.to_csv(str(path))
    return str(path)


def read_scale_filter(path, rounds):
    """Reads the table, multiplies and filters it, `rounds` times, checking the cells that land in
    reused memory; every table is freed."""
    for _ in range(rounds):
        df = kelvra.read_csv(path)
        doubled = df * 2.0
        kept = df.filter_gt("i", ROWS / 2 - 0.5)
        assert df.sum()["i"] == I_SUM
        assert doubled.sum()["i"] == 2 * I_SUM
        assert kept.shape() == (ROWS // 2, 3)
        assert kept["s"][:2] == [f"text {ROWS // 2}", f"text {ROWS // 2 + 1}"]
        del df, doubled, kept


@pytest.mark.parametrize(
    ("small_kept", "margin_mb"),
    [pytest.param(False, 32, id="all-freed"), pytest.param(True, 48, id="small-table-kept")],
)
def test_repeated_operations_give_memory_back(big_csv, small_kept, margin_mb):
    before = resident_mb()
    small = None
    if small_kept:
        small = kelvra.read_csv(big_csv).select(["x"]).filter_gt("x", (ROWS - 4) * 0.25)
    read_scale_filter(big_csv, 3)
    assert resident_mb() - before < margin_mb
    if small is not None:
        assert small["x"] == [(ROWS - 3) * 0.25, (ROWS - 2) * 0.25, (ROWS - 1) * 0.25]


def test_kept_memory_is_bounded_by_live_tables_and_returned_with_the_last(big_csv):
    read_scale_filter(big_csv, 1)  # what a first pass leaves in the process is not the table's
    before = resident_mb()
    df = kelvra.read_csv(big_csv)
    table_mb = resident_mb() - before
    # Results holding about three times the table's memory, all freed while it lives.
    results = [df * factor for factor in (2.0, 3.0)]
    results += [df.filter_gt("i", threshold) for threshold in (-1.0, 1.0, ROWS / 2)]
    assert [r.shape()[0] for r in results] == [ROWS, ROWS, ROWS, ROWS - 2, ROWS // 2 - 1]
    del results
    while_live = resident_mb() - before
    del df
    after = resident_mb() - before
    assert table_mb + 8 < while_live < 2 * table_mb + 8
    assert after < 16
