// An array's layout checked against its type, and its rows read one at a time.
#include <algorithm>

#include "../../text/half_float.h"
#include "arrow_rows.h"

namespace kelvra::arrow::detail {

namespace {

// Where an absent buffer of size zero points: no text is read from it.
constexpr char kNoBytes[16] = {};

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

// The bytes of an array of strings with offsets, and where its texts end: a data buffer may be
// absent when it is empty, which its offsets must then say.
template <class Offset>
void check_offsets(Rows& rows) {
    const auto first = static_cast<std::int64_t>(load<Offset>(rows.buffer(1), rows.offset));
    rows.data_end =
        static_cast<std::int64_t>(load<Offset>(rows.buffer(1), rows.offset + rows.length));
    if (first < 0 || rows.data_end < first) malformed("string offsets go backwards");
    rows.data = static_cast<const char*>(rows.buffer(2));
    if (rows.data == nullptr) {
        if (rows.data_end != 0) malformed("an array's values buffer is missing");
        rows.data = kNoBytes;
    }
}

// A string view array's data buffers, then one buffer of their sizes (absent when there are none):
// a data buffer may be absent when its size is 0.
void check_views(Rows& rows) {
    const ArrowArray& array = *rows.array;
    rows.data_buffers = static_cast<std::size_t>(array.n_buffers - 3);
    if (rows.data_buffers == 0) return;
    if (rows.buffer(2 + rows.data_buffers) == nullptr) {
        malformed("a string view array's data buffer sizes are missing");
    }
    for (std::size_t b = 0; b < rows.data_buffers; ++b) {
        const std::int64_t size = rows.data_size(b);
        if (size < 0) malformed("a string view array's data buffer has a negative size");
        if (rows.buffer(2 + b) == nullptr && size != 0) {
            malformed("a string view array's data buffer is missing");
        }
    }
}

}  // namespace

void malformed(const std::string& what) {
    throw std::invalid_argument("Cannot read the Arrow array: " + what);
}

Rows rows_of(const ImportType& type, const ArrowArray& array) {
    if (array.length < 0 || array.offset < 0) malformed("negative length or offset");
    if (static_cast<std::uint64_t>(array.offset) > kMaxPosition ||
        static_cast<std::uint64_t>(array.length) >
            kMaxPosition - static_cast<std::size_t>(array.offset)) {
        malformed("its offset and length reach past what 64 bits address");
    }
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
    if (array.n_children < 0) malformed("a negative count of children");
    if (rows.length != 0) {
        // Unions have no validity buffer; the first is their type codes.
        const std::size_t first = is_union(type.kind) ? 0 : 1;
        // The data buffer of strings with offsets may be absent when it is empty (below).
        const std::size_t end = is_text(type.kind) ? 2 : wanted;
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
    } else if (type.kind == Kind::kString && array.buffers[1] != nullptr) {
        check_offsets<std::int32_t>(rows);
    } else if (type.kind == Kind::kLargeString && array.buffers[1] != nullptr) {
        check_offsets<std::int64_t>(rows);
    } else if (type.kind == Kind::kStringView) {
        check_views(rows);
    }
    return rows;
}

Text view_text(const Rows& rows, std::size_t i) {
    const char* view = static_cast<const char*>(rows.buffer(1)) + 16 * i;
    const auto length = load<std::int32_t>(view, 0);
    if (length >= 0 && length <= 12) {
        // The text is inside the view; two more views follow it but for the last rows.
        return Text{{view + 4, static_cast<std::size_t>(length)},
                    i + 2 < rows.offset + rows.length};
    }
    // Compared as 64-bit values, which none of these 32-bit ones can overflow.
    const std::int64_t buffer = load<std::int32_t>(view + 8, 0);
    const std::int64_t offset = load<std::int32_t>(view + 12, 0);
    if (length < 0) [[unlikely]] {
        malformed("a string view has a negative length");
    }
    if (buffer < 0 || static_cast<std::uint64_t>(buffer) >= rows.data_buffers || offset < 0)
        [[unlikely]] {
        malformed("a string view names a data buffer that the array does not have");
    }
    const auto at = static_cast<std::size_t>(buffer);
    const std::int64_t size = rows.data_size(at);
    const std::int64_t end = offset + length;
    if (end > size) [[unlikely]] {
        malformed("a string view reaches past the end of its data buffer");
    }
    return Text{
        {static_cast<const char*>(rows.buffer(2 + at)) + offset, static_cast<std::size_t>(length)},
        size - end >= 16};
}

std::string_view text_at(const Rows& rows, std::size_t row) {
    const std::size_t i = rows.offset + row;
    switch (rows.type->kind) {
        case Kind::kString:
            return offset_text<std::int32_t>(rows, i).text;
        case Kind::kLargeString:
            return offset_text<std::int64_t>(rows, i).text;
        default:
            return view_text(rows, i).text;
    }
}

std::uint64_t index_at(Kind kind, const void* indexes, std::size_t i) noexcept {
    // A negative index becomes 2**63 or more, past every dictionary's end.
    switch (kind) {
        case Kind::kInt8:
            return static_cast<std::uint64_t>(std::int64_t{load<std::int8_t>(indexes, i)});
        case Kind::kInt16:
            return static_cast<std::uint64_t>(std::int64_t{load<std::int16_t>(indexes, i)});
        case Kind::kInt32:
            return static_cast<std::uint64_t>(std::int64_t{load<std::int32_t>(indexes, i)});
        case Kind::kInt64:
            return static_cast<std::uint64_t>(load<std::int64_t>(indexes, i));
        case Kind::kUInt8:
            return load<std::uint8_t>(indexes, i);
        case Kind::kUInt16:
            return load<std::uint16_t>(indexes, i);
        case Kind::kUInt32:
            return load<std::uint32_t>(indexes, i);
        default:
            return load<std::uint64_t>(indexes, i);
    }
}

namespace {

Cell number_cell(CellType type, std::uint64_t payload) { return Cell{false, type, payload, {}}; }

std::uint64_t integer_payload(Kind kind, const void* values, std::size_t i) {
    const std::uint64_t v = index_at(kind, values, i);
    if (kind == Kind::kUInt64 && v > kInt64Max) throw IntegerOutOfRange(v);
    return v;  // a signed value's two's complement bits
}

}  // namespace

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
        return cell_at(child, child_position(at, child.length, "a union row"));
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
        case Kind::kBool8:
            return number_cell(kBool, load<std::int8_t>(rows.buffer(1), i) != 0 ? 1u : 0u);
        case Kind::kString:
        case Kind::kLargeString:
        case Kind::kStringView:
            return Cell{false, kString, 0, text_at(rows, row)};
        case Kind::kDictionary: {
            const Rows& values = rows.children[0];
            const std::uint64_t at = index_at(rows.type->index, rows.buffer(1), i);
            if (at >= values.length)
                malformed("a dictionary index points past the end of its values");
            return cell_at(values, static_cast<std::size_t>(at));
        }
        default:
            return number_cell(kInt, integer_payload(kind, rows.buffer(1), i));
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

void push_cells(ColumnBuilder& column, const Rows& rows, std::size_t start, std::size_t n) {
    const std::size_t first_row = column.size();
    std::size_t k = 0;
    try {
        for (; k < n; ++k) push_cell(column, cell_at(rows, start + k));
    } catch (const IntegerOutOfRange& e) {
        if (e.has_row()) throw;
        throw IntegerOutOfRange(e.value(), first_row + k);
    }
}

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
    for (std::size_t w = 0; w < words; ++w) {
        missing += static_cast<std::size_t>(std::popcount(bits[w]));
    }
    return missing < n;
}

}  // namespace kelvra::arrow::detail
