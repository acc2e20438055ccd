// Column selection, row selection by position and the row filter.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "dataframe.h"
#include "row_filter.h"
#include "row_gather.h"

using kelvra::RowIndexList;

PyDataFrame PyDataFrame::select(const std::vector<std::string>& names) const {
    PyDataFrame result;
    for (const auto& name : names) {
        if (auto column = get_column(name)) result.set_column(name, std::move(column));
    }
    return result;
}

namespace {

// Kept rows taken per block: a block's positions (16 KB) stay in the first-level cache while every
// column gathers them, so the list of all kept positions is read from memory once rather than
// once per column.
constexpr std::size_t kBlockRows = 4096;

// Every column of the table restricted to the rows at the given ascending positions.
template <class Index>
PyDataFrame take_in_blocks(const PyDataFrame& table, const kelvra::PodBuffer<Index>& rows) {
    std::vector<std::string> names;
    std::vector<std::pair<const kelvra::Column*, std::size_t>> counts;
    std::size_t bytes = 0;
    for (const auto& name : table.column_order) {
        if (const auto column = table.get_column(name)) {
            // The positions ascend, so those within the column come first.
            const auto within = std::lower_bound(rows.begin(), rows.end(), column->size());
            const auto count = static_cast<std::size_t>(within - rows.begin());
            names.push_back(name);
            counts.emplace_back(column.get(), count);
            bytes += kelvra::RowGather::result_bytes(*column, count);
        }
    }
    // A result larger than the cache is written around it: the whole result, since the columns
    // are written side by side.
    const bool stream = bytes >= kelvra::kStreamBytes;
    std::vector<std::unique_ptr<kelvra::RowGather>> gathers;
    for (const auto& [column, count] : counts) {
        gathers.push_back(std::make_unique<kelvra::RowGather>(*column, count, stream));
    }
    for (std::size_t first = 0; first < rows.size(); first += kBlockRows) {
        const std::size_t n = std::min(kBlockRows, rows.size() - first);
        for (const auto& gather : gathers) gather->take(rows.data() + first, n);
    }
    PyDataFrame result;
    for (std::size_t c = 0; c < names.size(); ++c) {
        result.set_column(names[c], gathers[c]->finish());
    }
    return result;
}

// The table's rows whose value in the column makes keep true. Below 2^32 rows the positions are
// 32-bit: half the bytes to write and read.
template <class Keep>
PyDataFrame rows_kept(const PyDataFrame& table, const kelvra::Column& column, Keep keep) {
    if (table.num_rows <= std::numeric_limits<std::uint32_t>::max()) {
        return take_in_blocks(table,
                              kelvra::rows_where<std::uint32_t>(column, table.num_rows, keep));
    }
    return take_in_blocks(table, kelvra::rows_where<std::size_t>(column, table.num_rows, keep));
}

}  // namespace

PyDataFrame PyDataFrame::take_rows(const RowIndexList& rows) const {
    return take_in_blocks(*this, rows);
}
PyDataFrame PyDataFrame::take_rows(const kelvra::RowPositions& rows) const {
    return take_in_blocks(*this, rows);
}

PyDataFrame PyDataFrame::filter_gt(const std::string& column_name, double value) const {
    const auto column = get_column(column_name);
    if (!column) return PyDataFrame{};
    return rows_kept(*this, *column, [value](double x) { return x > value; });
}
