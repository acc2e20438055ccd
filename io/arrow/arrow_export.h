// A table as an Arrow C stream: one record batch of a struct type holding every row, one field
// per column in column order. Buffers of int64 and float64 columns and of string columns are the
// columns' own, kept alive by the exported arrays; they stay valid after the table is gone.
#pragma once

#include "../../core/dataframe.h"
#include "arrow_c.h"

namespace kelvra::arrow {

// Fills out with a stream of the table. `requested` is the schema the consumer asked for, or
// nullptr: each of its fields that names a column is honoured where the column's cells fit it
// exactly, and otherwise the column's own type is given. Throws std::invalid_argument naming the
// column (and row) when a column name or a string cell is not UTF-8, or a name holds a NUL byte;
// then nothing is exported and out is left as it was.
void export_table(const PyDataFrame& table, const ArrowSchema* requested, ArrowArrayStream& out);

}  // namespace kelvra::arrow
