// Writing a column's cells: the one way cells get into a column's storage. The readers and the
// conversion from Python append single rows and runs of rows; the operations write whole arrays
// of their result and let finish() work out what the cells turned out to need.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "column.h"
#include "column_view.h"
#include "stream_store.h"

namespace kelvra {

// Puts texts into a string store: short ones inline, longer ones at the end of its last byte
// buffer (a new one when that is shared or full).
class StringPacker {
public:
    explicit StringPacker(StringStore& store) noexcept : store_(&store) {}

    // `readable` says whether 16 bytes from the text's start and 15 past its end may be read,
    // which lets the copies move sixteen bytes at a time.
    void pack(PackedString* out, std::string_view text, bool readable) {
        if (text.size() <= PackedString::kInlineMax) {
            PackedString::store_inline(out, text.data(), static_cast<std::uint32_t>(text.size()),
                                       readable);
        } else {
            pack_long(out, text, readable);
        }
    }
    // Appends a cell to the store; returns its index.
    std::size_t append(std::string_view text, bool readable) {
        PodBuffer<PackedString>& cells = store_->cells;
        // One spare cell stays after the last, so that its inline text may be read 16 bytes on.
        PackedString* slot = cells.extend_uninitialised(2);
        pack(slot, text, readable);
        cells.set_size(cells.size() + 1);
        return cells.size() - 1;
    }
    // Appends a cell already packed, its long text in one of the store's buffers; returns its
    // index.
    std::size_t append_cell(const PackedString& cell) {
        PodBuffer<PackedString>& cells = store_->cells;
        PackedString* slot = cells.extend_uninitialised(2);
        slot[0] = cell;
        slot[1] = PackedString{};
        cells.set_size(cells.size() + 1);
        return cells.size() - 1;
    }

private:
    void pack_long(PackedString* out, std::string_view text, bool readable);

    StringStore* store_;
};

// Copies string cells of a source column into a new store, a run of cells at a time, for a result
// of at most `capacity` cells. The result shares the source's buffers it still needs, and copies
// the texts of a buffer it would use less than a quarter of, so that a small result never keeps a
// large buffer alive.
class StringGather {
public:
    // `stream`: the cells are written with streaming stores (stream_store.h).
    StringGather(const StringCells& source, std::size_t capacity, bool stream = false);

    // Appends copies of the source's cells cells[0..n).
    template <class Index>
    void take(const Index* cells, std::size_t n) {
        const PackedString* from = source_->cells();
        PackedString* out = cells_ + size_;
        size_ += n;
        if (used_.size() <= 1) {
            // One buffer at most (the usual case): its count stays in a register.
            std::size_t bytes = 0;
            if (stream_) {
                for (std::size_t j = 0; j < n; ++j) {
                    const PackedString cell = from[cells[j]];
                    stream_store(out + j, cell);
                    bytes += cell.is_inline() ? 0 : cell.length;
                }
            } else {
                for (std::size_t j = 0; j < n; ++j) {
                    const PackedString cell = from[cells[j]];
                    out[j] = cell;
                    bytes += cell.is_inline() ? 0 : cell.length;
                }
            }
            if (!used_.empty()) used_[0] += bytes;
            return;
        }
        for (std::size_t j = 0; j < n; ++j) {
            const PackedString cell = from[cells[j]];
            out[j] = cell;
            if (!cell.is_inline()) used_[cell.buffer_index()] += cell.length;
        }
    }
    // The store of the cells taken so far, its buffers settled.
    std::shared_ptr<StringStore> finish();

private:
    const StringCells* source_;
    std::shared_ptr<StringStore> out_;
    PackedString* cells_ = nullptr;
    std::size_t size_ = 0;
    bool stream_;
    // The long texts' bytes that each source buffer serves.
    std::vector<std::size_t> used_;
};

class ColumnBuilder {
public:
    explicit ColumnBuilder(Column& column) noexcept
        : store_(column.values), mask_(column.null_mask) {}

    // --- One row at a time.
    void push_int(std::int64_t v) { push_payload(kInt, std::bit_cast<std::uint64_t>(v)); }
    void push_double(double v) { push_payload(kDouble, std::bit_cast<std::uint64_t>(v)); }
    void push_bool(bool v) { push_payload(kBool, v ? 1u : 0u); }
    // `readable` as for StringPacker::pack.
    void push_string(std::string_view text, bool readable = false) {
        if (!store_.mixed && store_.single == kString && store_.any_present &&
            store_.strings.use_count() == 1) [[likely]] {
            StringPacker(*store_.strings).append(text, readable);
            ++store_.size;
            mask_.push_back(false);
            return;
        }
        push_string_slow(text, readable);
    }
    void push_null();
    // Removes the last row.
    void pop_back();

