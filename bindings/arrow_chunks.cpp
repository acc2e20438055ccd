#include "arrow_chunks.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "arrow_stream.h"

namespace py = pybind11;

namespace kelvra {

namespace {

// Below this many rows per chunk on average the values are asked for in one piece. Above it the
// per-chunk cost of the stream is small beside the rows' own, and a copy made first would cost
// more than it saves.
constexpr std::size_t kSmallChunk = 256;

// pyarrow's types whose to_numpy() gives the same numbers the Arrow import reads: integers of
// every width but unsigned 64-bit (whose values above the signed range raise by row through
// Arrow), floats and booleans. Extension types and everything else keep the stream.
constexpr std::array<std::string_view, 11> kNumpyTypes = {"int8",  "int16",  "int32",  "int64",
                                                          "uint8", "uint16", "uint32", "halffloat",
                                                          "float", "double", "bool"};

bool small_chunks(std::size_t rows, std::size_t chunks) {
    return chunks > 1 && rows < chunks * kSmallChunk;
}

py::object fewer_pyarrow_chunks(const py::handle values) {
    const auto chunks = values.attr("num_chunks").cast<std::size_t>();
    const auto rows = values.attr("length")().cast<std::size_t>();
    if (!small_chunks(rows, chunks) || values.attr("null_count").cast<std::size_t>() != 0) {
        return py::reinterpret_borrow<py::object>(values);
    }
    const auto type = py::str(values.attr("type")).cast<std::string>();
    for (const std::string_view numpy_type : kNumpyTypes) {
        // Without missing values, the numbers copied out chunk by chunk into one array.
        if (type == numpy_type) return values.attr("to_numpy")();
    }
    return py::reinterpret_borrow<py::object>(values);
}

py::object fewer_polars_chunks(const py::handle values) {
    const auto chunks = values.attr("n_chunks")().cast<std::size_t>();
    const auto rows = values.attr("len")().cast<std::size_t>();
    // rechunk() keeps the dtype and the missing values: the same Series in one chunk.
    if (small_chunks(rows, chunks)) return values.attr("rechunk")();
    return py::reinterpret_borrow<py::object>(values);
}

}  // namespace

py::object with_fewer_chunks(PyObject* values) {
    if (is_type(values, "pyarrow.lib", "ChunkedArray")) return fewer_pyarrow_chunks(values);
    if (is_type(values, "polars.series.series", "Series")) return fewer_polars_chunks(values);
    return py::reinterpret_borrow<py::object>(values);
}

}  // namespace kelvra
