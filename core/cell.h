// One cell of a column and the single rule by which a cell is read as a number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace kelvra {

// The alternatives keep this order: the type index is what every reader dispatches on.
using CellValue = std::variant<std::int64_t, double, std::string, bool>;

enum CellType : std::size_t { kInt = 0, kDouble = 1, kString = 2, kBool = 3 };

// The numeric reading of a present cell: integers convert to the nearest double, booleans
// count as 1.0 / 0.0, doubles are themselves, strings are not numbers.
inline bool numeric_reading(const CellValue& cell, double& out) noexcept {
    switch (cell.index()) {
        case kInt:
            out = static_cast<double>(*std::get_if<kInt>(&cell));
            return true;
        case kDouble:
            out = *std::get_if<kDouble>(&cell);
            return true;
        case kBool:
            out = *std::get_if<kBool>(&cell) ? 1.0 : 0.0;
            return true;
        default:
            return false;
    }
}

}  // namespace kelvra
