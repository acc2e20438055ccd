"""Kelvra's side of every operation; the peers' modules mirror it method for method."""

from __future__ import annotations

import re
import subprocess

import kelvra

from .ops_base import FrameOps
from .workload import ARROW_CASES
from .data import FILTER_COLUMN, FILTER_THRESHOLD, GETITEM_COLUMN, NUMERIC, REPO_ROOT, SELECTED


def version() -> str:
    """The project's version and the commit it was built from (the module carries neither)."""
    text = (REPO_ROOT / "pyproject.toml").read_text()
    declared = re.search(r'^version = "([^"]+)"', text, re.M).group(1)
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=REPO_ROOT,
                                capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return declared
    return f"{declared} ({commit})"


def load(path):
    return kelvra.read_csv(str(path))


def from_columns(columns):
    df = kelvra.DataFrame()
    for name, values in columns.items():
        df[name] = values
    return df


def shape(table):
    return tuple(table.shape())


class Ops(FrameOps):

    def read_csv(self):
        path = str(self.inputs.dataset.csv_path)
        return lambda: kelvra.read_csv(path)

    def read_csv_gz(self):
        path = str(self.inputs.dataset.csv_gz_path)
        return lambda: kelvra.read_csv(path)

    def to_csv(self):
        df, path = self.df, self.inputs.output("csv")
        return lambda: df.to_csv(path)

    def read_json(self):
        path = str(self.inputs.dataset.json_path)
        return lambda: kelvra.read_json(path)

    def to_json(self):
        df, path = self.df, self.inputs.output("json")
        return lambda: df.to_json(path)

    def to_arrow(self):
        import pyarrow  # the consumer of the export, as for the peers

        df = self.df
        return lambda: pyarrow.table(df)

    def filter_gt(self):
        df = self.df
        return lambda: df.filter_gt(FILTER_COLUMN, FILTER_THRESHOLD)

    def select(self):
        df, names = self.df, list(SELECTED)
        return lambda: df.select(names)

    def setitem_int(self):
        return _set_column(self.inputs.int_list)

    def setitem_str(self):
        return _set_column(self.inputs.str_list)

    def setitem_numpy(self):
        return _set_column(self.inputs.int_array)

    def setitem_arrow(self):
        ints, strs = self.inputs.arrow_values

        def run():
            df = kelvra.DataFrame()
            df["ints"] = ints
            df["strs"] = strs
            return df
        return run

    def __getattr__(self, name):
        # arrow_<case> and list_<case>: the values of an Arrow layout, and the same as a list.
        source, _, case = name.partition("_")
        if source in ("arrow", "list") and case in ARROW_CASES:
            def prepare():
                values = self.inputs.arrow_cases[case][source == "list"]
                return _set_column(values)
            return prepare
        raise AttributeError(name)

    def getitem(self):
        df = self.df
        return lambda: df[GETITEM_COLUMN]

    def head(self):
        return self.df.head

    def _numeric(self):
        return self.df.select(list(NUMERIC))


def _set_column(values):
    def run():
        df = kelvra.DataFrame()
        df["values"] = values
        return df
    return run
