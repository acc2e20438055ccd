// Values that their producer holds in many small chunks, asked for one contiguous layout before
// they are read: the C stream exports, and the import reads, an array per chunk, a fixed cost that
// dwarfs a chunk of a few rows.
#pragma once

#include <pybind11/pybind11.h>

namespace kelvra {

// The values to read in place of `values`: the same cells (types, missing rows) from a producer
// that gives them in one piece cheaply (a polars Series rechunked; a pyarrow ChunkedArray of plain
// numbers or booleans without missing values as a numpy array), or `values` itself.
pybind11::object with_fewer_chunks(PyObject* values);

}  // namespace kelvra
