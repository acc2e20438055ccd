#include "arrow_import.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "../../text/half_float.h"

namespace kelvra::arrow {

namespace {

using Kind = ImportType::Kind;

// Arrow's bitmaps number bits from the least significant bit of each byte, which on a
// little-endian machine is also the order of a 64-bit word's bits.
static_assert(std::endian::native == std::endian::little);

// Rows per run, whose missing bits sit on the stack.
constexpr std::size_t kChunk = 4096;
using ChunkBits = std::array<std::uint64_t, kChunk / NullMask::kBits>;

constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

[[noreturn]] void malformed(const std::string& what) {
    throw std::invalid_argument("Cannot read the Arrow array: " + what);
}

std::optional<Kind> plain_kind(std::string_view format) {
    static constexpr std::pair<std::string_view, Kind> kKinds[] = {
        {"n", Kind::kNull},        {"c", Kind::kInt8},   {"s", Kind::kInt16},
        {"i", Kind::kInt32},       {"l", Kind::kInt64},  {"C", Kind::kUInt8},
        {"S", Kind::kUInt16},      {"I", Kind::kUInt32}, {"L", Kind::kUInt64},
        {"e", Kind::kHalf},        {"f", Kind::kFloat},  {"g", Kind::kDouble},
        {"b", Kind::kBool},        {"u", Kind::kString}, {"U", Kind::kLargeString},
        {"vu", Kind::kStringView},
    };
    for (const auto& [code, kind] : kKinds) {
        if (code == format) return kind;
    }
    return std::nullopt;
}

bool is_integer(Kind kind) { return kind >= Kind::kInt8 && kind <= Kind::kUInt64; }
bool is_text(Kind kind) { return kind >= Kind::kString && kind <= Kind::kStringView; }
bool is_union(Kind kind) { return kind == Kind::kDenseUnion || kind == Kind::kSparseUnion; }

// A union's children and the type codes after "+ud:" / "+us:" ("0,1,2").
std::optional<ImportType> union_type(const ArrowSchema& schema, std::string_view codes) {
    ImportType type;
    type.kind = codes[2] == 'd' ? Kind::kDenseUnion : Kind::kSparseUnion;
    type.child_of_code.assign(128, -1);
    codes.remove_prefix(4);
    std::int64_t position = 0;
    while (!codes.empty()) {
        int code = -1;
        const auto [end, error] = std::from_chars(codes.data(), codes.data() + codes.size(), code);
        if (error != std::errc() || code < 0 || code > 127 || position >= schema.n_children ||
            type.child_of_code[static_cast<std::size_t>(code)] != -1) {
            return std::nullopt;
        }
        type.child_of_code[static_cast<std::size_t>(code)] = static_cast<std::int8_t>(position++);
        codes.remove_prefix(static_cast<std::size_t>(end - codes.data()));
        if (!codes.empty()) {
            if (codes.front() != ',') return std::nullopt;
            codes.remove_prefix(1);
        }
    }
    if (position != schema.n_children || schema.children == nullptr) return std::nullopt;
    for (std::int64_t k = 0; k < schema.n_children; ++k) {
        if (schema.children[k] == nullptr) return std::nullopt;
        std::optional<ImportType> child = import_type(*schema.children[k]);
        if (!child) return std::nullopt;
        type.children.push_back(std::move(*child));
    }
    return type;
}

// One array and its type, ready to be read a row at a time. Rows count from the array's own
// offset; a child is read at the rows its parent names.
struct Rows {
    const ImportType* type;
    const ArrowArray* array;
    std::size_t offset;
    std::size_t length;
    const std::uint8_t* validity;  // nullptr: every row is valid
    std::vector<Rows> children;    // a union's, or a dictionary's values alone

    const void* buffer(std::size_t i) const noexcept { return array->buffers[i]; }
    bool valid(std::size_t row) const noexcept {
        const std::size_t bit = offset + row;
        return validity == nullptr || ((validity[bit / 8] >> (bit % 8)) & 1u) != 0;
    }
};

template <class T>
T load(const void* buffer, std::size_t i) noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(buffer) + i * sizeof(T), sizeof(T));
    return v;
}

