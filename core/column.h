// A column: cells in row order, a packed missing-value mask and a type label.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "cell.h"
#include "cell_allocator.h"

namespace kelvra {

using RowIndexList = std::vector<std::size_t>;

// The left-to-right double sum of a column's numeric readings and how many cells it took.
struct NumericTotal {
    double sum = 0.0;
    std::size_t count = 0;
};

using CellVector = std::vector<CellValue, CellAllocator<CellValue>>;

class Column {
public:
    CellVector values;
    std::vector<bool> null_mask;
    std::string dtype;

    Column() : dtype("object") {}
    explicit Column(std::string label) : dtype(std::move(label)) {}

    void push_back(const CellValue& cell) {
        values.push_back(cell);
        null_mask.push_back(false);
    }
    void push_back(CellValue&& cell) {
        values.push_back(std::move(cell));
        null_mask.push_back(false);
    }
    void push_null() {
        values.emplace_back(std::int64_t{0});
        null_mask.push_back(true);
    }
    void reserve(std::size_t n) {
        values.reserve(n);
        null_mask.reserve(n);
    }

    bool is_null(std::size_t i) const { return i < null_mask.size() && null_mask[i]; }
    std::size_t size() const { return values.size(); }

    // A new column holding the cells at the given positions; positions past the end are skipped.
    std::shared_ptr<Column> take_rows(const RowIndexList& rows) const;
    // A new column in which every numeric or boolean cell becomes a double times x.
    std::shared_ptr<Column> multiply(double x) const;
    // Left-to-right double sum of the numeric readings of the present cells.
    double sum() const;
    // The same sum, with the number of present cells that have a numeric reading, in one pass.
    NumericTotal sum_and_count() const;
};

using ColumnPtr = std::shared_ptr<Column>;

}  // namespace kelvra
