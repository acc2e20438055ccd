// How a column's cells are stored. This header, ColumnView (reading) and ColumnBuilder (writing)
// are the only code that knows the layout; everything else goes through the view and the builder.
//
// - An 8-byte payload per row holds an int64, a double or a bool (0 or 1). A missing row holds 0.
//   A column whose present cells are all strings has no payloads at all.
// - The type of each row: while every present cell has the same type (the common case) that one
//   type stands for all rows and nothing is stored per row; once a second type arrives, one type
//   byte per row, so a mixed column stays exact per cell. A missing row's type byte is kInt.
// - Strings: a PackedString per string cell, with the bytes of texts longer than 12 in shared
//   byte buffers. In a column of strings the cells are one per row (a missing row's is empty);
//   in a mixed column a string row's payload is the index of its cell.
// - Every string's bytes may be read 16 bytes past their end: byte buffers keep that much room
//   after their last byte and the cells one spare cell after the last, so that copies and scans
//   work sixteen bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "cell.h"
#include "packed_string.h"
#include "pod_buffer.h"

namespace kelvra {

using ByteBuffer = PodBuffer<char>;

// The string cells of a column and the buffers their long texts live in. Buffers are immutable
// once shared: a derived column refers to its source's buffers instead of copying bytes.
struct StringStore {
    PodBuffer<PackedString> cells;
    std::vector<std::shared_ptr<ByteBuffer>> buffers;
};

// The types of a mixed column's rows, read or set through a cursor taken once per loop.
struct RowTypeReader {
    const std::uint8_t* bytes;
    CellType operator[](std::size_t row) const noexcept {
        return static_cast<CellType>(bytes[row]);
    }
};
struct RowTypeWriter {
    std::uint8_t* bytes;
    void set(std::size_t row, CellType type) const noexcept {
        bytes[row] = static_cast<std::uint8_t>(type);
    }
};

struct CellStore {
    PodBuffer<std::uint64_t> payloads;  // size entries while has_payloads
    PodBuffer<std::uint8_t> types;      // size entries while mixed: used through the cursors
    RowTypeReader type_reader() const noexcept { return {types.data()}; }
    RowTypeWriter type_writer() noexcept { return {types.data()}; }
    std::shared_ptr<StringStore> strings;
    std::size_t size = 0;
    CellType single = kInt;  // the type of every present cell while !mixed
    bool mixed = false;
    bool any_present = false;
    bool has_payloads = true;
};

}  // namespace kelvra
