#include "column_builder.h"

#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

namespace kelvra {
namespace {

// Offsets and lengths of string cells are 32-bit, as in Arrow's string views: a byte buffer
// stays below 2 GiB, and so does one text.
constexpr std::size_t kMaxBufferBytes = std::numeric_limits<std::int32_t>::max();
// Room kept after the last byte of every buffer, so that texts may be read 16 bytes past their end.
constexpr std::size_t kSlack = 16;

// Copies a text longer than an inline one. Without room to read past its end, texts of up to 32
// bytes still move as two overlapping fixed-size copies rather than a call.
void copy_text(char* out, const char* data, std::size_t n, bool readable) noexcept {
    if (readable) {
        for (std::size_t i = 0; i < n; i += 16) std::memcpy(out + i, data + i, 16);
    } else if (n <= 16) {
        std::memcpy(out, data, 8);
        std::memcpy(out + n - 8, data + n - 8, 8);
    } else if (n <= 32) {
        std::memcpy(out, data, 16);
        std::memcpy(out + n - 16, data + n - 16, 16);
    } else {
        std::memcpy(out, data, n);
    }
}

}  // namespace

void StringPacker::pack_long(PackedString* out, std::string_view text, bool readable) {
    const std::size_t n = text.size();
    if (n > kMaxBufferBytes) {
        throw std::length_error("a string cell of " + std::to_string(n) +
                                " bytes is longer than the 2 GiB a cell can hold");
    }
    auto& buffers = store_->buffers;
    if (buffers.empty() || buffers.back().use_count() != 1 ||
        buffers.back()->size() + n > kMaxBufferBytes) {
        buffers.push_back(std::make_shared<ByteBuffer>());
    }
    ByteBuffer& bytes = *buffers.back();
    const std::size_t offset = bytes.size();
    copy_text(bytes.extend_uninitialised(n + kSlack), text.data(), n, readable);
    bytes.set_size(offset + n);
    PackedString::store_in_buffer(out, text.data(), static_cast<std::uint32_t>(n),
                                  static_cast<std::uint32_t>(buffers.size() - 1),
                                  static_cast<std::uint32_t>(offset));
}

StringStore& ColumnBuilder::own_strings() {
    if (!store_.strings) {
        store_.strings = std::make_shared<StringStore>();
    } else if (store_.strings.use_count() > 1) {
        // Shared cells are never changed: copy them, and go on in a buffer of this column's own.
        store_.strings = std::make_shared<StringStore>(*store_.strings);
    }
    return *store_.strings;
}

// Every row so far keeps the type it had. In a column of strings row i's cell is cell i, so its
// payload becomes i.
void ColumnBuilder::become_mixed() {
    const std::size_t n = store_.size;
    if (!store_.has_payloads) {
        std::uint64_t* p = store_.payloads.extend_uninitialised(n);
        for (std::size_t i = 0; i < n; ++i) p[i] = mask_[i] ? 0 : i;
        store_.payloads.set_size(n);
        store_.has_payloads = true;
    }
    store_.types.assign(n, static_cast<std::uint8_t>(store_.single));
    if (mask_.any_missing()) {
        const RowTypeWriter types = store_.type_writer();
        for (std::size_t i = 0; i < n; ++i) {
            if (mask_[i]) types.set(i, kInt);  // a missing row's type
        }
    }
    store_.mixed = true;
}

void ColumnBuilder::note_type(CellType type) {
    if (!store_.any_present) {
        store_.single = type;
        store_.any_present = true;
    } else if (!store_.mixed && store_.single != type) {
        become_mixed();
    }
    if (store_.mixed) store_.types.push_back(static_cast<std::uint8_t>(type));
}

void ColumnBuilder::push_payload_slow(CellType type, std::uint64_t bits) {
    note_type(type);
    if (!store_.has_payloads) {
        // Until now only missing rows in a column that had held strings.
        store_.payloads.assign(store_.size, 0);
        store_.has_payloads = true;
    }
    store_.payloads.push_back(bits);
    ++store_.size;
    mask_.push_back(false);
}

void ColumnBuilder::push_string_slow(std::string_view text, bool readable) {
    if (!store_.any_present && !store_.mixed) {
        // Until now only missing rows: a column of strings has a cell per row and no payloads.
        store_.payloads.reset();
        store_.has_payloads = false;
        StringStore& strings = own_strings();
        strings.cells.assign(store_.size, PackedString{});
        store_.single = kString;
        store_.any_present = true;
        StringPacker(strings).append(text, readable);
    } else if (!store_.mixed && store_.single == kString) {
        StringPacker(own_strings()).append(text, readable);
    } else {
        note_type(kString);
        const std::size_t cell = StringPacker(own_strings()).append(text, readable);
        store_.payloads.push_back(cell);
    }
    ++store_.size;
    mask_.push_back(false);
}

void ColumnBuilder::push_null() {
    if (store_.has_payloads) store_.payloads.push_back(0);
    if (store_.mixed) store_.types.push_back(static_cast<std::uint8_t>(kInt));
    if (!store_.has_payloads) {
        PodBuffer<PackedString>& cells = own_strings().cells;
        *cells.extend_uninitialised(2) = PackedString{};
        cells.set_size(cells.size() + 1);
    }
    ++store_.size;
    mask_.push_back(true);
}

// The bytes of a removed long text stay in its buffer, unused.
void ColumnBuilder::pop_back() {
    const std::size_t last = store_.size - 1;
    if (store_.mixed) {
        if (!mask_[last] && store_.type_reader()[last] == kString) {
            StringStore& strings = own_strings();
            strings.cells.set_size(static_cast<std::size_t>(store_.payloads.back()));
            strings.removed_cells_from(strings.cells.size());
        }
        store_.types.pop_back();
    }
    if (store_.has_payloads) {
        store_.payloads.pop_back();
    } else {
        StringStore& strings = own_strings();
        strings.cells.pop_back();
        strings.removed_cells_from(strings.cells.size());
    }
    --store_.size;
    mask_.pop_back();
}

void ColumnBuilder::reserve(std::size_t rows) {
    if (store_.has_payloads) store_.payloads.reserve(rows);
    if (store_.mixed) store_.types.reserve(rows);
    if (!store_.has_payloads) {
        own_strings().cells.reserve(rows + 1);
    } else if (store_.mixed && store_.strings && store_.strings.use_count() == 1 &&
               store_.size != 0) {
        // A mixed column's string cells, in the share of the rows they have had so far.
        PodBuffer<PackedString>& cells = store_.strings->cells;
        const double share = static_cast<double>(cells.size()) / static_cast<double>(store_.size);
        cells.reserve(static_cast<std::size_t>(share * static_cast<double>(rows) * 1.05) + 2);
    }
    mask_.reserve(rows);
}

std::size_t ColumnBuilder::string_bytes() const noexcept {
    std::size_t bytes = 0;
    if (store_.strings) {
        for (const auto& buffer : store_.strings->buffers) bytes += buffer->size();
    }
    return bytes;
}

void ColumnBuilder::reserve_string_bytes(std::size_t bytes) {
    auto& buffers = own_strings().buffers;
    if (buffers.empty() || buffers.back().use_count() != 1) {
        buffers.push_back(std::make_shared<ByteBuffer>());
    }
    ByteBuffer& last = *buffers.back();
    last.reserve(std::min(last.size() + bytes, kMaxBufferBytes) + kSlack);
}

std::uint32_t ColumnBuilder::share_string_buffers(const StringStore& from) {
    auto& buffers = own_strings().buffers;
    if (from.buffers.size() > std::numeric_limits<std::uint32_t>::max() - buffers.size()) {
        throw std::length_error("a column of strings cannot share more than 2**32 byte buffers");
    }
    const auto base = static_cast<std::uint32_t>(buffers.size());
    buffers.insert(buffers.end(), from.buffers.begin(), from.buffers.end());
    return base;
}

std::uint64_t* ColumnBuilder::number_run(CellType type, std::size_t n) {
    if (store_.mixed || store_.strings || !store_.has_payloads ||
        (store_.any_present && store_.single != type)) {
        return nullptr;
    }
    return store_.payloads.extend_uninitialised(n);
}

void ColumnBuilder::commit_number_run(CellType type, std::size_t k, const std::uint64_t* missing,
                                      bool any_present) {
    store_.payloads.set_size(store_.size + k);
    store_.size += k;
    mask_.append(missing, k);
    if (any_present && !store_.any_present) {
        store_.single = type;
        store_.any_present = true;
    }
}

std::optional<ColumnBuilder::StringRun> ColumnBuilder::string_run(std::size_t n) {
    if (store_.mixed || store_.has_payloads || store_.strings.use_count() != 1) return std::nullopt;
    StringStore& strings = *store_.strings;
    return StringRun{strings.cells.extend_uninitialised(n + 1), StringPacker(strings)};
}

void ColumnBuilder::commit_string_run(std::size_t k, const std::uint64_t* missing) {
    PodBuffer<PackedString>& cells = store_.strings->cells;
    cells.set_size(cells.size() + k);
    store_.size += k;
    mask_.append(missing, k);
}

std::optional<ColumnBuilder::MixedRun> ColumnBuilder::mixed_run(std::size_t n) {
    if (!store_.mixed || (store_.strings && store_.strings.use_count() != 1)) return std::nullopt;
    MixedRun run{store_.payloads.extend_uninitialised(n),
                 RowTypeWriter{store_.types.extend_uninitialised(n)}, std::nullopt};
    if (store_.strings) run.strings.emplace(*store_.strings);
    return run;
}

void ColumnBuilder::commit_mixed_run(std::size_t k, const std::uint64_t* missing) {
    store_.payloads.set_size(store_.size + k);
    store_.types.set_size(store_.size + k);
    store_.size += k;
    mask_.append(missing, k);
}

// The arrays of a whole result are sized once, exactly.
std::uint64_t* ColumnBuilder::payloads_for(std::size_t n) {
    store_.payloads.reserve(n);
    return store_.payloads.extend_uninitialised(n);
}

RowTypeWriter ColumnBuilder::types_for(std::size_t n) {
    store_.types.reserve(n);
    return RowTypeWriter{store_.types.extend_uninitialised(n)};
}

void ColumnBuilder::share_strings(const StringCells& source) { store_.strings = source.owner(); }

StringGather::StringGather(const StringCells& source, std::size_t capacity, bool stream)
    : source_(&source),
      out_(std::make_shared<StringStore>()),
      stream_(stream),
      used_(source.store()->buffers.size(), 0) {
    // One spare cell after the last, as in every string store.
    out_->cells.reserve(capacity + 1);
    cells_ = out_->cells.extend_uninitialised(capacity + 1);
}

std::shared_ptr<StringStore> StringGather::finish() {
    if (stream_) stream_fence();
    out_->cells.set_size(size_);
    // Copies of cells known to be UTF-8 are too (a compacted text below keeps its bytes).
    if (source_->store()->all_utf8()) out_->utf8_cells.store(size_);
    const auto& buffers = source_->store()->buffers;
    constexpr std::uint32_t kCopied = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> index(buffers.size(), kCopied);
    bool moved = false;
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        if (used_[b] != 0 && used_[b] >= buffers[b]->size() / 4) {
            index[b] = static_cast<std::uint32_t>(out_->buffers.size());
            out_->buffers.push_back(buffers[b]);
        }
        moved |= index[b] != b;
    }
    if (moved) {
        // The cells still name the source's buffers: renumber them, or copy their texts.
        StringPacker packer(*out_);
        for (std::size_t j = 0; j < size_; ++j) {
            const PackedString cell = cells_[j];
            if (cell.is_inline()) continue;
            const std::uint32_t b = cell.buffer_index();
            if (index[b] == kCopied) {
                packer.pack(&cells_[j], source_->text(cell), true);
            } else {
                PackedString::store_in_buffer(&cells_[j], cell.text, cell.length, index[b],
                                              cell.offset());
            }
        }
    }
    return std::move(out_);
}

