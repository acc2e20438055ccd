#include "arrow_categorical.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <utility>

#include "../io/arrow/arrow_import.h"
#include "arrow_stream.h"

namespace py = pybind11;

namespace kelvra {

namespace {

using Kind = arrow::ImportType::Kind;

// Below this many rows the export's renumbering costs less than the Python calls made here.
constexpr std::size_t kMinRows = std::size_t{1} << 14;
// At most how many more category ids than rows: ids past it belong to a mapping that many other
// columns share (the global one), whose texts would cost more than the export.
constexpr std::size_t kSpareIds = 4096;

// The Series' physical category ids, and a Series of the texts of ids 0 to the largest.
struct Parts {
    py::object ids;
    py::object texts;
};

std::optional<Parts> parts_of(const py::handle series) {
    const py::object dtype = series.attr("dtype");
    if (!is_type(dtype.ptr(), "polars.datatypes.classes", "Categorical")) return std::nullopt;
    const std::size_t rows = py::len(series);
    if (rows < kMinRows) return std::nullopt;
    try {
        py::object ids = series.attr("to_physical")();
        const py::object largest = ids.attr("max")();
        if (largest.is_none()) return std::nullopt;  // every row missing
        const auto last = largest.cast<std::size_t>();
        if (last >= rows + kSpareIds) return std::nullopt;
        // Ids 0 to the largest as categories of the Series' own mapping, then as their texts. An
        // id that no row uses may have no text yet (another thread's, reserved): not strict, it
        // is a missing value, which no row reads.
        const auto series_type =
            py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(series.ptr())));
        const py::object every_id =
            series_type(py::str(""), py::module_::import("builtins").attr("range")(last + 1),
                        py::arg("dtype") = ids.attr("dtype"));
        py::object texts =
            every_id.attr("cat")
                .attr("to")(dtype, py::arg("strict") = false)
                .attr("cast")(py::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)))
                .attr("rechunk")();
        return Parts{std::move(ids), std::move(texts)};
    } catch (const py::cast_error&) {
        return std::nullopt;
    } catch (py::error_already_set& e) {
        // A polars without these calls: its export serves.
        if (!e.matches(PyExc_Exception)) throw;
        return std::nullopt;
    }
}

}  // namespace

bool append_polars_categorical(ColumnBuilder& column, PyObject* values) {
    if (!is_type(values, "polars.series.series", "Series")) return false;
    const std::optional<Parts> parts = parts_of(values);
    if (!parts) return false;
    // The texts in one array: the dictionary of every array of ids.
    Stream texts;
    if (!open_stream(parts->texts.ptr(), texts)) return false;
    const std::optional<arrow::ImportType> text_type = arrow::import_type(texts.schema.value);
    Owned<ArrowArray> dictionary;
    Owned<ArrowArray> more;
    if (!text_type || !arrow::is_text(text_type->kind) || !texts.next(dictionary) ||
        texts.next(more)) {
        return false;
    }
    Stream ids;
    if (!open_stream(parts->ids.ptr(), ids)) return false;
    const std::optional<arrow::ImportType> id_type = arrow::import_type(ids.schema.value);
    if (!id_type || !arrow::is_integer(id_type->kind)) return false;
    arrow::ImportType type;
    type.kind = Kind::kDictionary;
    type.index = id_type->kind;
    type.children.push_back(*text_type);
    Owned<ArrowArray> array;
    while (ids.next(array)) {
        ArrowArray indexes = array.value;
        indexes.release = nullptr;  // a view of the array, which stays its owner's
        indexes.dictionary = &dictionary.value;
        arrow::append_array(column, type, indexes);
    }
    return true;
}

}  // namespace kelvra
