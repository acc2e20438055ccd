// A column: its cells stored column-wise, a packed missing-value mask and a type label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "cell.h"
#include "cell_store.h"
#include "null_mask.h"

namespace kelvra {

// Row positions in ascending order.
using RowIndexList = PodBuffer<std::size_t>;
// The same for a table of fewer than 2^32 rows: half the bytes for every column to read.
using RowPositions = PodBuffer<std::uint32_t>;

// The left-to-right double sum of a column's numeric readings and how many cells it took.
struct NumericTotal {
    double sum = 0.0;
    std::size_t count = 0;
};

class Column {
public:
    CellStore values;
    NullMask null_mask;
    std::string dtype;

    Column() : dtype("object") {}
    explicit Column(std::string label) : dtype(std::move(label)) {}

    // Appending, one cell at a time (ColumnBuilder appends runs of rows as well).
    void push_back(const CellValue& cell);
    void push_null();
    void push_int(std::int64_t v);
    void push_double(double v);
    void push_bool(bool v);
    void push_string(std::string_view v);

    bool is_null(std::size_t i) const { return i < null_mask.size() && null_mask[i]; }
    std::size_t size() const { return values.size; }
    // A present row as one cell value (the edges only: no operation goes through it).
    CellValue cell(std::size_t i) const;

    // A new column holding the cells at the given ascending positions; positions past the end
    // are skipped.
    std::shared_ptr<Column> take_rows(const RowIndexList& rows) const;
    std::shared_ptr<Column> take_rows(const RowPositions& rows) const;
    // A new column in which every numeric or boolean cell becomes a double times x.
    std::shared_ptr<Column> multiply(double x) const;
    // Left-to-right double sum of the numeric readings of the present cells.
    double sum() const;
    // The same sum, with the number of present cells that have a numeric reading, in one pass.
    NumericTotal sum_and_count() const;
};

using ColumnPtr = std::shared_ptr<Column>;

}  // namespace kelvra
