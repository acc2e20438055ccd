"""pyarrow's CSV reader on one thread (use_threads=False), as the one-core columnar reference."""

from __future__ import annotations

import pyarrow
import pyarrow.csv

_ONE_THREAD = pyarrow.csv.ReadOptions(use_threads=False)


def version() -> str:
    return pyarrow.__version__


def load(path):
    return pyarrow.csv.read_csv(path, read_options=_ONE_THREAD)


from_columns = None  # nothing but read_csv runs on a pyarrow table


def shape(table):
    return tuple(table.shape)


class Ops:
    def __init__(self, inputs):
        self.inputs = inputs

    def read_csv(self):
        path = self.inputs.dataset.csv_path
        return lambda: pyarrow.csv.read_csv(path, read_options=_ONE_THREAD)
