#include "arrow_stream.h"

#include <stdexcept>

namespace py = pybind11;

namespace kelvra {

namespace {

[[noreturn]] void throw_stream_error(ArrowArrayStream& stream, int code) {
    const char* error = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    throw std::runtime_error(
        "Cannot read the Arrow stream of the values: " +
        (error != nullptr ? std::string(error) : "error code " + std::to_string(code)));
}

}  // namespace

std::optional<py::object> call_export(PyObject* values, const char* method) {
    PyObject* result = PyObject_CallMethod(values, method, nullptr);
    if (result == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
        return std::nullopt;
    }
    return py::reinterpret_steal<py::object>(result);
}

bool Stream::next(Owned<ArrowArray>& array) {
    array.reset();
    if (const int code = stream.value.get_next(&stream.value, &array.value); code != 0) {
        throw_stream_error(stream.value, code);
    }
    return array.value.release != nullptr;
}

bool open_stream(PyObject* values, Stream& out) {
    const std::optional<py::object> capsule = call_export(values, "__arrow_c_stream__");
    if (!capsule) return false;
    move_out(capsule->ptr(), kStreamName, out.stream);
    if (const int code = out.stream.value.get_schema(&out.stream.value, &out.schema.value);
        code != 0) {
        throw_stream_error(out.stream.value, code);
    }
    return true;
}

bool is_type(PyObject* object, std::string_view module, std::string_view name) {
    const py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    const py::object type_module = py::getattr(type, "__module__", py::none());
    const py::object type_name = py::getattr(type, "__qualname__", py::none());
    return py::isinstance<py::str>(type_module) && py::isinstance<py::str>(type_name) &&
           type_module.cast<std::string_view>() == module &&
           type_name.cast<std::string_view>() == name;
}

}  // namespace kelvra