void ColumnBuilder::finish(std::size_t n, std::optional<CellType> type,
                           std::optional<unsigned> seen) {
    store_.size = n;
    store_.mixed = !type;
    if (type) store_.single = *type;
    store_.has_payloads = type != kString;
    if (store_.has_payloads) {
        store_.payloads.set_size(n);
    } else {
        store_.payloads.reset();
    }
    if (store_.mixed) store_.types.set_size(n);
    settle(seen);
}

void ColumnBuilder::finish() {
    settle();
    trim();
}

void ColumnBuilder::settle(std::optional<unsigned> known) {
    const std::size_t n = store_.size;
    if (mask_.count_missing() == n) {
        // Only missing rows: all-zero payloads, as a column built by push_null alone.
        store_.payloads.assign(n, 0);
        store_.has_payloads = true;
        store_.types.reset();
        store_.mixed = false;
        store_.strings.reset();
        store_.single = kInt;
        store_.any_present = false;
        return;
    }
    store_.any_present = true;
    if (store_.mixed) {
        // The types of the present rows, without a branch per row.
        unsigned seen = known.value_or(0);
        if (!known) {
            const RowTypeReader types = store_.type_reader();
            const std::uint64_t* missing = mask_.words();
            for (std::size_t i = 0; i < n; ++i) {
                const unsigned present = ((missing[i / 64] >> (i % 64)) & 1u) ^ 1u;
                seen |= (1u << types[i]) & (0u - present);
            }
        }
        if (std::has_single_bit(seen)) {
            const auto type = static_cast<CellType>(std::countr_zero(seen));
            if (type == kString) {
                // A column of strings has a cell per row: row i's cell moves to position i.
                const StringStore& from = *store_.strings;
                auto out = std::make_shared<StringStore>();
                PackedString* cells = out->cells.extend_uninitialised(n + 1);
                const std::uint64_t* p = store_.payloads.data();
                for (std::size_t i = 0; i < n; ++i) {
                    cells[i] = mask_[i] ? PackedString{} : from.cells[p[i]];
                }
                out->cells.set_size(n);
                out->buffers = from.buffers;
                if (from.all_utf8()) out->utf8_cells.store(n);
                store_.strings = std::move(out);
                store_.payloads.reset();
                store_.has_payloads = false;
            }
            store_.single = type;
            store_.mixed = false;
            store_.types.reset();
        } else if ((seen & (1u << kString)) == 0) {
            store_.strings.reset();
        }
    }
    if (!store_.mixed && store_.single != kString) store_.strings.reset();
}

void ColumnBuilder::trim() {
    store_.payloads.trim();
    store_.types.trim();
    mask_.trim();
    if (store_.strings && store_.strings.use_count() == 1) {
        store_.strings->cells.trim(1);
        for (auto& buffer : store_.strings->buffers) {
            if (buffer.use_count() == 1) buffer->trim(kSlack);
        }
    }
}

}  // namespace kelvra
