"""head(n) and the fixed-width text it prints."""

import contextlib
import io
import os
import subprocess
import sys
import textwrap

import pytest


def shown(df, *args, **kwargs):
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        assert df.head(*args, **kwargs) is None
    return buf.getvalue()


def row(*fields):
    return " ".join(f"{f:>12}" for f in fields) + "\n"


def sep(n):
    return " ".join(["-" * 12] * n) + "\n"


def test_worked_example(make_df):
    df = make_df(a=[1, 2], b=[2.5, None], c=[True, False])
    assert shown(df) == (
        "           a            b            c\n"
        "------------ ------------ ------------\n"
        "           1          2.5            1\n"
        "           2          NaN            0\n"
        "\n"
        "Shape: (2, 3)\n"
    )


@pytest.mark.parametrize(
    "value,text",
    [
        (3.0, "3"),
        (1234567.0, "1.23457e+06"),
        (0.00001, "1e-05"),
        (123456.7, "123457"),
        (-0.0, "-0"),
        (float("inf"), "inf"),
        (-(2**63), str(-(2**63))),
        ("naïve", "naïve"),
        (False, "0"),
    ],
)
def test_cell_texts(make_df, value, text):
    expected_pad = 12 - len(text.encode())
    assert shown(make_df(v=[value])).splitlines()[2] == " " * max(expected_pad, 0) + text


@pytest.mark.parametrize(
    "n,rows_shown,shape_rows",
    [(0, 0, 0), (3, 3, 3), (20, 10, 20), (100, 10, 100), (500, 10, 100), (-1, 10, 100),
     (-(2**31), 10, 100)],
)
def test_row_counts(make_df, n, rows_shown, shape_rows):
    out = shown(make_df(a=list(range(100)), b=["x"] * 100), n)
    lines = out.split("\n")
    assert lines[2 : 2 + rows_shown] == [row(i, "x")[:-1] for i in range(rows_shown)]
    assert lines[2 + rows_shown] == ""
    assert lines[3 + rows_shown] == f"Shape: ({shape_rows}, 2)"


def test_default_and_keyword_n(make_df):
    df = make_df(a=list(range(8)))
    assert shown(df) == shown(df, 5) == shown(df, n=5)
    assert shown(df, n=2).count("\n") == 6


def test_no_columns_and_no_rows(make_df):
    assert shown(make_df()) == "Empty DataFrame\n"
    assert shown(make_df(), 0) == "Empty DataFrame\n"
    assert shown(make_df(a=[], b=[])) == row("a", "b") + sep(2) + "\nShape: (0, 2)\n"


def test_short_columns_and_long_names(make_df):
    df = make_df(a=[1, 2], long_name_over_twelve=[None], b=["a longer text value"])
    assert shown(df) == (
        row("a", "long_name_over_twelve", "b")
        + sep(3)
        + row(1, "NaN", "a longer text value")
        + row(2, "", "")
        + "\nShape: (2, 3)\n"
    )


def test_head_leaves_source_unchanged(make_df):
    df = make_df(a=[1, 2, 3])
    shown(df, 1)
    assert df.shape() == (3, 1)


def test_order_with_print_when_piped(tmp_path):
    script = textwrap.dedent(
        """
        import kelvra
        df = kelvra.DataFrame()
        df["a"] = [1]
        print("a")
        df.head()
        print("b")
        """
    )
    out_path = tmp_path / "out.txt"
    with open(out_path, "w") as out:
        subprocess.run([sys.executable, "-c", script], stdout=out, check=True, env=os.environ)
    assert out_path.read_text() == "a\n" + row("a") + sep(1) + row(1) + "\nShape: (1, 1)\n" + "b\n"


def test_capsys_sees_the_table(make_df, capsys):
    make_df(a=[1]).head()
    assert capsys.readouterr().out.startswith(row("a"))
