"""df * x, sum() and mean()."""

import math

import pytest


def same(a, b):
    """Equal, NaN equal to NaN, and the sign of zero compared."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize(
    "values,factor,expected",
    [
        ([1, 2], 2, [2.0, 4.0]),
        ([True, False], 3, [3.0, 0.0]),
        ([1, True, 2.5], 1.0, [1.0, 1.0, 2.5]),
        (["a", None, 4], 2, ["a", None, 8.0]),
        ([0], -1.0, [-0.0]),
        ([-0.0], 2, [-0.0]),
        ([2**53 + 1], 1, [float(2**53)]),
        ([1, True, "s", None], float("nan"), [math.nan, math.nan, "s", None]),
        ([float("inf")], 0, [math.nan]),
    ],
)
def test_multiply_cells(make_df, values, factor, expected):
    df = make_df(a=values)
    got = (df * factor)["a"]
    assert len(got) == len(expected)
    assert all(same(g, e) for g, e in zip(got, expected)), got
    assert df["a"] == values or any(v != v for v in values if isinstance(v, float))


def test_multiply_keeps_shape_order_and_ragged_lengths(make_df):
    df = make_df(b=[1, 2, 3], a=["x"], c=[])
    out = df * 1.5
    assert out.columns() == ["b", "a", "c"]
    assert out.shape() == (3, 3)
    assert out["a"] == ["x"]
    assert out["c"] == []
    assert (make_df() * 2).shape() == (0, 0)


@pytest.mark.parametrize(
    "values,total,mean",
    [
        ([1, 2, None], 3.0, 1.5),
        ([True, True, False], 2.0, 2 / 3),
        (["a", 2, 4], 6.0, 3.0),
        (["a", "b"], 0.0, 0.0),
        ([], 0.0, 0.0),
        ([None, None], 0.0, 0.0),
        ([1.5, float("nan")], math.nan, math.nan),
        ([2**53, 1, 1], float(2**53), float(2**53) / 3),
        # A plain left-to-right total. Not Python's sum(): from 3.12 on it compensates and
        # gives exactly 1.0.
        ([0.1] * 10, 0.9999999999999999, 0.9999999999999999 / 10),
    ],
)
def test_sum_and_mean(make_df, values, total, mean):
    df = make_df(a=values)
    s, m = df.sum()["a"], df.mean()["a"]
    assert type(s) is float and type(m) is float
    assert same(s, total)
    assert same(m, mean)


def test_dict_keys_follow_column_order(make_df):
    names = ["z", "a", "m\x00x", "m\x00y", "é"]
    df = make_df()
    for i, name in enumerate(names):
        df[name] = [i]
    assert list(df.sum()) == df.columns() == names
    assert list(df.mean()) == names
    assert df.sum()["m\x00y"] == 3.0


def test_empty_table_gives_empty_dicts(make_df):
    assert make_df().sum() == {}
    assert make_df().mean() == {}


def test_non_utf8_name_raises(make_df):
    df = make_df()
    df[b"\xfe"] = [1]
    with pytest.raises(UnicodeDecodeError):
        df.sum()