    // The type of every present cell so far, or nothing once the column mixes types.
    std::optional<CellType> single_type() const noexcept {
        if (store_.mixed) return std::nullopt;
        return store_.single;
    }
    std::size_t size() const noexcept { return store_.size; }
    // Room for `rows` rows in all (in a mixed column, string cells in the share so far).
    void reserve(std::size_t rows);
    // Shares the byte buffers of `from` into the strings of this column, which must already hold
    // strings (a column of strings, or a mixed one with a string): a cell of `from` is one of this
    // column's once its buffer index is raised by the base returned.
    std::uint32_t share_string_buffers(const StringStore& from);
    // The bytes of long strings so far, and room for this many more.
    std::size_t string_bytes() const noexcept;
    void reserve_string_bytes(std::size_t bytes);

    // --- Runs of rows, for the readers. A run hands out room for up to n rows; commit keeps the
    // first k, whose missing bits are missing[0..k) (bit i of word i / 64).
    //
    // Payload slots of a column whose present cells so far all have `type` (or that has none);
    // nullptr for any other column. Missing rows must hold 0.
    std::uint64_t* number_run(CellType type, std::size_t n);
    void commit_number_run(CellType type, std::size_t k, const std::uint64_t* missing,
                           bool any_present);
    // A column whose cells so far are strings (at least one) or missing: cell i of the run is
    // cells[i], missing rows an empty cell.
    struct StringRun {
        PackedString* cells;
        StringPacker packer;
    };
    std::optional<StringRun> string_run(std::size_t n);
    void commit_string_run(std::size_t k, const std::uint64_t* missing);
    // A column that mixes types: each row a payload and a type (kInt and 0 when missing). A
    // string row's payload is the index that strings->append gives; strings is empty while the
    // column has no strings, and such a run stops at the first string.
    struct MixedRun {
        std::uint64_t* payloads;
        RowTypeWriter types;  // from the run's row 0
        std::optional<StringPacker> strings;
    };
    std::optional<MixedRun> mixed_run(std::size_t n);
    void commit_mixed_run(std::size_t k, const std::uint64_t* missing);

    // --- Whole arrays, for the operations, on a column that is still empty. Write n rows'
    // payloads (missing rows 0), their types (after types_for) when the result mixes types, and
    // the strings, then finish(n, type): type is the one type of every present cell, or nothing
    // when the rows' types say.
    std::uint64_t* payloads_for(std::size_t n);
    RowTypeWriter types_for(std::size_t n);
    // The source's string cells and buffers, shared whole.
    void share_strings(const StringCells& source);
    // The cells a StringGather collected.
    void adopt_strings(std::shared_ptr<StringStore> strings) {
        store_.strings = std::move(strings);
    }
    void set_missing(const NullMask& mask) { mask_ = mask; }
    void append_missing(const std::uint64_t* bits, std::size_t n) { mask_.append(bits, n); }
    // `seen`, when known, is the set of the present rows' types (bit t for type t), which spares
    // a pass over a mixed result.
    void finish(std::size_t n, std::optional<CellType> type,
                std::optional<unsigned> seen = std::nullopt);

    // Settles a column built row by row or by runs: drops per-row storage that its cells turn
    // out not to need, and gives back room reserved far beyond its length.
    void finish();

private:
    void push_payload(CellType type, std::uint64_t bits) {
        if (!store_.mixed && store_.any_present && store_.single == type && store_.has_payloads &&
            !store_.strings) [[likely]] {
            store_.payloads.push_back(bits);
            ++store_.size;
            mask_.push_back(false);
            return;
        }
        push_payload_slow(type, bits);
    }
    void push_payload_slow(CellType type, std::uint64_t bits);
    void push_string_slow(std::string_view text, bool readable);
    void note_type(CellType type);
    void become_mixed();
    StringStore& own_strings();
    void settle(std::optional<unsigned> seen = std::nullopt);
    void compact_strings();
    void trim();

    CellStore& store_;
    NullMask& mask_;
};

}  // namespace kelvra