std::size_t buffers_of(Kind kind) {
    switch (kind) {
        case Kind::kNull:
            return 0;
        case Kind::kSparseUnion:
            return 1;
        case Kind::kString:
        case Kind::kLargeString:
        case Kind::kStringView:  // at least: the data buffers and their sizes follow
            return 3;
        default:
            return 2;
    }
}

Rows rows_of(const ImportType& type, const ArrowArray& array) {
    if (array.length < 0 || array.offset < 0) malformed("negative length or offset");
    Rows rows{&type,
              &array,
              static_cast<std::size_t>(array.offset),
              static_cast<std::size_t>(array.length),
              nullptr,
              {}};
    const std::size_t wanted = buffers_of(type.kind);
    if (array.n_buffers < static_cast<std::int64_t>(wanted) ||
        (wanted != 0 && array.buffers == nullptr)) {
        malformed("an array has fewer buffers than its type needs");
    }
    if (rows.length != 0) {
        const std::size_t first = is_union(type.kind) ? 0 : 1;
        // A string view array's last buffer (the data buffers' sizes) is empty when it has none.
        const std::size_t end = type.kind == Kind::kStringView ? 2 : wanted;
        for (std::size_t i = first; i < end; ++i) {
            if (array.buffers[i] == nullptr) malformed("an array's values buffer is missing");
        }
    }
    if (!is_union(type.kind) && type.kind != Kind::kNull && array.null_count != 0 &&
        array.buffers[0] != nullptr) {
        rows.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
    }
    if (is_union(type.kind)) {
        if (array.n_children != static_cast<std::int64_t>(type.children.size()) ||
            (array.n_children != 0 && array.children == nullptr)) {
            malformed("a union array's children are not those of its type");
        }
        for (std::size_t k = 0; k < type.children.size(); ++k) {
            if (array.children[k] == nullptr) malformed("a union array's child is missing");
            rows.children.push_back(rows_of(type.children[k], *array.children[k]));
        }
    } else if (type.kind == Kind::kDictionary) {
        if (array.dictionary == nullptr) malformed("a dictionary array has no dictionary");
        rows.children.push_back(rows_of(type.children[0], *array.dictionary));
    } else if (type.kind == Kind::kStringView) {
        // The data buffers, then one buffer of their sizes.
        for (std::int64_t i = 2; i < array.n_buffers; ++i) {
            if (array.buffers[i] == nullptr && array.n_buffers > 3) {
                malformed("a string view array's data buffer or their sizes are missing");
            }
        }
    }
    return rows;
}

// An integer value of that kind at position i of the buffer as an int64. Checked while it is
// read: an unsigned 64-bit value above the signed range throws.
std::int64_t integer_at(Kind kind, const void* values, std::size_t i) {
    switch (kind) {
        case Kind::kInt8:
            return load<std::int8_t>(values, i);
        case Kind::kInt16:
            return load<std::int16_t>(values, i);
        case Kind::kInt32:
            return load<std::int32_t>(values, i);
        case Kind::kInt64:
            return load<std::int64_t>(values, i);
        case Kind::kUInt8:
            return load<std::uint8_t>(values, i);
        case Kind::kUInt16:
            return load<std::uint16_t>(values, i);
        case Kind::kUInt32:
            return load<std::uint32_t>(values, i);
        default: {
            const auto v = load<std::uint64_t>(values, i);
            if (v > kInt64Max) throw IntegerOutOfRange(v);
            return static_cast<std::int64_t>(v);
        }
    }
}

// A row's cell: missing, or a type with its payload (int64, double or 0 / 1 bits) or its text.
struct Cell {
    bool missing = true;
    CellType type = kInt;
    std::uint64_t payload = 0;
    std::string_view text;
};

Cell number_cell(CellType type, std::uint64_t payload) { return Cell{false, type, payload, {}}; }

