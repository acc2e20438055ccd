"""pandas' side of every operation, method for method as in kelvra_ops."""

from __future__ import annotations

import pandas as pd

from .ops_base import FrameOps
from .data import FILTER_COLUMN, FILTER_THRESHOLD, GETITEM_COLUMN, NUMERIC, SELECTED


def version() -> str:
    return pd.__version__


def load(path):
    return pd.read_csv(path)


def from_columns(columns):
    return pd.DataFrame(columns)


def shape(table):
    return tuple(table.shape)


class Ops(FrameOps):

    def read_csv(self):
        path = self.inputs.dataset.csv_path
        return lambda: pd.read_csv(path)

    def read_csv_gz(self):
        path = self.inputs.dataset.csv_gz_path
        return lambda: pd.read_csv(path)

    def to_csv(self):
        df, path = self.df, self.inputs.output("csv")
        return lambda: df.to_csv(path, index=False)

    def read_json(self):
        path = self.inputs.dataset.json_path
        return lambda: pd.read_json(path, orient="records")

    def to_json(self):
        df, path = self.df, self.inputs.output("json")
        return lambda: df.to_json(path, orient="records")

    def to_arrow(self):
        import pyarrow

        df = self.df
        return lambda: pyarrow.Table.from_pandas(df)

    def filter_gt(self):
        df = self.df
        return lambda: df[df[FILTER_COLUMN] > FILTER_THRESHOLD]

    def select(self):
        df, names = self.df, list(SELECTED)
        return lambda: df[names]

    def setitem_int(self):
        values = self.inputs.int_list
        return lambda: pd.Series(values)

    def setitem_str(self):
        values = self.inputs.str_list
        return lambda: pd.Series(values)

    def setitem_numpy(self):
        values = self.inputs.int_array
        return lambda: pd.Series(values)

    def getitem(self):
        df = self.df
        return lambda: df[GETITEM_COLUMN].tolist()

    def head(self):
        df = self.df
        return lambda: print(df.head())

    def _numeric(self):
        return self.df[list(NUMERIC)]
