// The table: named columns in the order their names were first set, and a row count.
#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "column.h"

namespace kelvra {

// One number per column, in column order.
using ColumnNumbers = std::vector<std::pair<std::string, double>>;

}  // namespace kelvra

class PyDataFrame {
public:
    std::unordered_map<std::string, kelvra::ColumnPtr> column_map;
    std::vector<std::string> column_order;
    std::size_t num_rows = 0;

    PyDataFrame() = default;
    PyDataFrame(const PyDataFrame&) = default;
    PyDataFrame(PyDataFrame&&) noexcept = default;
    PyDataFrame& operator=(const PyDataFrame&) = default;
    PyDataFrame& operator=(PyDataFrame&&) noexcept = default;
    ~PyDataFrame() = default;

    // Inserts or replaces the column under name; a replaced column keeps its position.
    void set_column(const std::string& name, kelvra::ColumnPtr column);
    // The column under name, or an empty pointer.
    kelvra::ColumnPtr get_column(const std::string& name) const;
    std::pair<std::size_t, std::size_t> shape() const { return {num_rows, column_map.size()}; }
    std::vector<std::string> column_names() const { return column_order; }
    // Sets num_rows to the greatest column length.
    void recompute_num_rows();

    // Subsetting.
    PyDataFrame select(const std::vector<std::string>& names) const;
    PyDataFrame filter_gt(const std::string& column, double value) const;
    PyDataFrame take_rows(const kelvra::RowIndexList& rows) const;
    PyDataFrame take_rows(const kelvra::RowPositions& rows) const;

    // Arithmetic and aggregation.
    PyDataFrame multiply(double x) const;
    kelvra::ColumnNumbers sum() const;
    kelvra::ColumnNumbers mean() const;

    // Text rendering.
    PyDataFrame head(std::size_t n) const;
    std::string render() const;
    void print(std::ostream& out) const;

    // Files.
    static PyDataFrame read_csv(const std::string& path);
    void to_csv(const std::string& path) const;
    void to_json(const std::string& path) const;
    static PyDataFrame read_json(const std::string& path);
};
