#include "arrow_source.h"

#include <pybind11/pybind11.h>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "../io/arrow/arrow_import.h"
#include "arrow_categorical.h"
#include "arrow_stream.h"

namespace py = pybind11;

namespace kelvra {

namespace {

// The type of the exported values when the import reads it. A struct of fields at the top is a
// table's columns (a pyarrow Table or RecordBatch, a pandas or polars DataFrame): a column holds
// one, even when the table has but one.
std::optional<arrow::ImportType> readable_type(const ArrowSchema& schema) {
    if (schema.format != nullptr && std::string_view(schema.format) == "+s" &&
        schema.n_children >= 1) {
        const std::string fields =
            schema.n_children == 1 ? "1 field" : std::to_string(schema.n_children) + " fields";
        throw py::type_error("the values are a struct of " + fields +
                             ", as a table gives, and a column holds one: set one column at a "
                             "time (df[name] = table[name])");
    }
    return arrow::import_type(schema);
}

bool append_stream(ColumnBuilder& column, PyObject* values) {
    Stream stream;
    if (!open_stream(values, stream)) return false;
    const std::optional<arrow::ImportType> type = readable_type(stream.schema.value);
    if (!type) return false;
    // One array ahead: while the producer exports the next, the memory of its buffers is
    // fetched, which a stream of many small arrays would otherwise wait for array by array.
    std::array<Owned<ArrowArray>, 2> arrays;
    const auto next = [&stream](Owned<ArrowArray>& array) {
        const bool more = stream.next(array);
        if (more) arrow::prefetch_buffers(array.value);
        return more;  // false: the end of the stream
    };
    std::size_t at = 0;
    for (bool more = next(arrays[0]); more; at ^= 1) {
        more = next(arrays[at ^ 1]);
        arrow::append_array(column, *type, arrays[at].value);
        arrays[at].reset();
    }
    return true;
}

bool append_single_array(ColumnBuilder& column, PyObject* values) {
    const std::optional<py::object> pair = call_export(values, "__arrow_c_array__");
    if (!pair) return false;
    if (!PyTuple_Check(pair->ptr()) || PyTuple_GET_SIZE(pair->ptr()) != 2) {
        throw py::type_error(
            "__arrow_c_array__ must return a tuple of two PyCapsules, 'arrow_schema' and "
            "'arrow_array'");
    }
    Owned<ArrowSchema> schema;
    Owned<ArrowArray> array;
    move_out(PyTuple_GET_ITEM(pair->ptr(), 0), kSchemaName, schema);
    move_out(PyTuple_GET_ITEM(pair->ptr(), 1), kArrayName, array);
    const std::optional<arrow::ImportType> type = readable_type(schema.value);
    if (!type) return false;
    arrow::append_array(column, *type, array.value);
    return true;
}

bool type_has(PyObject* values, const char* name) {
    return PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(values)), name) == 1;
}

}  // namespace

bool offers_arrow(PyObject* values) {
    return type_has(values, "__arrow_c_stream__") || type_has(values, "__arrow_c_array__");
}

bool append_arrow(ColumnBuilder& column, PyObject* values) {
    try {
        if (append_polars_categorical(column, values)) return true;
        if (type_has(values, "__arrow_c_stream__")) return append_stream(column, values);
        if (type_has(values, "__arrow_c_array__")) return append_single_array(column, values);
    } catch (const arrow::IntegerOutOfRange& e) {
        // The same RuntimeError as such an int item by item, with the value and its row.
        throw std::runtime_error(e.what());
    }
    return false;
}

}  // namespace kelvra
