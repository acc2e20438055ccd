"""pyarrow: only its CSV reader is measured, as the columnar reference for read_csv."""

from __future__ import annotations

import pyarrow
import pyarrow.csv


def version() -> str:
    return pyarrow.__version__


# Read options: pyarrow's defaults (its thread pool); pyarrow_1t_ops replaces them.
READ_OPTIONS = None


def load(path):
    return pyarrow.csv.read_csv(path, read_options=READ_OPTIONS)


from_columns = None  # nothing but read_csv runs on a pyarrow table


def shape(table):
    return tuple(table.shape)


class Ops:
    def __init__(self, inputs):
        self.inputs = inputs

    def read_csv(self):
        path = self.inputs.dataset.csv_path
        return lambda: pyarrow.csv.read_csv(path, read_options=READ_OPTIONS)

    def read_csv_gz(self):
        path = self.inputs.dataset.csv_gz_path
        return lambda: pyarrow.csv.read_csv(path, read_options=READ_OPTIONS)
