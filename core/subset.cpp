// Column selection, row selection by position and the row filter.
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

PyDataFrame PyDataFrame::take_rows(const RowIndexList& rows) const {
    PyDataFrame result;
    for (const auto& name : column_order) {
        if (const auto column = get_column(name)) result.set_column(name, column->take_rows(rows));
    }
    return result;
}

PyDataFrame PyDataFrame::filter_gt(const std::string& column_name, double value) const {
    const auto column = get_column(column_name);
    if (!column) return PyDataFrame{};
    return take_rows(
        kelvra::rows_where(*column, num_rows, [value](double x) { return x > value; }));
}
