"""select and filter_gt."""

import pytest


def test_select_order_duplicates_and_missing_names(make_df):
    df = make_df(a=[1, 2], b=["x", "y"], c=[True])
    assert df.select(["b", "a"]).columns() == ["b", "a"]
    assert df.select(["a", "a", "zzz"]).columns() == ["a"]
    assert df.select([]).shape() == (0, 0)
    assert df.select(["zzz"]).shape() == (0, 0)
    short = df.select(["c"])
    assert short.shape() == (1, 1)
    assert short["c"] == [True]


def test_select_shares_but_never_exposes_changes(make_df):
    df = make_df(a=[1, 2], b=[3, 4])
    sub = df.select(["a"])
    sub["a"] = ["replaced"]
    assert df["a"] == [1, 2]
    df["a"] = [0]
    assert sub["a"] == ["replaced"]


@pytest.mark.parametrize(
    "values,threshold,kept",
    [
        ([1, 2, 3], 2.0, [3]),
        ([1, 2, 3], 2.5, [3]),
        ([1.5, 2.5, -1.0], -1.0, [1.5, 2.5]),
        ([True, False, True], 0.5, [True, True]),
        ([True, False, True], 1.0, []),
        ([None, 5, "9", 7], 0.0, [5, 7]),
        (["a", "b"], -1e300, []),
        ([1, float("nan"), 3], 0.0, [1, 3]),
        ([1, 2, 3], float("nan"), []),
        ([1, 2, 3], float("-inf"), [1, 2, 3]),
        ([2**53 + 1, 2**53], float(2**53), []),
    ],
)
def test_filter_gt_on_one_column(make_df, values, threshold, kept):
    out = make_df(v=values).filter_gt("v", threshold)
    assert out.columns() == ["v"]
    assert out["v"] == kept
    assert out.shape() == (len(kept), 1)


def test_filter_gt_keeps_types_and_missing_cells_of_other_columns(make_df):
    df = make_df(k=[5, 0, 6, 7], a=[None, "x", 2.5, True], b=[1])
    out = df.filter_gt("k", 1)
    assert out.columns() == ["k", "a", "b"]
    assert out["k"] == [5, 6, 7]
    assert out["a"] == [None, 2.5, True]
    assert out["b"] == [1]
    assert out.shape() == (3, 3)
    assert df.shape() == (4, 3)


def test_filter_gt_rows_past_the_filter_column_never_pass(make_df):
    df = make_df(k=[9], other=[1, 2, 3])
    out = df.filter_gt("k", 0)
    assert out["other"] == [1]
    assert out.shape() == (1, 2)


def test_filter_gt_skips_kept_rows_past_a_shorter_column(make_df):
    out = make_df(k=[1, 5, 6], short=["a", "b"]).filter_gt("k", 2)
    assert out["short"] == ["b"]
    assert out["k"] == [5, 6]
    assert out.shape() == (2, 2)


def test_filter_gt_unknown_column_and_no_match(make_df):
    df = make_df(a=[1, 2], b=["x", "y"])
    assert df.filter_gt("zzz", 0).shape() == (0, 0)
    none = df.filter_gt("a", 10)
    assert none.shape() == (0, 2)
    assert none.columns() == ["a", "b"]
