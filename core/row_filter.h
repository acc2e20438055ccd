// The rows a filter keeps: one scan per column layout over the numeric readings, written once
// for every comparison.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "column_view.h"

namespace kelvra {

// The positions below `limit` of the column's present rows whose numeric reading r makes
// keep(r) true. Strings have no numeric reading and are never kept.
// Index is the type of a position: std::size_t, or std::uint32_t below 2^32 rows.
template <class Index, class Keep>
PodBuffer<Index> rows_where(const Column& column, std::size_t limit, Keep keep) {
    const ColumnView view(column);
    limit = std::min(limit, view.size());
    PodBuffer<Index> kept;
    view.dispatch([&](const auto& cells) {
        using Cells = std::decay_t<decltype(cells)>;
        if constexpr (has_numbers<Cells>) {
            if (limit == 0) return;
            Index* out = kept.extend_uninitialised(limit);
            std::size_t k = 0;
            const std::uint64_t* mask = view.missing_words();
            // Every row is written and the count moves only for kept rows: no branch per row.
            auto scan = [&](auto reading) {
                if (mask == nullptr) {
                    for (std::size_t i = 0; i < limit; ++i) {
                        out[k] = static_cast<Index>(i);
                        k += keep(reading(i));
                    }
                    return;
                }
                for (std::size_t i = 0; i < limit; ++i) {
                    const bool present =
                        ((mask[i / NullMask::kBits] >> (i % NullMask::kBits)) & 1u) == 0;
                    out[k] = static_cast<Index>(i);
                    k += present & keep(reading(i));
                }
            };
            if constexpr (std::is_same_v<Cells, MixedCells>) {
                // A string reads as NaN, which compares false.
                scan([&cells](std::size_t i) {
                    return cells.type(i) == kString ? std::numeric_limits<double>::quiet_NaN()
                                                    : cells.reading(i);
                });
            } else {
                scan([&cells](std::size_t i) { return cells.reading(i); });
            }
            kept.set_size(k);
        }
    });
    return kept;
}

}  // namespace kelvra
