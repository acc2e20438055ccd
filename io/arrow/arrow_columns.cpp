#include "arrow_columns.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "../number_writer.h"
#include "../common/row_writer.h"
#include "../common/utf8.h"

namespace kelvra::arrow {

namespace {

// Arrow's bitmaps number bits from the least significant bit of each byte; on a little-endian
// machine that is also the order of the bits of a 64-bit word, so masks are built a word at a time.
static_assert(std::endian::native == std::endian::little);

constexpr auto kInt32Max = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// The Arrow format and the union child name of each cell type, by CellType.
constexpr const char* kFormats[] = {"l", "g", "U", "b"};
constexpr const char* kTypeNames[] = {"int", "float", "str", "bool"};

std::size_t count_missing(const CellSource& source) {
    if (source.missing == nullptr) return 0;
    std::size_t n = 0;
    for (std::size_t w = 0; w < NullMask::word_count(source.rows); ++w) {
        n += static_cast<std::size_t>(std::popcount(source.missing[w]));
    }
    return n;
}

// The validity bitmap (bit set: present), the reverse of the null mask; nullptr when no row is
// missing. Bits past the last row stay clear.
const void* validity(ArrayOwner& owner, const CellSource& source) {
    if (source.missing == nullptr) return nullptr;
    const std::size_t words = NullMask::word_count(source.rows);
    PodBuffer<std::uint64_t>& bits = owner.new_words();
    std::uint64_t* out = bits.extend_uninitialised(words);
    for (std::size_t w = 0; w < words; ++w) out[w] = ~source.missing[w];
    if (source.rows % 64 != 0) out[words - 1] &= (std::uint64_t{1} << (source.rows % 64)) - 1;
    bits.set_size(words);
    return bits.data();
}

// Booleans as bits, from their 0 / 1 payloads (any other payload, of a row of another type in a
// mixed column, is never read).
const void* boolean_bits(ArrayOwner& owner, const CellSource& source) {
    const std::size_t words = NullMask::word_count(source.rows);
    PodBuffer<std::uint64_t>& bits = owner.new_words();
    bits.assign(words, 0);
    std::uint64_t* out = bits.data();
    for (std::size_t i = 0; i < source.rows; ++i) {
        out[i / 64] |= std::uint64_t{source.payloads[i] != 0} << (i % 64);
    }
    return bits.data();
}

const void* string_bytes(const CellSource& source) {
    return source.string_bytes != nullptr ? source.string_bytes : empty_buffer();
}

// Throws when a string cell of the column is not UTF-8.
void require_utf8_strings(const std::string& name, const CellSource& source) {
    if (source.string_offsets == nullptr) return;
    if (const auto row =
            first_row_not_utf8(source.string_offsets, source.string_bytes, source.rows)) {
        throw_text_not_utf8(kExportFailure, name, row);
    }
}

// Fills the owner's buffers with every row of the column as one type: int64 and float64 share
// the payloads, strings share their offsets and bytes (large_string), booleans are built as bits.
// Rows of other types (in a mixed column) hold whatever the storage has. Returns n_buffers.
std::size_t typed_buffers(ArrayOwner& owner, const CellSource& source, CellType type,
                          bool with_validity) {
    owner.buffers[0] = with_validity ? validity(owner, source) : nullptr;
    switch (type) {
        case kInt:
        case kDouble:
            owner.buffers[1] = source.payloads;
            return 2;
        case kString:
            owner.buffers[1] = source.string_offsets;
            owner.buffers[2] = string_bytes(source);
            return 3;
        default:
            owner.buffers[1] = boolean_bits(owner, source);
            return 2;
    }
}

// Strings with 32-bit offsets ("u"), when their bytes fit; false otherwise.
template <class Offset>
bool narrow_offsets(ArrayOwner& owner, const Offset* offsets, std::size_t rows) {
    if (static_cast<std::size_t>(offsets[rows]) > kInt32Max) return false;
    std::int32_t* out = owner.offsets32.extend_uninitialised(rows + 1);
    for (std::size_t i = 0; i <= rows; ++i) out[i] = static_cast<std::int32_t>(offsets[i]);
    owner.offsets32.set_size(rows + 1);
    owner.buffers[1] = owner.offsets32.data();
    return true;
}

// Each present cell as the text that to_csv writes for it (without quotes), missing rows as nulls.
void cell_texts(ArrayOwner& owner, CellSource& source) {
    std::int64_t* offsets = owner.offsets64.extend_uninitialised(source.rows + 1);
    PodBuffer<char>& bytes = owner.bytes;
    offsets[0] = 0;
    for (std::size_t i = 0; i < source.rows; ++i) {
        if (source.present(i)) {
            if (source.type_at(i) == kString) {
                const std::string_view text = source.string_at(i);
                bytes.append(text.data(), text.size());
            } else {
                char* start = bytes.extend_uninitialised(kNumberTextMax);
                char* end = start;
                switch (source.type_at(i)) {
                    case kInt:
                        end = write_int(start, static_cast<std::int64_t>(source.payloads[i]));
                        break;
                    case kDouble:
                        end =
                            source.doubles.write(start, std::bit_cast<double>(source.payloads[i]));
                        break;
                    default:
                        *end++ = source.payloads[i] != 0 ? '1' : '0';
                        break;
                }
                bytes.set_size(bytes.size() + static_cast<std::size_t>(end - start));
            }
        }
        offsets[i + 1] = static_cast<std::int64_t>(bytes.size());
    }
    owner.offsets64.set_size(source.rows + 1);
    owner.buffers[1] = owner.offsets64.data();
    owner.buffers[2] = bytes.empty() ? empty_buffer() : bytes.data();
}

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
std::vector<CellType> present_types(const CellSource& source, std::size_t missing) {
    unsigned seen = 0;
    if (missing == 0) {
        for (std::size_t i = 0; i < source.rows; ++i) seen |= 1u << source.types[i];
    } else {
        for (std::size_t i = 0; i < source.rows; ++i) {
            if (source.present(i)) seen |= 1u << source.types[i];
        }
    }
    std::vector<CellType> codes;
    for (const CellType type : {kInt, kDouble, kString, kBool}) {
        if ((seen >> type) & 1u) codes.push_back(type);
    }
    return codes;
}

bool same_children(const ArrowSchema& requested, const std::vector<FieldType>& own) {
    if (requested.n_children != static_cast<std::int64_t>(own.size())) return false;
    for (std::size_t k = 0; k < own.size(); ++k) {
        const ArrowSchema* child = requested.children[k];
        if (child == nullptr || child->format == nullptr || own[k].format != child->format) {
            return false;
        }
    }
    return true;
}

// The union layout that the consumer asked for, when its children have the column's child
// types in the same order: sparse or dense, and the type code of each child.
struct UnionLayout {
    bool sparse = false;
    std::vector<int> codes;
};

std::optional<UnionLayout> requested_union(const ArrowSchema* requested,
                                           const std::vector<FieldType>& children) {
    if (requested == nullptr || requested->format == nullptr) return std::nullopt;
    std::string_view format = requested->format;
    if (!(format.starts_with("+ud:") || format.starts_with("+us:")) ||
        !same_children(*requested, children)) {
        return std::nullopt;
    }
    UnionLayout layout{format[2] == 's', {}};
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
    if (layout.codes.size() != children.size()) return std::nullopt;
    return layout;
}

// A column that mixes types: a union with one child per type present, each child as long as the
// column and sharing its storage, every row pointing at its own slot (so a dense union's offsets
// are 0, 1, 2, ...). A missing row is a null of one child: the int child, or the first child
// when no cell is an int. The type codes are the cell types, unless the consumer asked for others
// (DuckDB reads a code as the child's position).
FieldType union_column(const std::string& name, ArrayOwner& owner, const CellSource& source,
                       std::size_t missing, const ArrowSchema* requested) {
    const std::vector<CellType> types = present_types(source, missing);
    std::vector<FieldType> children;
    UnionLayout layout;
    for (const CellType type : types) {
        children.push_back({kFormats[type], kTypeNames[type], true, {}});
        layout.codes.push_back(static_cast<int>(type));
    }
    if (auto asked = requested_union(requested, children)) layout = std::move(*asked);
    FieldType field{union_format(layout.sparse, layout.codes), name, true, std::move(children)};

    std::array<std::int8_t, 4> code_of{};
    bool own_codes = true;
    for (std::size_t k = 0; k < types.size(); ++k) {
        code_of[types[k]] = static_cast<std::int8_t>(layout.codes[k]);
        own_codes = own_codes && layout.codes[k] == static_cast<int>(types[k]);
    }
    const CellType null_type = types.front();  // kInt when present: CellType order
    if (missing == 0 && own_codes) {
        owner.buffers[0] = source.types;
    } else {
        std::int8_t* ids = owner.type_ids.extend_uninitialised(source.rows);
        for (std::size_t i = 0; i < source.rows; ++i) ids[i] = code_of[source.types[i] & 3];
        if (missing != 0) {
            for (std::size_t i = 0; i < source.rows; ++i) {
                if (!source.present(i)) ids[i] = code_of[null_type];
            }
        }
        owner.type_ids.set_size(source.rows);
        owner.buffers[0] = owner.type_ids.data();
    }
    if (!layout.sparse) {
        if (source.rows > kInt32Max) {
            throw std::length_error(std::string(kExportFailure) + ": column '" + name +
                                    "' mixes types in more rows than an Arrow union can index");
        }
        std::int32_t* offsets = owner.offsets32.extend_uninitialised(source.rows);
        for (std::size_t i = 0; i < source.rows; ++i) offsets[i] = static_cast<std::int32_t>(i);
        owner.offsets32.set_size(source.rows);
        owner.buffers[1] = owner.offsets32.data();
    }

    owner.reserve_children(types.size());
    for (std::size_t k = 0; k < types.size(); ++k) {
        auto child = std::make_unique<ArrayOwner>();
        child->column = owner.column;
        const bool nulls = types[k] == null_type && missing != 0;
        const std::size_t n_buffers = typed_buffers(*child, source, types[k], nulls);
        hand_over(std::move(child), source.rows, nulls ? missing : 0, n_buffers,
                  owner.child_arrays[k]);
    }
    return field;
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
        padded->reserve(rows);
        while (padded->size() < rows) padded->push_null();
        column = std::move(padded);
    }
    CellSource source(column.get());  // the one place where the column's storage is read
    source.rows = rows;
    const std::size_t missing = count_missing(source);

