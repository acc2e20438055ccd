// The module definition and the registration of DataFrame and the readers.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "../core/dataframe.h"
#include "../io/common/utf8.h"
#include "arrow_capsule.h"
#include "convert.h"

namespace py = pybind11;

// DataFrame.__new__ alone makes an object whose table was never constructed: pybind11 would hand
// the methods uninitialised memory. Every method receives its table through this caster, which
// refuses such an object with TypeError.
namespace pybind11::detail {
template <>
class type_caster<PyDataFrame> : public type_caster_base<PyDataFrame> {
public:
    bool load(handle src, bool convert) {
        return load_impl<type_caster<PyDataFrame>>(src, convert);
    }
    void load_value(value_and_holder&& v_h) {
        if (!v_h.holder_constructed()) {
            throw type_error(
                "this kelvra.DataFrame has no table: it was made by __new__ "
                "without __init__");
        }
        type_caster_base<PyDataFrame>::load_value(std::move(v_h));
    }
};
}  // namespace pybind11::detail

namespace {

// The Python exception pybind11 gives a standard exception.
PyObject* python_type_of(const std::exception& e) {
    if (dynamic_cast<const std::out_of_range*>(&e)) return PyExc_IndexError;
    if (dynamic_cast<const std::overflow_error*>(&e)) return PyExc_OverflowError;
    if (dynamic_cast<const std::invalid_argument*>(&e) ||
        dynamic_cast<const std::domain_error*>(&e) || dynamic_cast<const std::length_error*>(&e) ||
        dynamic_cast<const std::range_error*>(&e)) {
        return PyExc_ValueError;
    }
    return PyExc_RuntimeError;
}

// Messages name paths and column names, which are bytes and need not be UTF-8. pybind11 would
// decode such a message strictly and raise UnicodeDecodeError instead; here its stray bytes
// become \xNN escapes and the exception keeps its type. Valid messages go to pybind11 as they are.
void translate_non_utf8_message(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const std::exception& e) {
        const std::string_view what = e.what();
        if (kelvra::is_utf8(what)) throw;
        const auto text = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
            what.data(), static_cast<Py_ssize_t>(what.size()), "backslashreplace"));
        if (!text) return;  // the decoder's own error (memory) stands
        PyErr_SetObject(python_type_of(e), text.ptr());
    }
}

// The first C++ exception a thread throws makes the C++ runtime allocate the thread's exception
// state (thread-local storage of a library loaded after the interpreter started). When memory
// has run out by then, the C library aborts the process instead. Allocating it for the importing
// thread now, by throwing one exception while memory is available, lets a MemoryError raised
// later on that thread reach Python.
void prepare_exception_state() {
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
}

// head's text goes through sys.stdout, so that redirection, capture and notebooks see it and it
// stays in order with print(). Bytes that are not UTF-8 (text read from a file) show as U+FFFD.
void write_to_stdout(const std::string& text) {
    const py::object out = py::module_::import("sys").attr("stdout");
    if (out.is_none()) return;
    auto str = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!str) throw py::error_already_set();
    out.attr("write")(str);
}

}  // namespace

PYBIND11_MODULE(kelvra, m) {
    prepare_exception_state();
    py::register_local_exception_translator(translate_non_utf8_message);
    m.doc() = "Kelvra - High-performance DataFrame library";

    py::class_<PyDataFrame>(m, "DataFrame")
        .def(py::init<>())
        .def("__setitem__",
             [](PyDataFrame& self, const std::string& name, const kelvra::ColumnValues& values) {
                 self.set_column(name, kelvra::column_from_python(values));
             })
        .def("__getitem__",
             [](PyDataFrame& self, const std::string& name) -> py::typing::List<py::object> {
                 const auto column = self.get_column(name);
                 if (!column) return py::typing::List<py::object>();
                 return kelvra::column_to_python(name, *column);
             })
        .def(
            "shape",
            [](PyDataFrame& self) {
                const auto [rows, cols] = self.shape();
                return py::make_tuple(rows, cols);
            },
            "Get shape as (rows, cols)")
        .def(
            "columns", [](PyDataFrame& self) { return self.column_names(); }, "Get column names")
        .def(
            "select",
            [](PyDataFrame& self, const std::vector<std::string>& names) {
                return self.select(names);
            },
            "Select columns")
        .def(
            "filter_gt",
            [](PyDataFrame& self, const std::string& column, double value) {
                return self.filter_gt(column, value);
            },
            "Filter rows where column > value")
        .def(
            "__mul__", [](PyDataFrame& self, double x) { return self.multiply(x); },
            "Multiply by scalar")
        .def(
            "sum", [](PyDataFrame& self) { return kelvra::numbers_to_dict(self.sum()); },
            "Sum of numeric columns")
        .def(
            "mean", [](PyDataFrame& self) { return kelvra::numbers_to_dict(self.mean()); },
            "Mean of numeric columns")
        .def(
            "to_csv", [](PyDataFrame& self, const std::string& path) { self.to_csv(path); },
            "Export to CSV")
        .def(
            "head",
            [](PyDataFrame& self, int n) {
                // A negative n, sign-extended, exceeds every row count and so shows the whole
                // table.
                const auto rows = static_cast<std::size_t>(static_cast<std::int64_t>(n));
                write_to_stdout(self.head(rows).render());
            },
            "Show first n rows", py::arg("n") = 5)
        .def(
            "to_json", [](PyDataFrame& self, const std::string& path) { self.to_json(path); },
            "Export to JSON")
        .def(
            "__arrow_c_stream__",
            [](PyDataFrame& self, const py::object& requested_schema) {
                return kelvra::arrow_stream_capsule(self, requested_schema);
            },
            "Export as an Arrow C stream (the Arrow PyCapsule interface)",
            py::arg("requested_schema") = py::none());

    m.def(
        "read_json", [](const std::string& path) { return PyDataFrame::read_json(path); },
        "Read JSON file");
    m.def(
        "read_csv", [](const std::string& path) { return PyDataFrame::read_csv(path); },
        "Read CSV file");
}
