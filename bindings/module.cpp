// The module definition and the registration of DataFrame and the readers.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../core/dataframe.h"
#include "convert.h"

namespace py = pybind11;

namespace {

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
    m.doc() = "Kelvra - High-performance DataFrame library";

    py::class_<PyDataFrame>(m, "DataFrame")
        .def(py::init<>())
        .def("__setitem__",
             [](PyDataFrame& self, const std::string& name, const std::vector<py::object>& values) {
                 self.set_column(name, kelvra::column_from_python(values));
             })
        .def("__getitem__",
             [](PyDataFrame& self, const std::string& name) -> py::typing::List<py::object> {
                 const auto column = self.get_column(name);
                 if (!column) return py::typing::List<py::object>();
                 return kelvra::column_to_python(*column);
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
                // A negative n, sign-extended, exceeds every row count and so shows the whole table.
                const auto rows = static_cast<std::size_t>(static_cast<std::int64_t>(n));
                write_to_stdout(self.head(rows).render());
            },
            "Show first n rows", py::arg("n") = 5)
        .def(
            "to_json", [](PyDataFrame& self, const std::string& path) { self.to_json(path); },
            "Export to JSON");

    m.def(
        "read_json", [](const std::string& path) { return PyDataFrame::read_json(path); },
        "Read JSON file");
    m.def(
        "read_csv", [](const std::string& path) { return PyDataFrame::read_csv(path); },
        "Read CSV file");
}