std::string_view text_at(const Rows& rows, std::size_t row) {
    const std::size_t i = rows.offset + row;
    const char* data = nullptr;
    std::int64_t begin = 0;
    std::int64_t end = 0;
    std::int64_t data_end = 0;
    const std::size_t last = rows.offset + rows.length;
    switch (rows.type->kind) {
        case Kind::kString:
            begin = load<std::int32_t>(rows.buffer(1), i);
            end = load<std::int32_t>(rows.buffer(1), i + 1);
            data_end = load<std::int32_t>(rows.buffer(1), last);
            data = static_cast<const char*>(rows.buffer(2));
            break;
        case Kind::kLargeString:
            begin = load<std::int64_t>(rows.buffer(1), i);
            end = load<std::int64_t>(rows.buffer(1), i + 1);
            data_end = load<std::int64_t>(rows.buffer(1), last);
            data = static_cast<const char*>(rows.buffer(2));
            break;
        default: {
            const char* view = static_cast<const char*>(rows.buffer(1)) + 16 * i;
            const auto length = load<std::int32_t>(view, 0);
            if (length < 0) malformed("a string view has a negative length");
            if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
            const auto buffer = load<std::int32_t>(view + 8, 0);
            begin = load<std::int32_t>(view + 12, 0);
            if (buffer < 0 || buffer + 3 >= rows.array->n_buffers || begin < 0) {
                malformed("a string view names a data buffer that the array does not have");
            }
            const auto at = static_cast<std::size_t>(buffer);
            const std::size_t data_buffers = static_cast<std::size_t>(rows.array->n_buffers) - 3;
            end = begin + length;
            if (end > load<std::int64_t>(rows.buffer(2 + data_buffers), at)) {
                malformed("a string view reaches past the end of its data buffer");
            }
            data = static_cast<const char*>(rows.buffer(2 + at));
            data_end = end;
            break;
        }
    }
    if (begin < 0 || end < begin || end > data_end) malformed("string offsets go backwards");
    return {data + begin, static_cast<std::size_t>(end - begin)};
}

// The position in rows.children[k] that a union or dictionary row refers to, checked.
std::size_t child_row(const Rows& child, std::int64_t at, const char* what) {
    if (at < 0 || static_cast<std::size_t>(at) >= child.length) {
        malformed(std::string(what) + " points past the end of its values");
    }
    return static_cast<std::size_t>(at);
}

Cell cell_at(const Rows& rows, std::size_t row) {
    const Kind kind = rows.type->kind;
    const std::size_t i = rows.offset + row;
    if (is_union(kind)) {
        const auto code = load<std::int8_t>(rows.buffer(0), i);
        const int k = code < 0 ? -1 : rows.type->child_of_code[static_cast<std::size_t>(code)];
        if (k < 0) malformed("a union row has a type code that no child has");
        const Rows& child = rows.children[static_cast<std::size_t>(k)];
        const std::int64_t at = kind == Kind::kDenseUnion ? load<std::int32_t>(rows.buffer(1), i)
                                                          : static_cast<std::int64_t>(i);
        return cell_at(child, child_row(child, at, "a union row"));
    }
    if (kind == Kind::kNull || !rows.valid(row)) return Cell{};
    switch (kind) {
        case Kind::kHalf:
            return number_cell(kDouble, std::bit_cast<std::uint64_t>(half_to_double(
                                            load<std::uint16_t>(rows.buffer(1), i))));
        case Kind::kFloat:
            return number_cell(kDouble, std::bit_cast<std::uint64_t>(
                                            static_cast<double>(load<float>(rows.buffer(1), i))));
        case Kind::kDouble:
            return number_cell(kDouble, load<std::uint64_t>(rows.buffer(1), i));
        case Kind::kBool: {
            const auto* bits = static_cast<const std::uint8_t*>(rows.buffer(1));
            return number_cell(kBool, (bits[i / 8] >> (i % 8)) & 1u);
        }
        case Kind::kString:
        case Kind::kLargeString:
        case Kind::kStringView:
            return Cell{false, kString, 0, text_at(rows, row)};
        case Kind::kDictionary: {
            const Rows& values = rows.children[0];
            const std::int64_t at = integer_at(rows.type->index, rows.buffer(1), i);
            return cell_at(values, child_row(values, at, "a dictionary index"));
        }
        default:
            return number_cell(kInt,
                               std::bit_cast<std::uint64_t>(integer_at(kind, rows.buffer(1), i)));
    }
}

void push_cell(ColumnBuilder& column, const Cell& cell) {
    if (cell.missing) {
        column.push_null();
        return;
    }
    switch (cell.type) {
        case kInt:
            column.push_int(std::bit_cast<std::int64_t>(cell.payload));
            break;
        case kDouble:
            column.push_double(std::bit_cast<double>(cell.payload));
            break;
        case kBool:
            column.push_bool(cell.payload != 0);
            break;
        default:
            column.push_string(cell.text);
            break;
    }
}

