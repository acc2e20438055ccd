// Filling the columns of a table from CSV fields, a run of records at a time.
#pragma once

#include <cstddef>
#include <string_view>

#include "../../core/column.h"

namespace kelvra {

// Appends one column's fields of a run of records, one after another from `fields`. A cell's type
// comes from its own text only: an empty field is missing, a whole-field number is an int64 or a
// double, anything else stays the text as written. The fields must lie in a buffer that can be read
// 17 bytes past the start of each and 15 past its end.
void append_csv_fields(Column& column, const std::string_view* fields, std::size_t rows);

}  // namespace kelvra
