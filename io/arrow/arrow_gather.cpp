// Dictionaries and unions: their values decoded once, then gathered by each row's index.
#include "arrow_rows.h"

namespace kelvra::arrow::detail {

bool append_gathered(ColumnBuilder&, const Rows&) { return false; }

}  // namespace kelvra::arrow::detail