bool bit_set(const ChunkBits& bits, std::size_t k) noexcept {
    return ((bits[k / NullMask::kBits] >> (k % NullMask::kBits)) & 1u) != 0;
}

// The missing bits of rows [start, start + n) of a plain array, bit k for row start + k; returns
// whether any of those rows is present.
bool chunk_missing(const Rows& rows, std::size_t start, std::size_t n, ChunkBits& bits) {
    const std::size_t words = NullMask::word_count(n);
    std::fill_n(bits.begin(), words, 0);
    if (rows.validity == nullptr) return n != 0;
    const std::size_t first = rows.offset + start;
    if (first % 8 == 0) {
        std::memcpy(bits.data(), rows.validity + first / 8, (n + 7) / 8);
        for (std::size_t w = 0; w < words; ++w) bits[w] = ~bits[w];
    } else {
        for (std::size_t k = 0; k < n; ++k) {
            bits[k / NullMask::kBits] |= std::uint64_t{!rows.valid(start + k)}
                                         << (k % NullMask::kBits);
        }
    }
    if (n % NullMask::kBits != 0) {
        bits[words - 1] &= (std::uint64_t{1} << (n % NullMask::kBits)) - 1;
    }
    std::size_t missing = 0;
    for (std::size_t w = 0; w < words; ++w)
        missing += static_cast<std::size_t>(std::popcount(bits[w]));
    return missing < n;
}

// Rows [start, start + n) of a plain array of numbers or booleans as one run of payloads, each
// present value read (and checked) by value(i) as it is copied; false, with nothing appended,
// when the column holds cells of another type.
template <class Value>
bool number_chunk(ColumnBuilder& column, CellType type, const Rows& rows, std::size_t start,
                  std::size_t n, Value value) {
    ChunkBits missing;
    const bool any_present = chunk_missing(rows, start, n, missing);
    std::uint64_t* const slots = column.number_run(type, n);
    if (slots == nullptr) return false;
    const std::size_t first = rows.offset + start;
    if (rows.validity == nullptr) {
        for (std::size_t k = 0; k < n; ++k) slots[k] = value(first + k);
    } else {
        for (std::size_t k = 0; k < n; ++k) slots[k] = bit_set(missing, k) ? 0 : value(first + k);
    }
    column.commit_number_run(type, n, missing.data(), any_present);
    return true;
}

template <class Stored>
bool integer_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n) {
    const void* values = rows.buffer(1);
    return number_chunk(column, kInt, rows, start, n, [values](std::size_t i) {
        const Stored v = load<Stored>(values, i);
        if constexpr (std::is_same_v<Stored, std::uint64_t>) {
            if (v > kInt64Max) throw IntegerOutOfRange(v);
        }
        return std::bit_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    });
}

template <class Read>
bool double_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n,
                  Read read) {
    const void* values = rows.buffer(1);
    return number_chunk(column, kDouble, rows, start, n, [values, read](std::size_t i) {
        return std::bit_cast<std::uint64_t>(static_cast<double>(read(values, i)));
    });
}

// A text with whether 16 bytes from its start and 15 past its end lie inside its buffer, which
// lets the copy move sixteen bytes at a time.
struct Text {
    std::string_view text;
    bool readable;
};

// Rows of an array of strings straight into the column's string cells, text_at(i) giving the
// text at position i of the array's buffers; false, with nothing appended, when the column is
// not (yet) a column of strings.
template <class TextAt>
bool string_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n,
                  TextAt text_at) {
    std::optional<ColumnBuilder::StringRun> run = column.string_run(n);
    if (!run) return false;
    ChunkBits missing;
    chunk_missing(rows, start, n, missing);
    const std::size_t first = rows.offset + start;
    for (std::size_t k = 0; k < n; ++k) {
        if (rows.validity != nullptr && bit_set(missing, k)) {
            run->cells[k] = PackedString{};
        } else {
            const Text text = text_at(first + k);
            run->packer.pack(&run->cells[k], text.text, text.readable);
        }
    }
    column.commit_string_run(n, missing.data());
    return true;
}

