#include "arrow_arrays.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "../../text/number_writing.h"
#include "../common/utf8.h"
#include "arrow_columns.h"

namespace kelvra::arrow {

// Arrow's bitmaps number bits from the least significant bit of each byte; on a little-endian
// machine that is also the order of the bits of a 64-bit word, so masks are built a word at a time.
static_assert(std::endian::native == std::endian::little);

namespace {

// Whether the buffer is ASCII throughout. Only the bytes never checked before are looked at.
bool buffer_ascii(const ByteBuffer& bytes) {
    if (bytes.not_ascii.load(std::memory_order_relaxed)) return false;
    const std::size_t known = bytes.ascii_bytes.load(std::memory_order_acquire);
    if (known >= bytes.size()) return true;
    if (is_ascii({bytes.data() + known, bytes.size() - known})) {
        bytes.ascii_bytes.store(bytes.size(), std::memory_order_release);
        return true;
    }
    bytes.not_ascii.store(true, std::memory_order_relaxed);
    return false;
}

}  // namespace

const void* validity(ArrayOwner& owner, const Source& source) {
    const std::uint64_t* missing = source.view().missing_words();
    if (missing == nullptr || source.missing == 0) return nullptr;
    const std::size_t words = NullMask::word_count(source.rows);
    PodBuffer<std::uint64_t>& bits = owner.new_words();
    std::uint64_t* out = bits.extend_uninitialised(words);
    for (std::size_t w = 0; w < words; ++w) out[w] = ~missing[w];
    if (source.rows % 64 != 0) out[words - 1] &= (std::uint64_t{1} << (source.rows % 64)) - 1;
    bits.set_size(words);
    return bits.data();
}

const void* boolean_bits(ArrayOwner& owner, const Source& source) {
    const std::uint64_t* payloads = source.view().payloads();
    PodBuffer<std::uint64_t>& bits = owner.new_words();
    bits.assign(NullMask::word_count(source.rows), 0);
    std::uint64_t* out = bits.data();
    for (std::size_t i = 0; i < source.rows; ++i) {
        out[i / 64] |= std::uint64_t{payloads[i] != 0} << (i % 64);
    }
    return bits.data();
}

bool all_cells_utf8(const StringCells& strings) {
    const StringStore* store = strings.store();
    if (store == nullptr) return true;
    const std::size_t n = store->cells.size();
    const std::size_t known = store->utf8_cells.load(std::memory_order_acquire);
    if (known >= n) return true;
    std::vector<char> ascii_buffer(store->buffers.size());
    for (std::size_t b = 0; b < store->buffers.size(); ++b) {
        ascii_buffer[b] = buffer_ascii(*store->buffers[b]);
    }
    const PackedString* cells = store->cells.data();
    for (std::size_t c = known; c < n; ++c) {
        const PackedString& cell = cells[c];
        if (cell.is_inline()) {
            std::uint64_t lo;
            std::uint32_t hi;
            std::memcpy(&lo, cell.text, 8);
            std::memcpy(&hi, cell.text + 8, 4);
            if (((lo | hi) & 0x8080808080808080ULL) == 0) continue;
        } else if (ascii_buffer[cell.buffer_index()]) {
            continue;
        }
        if (!is_utf8(strings.at(c))) {
            store->utf8_cells.store(c, std::memory_order_release);
            return false;
        }
    }
    store->utf8_cells.store(n, std::memory_order_release);
    return true;
}

void require_utf8_strings(const std::string& name, const Source& source) {
    const ColumnView& view = source.view();
    if (all_cells_utf8(view.strings())) return;
    for (std::size_t i = 0; i < source.rows; ++i) {
        if (view.type_at(i) == kString && !view.missing(i) && !is_utf8(view.string_at(i)))
            [[unlikely]] {
            throw_text_not_utf8(kExportFailure, name, i);
        }
    }
}

std::size_t view_buffers(ArrayOwner& owner, const PackedString* views, const StringStore& store) {
    const std::size_t own = store.buffers.size();
    const std::size_t k = own + owner.view_bytes.size();
    owner.buffers.resize(3 + k);
    owner.buffers[1] = views;
    std::int64_t* sizes = owner.buffer_sizes.extend_uninitialised(k);
    for (std::size_t b = 0; b < k; ++b) {
        const char* data = b < own ? store.buffers[b]->data() : owner.view_bytes[b - own].data();
        const std::size_t size =
            b < own ? store.buffers[b]->size() : owner.view_bytes[b - own].size();
        owner.buffers[2 + b] = size == 0 ? empty_buffer() : data;
        sizes[b] = static_cast<std::int64_t>(size);
    }
    owner.buffer_sizes.set_size(k);
    owner.buffers[2 + k] = k == 0 ? empty_buffer() : owner.buffer_sizes.data();
    return 3 + k;
}

const PackedString* views_by_row(ArrayOwner& owner, const Source& source) {
    const ColumnView& view = source.view();
    const PackedString* cells = view.strings().cells();
    const std::uint64_t* payloads = view.payloads();
    const RowTypeReader types = view.row_types();
    PackedString* out = owner.views.extend_uninitialised(source.rows);
    for (std::size_t i = 0; i < source.rows; ++i) {
        out[i] = string_row(view, types, i) ? cells[payloads[i]] : PackedString{};
    }
    owner.views.set_size(source.rows);
    return owner.views.data();
}

// The texts of a block of rows are written first and made views afterwards: a view read whole
// right after its text was written byte by byte would wait for those writes to reach the cache.
std::size_t text_views(ArrayOwner& owner, Source& source) {
    static const StringStore kNoStrings;
    constexpr std::size_t kBlock = 64;
    constexpr std::size_t kSlot = kNumberTextMax + 8;  // a text, and 16 bytes readable from it
    const ColumnView& view = source.view();
    const StringStore& store = view.strings().store() ? *view.strings().store() : kNoStrings;
    const PackedString* cells = view.strings().cells();
    const std::uint64_t* payloads = view.payloads();
    const RowTypeReader types = view.row_types();
    const auto first_own = static_cast<std::uint32_t>(store.buffers.size());
    PackedString* out = owner.views.extend_uninitialised(source.rows);
    char texts[kBlock][kSlot] = {};
    std::uint32_t written_rows[kBlock];
    std::uint32_t lengths[kBlock];
    for (std::size_t block = 0; block < source.rows; block += kBlock) {
        const std::size_t block_end = std::min(block + kBlock, source.rows);
        std::size_t written = 0;
        for (std::size_t i = block; i < block_end; ++i) {
            if (view.missing(i)) {
                out[i] = PackedString{};
            } else if (types[i] == kString) {
                out[i] = cells[payloads[i]];
            } else {
                char* text = texts[written];
                written_rows[written] = static_cast<std::uint32_t>(i - block);
                lengths[written++] =
                    static_cast<std::uint32_t>(write_scalar_cell(text, source.column, i) - text);
            }
        }
        for (std::size_t k = 0; k < written; ++k) {
            PackedString* cell = out + block + written_rows[k];
            const char* text = texts[k];
            const std::uint32_t n = lengths[k];
            if (n <= PackedString::kInlineMax) {
                PackedString::store_inline(cell, text, n, true);
                continue;
            }
            if (owner.view_bytes.empty() || owner.view_bytes.back().size() + n > kInt32Max) {
                owner.view_bytes.emplace_back();
            }
            PodBuffer<char>& bytes = owner.view_bytes.back();
            PackedString::store_in_buffer(
                cell, text, n, first_own + static_cast<std::uint32_t>(owner.view_bytes.size() - 1),
                static_cast<std::uint32_t>(bytes.size()));
            bytes.append(text, n);
        }
    }
    owner.views.set_size(source.rows);
    return view_buffers(owner, owner.views.data(), store);
}

bool doubles_of_numbers(ArrayOwner& owner, const Source& source) {
    constexpr std::uint64_t kExact = std::uint64_t{1} << 53;
    // Whether an integer's payload is within range: payload + 2**53, with wrap-around, is at
    // most 2**54.
    const auto exact = [](std::uint64_t payload) { return payload + kExact <= 2 * kExact; };
    const ColumnView& view = source.view();
    const std::uint64_t* payloads = view.payloads();
    const RowTypeReader types = view.row_types();
    const std::size_t rows = source.rows;
    // Without a branch on the row's type, which follows no pattern in most columns. `shifted`
    // gathers the bits of every integer's payload + 2**53: it is at most 2**54 when every
    // integer is exact and above it when one is not (or when 2**53 itself is there, which the
    // check below clears).
    std::uint64_t* out = owner.new_words().extend_uninitialised(rows);
    std::uint64_t shifted = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint64_t payload = payloads[i];
        const std::uint64_t is_int = std::uint64_t{0} - (types[i] == kInt);  // all ones or none
        const auto as_double =
            std::bit_cast<std::uint64_t>(static_cast<double>(std::bit_cast<std::int64_t>(payload)));
        out[i] = (as_double & is_int) | (payload & ~is_int);
        shifted |= (payload + kExact) & is_int;
    }
    if (shifted > 2 * kExact) {
        // Perhaps only in missing rows, whose payloads mean nothing.
        for (std::size_t i = 0; i < rows; ++i) {
            if (types[i] == kInt && !exact(payloads[i]) && !view.missing(i)) {
                owner.words.pop_back();
                return false;
            }
        }
    }
    owner.words.back().set_size(rows);
    owner.buffers[1] = out;
    return true;
}

