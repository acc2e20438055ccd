// Arrow arrays read into a column: integers, floats, booleans (and the arrow.bool8 extension),
// strings (utf8, large_utf8 and string views), the null type, dictionaries of these and unions
// (dense or sparse) of these. Validity bitmaps, offsets (sliced arrays) and null counts are
// honoured; the column's storage is written through ColumnBuilder alone. Nothing a producer puts in
// its structs is trusted: every length, offset and index is checked in a type it cannot overflow
// before it is used (what the C data interface cannot say, the size of a buffer, is taken on
// trust).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "../../core/column_builder.h"
#include "arrow_c.h"

namespace kelvra::arrow {

// The type of an array as the import reads it: parsed once from a schema, for every array of a
// stream.
struct ImportType {
    enum class Kind : std::uint8_t {
        kNull,
        kInt8,
        kInt16,
        kInt32,
        kInt64,
        kUInt8,
        kUInt16,
        kUInt32,
        kUInt64,
        kHalf,
        kFloat,
        kDouble,
        kBool,
        kBool8,  // the arrow.bool8 extension: int8 storage, 0 false, anything else true
        kString,
        kLargeString,
        kStringView,
        kDictionary,
        kDenseUnion,
        kSparseUnion,
    };
    Kind kind = Kind::kNull;
    // A dictionary's index type (one of the integer kinds).
    Kind index = Kind::kInt32;
    // A union's children in order, or a dictionary's value type alone.
    std::vector<ImportType> children;
    // A union's child position by type code, for codes 0 to 127 (-1: no child has the code).
    std::vector<std::int8_t> child_of_code;
};

inline bool is_integer(ImportType::Kind kind) {
    return kind >= ImportType::Kind::kInt8 && kind <= ImportType::Kind::kUInt64;
}
inline bool is_text(ImportType::Kind kind) {
    return kind >= ImportType::Kind::kString && kind <= ImportType::Kind::kStringView;
}

// How deep a type may nest (a union of unions of ...): deeper schemas are refused.
constexpr int kMaxTypeDepth = 64;

// The type of a schema, or nothing when some part of it holds values that are not cells
// (timestamps, dates, decimals, binary, lists, structs, extension types other than arrow.bool8,
// ...). Throws std::invalid_argument for a type nested deeper than kMaxTypeDepth.
std::optional<ImportType> import_type(const ArrowSchema& schema);

// An unsigned 64-bit value above the signed 64-bit range, which no integer cell holds; `row`, once
// known, is the column's row that would have held it.
class IntegerOutOfRange : public std::range_error {
public:
    explicit IntegerOutOfRange(std::uint64_t value);
    IntegerOutOfRange(std::uint64_t value, std::size_t row);
    std::uint64_t value() const noexcept { return value_; }
    bool has_row() const noexcept { return has_row_; }

private:
    std::uint64_t value_;
    bool has_row_;
};

// Appends the rows of an array of that type to the column, each value checked as it is copied.
// Throws IntegerOutOfRange (naming the row), and std::invalid_argument for an array that does not
// have the layout its type says (missing buffers or children, a union type code that no child has,
// an index past the end of its dictionary or union child, string offsets that go backwards, lengths
// and offsets past what 64 bits can address).
void append_array(ColumnBuilder& column, const ImportType& type, const ArrowArray& array);

// Asks the processor for the first lines of the array's first buffers ahead of append_array.
void prefetch_buffers(const ArrowArray& array) noexcept;

}  // namespace kelvra::arrow