template <class Offset>
bool offset_string_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start,
                         std::size_t n) {
    const void* offsets = rows.buffer(1);
    const char* data = static_cast<const char*>(rows.buffer(2));
    const auto data_end =
        static_cast<std::int64_t>(load<Offset>(offsets, rows.offset + rows.length));
    return string_chunk(column, rows, start, n, [=](std::size_t i) {
        const auto begin = static_cast<std::int64_t>(load<Offset>(offsets, i));
        const auto end = static_cast<std::int64_t>(load<Offset>(offsets, i + 1));
        if (begin < 0 || end < begin || end > data_end) [[unlikely]] {
            malformed("string offsets go backwards");
        }
        return Text{{data + begin, static_cast<std::size_t>(end - begin)}, end + 16 <= data_end};
    });
}

bool view_string_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n) {
    const char* views = static_cast<const char*>(rows.buffer(1));
    const std::size_t views_end = rows.offset + rows.length;
    const auto data_buffers = static_cast<std::size_t>(rows.array->n_buffers - 3);
    const void* sizes = rows.buffer(2 + data_buffers);
    return string_chunk(column, rows, start, n, [=, &rows](std::size_t i) {
        const char* view = views + 16 * i;
        const auto length = load<std::int32_t>(view, 0);
        if (length >= 0 && length <= 12) {
            // The text is inside the view; two more views follow it but for the last rows.
            return Text{{view + 4, static_cast<std::size_t>(length)}, i + 2 < views_end};
        }
        const auto buffer = load<std::int32_t>(view + 8, 0);
        const auto offset = load<std::int32_t>(view + 12, 0);
        if (length < 0 || buffer < 0 || static_cast<std::size_t>(buffer) >= data_buffers ||
            offset < 0) [[unlikely]] {
            malformed("a string view names a data buffer that the array does not have");
        }
        const auto at = static_cast<std::size_t>(buffer);
        const auto size = load<std::int64_t>(sizes, at);
        const std::int64_t end = std::int64_t{offset} + length;
        if (end > size) [[unlikely]] {
            malformed("a string view reaches past the end of its data buffer");
        }
        return Text{{static_cast<const char*>(rows.buffer(2 + at)) + offset,
                     static_cast<std::size_t>(length)},
                    end + 16 <= size};
    });
}

// Rows of a dictionary of strings: each row's text looked up through its index.
bool dictionary_string_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start,
                             std::size_t n) {
    std::optional<ColumnBuilder::StringRun> run = column.string_run(n);
    if (!run) return false;
    ChunkBits missing{};
    for (std::size_t k = 0; k < n; ++k) {
        const Cell cell = cell_at(rows, start + k);
        if (cell.missing) {
            missing[k / NullMask::kBits] |= std::uint64_t{1} << (k % NullMask::kBits);
            run->cells[k] = PackedString{};
        } else {
            run->packer.pack(&run->cells[k], cell.text, false);
        }
    }
    column.commit_string_run(n, missing.data());
    return true;
}

// Rows [start, start + n) as runs where the column's layout allows; false when they must go a
// row at a time.
bool append_chunk(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n) {
    switch (rows.type->kind) {
        case Kind::kInt8:
            return integer_chunk<std::int8_t>(column, rows, start, n);
        case Kind::kInt16:
            return integer_chunk<std::int16_t>(column, rows, start, n);
        case Kind::kInt32:
            return integer_chunk<std::int32_t>(column, rows, start, n);
        case Kind::kInt64:
            return integer_chunk<std::int64_t>(column, rows, start, n);
        case Kind::kUInt8:
            return integer_chunk<std::uint8_t>(column, rows, start, n);
        case Kind::kUInt16:
            return integer_chunk<std::uint16_t>(column, rows, start, n);
        case Kind::kUInt32:
            return integer_chunk<std::uint32_t>(column, rows, start, n);
        case Kind::kUInt64:
            return integer_chunk<std::uint64_t>(column, rows, start, n);
        case Kind::kHalf:
            return double_chunk(column, rows, start, n, [](const void* values, std::size_t i) {
                return half_to_double(load<std::uint16_t>(values, i));
            });
        case Kind::kFloat:
            return double_chunk(column, rows, start, n, load<float>);
        case Kind::kDouble:
            return double_chunk(column, rows, start, n, load<double>);
        case Kind::kBool: {
            const auto* bits = static_cast<const std::uint8_t*>(rows.buffer(1));
            return number_chunk(column, kBool, rows, start, n, [bits](std::size_t i) {
                return std::uint64_t{(bits[i / 8] >> (i % 8)) & 1u};
            });
        }
        case Kind::kNull: {
            // Missing rows of whatever numeric type the column has.
            const std::optional<CellType> type = column.single_type();
            const CellType as = type && *type != kString ? *type : kInt;
            std::uint64_t* const slots = column.number_run(as, n);
            if (slots == nullptr) return false;
            ChunkBits missing{};
            std::fill_n(slots, n, 0);
            for (std::size_t k = 0; k < n; ++k) {
                missing[k / NullMask::kBits] |= std::uint64_t{1} << (k % NullMask::kBits);
            }
            column.commit_number_run(as, n, missing.data(), false);
            return true;
        }
        case Kind::kString:
            return offset_string_chunk<std::int32_t>(column, rows, start, n);
        case Kind::kLargeString:
            return offset_string_chunk<std::int64_t>(column, rows, start, n);
        case Kind::kStringView:
            return view_string_chunk(column, rows, start, n);
        case Kind::kDictionary:
            return is_text(rows.type->children[0].kind) &&
                   dictionary_string_chunk(column, rows, start, n);
        default:
            return false;
    }
}