const char* cell_texts(ArrayOwner& owner, Source& source, bool only_strings, bool narrow) {
    const ColumnView& view = source.view();
    const std::size_t rows = source.rows;
    std::int64_t* offsets = owner.offsets64.extend_uninitialised(rows + 1);
    PodBuffer<char>& bytes = owner.bytes;
    offsets[0] = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        if (view.present(i)) {
            const CellType type = view.type_at(i);
            if (type == kString) {
                const std::string_view text = view.string_at(i);
                bytes.append(text.data(), text.size());
            } else if (!only_strings) {
                char* start = bytes.extend_uninitialised(kNumberTextMax);
                char* end = write_scalar_cell(start, source.column, i);
                bytes.set_size(bytes.size() + static_cast<std::size_t>(end - start));
            }
        }
        offsets[i + 1] = static_cast<std::int64_t>(bytes.size());
    }
    owner.offsets64.set_size(rows + 1);
    owner.buffers[1] = owner.offsets64.data();
    owner.buffers[2] = bytes.empty() ? empty_buffer() : bytes.data();
    if (!narrow || bytes.size() > kInt32Max) return "U";
    std::int32_t* out = owner.offsets32.extend_uninitialised(rows + 1);
    for (std::size_t i = 0; i <= rows; ++i) out[i] = static_cast<std::int32_t>(offsets[i]);
    owner.offsets32.set_size(rows + 1);
    owner.buffers[1] = owner.offsets32.data();
    return "u";
}

}  // namespace kelvra::arrow
