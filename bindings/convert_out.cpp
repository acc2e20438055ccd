// Cells back to Python objects: columns as lists, totals as dicts.
#include <Python.h>

#include <string>
#include <string_view>
#include <type_traits>

#include "../core/column_view.h"
#include "../io/common/utf8.h"
#include "convert.h"

namespace py = pybind11;

namespace kelvra {
namespace {

// Raises UnicodeDecodeError for the first present string cell that is not UTF-8, naming the
// column and the row; returns when there is none.
void raise_if_not_utf8(const std::string& name, const Column& column) {
    const ColumnView view(column);
    for (std::size_t i = 0; i < view.size(); ++i) {
        if (!view.present(i) || view.type_at(i) != kString) continue;
        const std::string_view text = view.string_at(i);
        const std::size_t bad = first_invalid_utf8(text);
        if (bad == text.size()) continue;
        const std::string reason = "the string in column '" + name + "' at row " +
                                   std::to_string(i) + " (counting from 0) is not valid UTF-8";
        // Column names are bytes that need not be UTF-8 either: stray bytes show as \xNN.
        const auto reason_text = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
            reason.data(), static_cast<Py_ssize_t>(reason.size()), "backslashreplace"));
        if (!reason_text) throw py::error_already_set();
        const py::object error = py::reinterpret_borrow<py::object>(PyExc_UnicodeDecodeError)(
            "utf-8", py::bytes(text.data(), text.size()), bad, bad + 1, reason_text);
        PyErr_SetObject(PyExc_UnicodeDecodeError, error.ptr());
        throw py::error_already_set();
    }
}

PyObject* text_object(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* cell_object(const ColumnView& cells, std::size_t i) {
    return cells.visit(i, [](auto v) -> PyObject* {
        using T = decltype(v);
        if constexpr (std::is_same_v<T, std::int64_t>) {
            return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<T, double>) {
            return PyFloat_FromDouble(v);
        } else if constexpr (std::is_same_v<T, std::string_view>) {
            return text_object(v);
        } else {
            return Py_NewRef(v ? Py_True : Py_False);
        }
    });
}

// Sets every item of a new list of the column's length: None for a missing row, make(i)
// otherwise. A failed item leaves the rest unset, which the list's destructor allows.
template <class Make>
void fill_list(PyObject* list, const ColumnView& column, Make make) {
    const std::size_t n = column.size();
    const auto put = [list](std::size_t i, PyObject* item) {
        if (item == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    };
    if (!column.any_missing()) {
        for (std::size_t i = 0; i < n; ++i) put(i, make(i));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) put(i, column.missing(i) ? Py_NewRef(Py_None) : make(i));
}

}  // namespace

py::typing::List<py::object> column_to_python(const Column& column) {
    auto list = py::reinterpret_steal<py::list>(PyList_New(static_cast<Py_ssize_t>(column.size())));
    if (!list) throw py::error_already_set();
    PyObject* const raw = list.ptr();
    const ColumnView view(column);
    view.dispatch([&](const auto& cells) {
        using Cells = std::decay_t<decltype(cells)>;
        if constexpr (std::is_same_v<Cells, IntCells>) {
            fill_list(raw, view, [&cells](std::size_t i) { return PyLong_FromLongLong(cells[i]); });
        } else if constexpr (std::is_same_v<Cells, DoubleCells>) {
            fill_list(raw, view, [&cells](std::size_t i) { return PyFloat_FromDouble(cells[i]); });
        } else if constexpr (std::is_same_v<Cells, BoolCells>) {
            fill_list(raw, view,
                      [&cells](std::size_t i) { return Py_NewRef(cells[i] ? Py_True : Py_False); });
        } else if constexpr (std::is_same_v<Cells, StringColumnCells>) {
            fill_list(raw, view,
                      [&cells](std::size_t i) { return text_object(cells.strings->at(i)); });
        } else {
            fill_list(raw, view, [&view](std::size_t i) { return cell_object(view, i); });
        }
    });
    return py::reinterpret_steal<py::typing::List<py::object>>(list.release());
}

py::typing::List<py::object> column_to_python(const std::string& name, const Column& column) {
    try {
        return column_to_python(column);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        raise_if_not_utf8(name, column);
        throw;
    }
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
