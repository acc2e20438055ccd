// The only place where cells cross between Python objects and the table.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "../core/dataframe.h"
#include "arrow_source.h"

namespace kelvra {

// The values given for a column, as the Python object itself: a sequence or a producer of Arrow
// values as given, or a tuple of the items of any other iterable that is accepted (a set, a
// generator, a dict view, map, zip).
// Its items are converted straight into the column, with no list of objects in between.
struct ColumnValues {
    pybind11::object source;
};

// Builds a column from Python objects; on any failure nothing outside the call has changed.
ColumnPtr column_from_python(const ColumnValues& values);

// The column as a new Python list: None for missing rows, int/float/str/bool otherwise.
pybind11::typing::List<pybind11::object> column_to_python(const Column& column);

// The same for the column of that name: a string cell that is not UTF-8 raises UnicodeDecodeError
// naming the column and the row.
pybind11::typing::List<pybind11::object> column_to_python(const std::string& name,
                                                          const Column& column);

// A dict from column name to float, in the order given.
pybind11::dict numbers_to_dict(const ColumnNumbers& numbers);

}  // namespace kelvra

namespace pybind11::detail {

// Accepts exactly the objects that the library's std::vector<object> conversion accepts (refusing
// the rest, str and bytes among them, with the same TypeError), and shows the same signature,
// but keeps the object instead of copying its items into a vector.
template <>
struct type_caster<kelvra::ColumnValues> {
    PYBIND11_TYPE_CASTER(kelvra::ColumnValues, io_name("collections.abc.Sequence", "list") +
                                                   const_name("[") + make_caster<object>::name +
                                                   const_name("]"));

    bool load(handle src, bool convert) {
        PyObject* const raw = src.ptr();
        if (!PyList_CheckExact(raw) && !PyTuple_CheckExact(raw) && !PyUnicode_Check(raw) &&
            !PyBytes_Check(raw) && kelvra::offers_arrow(raw)) {
            // Read through Arrow, or item by item when it gives no cells.
            value.source = reinterpret_borrow<object>(src);
            return true;
        }
        if (!object_is_convertible_to_std_vector(src)) return false;
        if (isinstance<sequence>(src)) {
            value.source = reinterpret_borrow<object>(src);
            return true;
        }
        if (!convert) return false;
        // Like the library, a generator is drained here, before the call, never left half-read.
        value.source = tuple(reinterpret_borrow<iterable>(src));
        return true;
    }
};

}  // namespace pybind11::detail
