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

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "cell.h"
#include "packed_string.h"
#include "pod_buffer.h"

namespace kelvra {

// A byte buffer of long texts, and what is known of its bytes: once checked, the leading bytes
// found ASCII are never looked at again (a shared buffer never changes and an owned one only grows
// at its end).
class ByteBuffer : public PodBuffer<char> {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Bytes [0, ascii_bytes) are ASCII.
    mutable std::atomic<std::size_t> ascii_bytes{0};
    // The byte at ascii_bytes is not: the buffer is known not to be ASCII throughout.
    mutable std::atomic<bool> not_ascii{false};
};

// The string cells of a column and the buffers their long texts live in. Buffers are immutable
// once shared: a derived column refers to its source's buffers instead of copying bytes.
struct StringStore {
    PodBuffer<PackedString> cells;
    std::vector<std::shared_ptr<ByteBuffer>> buffers;
    // Cells [0, utf8_cells) are known to be UTF-8: checked once, or copied from cells that were.
    // Cells are only appended, so what is known stays true; removing cells lowers it.
    mutable std::atomic<std::size_t> utf8_cells{0};

    StringStore() = default;
    StringStore(const StringStore& other)
        : cells(other.cells),
          buffers(other.buffers),
          utf8_cells(other.utf8_cells.load(std::memory_order_relaxed)) {}
    StringStore& operator=(const StringStore&) = delete;

    bool all_utf8() const noexcept {
        return utf8_cells.load(std::memory_order_acquire) >= cells.size();
    }
    // After the cells past n were removed.
    void removed_cells_from(std::size_t n) noexcept {
        if (utf8_cells.load(std::memory_order_relaxed) > n) utf8_cells.store(n);
    }
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