    auto owner = std::make_unique<ArrayOwner>();
    owner->column = column;
    if (source.types != nullptr && missing != rows) {
        require_utf8_strings(name, source);
        if (!requested_format(requested, "u") && !requested_format(requested, "U")) {
            FieldType field = union_column(name, *owner, source, missing, requested);
            // A union has no validity of its own: its children hold the nulls.
            hand_over(std::move(owner), rows, 0, field.format[2] == 'd' ? 2 : 1, out);
            return field;
        }
        owner->buffers[0] = validity(*owner, source);
        cell_texts(*owner, source);
        const bool narrow = requested_format(requested, "u") &&
                            narrow_offsets(*owner, owner->offsets64.data(), rows);
        hand_over(std::move(owner), rows, missing, 3, out);
        return FieldType{narrow ? "u" : "U", name, true, {}};
    }
    if (missing == rows) {
        // No present cell at all: the null type, which has no buffers.
        hand_over(std::move(owner), rows, missing, 0, out);
        return FieldType{"n", name, true, {}};
    }
    const CellType type = source.single;
    if (type == kString) require_utf8_strings(name, source);
    const std::size_t n_buffers = typed_buffers(*owner, source, type, true);
    const bool narrow = type == kString && requested_format(requested, "u") &&
                        narrow_offsets(*owner, source.string_offsets, rows);
    hand_over(std::move(owner), rows, missing, n_buffers, out);
    return FieldType{narrow ? "u" : kFormats[type], name, true, {}};
}

}  // namespace kelvra::arrow
