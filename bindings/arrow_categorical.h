// A polars Categorical read from its physical category ids and the texts of those ids, as an
// Arrow dictionary of the ids over the texts: polars' own export renumbers, row by row, the
// categories that the rows use, which costs more than reading the rows.
#pragma once

#include <Python.h>

#include "../core/column_builder.h"

namespace kelvra {

// Appends the values and returns true when they are a polars Series of dtype Categorical with
// enough rows and category ids close enough to 0 that the texts of ids 0 to the largest are few;
// false, with nothing appended, otherwise (the Series' own export then serves). Throws as
// append_arrow does.
bool append_polars_categorical(ColumnBuilder& column, PyObject* values);

}  // namespace kelvra
