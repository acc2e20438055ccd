// Building a column cell by cell, and the one-column operations: each one body over the cells
// the layout hands it.
#include "column.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>

#include "column_builder.h"
#include "column_view.h"
#include "row_gather.h"

namespace kelvra {
namespace {

// Calls f(row) for every set bit of the mask's words, in row order.
template <class F>
void for_each_set_bit(const NullMask& mask, F&& f) {
    const std::uint64_t* words = mask.words();
    for (std::size_t w = 0; w < mask.word_count(); ++w) {
        for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
            f(w * NullMask::kBits + static_cast<std::size_t>(std::countr_zero(bits)));
        }
    }
}

}  // namespace

void Column::push_back(const CellValue& cell) {
    ColumnBuilder build(*this);
    switch (cell.index()) {
        case kInt:
            build.push_int(*std::get_if<kInt>(&cell));
            break;
        case kDouble:
            build.push_double(*std::get_if<kDouble>(&cell));
            break;
        case kString:
            build.push_string(*std::get_if<kString>(&cell));
            break;
        default:
            build.push_bool(*std::get_if<kBool>(&cell));
            break;
    }
}
void Column::push_null() { ColumnBuilder(*this).push_null(); }
void Column::push_int(std::int64_t v) { ColumnBuilder(*this).push_int(v); }
void Column::push_double(double v) { ColumnBuilder(*this).push_double(v); }
void Column::push_bool(bool v) { ColumnBuilder(*this).push_bool(v); }
void Column::push_string(std::string_view v) { ColumnBuilder(*this).push_string(v); }

CellValue Column::cell(std::size_t i) const {
    return ColumnView(*this).visit(i, [](auto v) -> CellValue {
        if constexpr (std::is_same_v<decltype(v), std::string_view>) {
            return CellValue{std::in_place_index<kString>, v};
        } else {
            return CellValue{v};
        }
    });
}

namespace {

template <class Index>
std::shared_ptr<Column> take_rows_of(const Column& column, const PodBuffer<Index>& rows) {
    // The positions ascend, so those within the column come first.
    const std::size_t k = static_cast<std::size_t>(
        std::lower_bound(rows.begin(), rows.end(), column.size()) - rows.begin());
    RowGather gather(column, k, RowGather::result_bytes(column, k) >= kStreamBytes);
    gather.take(rows.data(), k);
    return gather.finish();
}

}  // namespace

std::shared_ptr<Column> Column::take_rows(const RowIndexList& rows) const {
    return take_rows_of(*this, rows);
}
std::shared_ptr<Column> Column::take_rows(const RowPositions& rows) const {
    return take_rows_of(*this, rows);
}

std::shared_ptr<Column> Column::multiply(double x) const {
    const std::size_t n = size();
    const ColumnView view(*this);
    auto out = std::make_shared<Column>(dtype);
    ColumnBuilder build(*out);
    // Missing rows stay missing, so the mask carries over whole.
    build.set_missing(null_mask);
    view.dispatch([&](const auto& cells) {
        using Cells = std::decay_t<decltype(cells)>;
        if constexpr (std::is_same_v<Cells, StringColumnCells>) {
            // Strings pass through unchanged, so the product shares them.
            build.share_strings(*cells.strings);
            build.finish(n, kString);
            return;
        } else {
            std::uint64_t* p = build.payloads_for(n);
            // The rows' types, in a column that mixes them.
            const RowTypeWriter types =
                std::is_same_v<Cells, MixedCells> ? build.types_for(n) : RowTypeWriter{nullptr};
            if constexpr (std::is_same_v<Cells, NoCells>) {
                std::fill(p, p + n, 0);
                build.finish(n, kInt);
                return;
            } else if constexpr (std::is_same_v<Cells, MixedCells>) {
                for (std::size_t i = 0; i < n; ++i) {
                    const bool number = cells.type(i) != kString;
                    p[i] = number ? std::bit_cast<std::uint64_t>(cells.reading(i) * x)
                                  : cells.payloads[i];
                    types.set(i, number ? kDouble : kString);
                }
                if (cells.strings->store() != nullptr) build.share_strings(*cells.strings);
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    p[i] = std::bit_cast<std::uint64_t>(cells.reading(i) * x);
                }
            }
            // A missing row holds 0, whatever 0 times x gave, and in a mixed column the type
            // kInt (the loop above made it kDouble).
            for_each_set_bit(null_mask, [&](std::size_t i) {
                p[i] = 0;
                if constexpr (std::is_same_v<Cells, MixedCells>) types.set(i, kInt);
            });
            build.finish(n, std::is_same_v<Cells, MixedCells> ? std::nullopt
                                                              : std::optional<CellType>(kDouble));
        }
    });
    return out;
}

double Column::sum() const { return sum_and_count().sum; }

// Missing rows hold 0; adding +0.0 to a running sum that starts at +0.0 never changes it, so in
// a column of one type those rows are added rather than skipped.
NumericTotal Column::sum_and_count() const {
    NumericTotal total;
    const ColumnView view(*this);
    const std::size_t n = size();
    view.dispatch([&](const auto& cells) {
        using Cells = std::decay_t<decltype(cells)>;
        if constexpr (std::is_same_v<Cells, MixedCells>) {
            for (std::size_t i = 0; i < n; ++i) {
                if (cells.type(i) == kString || view.missing(i)) continue;
                total.sum += cells.reading(i);
                ++total.count;
            }
        } else if constexpr (has_numbers<Cells>) {
            for (std::size_t i = 0; i < n; ++i) total.sum += cells.reading(i);
            total.count = n - null_mask.count_missing();
        }
    });
    return total;
}

}  // namespace kelvra
