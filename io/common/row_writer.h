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

#include "../../core/column_view.h"
#include "../../text/number_writing.h"
#include "text_output.h"

namespace kelvra {

// One column as the writers read it: its cells, and the state of its double writing.
struct CellSource {
    ColumnView cells;
    DoubleWriter doubles;

    explicit CellSource(const Column& column) : cells(column) {}

    bool present(std::size_t row) const noexcept { return cells.present(row); }
};

// A boolean as the text writers other than JSON's write it: the digit 1 or 0.
inline char* write_bool_digit(char* out, bool v) noexcept {
    *out = v ? '1' : '0';
    return out + 1;
}

// A present cell that is not a string as to_csv writes it: an integer in decimal, a double in its
// lossless form, a boolean as 1 or 0; at most kNumberTextMax bytes. Returns the end of the text.
inline char* write_scalar_cell(char* out, CellSource& source, std::size_t row) noexcept {
    switch (source.cells.type_at(row)) {
        case kInt:
            return write_int(out, source.cells.int_at(row));
        case kDouble:
            return source.doubles.write(out, source.cells.double_at(row));
        default:
            return write_bool_digit(out, source.cells.bool_at(row));
    }
}

// Room every row has beyond its strings: a number, a boolean or a missing cell takes at most this.
inline constexpr std::size_t kCellRoom = 32;
// Short strings are copied sixteen bytes at once, so the buffer keeps this much slack.
inline constexpr std::size_t kCopySlack = 16;

// The end up to which a string cell's bytes may be read: the storage keeps 16 bytes after each.
inline const char* readable_end(std::string_view text) noexcept {
    return text.data() + text.size() + 16;
}

// Copies a string cell's bytes to out, which has kCopySlack bytes of room beyond them.
inline char* copy_cell(char* out, std::string_view text) noexcept {
    if (text.size() <= kCopySlack) {
        std::memcpy(out, text.data(), kCopySlack);
    } else {
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
            switch (source.cells.type_at(row)) {
                case kInt:
                    p = write_int(p, source.cells.int_at(row));
                    break;
                case kDouble:
                    p = format.real(p, source, source.cells.double_at(row));
                    break;
                case kString:
                    p = format.string(output, p, source, c, row);
                    break;
                default:
                    p = format.boolean(p, source.cells.bool_at(row));
                    break;
            }
        }
        cursor = format.row_end(p, row);
    }
    return cursor;
}

}  // namespace kelvra
