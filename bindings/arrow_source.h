// Column values read through the Arrow PyCapsule interface: any object whose type has
// __arrow_c_stream__ or __arrow_c_array__ (pyarrow arrays, polars and pandas Series, ...).
#pragma once

#include <Python.h>

#include "../core/column_builder.h"

namespace kelvra {

// Whether the object's type offers its values as Arrow through the PyCapsule interface.
bool offers_arrow(PyObject* values);

// Appends the values as the Arrow arrays they export and returns true. Returns false, with
// nothing appended, when the object offers no Arrow, raises when asked for it, or exports a type
// whose values are not cells: those values go item by item. Throws TypeError for a struct of
// fields (a table, even of one column), RuntimeError naming the value and its row for an unsigned
// value above the signed 64-bit range, ValueError for an array not laid out as its type says (or
// a type nested too deep), and RuntimeError when the producer's stream fails.
bool append_arrow(ColumnBuilder& column, PyObject* values);

}  // namespace kelvra
