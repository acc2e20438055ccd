// CSV reading: header naming, per-cell inference and table building over the tokenizer.
#include <algorithm>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../../core/column_builder.h"
#include "../../core/dataframe.h"
#include "../common/file_io.h"
#include "csv_columns.h"
#include "csv_tokenizer.h"

namespace {

using kelvra::Column;

// Records read and converted at a time: their fields and text stay in the core's caches.
constexpr std::size_t kRunRecords = 1024;

// Column names as pandas makes them: a repeated name gets the first free suffix .1, .2, ...,
// where a name is taken if the header already holds it anywhere or an earlier rename chose it.
std::vector<std::string> unique_column_names(std::span<const std::string_view> header) {
    const std::unordered_set<std::string_view> in_header(header.begin(), header.end());
    std::unordered_set<std::string> taken;
    std::unordered_map<std::string_view, std::size_t> next_suffix;
    std::vector<std::string> names;
    names.reserve(header.size());
    for (const std::string_view name : header) {
        std::string chosen(name);
        if (!taken.insert(chosen).second) {
            std::size_t& suffix = next_suffix.try_emplace(name, 1).first->second;
            do {
                chosen = std::string(name) + '.' + std::to_string(suffix++);
            } while (in_header.contains(chosen) || taken.contains(chosen));
            taken.insert(chosen);
        }
        names.push_back(std::move(chosen));
    }
    return names;
}

// Reserves the columns for the rows still to come, judged by the bytes per row so far, so that
// each array is sized a few times per read rather than doubled (each doubling faults in fresh
// pages). The guess is made again once most of the room it gave is used. Each row takes at least
// one byte per column, which caps the guess when the first rows are unusually short.
class RowReservation {
public:
    RowReservation(const kelvra::CsvTokenizer& tokenizer, std::size_t columns)
        : start_(tokenizer.consumed()), columns_(std::max<std::size_t>(columns, 1)) {}

    void update(const kelvra::CsvTokenizer& tokenizer, std::size_t rows_read,
                const std::vector<Column*>& columns) {
        if (rows_read < next_check_) return;
        const std::size_t size = tokenizer.size_hint();
        const std::size_t used = tokenizer.consumed() - start_;
        next_check_ = kNever;
        if (size <= tokenizer.consumed() || used == 0) return;
        const std::size_t remaining = size - tokenizer.consumed();
        const double per_row = static_cast<double>(used) / static_cast<double>(rows_read);
        const auto guess =
            static_cast<std::size_t>(static_cast<double>(remaining) / per_row * 1.05);
        const std::size_t more = std::min(guess, remaining / columns_) + 16;
        next_check_ = rows_read + more - more / 8;
        for (Column* target : columns) {
            kelvra::ColumnBuilder column(*target);
            column.reserve(rows_read + more);
            // String bytes grow as they did in the rows so far.
            const std::size_t bytes = column.string_bytes();
            if (bytes > 0) {
                column.reserve_string_bytes(static_cast<std::size_t>(
                    static_cast<double>(bytes) / static_cast<double>(rows_read) *
                    static_cast<double>(more)));
            }
        }
    }

private:
    static constexpr std::size_t kNever = ~std::size_t{0};
    std::size_t start_;
    std::size_t columns_;
    std::size_t next_check_ = 1;  // the first guess follows the first run
};

}  // namespace

PyDataFrame PyDataFrame::read_csv(const std::string& path) {
    kelvra::InputFile file(path, "Cannot open file: ");
    kelvra::CsvTokenizer tokenizer(file);
    PyDataFrame table;
    // The header is the first line that is not empty; a file of empty lines has no columns.
    bool has_header = false;
    do {
        has_header = tokenizer.next();
    } while (has_header && tokenizer.empty_line());
    if (!has_header) return table;

    // The names are unique after renaming; the columns go into the table once they are filled.
    std::vector<std::string> names = unique_column_names(tokenizer.fields());
    std::vector<kelvra::ColumnPtr> filled;
    std::vector<Column*> columns;
    for (std::size_t i = 0; i < names.size(); ++i) {
        filled.push_back(std::make_shared<Column>());
        columns.push_back(filled.back().get());
    }
    const std::size_t width = columns.size();

    RowReservation reservation(tokenizer, width);
    std::size_t rows = 0;
    // Records are read a run at a time and each column takes its fields of the run in one loop.
    while (const std::size_t records = tokenizer.next_records(width, kRunRecords)) {
        for (std::size_t i = 0; i < width; ++i) {
            kelvra::append_csv_fields(*columns[i], tokenizer.column_fields(i), records);
        }
        rows += records;
        reservation.update(tokenizer, rows, columns);
    }
    for (std::size_t i = 0; i < width; ++i) {
        kelvra::ColumnBuilder(*columns[i]).finish();
        table.set_column(names[i], std::move(filled[i]));
    }
    return table;
}
