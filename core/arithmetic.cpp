// Scaling by a number and the per-column sum and mean.
#include "dataframe.h"

PyDataFrame PyDataFrame::multiply(double x) const {
    PyDataFrame result;
    for (const auto& name : column_order) {
        if (const auto column = get_column(name)) result.set_column(name, column->multiply(x));
    }
    return result;
}

kelvra::ColumnNumbers PyDataFrame::sum() const {
    kelvra::ColumnNumbers out;
    out.reserve(column_order.size());
    for (const auto& name : column_order) {
        if (const auto column = get_column(name)) out.emplace_back(name, column->sum());
    }
    return out;
}

// The mean divides by the number of numeric cells: strings and missing cells do not count.
kelvra::ColumnNumbers PyDataFrame::mean() const {
    kelvra::ColumnNumbers out;
    out.reserve(column_order.size());
    for (const auto& name : column_order) {
        const auto column = get_column(name);
        if (!column) continue;
        const kelvra::NumericTotal total = column->sum_and_count();
        out.emplace_back(name,
                         total.count == 0 ? 0.0 : total.sum / static_cast<double>(total.count));
    }
    return out;
}
