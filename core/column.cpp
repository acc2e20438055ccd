#include "column.h"

namespace kelvra {

std::shared_ptr<Column> Column::take_rows(const RowIndexList& rows) const {
    auto out = std::make_shared<Column>(dtype);
    out->reserve(rows.size());
    const std::size_t n = size();
    for (const std::size_t r : rows) {
        if (r >= n) continue;
        if (null_mask[r]) {
            out->push_null();
        } else {
            out->push_back(values[r]);
        }
    }
    return out;
}

std::shared_ptr<Column> Column::multiply(double x) const {
    auto out = std::make_shared<Column>(dtype);
    const std::size_t n = size();
    out->values.reserve(n);
    // Missing rows stay missing, so the mask carries over whole.
    out->null_mask = null_mask;
    for (std::size_t i = 0; i < n; ++i) {
        const CellValue& cell = values[i];
        double v;
        if (null_mask[i]) {
            out->values.emplace_back(std::in_place_index<kInt>, 0);
        } else if (numeric_reading(cell, v)) {
            out->values.emplace_back(std::in_place_index<kDouble>, v * x);
        } else {
            out->values.push_back(cell);
        }
    }
    return out;
}

double Column::sum() const { return sum_and_count().sum; }

NumericTotal Column::sum_and_count() const {
    NumericTotal total;
    const std::size_t n = size();
    for (std::size_t i = 0; i < n; ++i) {
        double v;
        if (!null_mask[i] && numeric_reading(values[i], v)) {
            total.sum += v;
            ++total.count;
        }
    }
    return total;
}

}  // namespace kelvra
