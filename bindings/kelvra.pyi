"""Kelvra - High-performance DataFrame library"""

import typing

import typing_extensions
from collections.abc import Iterable, Sequence

_Cell = int | float | str | bool | None

class _ArrowArrayExportable(typing.Protocol):
    def __arrow_c_array__(
        self, requested_schema: typing_extensions.CapsuleType | None = None, /
    ) -> tuple[typing_extensions.CapsuleType, typing_extensions.CapsuleType]: ...

class _ArrowStreamExportable(typing.Protocol):
    def __arrow_c_stream__(
        self, requested_schema: typing_extensions.CapsuleType | None = None, /
    ) -> typing_extensions.CapsuleType: ...

class DataFrame:
    def __init__(self) -> None: ...
    def __setitem__(
        self,
        name: str | bytes | bytearray,
        values: Iterable[object] | _ArrowArrayExportable | _ArrowStreamExportable,
        /,
    ) -> None: ...
    def __getitem__(self, name: str | bytes | bytearray, /) -> list[_Cell]: ...
    def shape(self) -> tuple[int, int]:
        """Get shape as (rows, cols)"""
    def columns(self) -> list[str]:
        """Get column names"""
    def select(self, names: Sequence[str], /) -> DataFrame:
        """Select columns"""
    def filter_gt(self, column: str, value: typing.SupportsFloat, /) -> DataFrame:
        """Filter rows where column > value"""
    def __mul__(self, factor: typing.SupportsFloat, /) -> DataFrame:
        """Multiply by scalar"""
    def sum(self) -> dict[str, float]:
        """Sum of numeric columns"""
    def mean(self) -> dict[str, float]:
        """Mean of numeric columns"""
    def to_csv(self, path: str, /) -> None:
        """Export to CSV"""
    def head(self, n: typing.SupportsInt = 5) -> None:
        """Show first n rows"""
    def to_json(self, path: str, /) -> None:
        """Export to JSON"""
    def __arrow_c_stream__(
        self, requested_schema: typing_extensions.CapsuleType | None = None
    ) -> typing_extensions.CapsuleType:
        """Export as an Arrow C stream (the Arrow PyCapsule interface)"""

def read_json(path: str, /) -> DataFrame:
    """Read JSON file"""

def read_csv(path: str, /) -> DataFrame:
    """Read CSV file"""
