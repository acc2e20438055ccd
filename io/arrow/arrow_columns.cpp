#include "arrow_columns.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

#include "../../core/column_builder.h"
#include "../../text/number_writing.h"
#include "../common/row_writer.h"
#include "../common/utf8.h"

namespace kelvra::arrow {

namespace {

// Arrow's bitmaps number bits from the least significant bit of each byte; on a little-endian
// machine that is also the order of the bits of a 64-bit word, so masks are built a word at a time.
static_assert(std::endian::native == std::endian::little);

constexpr auto kInt32Max = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// The Arrow format and the union child name of each cell type, by CellType. Strings are string
// views, the layout of the column's own string cells.
constexpr const char* kFormats[] = {"l", "g", "vu", "b"};
constexpr const char* kTypeNames[] = {"int", "float", "str", "bool"};

// The first `rows` rows of a column as the export reads them.
struct Source {
    CellSource column;  // the one place where the column's storage is read
    std::size_t rows;
    std::size_t missing = 0;  // missing rows among them

    Source(const Column& c, std::size_t n) : column(c), rows(n) {}
    const ColumnView& view() const noexcept { return column.cells; }
};

// The validity bitmap (bit set: present), the reverse of the null mask; nullptr when no row is
// missing. Bits past the last row stay clear.
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

// Booleans as bits, from their 0 / 1 payloads (the payload of a row of another type in a mixed
// column sets a bit that is never read).
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

// Whether row i is a present string. The type of a missing row is never relied on here.
bool string_row(const ColumnView& view, RowTypeReader types, std::size_t i) noexcept {
    return types[i] == kString && !view.missing(i);
}

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

// Whether every cell of the column's string store is UTF-8, those of no row included: a union
// child that shares the cells shows them all. Only cells never checked before are looked at (the
// store notes how far its cells are known to be UTF-8, and so do the results of operations that
// copy them). Most text is ASCII: an inline cell whose twelve bytes are ASCII passes at once, and
// so does a long text in a buffer that is ASCII throughout.
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

// Throws for the first present string row that is not UTF-8.
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

// A string view array over `views`: its buffers are the validity, the views, the column's byte
// buffers as they are and those built for the export's own texts, then the sizes of those.
// Returns n_buffers.
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

// The views of a mixed column's string rows by row; other rows, missing ones included, empty.
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

// A mixed column as string views of each present cell's text: a string row is its cell as it is
// (sharing the column's byte buffers), any other cell is written as to_csv writes it, inline
// when it fits twelve bytes (most numbers do) and otherwise into byte buffers built for the
// export. Missing rows are empty. Returns n_buffers.
//
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

// A mixed column whose present cells are integers and doubles alone, every integer within
// +-2**53 (so exactly a double), as float64: each integer as the double of its value. Returns
// false, keeping nothing it built, when an integer lies beyond.
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

// Each present cell as text, in int64 offsets and bytes built for the export: strings as they
// are, other cells as to_csv writes them (or empty, with only_strings); missing rows empty.
// With `narrow` the offsets are int32 when the bytes allow. Returns the format: "u" or "U".
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

bool is_text_format(std::string_view format) { return format == "u" || format == "U"; }

// The union's format with its type codes: "+ud:0,2".
std::string union_format(bool sparse, const std::vector<int>& codes) {
    std::string format = sparse ? "+us:" : "+ud:";
    for (std::size_t k = 0; k < codes.size(); ++k) {
        if (k != 0) format += ',';
        format += std::to_string(codes[k]);
    }
    return format;
}

// The cell types that present rows of a mixed column hold, in CellType order.
std::vector<CellType> present_types(const Source& source) {
    const ColumnView& view = source.view();
    const RowTypeReader types = view.row_types();
    unsigned seen = 0;
    if (source.missing == 0) {
        for (std::size_t i = 0; i < source.rows; ++i) seen |= 1u << types[i];
    } else {
        for (std::size_t i = 0; i < source.rows; ++i) {
            if (!view.missing(i)) seen |= 1u << types[i];
        }
    }
    std::vector<CellType> codes;
    for (const CellType type : {kInt, kDouble, kString, kBool}) {
        if ((seen >> type) & 1u) codes.push_back(type);
    }
    return codes;
}

// The union layout that the consumer asked for, when its children have the column's child
// types in the same order (the string child as views or as text): sparse or dense, the type
// code of each child and the string child's format.
struct UnionLayout {
    bool sparse = false;
    std::vector<int> codes;
    std::string string_format = kFormats[kString];
};

bool same_children(const ArrowSchema& requested, const std::vector<CellType>& types) {
    if (requested.n_children != static_cast<std::int64_t>(types.size())) return false;
    for (std::size_t k = 0; k < types.size(); ++k) {
        const ArrowSchema* child = requested.children[k];
        if (child == nullptr || child->format == nullptr) return false;
        const std::string_view format = child->format;
        if (format != kFormats[types[k]] && !(types[k] == kString && is_text_format(format))) {
            return false;
        }
    }
    return true;
}

std::optional<UnionLayout> requested_union(const ArrowSchema* requested,
                                           const std::vector<CellType>& types) {
    if (requested == nullptr || requested->format == nullptr) return std::nullopt;
    std::string_view format = requested->format;
    if (!(format.starts_with("+ud:") || format.starts_with("+us:")) ||
        !same_children(*requested, types)) {
        return std::nullopt;
    }
    UnionLayout layout{format[2] == 's', {}, kFormats[kString]};
    for (std::size_t k = 0; k < types.size(); ++k) {
        if (types[k] == kString) layout.string_format = requested->children[k]->format;
    }
    format.remove_prefix(4);
    while (!format.empty()) {
        int code = -1;
        const auto [end, error] =
            std::from_chars(format.data(), format.data() + format.size(), code);
        if (error != std::errc() || code < 0 || code > 127) return std::nullopt;
        layout.codes.push_back(code);
        format.remove_prefix(static_cast<std::size_t>(end - format.data()));
        if (!format.empty()) {
            if (format.front() != ',') return std::nullopt;
            format.remove_prefix(1);
        }
    }
    if (layout.codes.size() != types.size()) return std::nullopt;
    // Repeated codes would leave a row's child ambiguous: such a union cannot be given.
    for (std::size_t k = 0; k < layout.codes.size(); ++k) {
        for (std::size_t m = 0; m < k; ++m) {
            if (layout.codes[m] == layout.codes[k]) return std::nullopt;
        }
    }
    return layout;
}

[[noreturn]] void throw_union_too_long(const std::string& name) {
    throw std::length_error(std::string(kExportFailure) + ": column '" + name +
                            "' mixes types in more rows than an Arrow union can index");
}

// A column that mixes types as the union that the consumer asked for, with one child per type
// present (`present`, in CellType order) and the layout's type codes. The int64 and float64
// children are the column's payloads, each row at its own slot (rows of other types hold what
// their payloads hold); the boolean child is built as bits the same way. In a dense union the
// string child is the column's string cells as they are, a string row pointing at its cell, when
// they are all UTF-8 and fit an int32 index; otherwise (and in a sparse union, or as text) it is
// built by row. A missing row is a null of the first child that is not a string (a column that
// mixes types has one). Codes that are the cell types share the column's own type bytes when no
// row is missing.
FieldType union_column(const std::string& name, ArrayOwner& owner, Source& source, bool cells_utf8,
                       const std::vector<CellType>& present, const UnionLayout& layout) {
    const ColumnView& view = source.view();
    const RowTypeReader types = view.row_types();
    const std::size_t rows = source.rows;
    if (!layout.sparse && rows > kInt32Max) throw_union_too_long(name);

    CellType null_type = present.front();
    for (const CellType type : present) {
        if (type != kString) {
            null_type = type;
            break;
        }
    }
    std::array<std::int8_t, 4> code_of{};
    bool own_codes = true;
    for (std::size_t k = 0; k < present.size(); ++k) {
        code_of[present[k]] = static_cast<std::int8_t>(layout.codes[k]);
        own_codes = own_codes && layout.codes[k] == static_cast<int>(present[k]);
    }
    if (own_codes && source.missing == 0 && view.type_codes() != nullptr) {
        owner.buffers[0] = view.type_codes();
    } else {
        std::int8_t* ids = owner.type_ids.extend_uninitialised(rows);
        for (std::size_t i = 0; i < rows; ++i) ids[i] = code_of[types[i] & 3];
        if (source.missing != 0) {
            for (std::size_t i = 0; i < rows; ++i) {
                if (view.missing(i)) ids[i] = code_of[null_type];
            }
        }
        owner.type_ids.set_size(rows);
        owner.buffers[0] = owner.type_ids.data();
    }
    const StringStore* strings = view.strings().store();
    const bool shared_cells = !layout.sparse && layout.string_format == kFormats[kString] &&
                              strings != nullptr && null_type != kString && cells_utf8 &&
                              strings->cells.size() <= kInt32Max;
    if (!layout.sparse) {
        const std::uint64_t* payloads = view.payloads();
        std::int32_t* offsets = owner.offsets32.extend_uninitialised(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            offsets[i] = static_cast<std::int32_t>(
                shared_cells && string_row(view, types, i) ? payloads[i] : i);
        }
        owner.offsets32.set_size(rows);
        owner.buffers[1] = owner.offsets32.data();
    }

    std::vector<FieldType> children;
    owner.reserve_children(present.size());
    for (std::size_t k = 0; k < present.size(); ++k) {
        auto child = std::make_unique<ArrayOwner>();
        child->column = owner.column;
        const bool nulls = present[k] == null_type && source.missing != 0;
        child->buffers[0] = nulls ? validity(*child, source) : nullptr;
        const char* format = kFormats[present[k]];
        std::size_t length = rows;
        std::size_t n_buffers = 2;
        switch (present[k]) {
            case kInt:
            case kDouble:
                child->buffers[1] = view.payloads();
                break;
            case kBool:
                child->buffers[1] = boolean_bits(*child, source);
                break;
            default:
                if (is_text_format(layout.string_format)) {
                    format = cell_texts(*child, source, true, layout.string_format == "u");
                    n_buffers = 3;
                } else if (shared_cells) {
                    length = strings->cells.size();
                    n_buffers = view_buffers(*child, strings->cells.data(), *strings);
                } else {
                    n_buffers = view_buffers(*child, views_by_row(*child, source), *strings);
                }
                break;
        }
        children.push_back({format, kTypeNames[present[k]], true, {}});
        hand_over(std::move(child), length, nulls ? source.missing : 0, n_buffers,
                  owner.child_arrays[k]);
    }
    return FieldType{union_format(layout.sparse, layout.codes), name, true, std::move(children)};
}

bool only_numbers(const std::vector<CellType>& present) {
    for (const CellType type : present) {
        if (type != kInt && type != kDouble) return false;
    }
    return true;
}

bool requested_text(const ArrowSchema* requested) {
    return requested != nullptr && requested->format != nullptr &&
           is_text_format(requested->format);
}

bool requested_format(const ArrowSchema* requested, std::string_view format) {
    return requested != nullptr && requested->format != nullptr && requested->format == format;
}

}  // namespace

FieldType export_column(const std::string& name, std::shared_ptr<const Column> column,
                        std::size_t rows, const ArrowSchema* requested, ArrowArray& out) {
    if (column->size() < rows) {
        // Rows past the end of a shorter column are nulls: a copy that holds them.
        auto padded = std::make_shared<Column>(*column);
        ColumnBuilder builder(*padded);
        builder.reserve(rows);
        while (padded->size() < rows) builder.push_null();
        column = std::move(padded);
    }
    // The column now has exactly `rows` rows: its mask's count is the count of missing ones.
    Source source(*column, rows);
    source.missing = column->null_mask.count_missing();

    auto owner = std::make_unique<ArrayOwner>();
    owner->column = column;
    if (source.missing == rows) {
        // No present cell at all: the null type, which has no buffers.
        hand_over(std::move(owner), rows, rows, 0, out);
        return FieldType{"n", name, true, {}};
    }
    const std::size_t missing = source.missing;
    return source.view().dispatch([&](const auto& cells) -> FieldType {
        using Cells = std::decay_t<decltype(cells)>;
        ArrayOwner& array = *owner;
        const char* format = kFormats[kInt];
        std::size_t n_buffers = 2;
        if constexpr (std::is_same_v<Cells, MixedCells>) {
            const bool cells_utf8 = all_cells_utf8(*cells.strings);
            if (!cells_utf8) require_utf8_strings(name, source);
            const std::vector<CellType> present = present_types(source);
            if (const auto layout = requested_union(requested, present)) {
                FieldType field = union_column(name, array, source, cells_utf8, present, *layout);
                // A union has no validity of its own: its children hold the nulls.
                hand_over(std::move(owner), rows, 0, layout->sparse ? 1 : 2, out);
                return field;
            }
            array.buffers[0] = validity(array, source);
            if (requested_text(requested)) {
                format = cell_texts(array, source, false, requested_format(requested, "u"));
                n_buffers = 3;
            } else if (only_numbers(present) && !requested_format(requested, kFormats[kString]) &&
                       doubles_of_numbers(array, source)) {
                // What pandas, polars, DuckDB and pyarrow make of integers beside decimals.
                format = kFormats[kDouble];
            } else {
                // Anything else as the text of each cell, which every consumer reads.
                format = kFormats[kString];
                n_buffers = text_views(array, source);
            }
        } else if constexpr (std::is_same_v<Cells, StringColumnCells>) {
            require_utf8_strings(name, source);
            array.buffers[0] = validity(array, source);
            if (requested_text(requested)) {
                format = cell_texts(array, source, true, requested_format(requested, "u"));
                n_buffers = 3;
            } else {
                format = kFormats[kString];
                n_buffers = view_buffers(array, cells.strings->cells(), *cells.strings->store());
            }
        } else if constexpr (std::is_same_v<Cells, BoolCells>) {
            array.buffers[0] = validity(array, source);
            array.buffers[1] = boolean_bits(array, source);
            format = kFormats[kBool];
        } else if constexpr (std::is_same_v<Cells, IntCells> ||
                             std::is_same_v<Cells, DoubleCells>) {
            array.buffers[0] = validity(array, source);
            array.buffers[1] = cells.payloads;
            format = kFormats[std::is_same_v<Cells, IntCells> ? kInt : kDouble];
        } else {
            // NoCells: every row missing, exported above.
            static_assert(std::is_same_v<Cells, NoCells>);
            format = "n";
            n_buffers = 0;
        }
        hand_over(std::move(owner), rows, missing, n_buffers, out);
        return FieldType{format, name, true, {}};
    });
}

}  // namespace kelvra::arrow
