// The buffers of one column's Arrow array, by the column's type: validity and boolean bits,
// string views over the column's own cells or built by row, each cell's text, and numbers as
// doubles. Each array shares the column's storage where Arrow's layout is the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "../../core/column.h"
#include "../../core/column_view.h"
#include "../common/row_writer.h"
#include "arrow_owned.h"

namespace kelvra::arrow {

// The largest length, offset or index that Arrow's int32 fields hold.
inline constexpr auto kInt32Max =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// The Arrow format and the union child name of each cell type, by CellType. Strings are string
// views, the layout of the column's own string cells.
inline constexpr const char* kFormats[] = {"l", "g", "vu", "b"};
inline constexpr const char* kTypeNames[] = {"int", "float", "str", "bool"};

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
const void* validity(ArrayOwner& owner, const Source& source);

// Booleans as bits, from their 0 / 1 payloads (the payload of a row of another type in a mixed
// column sets a bit that is never read).
const void* boolean_bits(ArrayOwner& owner, const Source& source);

// Whether row i is a present string. The type of a missing row is never relied on here.
inline bool string_row(const ColumnView& view, RowTypeReader types, std::size_t i) noexcept {
    return types[i] == kString && !view.missing(i);
}

// Whether every cell of the column's string store is UTF-8, those of no row included: a union
// child that shares the cells shows them all. Only cells never checked before are looked at (the
// store notes how far its cells are known to be UTF-8, and so do the results of operations that
// copy them). Most text is ASCII: an inline cell whose twelve bytes are ASCII passes at once, and
// so does a long text in a buffer that is ASCII throughout.
bool all_cells_utf8(const StringCells& strings);

// Throws for the first present string row that is not UTF-8.
void require_utf8_strings(const std::string& name, const Source& source);

// A string view array over `views`: its buffers are the validity, the views, the column's byte
// buffers as they are and those built for the export's own texts, then the sizes of those.
// Returns n_buffers.
std::size_t view_buffers(ArrayOwner& owner, const PackedString* views, const StringStore& store);

// The views of a mixed column's string rows by row; other rows, missing ones included, empty.
const PackedString* views_by_row(ArrayOwner& owner, const Source& source);

// A mixed column as string views of each present cell's text: a string row is its cell as it is
// (sharing the column's byte buffers), any other cell is written as to_csv writes it, inline
// when it fits twelve bytes (most numbers do) and otherwise into byte buffers built for the
// export. Missing rows are empty. Returns n_buffers.
std::size_t text_views(ArrayOwner& owner, Source& source);

// A mixed column whose present cells are integers and doubles alone, every integer within
// +-2**53 (so exactly a double), as float64: each integer as the double of its value. Returns
// false, keeping nothing it built, when an integer lies beyond.
bool doubles_of_numbers(ArrayOwner& owner, const Source& source);

// Each present cell as text, in int64 offsets and bytes built for the export: strings as they
// are, other cells as to_csv writes them (or empty, with only_strings); missing rows empty.
// With `narrow` the offsets are int32 when the bytes allow. Returns the format: "u" or "U".
const char* cell_texts(ArrayOwner& owner, Source& source, bool only_strings, bool narrow);

// Whether an Arrow format is text with int32 or int64 offsets.
inline bool is_text_format(std::string_view format) { return format == "u" || format == "U"; }

}  // namespace kelvra::arrow
