// The import's view of one array: its buffers checked against its type once (arrow_layout.cpp),
// then read a row at a time (cell_at), as runs of plain values (arrow_runs.cpp) or as gathers from
// decoded values (arrow_gather.cpp). Shared by those files alone.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_import.h"

namespace kelvra::arrow::detail {

using Kind = ImportType::Kind;

// Arrow's bitmaps number bits from the least significant bit of each byte, which on a
// little-endian machine is also the order of a 64-bit word's bits.
static_assert(std::endian::native == std::endian::little);

// Rows per run, whose missing bits sit on the stack.
constexpr std::size_t kChunk = 4096;
using ChunkBits = std::array<std::uint64_t, kChunk / NullMask::kBits>;

constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
// The largest offset + length of an array: positions times 16 (a string view's size), plus one,
// stay far inside 64 bits.
constexpr std::size_t kMaxPosition = std::numeric_limits<std::int64_t>::max() / 32;

[[noreturn]] void malformed(const std::string& what);

inline bool is_union(Kind kind) { return kind == Kind::kDenseUnion || kind == Kind::kSparseUnion; }

template <class T>
T load(const void* buffer, std::size_t i) noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(buffer) + i * sizeof(T), sizeof(T));
    return v;
}

// One array and its type, its layout checked. Rows count from the array's own offset; a child is
// read at the rows its parent names.
struct Rows {
    const ImportType* type;
    const ArrowArray* array;
    std::size_t offset;
    std::size_t length;
    const std::uint8_t* validity;  // nullptr: every row is valid
    std::vector<Rows> children;    // a union's, or a dictionary's values alone
    // Strings with offsets: the bytes (never null) and the offset where the array's texts end.
    const char* data = nullptr;
    std::int64_t data_end = 0;
    // String views: how many data buffers there are.
    std::size_t data_buffers = 0;

    const void* buffer(std::size_t i) const noexcept { return array->buffers[i]; }
    bool valid(std::size_t row) const noexcept {
        const std::size_t bit = offset + row;
        return validity == nullptr || ((validity[bit / 8] >> (bit % 8)) & 1u) != 0;
    }
    // The declared size of string view data buffer b.
    std::int64_t data_size(std::size_t b) const noexcept {
        return load<std::int64_t>(buffer(2 + data_buffers), b);
    }
};

// The array's layout checked against its type, children included.
Rows rows_of(const ImportType& type, const ArrowArray& array);

// A text with whether 16 bytes from its start and 15 past its end lie inside its buffer, which
// lets the copy move sixteen bytes at a time.
struct Text {
    std::string_view text;
    bool readable;
};

// The text at position i (offset included) of an array of strings, checked against its buffers.
template <class Offset>
Text offset_text(const Rows& rows, std::size_t i) {
    const auto begin = static_cast<std::int64_t>(load<Offset>(rows.buffer(1), i));
    const auto end = static_cast<std::int64_t>(load<Offset>(rows.buffer(1), i + 1));
    if (begin < 0 || end < begin || end > rows.data_end) [[unlikely]] {
        malformed("string offsets go backwards");
    }
    // end <= data_end: the difference cannot overflow.
    return Text{{rows.data + begin, static_cast<std::size_t>(end - begin)},
                rows.data_end - end >= 16};
}
Text view_text(const Rows& rows, std::size_t i);
// The text at row `row` of an array of strings of any of the three layouts.
std::string_view text_at(const Rows& rows, std::size_t row);

// A row's cell: missing, or a type with its payload (int64, double or 0 / 1 bits) or its text.
struct Cell {
    bool missing = true;
    CellType type = kInt;
    std::uint64_t payload = 0;
    std::string_view text;
};

// Row `row` of the array (counting from its offset), checked; throws IntegerOutOfRange without a
// row.
Cell cell_at(const Rows& rows, std::size_t row);
void push_cell(ColumnBuilder& column, const Cell& cell);
// Rows [start, start + n) pushed one at a time; an integer out of range names its column row.
void push_cells(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n);

// The position a dictionary index or dense union offset names in a child of `length` rows,
// checked: a negative one or one past the end is malformed.
inline std::size_t child_position(std::int64_t at, std::size_t length, const char* what) {
    if (at < 0 || static_cast<std::uint64_t>(at) >= length) [[unlikely]] {
        malformed(std::string(what) + " points past the end of its values");
    }
    return static_cast<std::size_t>(at);
}
// A dictionary index of an integer kind at position i, as an unsigned value: negative ones and
// unsigned ones of 2**63 or more come out past every dictionary's end.
std::uint64_t index_at(Kind kind, const void* indexes, std::size_t i) noexcept;

inline bool bit_set(const ChunkBits& bits, std::size_t k) noexcept {
    return ((bits[k / NullMask::kBits] >> (k % NullMask::kBits)) & 1u) != 0;
}
inline void set_bit(ChunkBits& bits, std::size_t k) noexcept {
    bits[k / NullMask::kBits] |= std::uint64_t{1} << (k % NullMask::kBits);
}
// The missing bits of rows [start, start + n) of a plain array, bit k for row start + k; returns
// whether any of those rows is present.
bool chunk_missing(const Rows& rows, std::size_t start, std::size_t n, ChunkBits& bits);

// Rows [start, start + n) of a plain array as runs where the column's layout allows; false when
// they must go a row at a time.
bool append_plain_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n);
// At most how many bytes the texts of a plain array of strings hold, so that the column's byte
// buffer grows once; 0 for other arrays.
std::size_t text_bytes(const Rows& rows);

// A dictionary or union array gathered from its values decoded once; false, with nothing
// appended, when its rows must go one at a time.
bool append_gathered(ColumnBuilder& column, const Rows& rows);

// The rows of an array of checked layout, appended by whichever way suits its type.
void append_rows(ColumnBuilder& column, const Rows& rows);

}  // namespace kelvra::arrow::detail
