"""polars on one thread: the same operations as polars_ops, its thread pool limited to one.

POLARS_MAX_THREADS is read when polars is first imported, so it is set here, before the import;
the worker imports only this module for the library.
"""

from __future__ import annotations

import os

os.environ["POLARS_MAX_THREADS"] = "1"

from .polars_ops import Ops, from_columns, load, shape, version  # noqa: E402

__all__ = ["Ops", "from_columns", "load", "shape", "version"]
