// A column that mixes types as an Arrow union of its cell types, when the consumer asks for one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../../core/cell.h"
#include "arrow_arrays.h"
#include "arrow_c.h"
#include "arrow_owned.h"

namespace kelvra::arrow {

// The cell types that present rows of a mixed column hold, in CellType order.
std::vector<CellType> present_types(const Source& source);

// The union layout that the consumer asked for, when its children have the column's child
// types in the same order (the string child as views or as text): sparse or dense, the type
// code of each child and the string child's format.
struct UnionLayout {
    bool sparse = false;
    std::vector<int> codes;
    std::string string_format = kFormats[kString];
};

// The layout of the union that `requested` asks for, when it is a union whose children have
// `types` in the same order and whose type codes are distinct; otherwise nothing.
std::optional<UnionLayout> requested_union(const ArrowSchema* requested,
                                           const std::vector<CellType>& types);

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
                       const std::vector<CellType>& present, const UnionLayout& layout);

}  // namespace kelvra::arrow
