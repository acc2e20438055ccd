// The table as the PyCapsule that the Arrow PyCapsule interface's __arrow_c_stream__ returns.
#pragma once

#include <pybind11/pybind11.h>

#include "../core/dataframe.h"

namespace kelvra {

// A capsule named "arrow_array_stream" holding an ArrowArrayStream of the table. requested_schema
// is None or a capsule named "arrow_schema" holding the schema that the consumer would like.
pybind11::capsule arrow_stream_capsule(const PyDataFrame& table,
                                       const pybind11::object& requested_schema);

}  // namespace kelvra
