// Column selection, row selection by position and the row filter.
#include <cstdint>
#include <limits>

#include "dataframe.h"
#include "row_filter.h"

using kelvra::RowIndexList;

PyDataFrame PyDataFrame::select(const std::vector<std::string>& names) const {
    PyDataFrame result;
    for (const auto& name : names) {
        if (auto column = get_column(name)) result.set_column(name, std::move(column));
    }
    return result;
}

namespace {

template <class Rows>
PyDataFrame take_rows_of(const PyDataFrame& table, const Rows& rows) {
    PyDataFrame result;
    for (const auto& name : table.column_order) {
        if (const auto column = table.get_column(name)) {
            result.set_column(name, column->take_rows(rows));
        }
    }
    return result;
}

// The table's rows whose value in the column makes keep true. Below 2^32 rows the positions are
// 32-bit: every column then reads half the bytes to find its rows.
template <class Keep>
PyDataFrame rows_kept(const PyDataFrame& table, const kelvra::Column& column, Keep keep) {
    if (table.num_rows <= std::numeric_limits<std::uint32_t>::max()) {
        return table.take_rows(kelvra::rows_where<std::uint32_t>(column, table.num_rows, keep));
    }
    return table.take_rows(kelvra::rows_where<std::size_t>(column, table.num_rows, keep));
}

}  // namespace

PyDataFrame PyDataFrame::take_rows(const RowIndexList& rows) const {
    return take_rows_of(*this, rows);
}
PyDataFrame PyDataFrame::take_rows(const kelvra::RowPositions& rows) const {
    return take_rows_of(*this, rows);
}

PyDataFrame PyDataFrame::filter_gt(const std::string& column_name, double value) const {
    const auto column = get_column(column_name);
    if (!column) return PyDataFrame{};
    return rows_kept(*this, *column, [value](double x) { return x > value; });
}
