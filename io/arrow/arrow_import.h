// Arrow arrays read into a column: integers, floats, booleans, strings (utf8, large_utf8 and
// string views), the null type, dictionaries of these and unions (dense or sparse) of these.
// Validity bitmaps, offsets (sliced arrays) and null counts are honoured; the column's storage is
// written through ColumnBuilder alone.
#pragma once

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

// The type of a schema, or nothing when some part of it holds values that are not cells
// (timestamps, dates, decimals, binary, lists, structs, ...).
std::optional<ImportType> import_type(const ArrowSchema& schema);

// An unsigned 64-bit value above the signed 64-bit range, which no integer cell holds.
class IntegerOutOfRange : public std::range_error {
public:
    explicit IntegerOutOfRange(std::uint64_t value);
};

// Appends the rows of an array of that type to the column, each value checked as it is copied.
// Throws IntegerOutOfRange, and std::invalid_argument for an array that does not have the layout
// its type says (missing buffers or children, a union type code that no child has, an index past
// the end of its dictionary or union child, string offsets that go backwards).
void append_array(ColumnBuilder& column, const ImportType& type, const ArrowArray& array);

}  // namespace kelvra::arrow
