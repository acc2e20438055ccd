// The sums of many columns at once.
#pragma once

#include <vector>

#include "column.h"

namespace kelvra {

// Each column's NumericTotal, exactly as Column::sum_and_count gives it.
std::vector<NumericTotal> column_totals(const std::vector<const Column*>& columns);

}  // namespace kelvra
