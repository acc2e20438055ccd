#include "convert.h"

#include <Python.h>

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "../core/column_builder.h"
#include "../core/column_view.h"

namespace py = pybind11;

namespace kelvra {
namespace {

// Appends the text of a str (or str subclass) as UTF-8. A lone surrogate fails here; the
// library's own strict conversion then raises its usual error for the object's type.
void push_text(ColumnBuilder& column, PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        column.push_string(py::cast<std::string>(py::handle(text)));
        return;
    }
    column.push_string({data, static_cast<std::size_t>(size)});
}

void append_from_python(ColumnBuilder& column, PyObject* item) {
    if (item == Py_None) {
        column.push_null();
    } else if (PyBool_Check(item)) {
        column.push_bool(item == Py_True);
    } else if (PyLong_Check(item)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            // Outside 64 bits: let the library raise its own conversion error.
            column.push_int(py::cast<std::int64_t>(py::handle(item)));
        } else {
            column.push_int(static_cast<std::int64_t>(v));
        }
    } else if (PyFloat_Check(item)) {
        column.push_double(PyFloat_AS_DOUBLE(item));
    } else if (PyUnicode_Check(item)) {
        push_text(column, item);
    } else {
        const py::str text{py::handle(item)};  // str(item); its own exception propagates
        push_text(column, text.ptr());
    }
}

PyObject* cell_to_python(const ColumnView& column, std::size_t i) {
    if (column.missing(i)) return Py_NewRef(Py_None);
    return column.visit(i, [](auto v) -> PyObject* {
        using T = decltype(v);
        if constexpr (std::is_same_v<T, std::int64_t>) {
            return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<T, double>) {
            return PyFloat_FromDouble(v);
        } else if constexpr (std::is_same_v<T, std::string_view>) {
            return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), nullptr);
        } else {
            return Py_NewRef(v ? Py_True : Py_False);
        }
    });
}

}  // namespace

ColumnPtr column_from_python(const std::vector<py::object>& values) {
    auto column = std::make_shared<Column>();
    ColumnBuilder build(*column);
    build.reserve(values.size());
    for (const auto& value : values) append_from_python(build, value.ptr());
    build.finish();
    return column;
}

py::typing::List<py::object> column_to_python(const Column& source) {
    const ColumnView column(source);
    const std::size_t n = column.size();
    auto list = py::reinterpret_steal<py::list>(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) throw py::error_already_set();
    PyObject* const raw = list.ptr();
    const auto set = [raw](std::size_t i, PyObject* item) {
        if (item == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(raw, static_cast<Py_ssize_t>(i), item);
    };
    const std::optional<CellType> type = column.single_type();
    const std::uint64_t* payloads = column.payloads();
    if ((type == kInt || type == kDouble) && !column.any_missing()) {
        // One loop per type for the common columns without missing rows.
        if (type == kInt) {
            for (std::size_t i = 0; i < n; ++i) {
                set(i, PyLong_FromLongLong(std::bit_cast<std::int64_t>(payloads[i])));
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) set(i, PyFloat_FromDouble(std::bit_cast<double>(payloads[i])));
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) set(i, cell_to_python(column, i));
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
