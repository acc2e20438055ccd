// Python items converted one at a time into cells: the plain kinds (None, bool, int, float, str
// and their subclasses) without running any Python code, and every other item after them.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <optional>

#include "../core/column_builder.h"

namespace kelvra {

// An item that has no cell: the binding library's own wording for a failed strict conversion,
// which callers already meet for every other argument, naming the item's type.
[[noreturn]] void throw_unconvertible_type(PyTypeObject* type);

// The same, naming the item's own type.
[[noreturn]] void throw_unconvertible(PyObject* item);

// Items of other libraries that stand for a missing value, or wrap a value: known by their
// types, so that none of those libraries is imported.
enum class Foreign { kNone, kMissing, kArrowScalar };

// The other items: numbers of other kinds (numpy's among them) by the numbers ABCs, whose
// lookup waits for the first item that needs them and then serves the rest of the call; and the
// text of anything else.
class LateItems {
public:
    void append(ColumnBuilder& column, PyObject* item);

private:
    // The kind of the item's type, remembered for the type of the last item asked about.
    Foreign foreign(PyObject* item);

    // A pyarrow scalar: missing when it is not valid, otherwise its as_py() value, converted as
    // any item is.
    void append_arrow_scalar(ColumnBuilder& column, PyObject* item);

    pybind11::object last_type_;
    Foreign last_kind_ = Foreign::kNone;

    struct Abcs {
        pybind11::object integral, real, rational;
    };
    const Abcs& abcs();

    std::optional<Abcs> abcs_;
};

// Appends the items of a list, read in place, from the start while each converts without
// running Python code. Returns where it stopped: the list's size when it took every item.
Py_ssize_t append_plain_prefix(ColumnBuilder& column, PyObject* list);

// Appends every item of a list or tuple that nothing else can change while it is read.
void append_items(ColumnBuilder& column, PyObject* items, LateItems& late);

}  // namespace kelvra
