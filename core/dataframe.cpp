#include "dataframe.h"

#include <algorithm>

using kelvra::ColumnPtr;

void PyDataFrame::set_column(const std::string& name, ColumnPtr column) {
    const std::size_t rows = column->size();
    // A replaced column keeps its place in the order; a new name goes last.
    if (column_map.insert_or_assign(name, std::move(column)).second) {
        column_order.push_back(name);
        // A new column can only lengthen the table: no need to look at the others.
        num_rows = std::max(num_rows, rows);
    } else {
        recompute_num_rows();
    }
}

ColumnPtr PyDataFrame::get_column(const std::string& name) const {
    const auto it = column_map.find(name);
    return it == column_map.end() ? ColumnPtr{} : it->second;
}

void PyDataFrame::recompute_num_rows() {
    num_rows = 0;
    for (const auto& [name, column] : column_map) num_rows = std::max(num_rows, column->size());
}
