// One column as an Arrow array: the type that holds its cells exactly, sharing the column's
// storage where Arrow's layout is the same.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "../../core/column.h"
#include "arrow_c.h"
#include "arrow_owned.h"

namespace kelvra::arrow {

// Fills out with the first `rows` rows of the column, rows past its end as nulls, and returns
// its field. A column that mixes types is, by default, float64 when its present cells are
// integers within +-2**53 and doubles, and otherwise string views of each cell's text as to_csv
// writes it. `requested` is the field that the consumer asked for in its place, or nullptr: it
// is given where the column's cells fit it exactly (a string column as "u" or "U", a column of
// mixed types as the text of each cell or as a union of its cell types with distinct type
// codes), otherwise the column's own type is.
// Throws std::invalid_argument naming the column (and the row) when a string cell is not UTF-8,
// and std::length_error when the column cannot be laid out as Arrow.
FieldType export_column(const std::string& name, std::shared_ptr<const Column> column,
                        std::size_t rows, const ArrowSchema* requested, ArrowArray& out);

// What a failed export's message begins with.
inline constexpr char kExportFailure[] = "Cannot export the table to Arrow";

}  // namespace kelvra::arrow
