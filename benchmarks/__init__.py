"""Kelvra measured against pandas, polars and pyarrow on the same generated table.

Run with `make bench` (or `make bench SIZE=100000`); see README.md in this folder.
"""
