"""What each library is given to work on: the operations, in report order, and their inputs."""

from __future__ import annotations

import random
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path

from .data import SEED, Dataset

# to_arrow and setitem_arrow come last: in Kelvra's worker they are the first use of pyarrow,
# whose import makes the garbage collection before every later run walk a much larger heap.
OPERATIONS = ("read_csv", "read_csv_gz", "to_csv", "read_json", "to_json", "filter_gt", "select", "multiply",
              "sum", "mean", "setitem_int", "setitem_str", "setitem_numpy", "getitem", "head",
              "to_arrow", "setitem_arrow", *(f"{source}_{case}" for case in
                                             ("dict_int", "dict_str", "categorical", "union", "chunks")
                                             for source in ("arrow", "list")))
# The Arrow imports of the other layouts, each beside the same values as a Python list.
ARROW_CASES = ("dict_int", "dict_str", "categorical", "union", "chunks")
# The column builders make their column from values of their own, not from the table.
BUILDERS = ("setitem_int", "setitem_str", "setitem_numpy", "setitem_arrow",
            *(op for op in OPERATIONS if op.startswith(("arrow_", "list_"))))
# The readers must hand back the whole table, not merely return quickly.
READERS = ("read_csv", "read_csv_gz", "read_json")
# Everything but the readers and the column builders works on the table read from the CSV.
NEEDS_TABLE = tuple(op for op in OPERATIONS if op not in READERS and op not in BUILDERS)


@dataclass
class Inputs:
    """Everything an operation prepares itself from, outside the timed region."""

    library: str
    dataset: Dataset
    table: object = None  # the library's own table of the dataset, as its read_csv built it
    _outputs: list[Path] = field(default_factory=list)

    def output(self, extension: str) -> str:
        path = self.dataset.output_path(self.library, extension)
        path.parent.mkdir(parents=True, exist_ok=True)
        self._outputs.append(path)
        return str(path)

    def remove_outputs(self) -> None:
        for path in self._outputs:
            path.unlink(missing_ok=True)

    # Fresh Python objects, one per row, as a program would have built them: every library gets
    # the same values from the same seed.
    @cached_property
    def int_list(self) -> list[int]:
        rng = random.Random(SEED)
        return [rng.randrange(-10**12, 10**12) for _ in range(self.dataset.rows)]

    @cached_property
    def str_list(self) -> list[str]:
        rng = random.Random(SEED + 1)
        return [f"item-{rng.randrange(10**9):09d}" for _ in range(self.dataset.rows)]

    # The same count of integers as one numpy array (int64, contiguous), as numpy hands them out.
    # numpy is imported here, when an operation first asks for the array, so that a worker whose
    # library never uses numpy does not have it (and the threads it starts) during the others.
    @cached_property
    def int_array(self):
        import numpy

        return numpy.arange(self.dataset.rows)

    # The integers as a pyarrow int64 array and the strings as a polars Series: columns that other
    # libraries hand over through the Arrow PyCapsule interface.
    @cached_property
    def arrow_values(self):
        import polars
        import pyarrow

        return pyarrow.array(self.int_array), polars.Series(self.str_list)

    # Per case of ARROW_CASES: (the values through Arrow, the same values as a list). Dictionaries
    # of 100 values (half of the texts longer than a cell holds inline), a dense union of int64
    # and utf8 rows taking turns, and the integers in chunks of 10 rows.
    @cached_property
    def arrow_cases(self):
        import polars
        import pyarrow

        rows = self.dataset.rows
        rng = random.Random(SEED + 2)
        picks = [rng.randrange(100) for _ in range(rows)]
        values = [v * 1_000_003 for v in range(100)]
        words = [f"w{v}" if v % 2 else f"a category name longer than twelve {v}" for v in range(100)]
        ints = [values[p] for p in picks]
        strs = [words[p] for p in picks]
        indices = pyarrow.array(picks, pyarrow.int32())
        mixed = [ints[i] if i % 2 else strs[i] for i in range(rows)]
        union = pyarrow.UnionArray.from_dense(
            pyarrow.array([i % 2 for i in range(rows)], pyarrow.int8()),
            pyarrow.array([i // 2 for i in range(rows)], pyarrow.int32()),
            [pyarrow.array(strs[0::2]), pyarrow.array(ints[1::2])])
        return {
            "dict_int": (pyarrow.DictionaryArray.from_arrays(indices, pyarrow.array(values)), ints),
            "dict_str": (pyarrow.DictionaryArray.from_arrays(indices, pyarrow.array(words)), strs),
            "categorical": (polars.Series(strs, dtype=polars.Categorical), strs),
            "union": (union, mixed),
            "chunks": (pyarrow.chunked_array([ints[i:i + 10] for i in range(0, rows, 10)],
                                             pyarrow.int64()), ints),
        }
