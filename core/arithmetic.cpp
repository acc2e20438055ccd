// Scaling by a number and the per-column sum and mean.
#include "column_totals.h"
#include "dataframe.h"

PyDataFrame PyDataFrame::multiply(double x) const {
    PyDataFrame result;
    for (const auto& name : column_order) {
        if (const auto column = get_column(name)) result.set_column(name, column->multiply(x));
    }
    return result;
}

namespace {

// The held columns in column order, with their names.
std::pair<std::vector<const std::string*>, std::vector<const kelvra::Column*>> held_columns(
    const PyDataFrame& table) {
    std::pair<std::vector<const std::string*>, std::vector<const kelvra::Column*>> held;
    for (const auto& name : table.column_order) {
        const auto it = table.column_map.find(name);
        if (it == table.column_map.end()) continue;
        held.first.push_back(&name);
        held.second.push_back(it->second.get());
    }
    return held;
}

}  // namespace

kelvra::ColumnNumbers PyDataFrame::sum() const {
    const auto [names, columns] = held_columns(*this);
    const std::vector<kelvra::NumericTotal> totals = kelvra::column_totals(columns);
    kelvra::ColumnNumbers out;
    out.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) out.emplace_back(*names[i], totals[i].sum);
    return out;
}

// The mean divides by the number of numeric cells: strings and missing cells do not count.
kelvra::ColumnNumbers PyDataFrame::mean() const {
    const auto [names, columns] = held_columns(*this);
    const std::vector<kelvra::NumericTotal> totals = kelvra::column_totals(columns);
    kelvra::ColumnNumbers out;
    out.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const kelvra::NumericTotal& total = totals[i];
        out.emplace_back(*names[i],
                         total.count == 0 ? 0.0 : total.sum / static_cast<double>(total.count));
    }
    return out;
}
