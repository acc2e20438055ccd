// The row loop shared by the text writers (CSV, JSON). Each column's storage is looked up once
// per call; each cell is then written straight from the typed storage into the output buffer,
// with no per-cell lookup of the column's layout, no per-cell copy through a temporary and one
// room check per row (plus one per string cell, whose length has no bound).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "../core/column.h"
#include "../text/number_writing.h"
#include "text_output.h"

namespace kelvra {

// The storage of one column, as the writers read it.
struct CellSource {
    std::size_t rows = 0;                    // the column's length; later rows have no cell
    const std::uint64_t* missing = nullptr;  // the null mask words; nullptr when none is missing
    const std::uint64_t* payloads = nullptr;
    const std::uint8_t* types = nullptr;     // per row when the column mixes types
    CellType single = kInt;                  // otherwise the one type of every present cell
    const std::uint64_t* string_offsets = nullptr;
    const char* string_bytes = nullptr;
    const char* string_end = nullptr;  // the end of string_bytes: bytes before it may be read
    DoubleWriter doubles;

    explicit CellSource(const Column* column);

    bool present(std::size_t row) const noexcept {
        return row < rows && (missing == nullptr || ((missing[row / 64] >> (row % 64)) & 1) == 0);
    }
    CellType type_at(std::size_t row) const noexcept {
        return types != nullptr ? static_cast<CellType>(types[row]) : single;
    }
    std::string_view string_at(std::size_t row) const noexcept {
        return {string_bytes + string_offsets[row], string_offsets[row + 1] - string_offsets[row]};
    }
};

// Room every row has beyond its strings: a number, a boolean or a missing cell takes at most this.
inline constexpr std::size_t kCellRoom = 32;
// Short strings are copied sixteen bytes at once, so the buffer keeps this much slack.
inline constexpr std::size_t kCopySlack = 16;

// Copies a string cell's bytes to out, which has kCopySlack bytes of room beyond them.
inline char* copy_cell(char* out, const CellSource& source, std::string_view text) noexcept {
    const auto readable = static_cast<std::size_t>(source.string_end - text.data());
    if (text.size() <= kCopySlack && readable >= kCopySlack) {
        std::memcpy(out, text.data(), kCopySlack);
    } else if (!text.empty()) {
        std::memcpy(out, text.data(), text.size());
    }
    return out + text.size();
}

// Writes rows [0, num_rows) of the columns. Format supplies the text around and between cells and
// the form of each kind of cell:
//   std::size_t row_room() const: the most bytes a row takes besides its string cells;
//   char* row_start(char*, row), char* before_cell(char*, column index), char* row_end(char*, row);
//   char* missing(char*), char* boolean(char*, bool), char* real(char*, CellSource&, double);
//   char* string(TextOutput&, char*, const CellSource&, column index, row), which reserves the
//   room its string takes plus row_room().
template <class Format>
char* write_rows(TextOutput& output, char* cursor, std::vector<CellSource>& columns,
                 std::size_t num_rows, Format& format) {
    const std::size_t room = format.row_room();
    for (std::size_t row = 0; row < num_rows; ++row) {
        char* p = output.reserve(cursor, room);
        p = format.row_start(p, row);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            CellSource& source = columns[c];
            p = format.before_cell(p, c);
            if (!source.present(row)) {
                p = format.missing(p);
                continue;
            }
            switch (source.type_at(row)) {
                case kInt:
                    p = write_int(p, static_cast<std::int64_t>(source.payloads[row]));
                    break;
                case kDouble:
                    p = format.real(p, source, std::bit_cast<double>(source.payloads[row]));
                    break;
                case kString:
                    p = format.string(output, p, source, c, row);
                    break;
                default:
                    p = format.boolean(p, source.payloads[row] != 0);
                    break;
            }
        }
        cursor = format.row_end(p, row);
    }
    return cursor;
}

}  // namespace kelvra