// At most how many bytes the texts of a plain array of strings hold, so that the column's byte
// buffer grows once; 0 for other arrays.
std::size_t text_bytes(const Rows& rows) {
    switch (rows.type->kind) {
        case Kind::kString:
            return static_cast<std::size_t>(
                load<std::int32_t>(rows.buffer(1), rows.offset + rows.length) -
                load<std::int32_t>(rows.buffer(1), rows.offset));
        case Kind::kLargeString:
            return static_cast<std::size_t>(
                load<std::int64_t>(rows.buffer(1), rows.offset + rows.length) -
                load<std::int64_t>(rows.buffer(1), rows.offset));
        case Kind::kStringView: {
            const auto data_buffers = static_cast<std::size_t>(rows.array->n_buffers - 3);
            std::size_t bytes = 0;
            for (std::size_t b = 0; b < data_buffers; ++b) {
                bytes +=
                    static_cast<std::size_t>(load<std::int64_t>(rows.buffer(2 + data_buffers), b));
            }
            return bytes;
        }
        default:
            return 0;
    }
}

}  // namespace

IntegerOutOfRange::IntegerOutOfRange(std::uint64_t value)
    : std::range_error("the integer " + std::to_string(value) +
                       " is outside the signed 64-bit range") {}

std::optional<ImportType> import_type(const ArrowSchema& schema) {
    if (schema.format == nullptr) return std::nullopt;
    const std::string_view format = schema.format;
    if (schema.dictionary != nullptr) {
        // The format is the indices' type; the dictionary's schema is the values'.
        const std::optional<Kind> index = plain_kind(format);
        std::optional<ImportType> values = import_type(*schema.dictionary);
        if (!index || !is_integer(*index) || !values || values->kind == Kind::kDictionary) {
            return std::nullopt;
        }
        ImportType type;
        type.kind = Kind::kDictionary;
        type.index = *index;
        type.children.push_back(std::move(*values));
        return type;
    }
    if (const std::optional<Kind> kind = plain_kind(format)) {
        ImportType type;
        type.kind = *kind;
        return type;
    }
    if (format.starts_with("+ud:") || format.starts_with("+us:")) return union_type(schema, format);
    return std::nullopt;
}

void append_array(ColumnBuilder& column, const ImportType& type, const ArrowArray& array) {
    const Rows rows = rows_of(type, array);
    const std::size_t total = column.size() + rows.length;
    for (std::size_t start = 0; start < rows.length; start += kChunk) {
        const std::size_t n = std::min(kChunk, rows.length - start);
        if (!append_chunk(column, rows, start, n)) {
            for (std::size_t k = 0; k < n; ++k) push_cell(column, cell_at(rows, start + k));
        }
        // Room for the rest once the first rows have given the column its layout.
        if (start == 0 && rows.length > n) {
            column.reserve(total);
            const std::size_t bytes = text_bytes(rows);
            if (bytes != 0 && column.single_type() == kString) column.reserve_string_bytes(bytes);
        }
    }
}

}  // namespace kelvra::arrow
