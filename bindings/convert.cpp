#include "convert.h"

#include <Python.h>

#include <cstdint>
#include <string>

namespace py = pybind11;

namespace kelvra {
namespace {

// The text of a str (or str subclass) as UTF-8. A lone surrogate fails here; the library's own
// strict conversion then raises its usual error for the object's type.
std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return py::cast<std::string>(py::handle(text));
    }
    return std::string(data, static_cast<std::size_t>(size));
}

CellValue cell_from_python(PyObject* item) {
    if (PyBool_Check(item)) return CellValue{item == Py_True};
    if (PyLong_Check(item)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            // Outside 64 bits: let the library raise its own conversion error.
            return CellValue{py::cast<std::int64_t>(py::handle(item))};
        }
        return CellValue{static_cast<std::int64_t>(v)};
    }
    if (PyFloat_Check(item)) return CellValue{PyFloat_AS_DOUBLE(item)};
    if (PyUnicode_Check(item)) return CellValue{utf8_of(item)};
    const py::str text{py::handle(item)};  // str(item); its own exception propagates
    return CellValue{utf8_of(text.ptr())};
}

}  // namespace

ColumnPtr column_from_python(const std::vector<py::object>& values) {
    auto column = std::make_shared<Column>();
    column->reserve(values.size());
    for (const auto& value : values) {
        PyObject* item = value.ptr();
        if (item == Py_None) {
            column->push_null();
        } else {
            column->push_back(cell_from_python(item));
        }
    }
    return column;
}

py::typing::List<py::object> column_to_python(const Column& column) {
    const std::size_t n = column.size();
    auto list = py::reinterpret_steal<py::list>(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) throw py::error_already_set();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = nullptr;
        if (column.is_null(i)) {
            item = Py_NewRef(Py_None);
        } else {
            const CellValue& cell = column.values[i];
            switch (cell.index()) {
                case kInt:
                    item = PyLong_FromLongLong(std::get<kInt>(cell));
                    break;
                case kDouble:
                    item = PyFloat_FromDouble(std::get<kDouble>(cell));
                    break;
                case kString: {
                    const std::string& s = std::get<kString>(cell);
                    item = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
                    break;
                }
                default:
                    item = Py_NewRef(std::get<kBool>(cell) ? Py_True : Py_False);
                    break;
            }
            if (item == nullptr) throw py::error_already_set();
        }
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return py::reinterpret_steal<py::typing::List<py::object>>(list.release());
}

py::dict numbers_to_dict(const ColumnNumbers& numbers) {
    py::dict out;
    for (const auto& [name, value] : numbers) {
        auto key = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
        if (!key) throw py::error_already_set();
        out[key] = py::float_(value);
    }
    return out;
}

}  // namespace kelvra
