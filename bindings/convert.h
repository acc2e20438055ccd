// The only place where cells cross between Python objects and the table.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <vector>

#include "../core/dataframe.h"

namespace kelvra {

// Builds a column from Python objects; on any failure nothing outside the call has changed.
ColumnPtr column_from_python(const std::vector<pybind11::object>& values);

// The column as a new Python list: None for missing rows, int/float/str/bool otherwise.
pybind11::typing::List<pybind11::object> column_to_python(const Column& column);

// A dict from column name to float, in the order given.
pybind11::dict numbers_to_dict(const ColumnNumbers& numbers);

}  // namespace kelvra
