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
    out->reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (null_mask[i]) {
            out->push_null();
            continue;
        }
        const CellValue& cell = values[i];
        double v;
        if (numeric_reading(cell, v)) {
            out->values.emplace_back(v * x);
            out->null_mask.push_back(false);
        } else {
            out->push_back(cell);
        }
    }
    return out;
}

double Column::sum() const {
    double total = 0.0;
    const std::size_t n = size();
    for (std::size_t i = 0; i < n; ++i) {
        double v;
        if (!null_mask[i] && numeric_reading(values[i], v)) total += v;
    }
    return total;
}

std::size_t Column::numeric_count() const {
    std::size_t count = 0;
    const std::size_t n = size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!null_mask[i] && values[i].index() != kString) ++count;
    }
    return count;
}

}  // namespace kelvra
