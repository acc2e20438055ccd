// The import's entry: an array's layout checked, then its rows appended a run at a time where the
// column's layout allows, a row at a time where it does not.
#include "arrow_import.h"

#include <algorithm>
#include <string>

#include "arrow_rows.h"

namespace kelvra::arrow {

namespace detail {

void append_rows(ColumnBuilder& column, const Rows& rows) {
    const Kind kind = rows.type->kind;
    if ((kind == Kind::kDictionary || is_union(kind)) && append_gathered(column, rows)) return;
    const std::size_t total = column.size() + rows.length;
    for (std::size_t start = 0; start < rows.length; start += kChunk) {
        const std::size_t n = std::min(kChunk, rows.length - start);
        if (!append_plain_chunk(column, rows, start, n)) push_cells(column, rows, start, n);
        // Room for the rest once the first rows have given the column its layout.
        if (start == 0 && rows.length > n) {
            column.reserve(total);
            const std::size_t bytes = text_bytes(rows);
            if (bytes != 0 && column.single_type() == kString) column.reserve_string_bytes(bytes);
        }
    }
}

}  // namespace detail

namespace {

std::string out_of_range_text(std::uint64_t value, const std::string& where) {
    return "the integer " + std::to_string(value) + where + " is outside the signed 64-bit range";
}

}  // namespace

IntegerOutOfRange::IntegerOutOfRange(std::uint64_t value)
    : std::range_error(out_of_range_text(value, "")), value_(value), has_row_(false) {}

IntegerOutOfRange::IntegerOutOfRange(std::uint64_t value, std::size_t row)
    : std::range_error(
          out_of_range_text(value, " in row " + std::to_string(row) + " (counting from 0)")),
      value_(value),
      has_row_(true) {}

void prefetch_buffers(const ArrowArray& array) noexcept {
    if (array.buffers == nullptr) return;
    const auto n = static_cast<std::size_t>(std::clamp<std::int64_t>(array.n_buffers, 0, 3));
    // The first lines of each: all of a chunk of a few rows (a miss on its second line would
    // otherwise stall the copy).
    constexpr std::size_t kLines = 4;
    for (std::size_t i = 0; i < n; ++i) {
        const auto* bytes = static_cast<const char*>(array.buffers[i]);
        if (bytes == nullptr) continue;
        for (std::size_t line = 0; line < kLines; ++line) __builtin_prefetch(bytes + 64 * line);
    }
}

void append_array(ColumnBuilder& column, const ImportType& type, const ArrowArray& array) {
    detail::append_rows(column, detail::rows_of(type, array));
}

}  // namespace kelvra::arrow
