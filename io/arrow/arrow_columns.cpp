#include "arrow_columns.h"

#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "../../core/column_builder.h"
#include "arrow_arrays.h"
#include "arrow_union.h"

namespace kelvra::arrow {

namespace {

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
