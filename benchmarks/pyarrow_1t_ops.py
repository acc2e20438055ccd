"""pyarrow's CSV reader on one thread (use_threads=False), as the one-core columnar reference."""

from __future__ import annotations

import pyarrow.csv

from . import pyarrow_ops
from .pyarrow_ops import Ops, from_columns, shape, version

pyarrow_ops.READ_OPTIONS = pyarrow.csv.ReadOptions(use_threads=False)
load = pyarrow_ops.load

__all__ = ["Ops", "from_columns", "load", "shape", "version"]
