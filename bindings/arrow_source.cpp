#include "arrow_source.h"

#include <pybind11/pybind11.h>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "../io/arrow/arrow_import.h"

namespace py = pybind11;

namespace kelvra {

namespace {

constexpr const char* kStreamName = "arrow_array_stream";
constexpr const char* kSchemaName = "arrow_schema";
constexpr const char* kArrayName = "arrow_array";

// A struct that this call owns: moved out of a capsule or filled by a producer's callback, and
// released once, on every way out.
template <class T>
struct Owned {
    T value{};

    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }
    void reset() {
        if (value.release != nullptr) value.release(&value);
        value = T{};
    }
};

// Takes over the struct that a capsule holds: the capsule keeps a released copy, so that its
// destructor releases nothing.
template <class T>
void move_out(PyObject* capsule, const char* name, Owned<T>& out) {
    if (!PyCapsule_IsValid(capsule, name)) {
        throw py::type_error(std::string("the Arrow export did not give a PyCapsule named '") +
                             name + "'");
    }
    auto* held = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (held == nullptr) throw py::error_already_set();
    if (held->release == nullptr) {
        throw py::value_error(std::string("the PyCapsule named '") + name +
                              "' was already consumed");
    }
    out.value = *held;
    held->release = nullptr;
}

// values.<method>(), or nothing when it raises an ordinary exception: such values go item by item
// (a pandas Series of mixed objects refuses to become Arrow).
std::optional<py::object> call_export(PyObject* values, const char* method) {
    PyObject* result = PyObject_CallMethod(values, method, nullptr);
    if (result == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
        return std::nullopt;
    }
    return py::reinterpret_steal<py::object>(result);
}

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

[[noreturn]] void throw_stream_error(ArrowArrayStream& stream, int code) {
    const char* error = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    throw std::runtime_error(
        "Cannot read the Arrow stream of the values: " +
        (error != nullptr ? std::string(error) : "error code " + std::to_string(code)));
}

bool append_stream(ColumnBuilder& column, PyObject* values) {
    const std::optional<py::object> capsule = call_export(values, "__arrow_c_stream__");
    if (!capsule) return false;
    Owned<ArrowArrayStream> stream;
    move_out(capsule->ptr(), kStreamName, stream);
    Owned<ArrowSchema> schema;
    if (const int code = stream.value.get_schema(&stream.value, &schema.value); code != 0) {
        throw_stream_error(stream.value, code);
    }
    const std::optional<arrow::ImportType> type = readable_type(schema.value);
    if (!type) return false;
    // One array ahead: while the producer exports the next, the memory of its buffers is
    // fetched, which a stream of many small arrays would otherwise wait for array by array.
    std::array<Owned<ArrowArray>, 2> arrays;
    const auto next = [&stream](Owned<ArrowArray>& array) {
        if (const int code = stream.value.get_next(&stream.value, &array.value); code != 0) {
            throw_stream_error(stream.value, code);
        }
        if (array.value.release != nullptr) arrow::prefetch_buffers(array.value);
        return array.value.release != nullptr;  // false: the end of the stream
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
        if (type_has(values, "__arrow_c_stream__")) return append_stream(column, values);
        if (type_has(values, "__arrow_c_array__")) return append_single_array(column, values);
    } catch (const arrow::IntegerOutOfRange& e) {
        // The same RuntimeError as such an int item by item, with the value and its row.
        throw std::runtime_error(e.what());
    }
    return false;
}

}  // namespace kelvra
