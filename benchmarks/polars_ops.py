"""polars' side of every operation, method for method as in kelvra_ops."""

from __future__ import annotations

import polars as pl

from .ops_base import FrameOps
from .data import FILTER_COLUMN, FILTER_THRESHOLD, GETITEM_COLUMN, NUMERIC, SELECTED


def version() -> str:
    return pl.__version__


def load(path):
    return pl.read_csv(path)


def from_columns(columns):
    return pl.DataFrame(columns, strict=False)


def shape(table):
    return tuple(table.shape)


class Ops(FrameOps):

    def read_csv(self):
        path = self.inputs.dataset.csv_path
        return lambda: pl.read_csv(path)

    def read_csv_gz(self):
        path = self.inputs.dataset.csv_gz_path
        return lambda: pl.read_csv(path)

    def to_csv(self):
        df, path = self.df, self.inputs.output("csv")
        return lambda: df.write_csv(path)

    def read_json(self):
        path = self.inputs.dataset.json_path
        return lambda: pl.read_json(path)

    def to_json(self):
        df, path = self.df, self.inputs.output("json")
        return lambda: df.write_json(path)

    def to_arrow(self):
        df = self.df
        return lambda: df.to_arrow()

    def filter_gt(self):
        df = self.df
        return lambda: df.filter(pl.col(FILTER_COLUMN) > FILTER_THRESHOLD)

    def select(self):
        df, names = self.df, list(SELECTED)
        return lambda: df.select(names)

    def setitem_int(self):
        values = self.inputs.int_list
        return lambda: pl.Series(values)

    def setitem_str(self):
        values = self.inputs.str_list
        return lambda: pl.Series(values)

    def setitem_numpy(self):
        values = self.inputs.int_array
        return lambda: pl.Series(values)

    def setitem_arrow(self):
        ints, strs = self.inputs.arrow_values
        return lambda: pl.DataFrame({"ints": ints, "strs": strs})

    def getitem(self):
        df = self.df
        return lambda: df[GETITEM_COLUMN].to_list()

    def head(self):
        df = self.df
        return lambda: print(df.head())

    def _numeric(self):
        return self.df.select(list(NUMERIC))
