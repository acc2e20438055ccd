"""Building tables from dicts and reading them back, for the JSON tests."""

import kelvra


def make_table(columns):
    df = kelvra.DataFrame()
    for name, values in columns.items():
        df[name] = values
    return df


def contents(df):
    """Every column with each cell tagged by its type, so that 1, 1.0 and True stay apart."""
    return {name: [(type(v), v) for v in df[name]] for name in df.columns()}
