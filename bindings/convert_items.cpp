#include "convert_items.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace py = pybind11;

namespace kelvra {

[[noreturn]] void throw_unconvertible_type(PyTypeObject* type) {
    const py::str type_text(reinterpret_cast<PyObject*>(type));
    throw py::cast_error("Unable to cast Python instance of type " + std::string(type_text) +
                         " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile "
                         "in debug mode for details)");
}

[[noreturn]] void throw_unconvertible(PyObject* item) { throw_unconvertible_type(Py_TYPE(item)); }

namespace {

// The value of an int (or int subclass) when it lies in the signed 64-bit range. Values of one
// or two digits are read from the object itself; the rest through the interpreter.
bool int64_of(PyObject* number, std::int64_t& out) {
#if PY_VERSION_HEX >= 0x030C0000
    const auto* value = reinterpret_cast<const PyLongObject*>(number);
    if (PyUnstable_Long_IsCompact(value)) {
        out = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(value));
        return true;
    }
#else
    const Py_ssize_t digits = Py_SIZE(number);
    if (digits >= -2 && digits <= 2) {
        const digit* d = reinterpret_cast<const PyLongObject*>(number)->ob_digit;
        std::int64_t magnitude = digits == 0 ? 0 : static_cast<std::int64_t>(d[0]);
        if (digits == 2 || digits == -2) {
            magnitude |= static_cast<std::int64_t>(d[1]) << PyLong_SHIFT;
        }
        out = digits < 0 ? -magnitude : magnitude;
        return true;
    }
#endif
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow != 0) return false;
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    out = static_cast<std::int64_t>(v);
    return true;
}

// Appends the text of a str (or str subclass) as UTF-8: ASCII text in place, the rest through
// the interpreter's cached UTF-8 form. Text holding a lone surrogate has no UTF-8 form.
void push_text(ColumnBuilder& column, PyObject* text) {
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        column.push_string({static_cast<const char*>(PyUnicode_DATA(text)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))});
        return;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        throw_unconvertible(text);
    }
    column.push_string({data, static_cast<std::size_t>(size)});
}

void push_int_object(ColumnBuilder& column, PyObject* number) {
    std::int64_t v = 0;
    if (!int64_of(number, v)) throw_unconvertible(number);
    column.push_int(v);
}

// Appends an item of the kinds that convert without running any Python code: None, bool, int,
// float, str and their subclasses. Returns false, appending nothing, for any other item. The
// exact types come first, each one comparison; a subclass test walks the type's bases.
bool append_plain(ColumnBuilder& column, PyObject* item) {
    if (item == Py_None) {
        column.push_null();
    } else if (PyLong_CheckExact(item)) {
        push_int_object(column, item);
    } else if (PyUnicode_CheckExact(item)) {
        push_text(column, item);
    } else if (PyFloat_CheckExact(item)) {
        column.push_double(PyFloat_AS_DOUBLE(item));
    } else if (item == Py_True || item == Py_False) {
        column.push_bool(item == Py_True);
    } else if (PyLong_Check(item)) {
        push_int_object(column, item);
    } else if (PyFloat_Check(item)) {
        column.push_double(PyFloat_AS_DOUBLE(item));
    } else if (PyUnicode_Check(item)) {
        push_text(column, item);
    } else {
        return false;
    }
    return true;
}

bool is_instance(PyObject* item, const py::object& cls) {
    const int result = PyObject_IsInstance(item, cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// numpy's boolean scalar, known by its type's name so that numpy need not be imported (numpy 1
// called it bool_).
bool is_numpy_bool(PyObject* item) {
    const char* name = Py_TYPE(item)->tp_name;
    return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

// Whether a type is `name` of the package (or a module inside it). A static type's tp_name holds
// its module; a class's gives its name alone, and __module__ the module.
bool type_is(PyTypeObject* type, std::string_view package, std::string_view name) {
    const std::string_view full = type->tp_name;
    const std::size_t dot = full.rfind('.');
    if ((dot == std::string_view::npos ? full : full.substr(dot + 1)) != name) return false;
    std::string module;
    if (dot != std::string_view::npos) {
        module = full.substr(0, dot);
    } else {
        const auto attr = py::reinterpret_steal<py::object>(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
        if (!attr || !PyUnicode_Check(attr.ptr())) {
            PyErr_Clear();
            return false;
        }
        module = py::cast<std::string>(attr);
    }
    return module.starts_with(package) &&
           (module.size() == package.size() || module[package.size()] == '.');
}

Foreign foreign_kind(PyTypeObject* type) {
    if (type_is(type, "pandas", "NAType") || type_is(type, "pandas", "NaTType") ||
        type_is(type, "numpy", "MaskedConstant")) {
        return Foreign::kMissing;
    }
    const auto mro = py::reinterpret_borrow<py::object>(type->tp_mro);
    if (mro && PyTuple_Check(mro.ptr())) {
        for (const py::handle base : py::reinterpret_borrow<py::tuple>(mro)) {
            if (PyType_Check(base.ptr()) &&
                type_is(reinterpret_cast<PyTypeObject*>(base.ptr()), "pyarrow", "Scalar")) {
                return Foreign::kArrowScalar;
            }
        }
    }
    return Foreign::kNone;
}

// On a free-threaded interpreter another thread may change a list while it is read in place: its
// critical section keeps the list still. The interpreter suspends the section while this thread
// waits for another lock (a str's, for its UTF-8 form), so each item is held while it is read.
class ListReadLock {
public:
#if defined(Py_GIL_DISABLED)
    explicit ListReadLock(PyObject* list) { PyCriticalSection_Begin(&section_, list); }
    ~ListReadLock() { PyCriticalSection_End(&section_); }
#else
    explicit ListReadLock(PyObject*) {}
#endif
    ListReadLock(const ListReadLock&) = delete;
    ListReadLock& operator=(const ListReadLock&) = delete;

private:
#if defined(Py_GIL_DISABLED)
    PyCriticalSection section_;
#endif
};

}  // namespace

void LateItems::append(ColumnBuilder& column, PyObject* item) {
    switch (foreign(item)) {
        case Foreign::kMissing:
            column.push_null();
            return;
        case Foreign::kArrowScalar:
            append_arrow_scalar(column, item);
            return;
        default:
            break;
    }
    if (is_instance(item, abcs().integral)) {
        const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(item));
        if (!index) throw py::error_already_set();
        std::int64_t v = 0;
        if (!int64_of(index.ptr(), v)) throw_unconvertible(item);
        column.push_int(v);
    } else if (is_numpy_bool(item)) {
        const int truth = PyObject_IsTrue(item);
        if (truth < 0) throw py::error_already_set();
        column.push_bool(truth != 0);
    } else if (is_instance(item, abcs().real) && !is_instance(item, abcs().rational)) {
        const auto number = py::reinterpret_steal<py::object>(PyNumber_Float(item));
        if (!number) throw py::error_already_set();
        column.push_double(PyFloat_AS_DOUBLE(number.ptr()));
    } else {
        const auto text = py::reinterpret_steal<py::object>(PyObject_Str(item));
        if (!text) throw py::error_already_set();
        push_text(column, text.ptr());
    }
}

Foreign LateItems::foreign(PyObject* item) {
    PyTypeObject* const type = Py_TYPE(item);
    if (last_type_.ptr() != reinterpret_cast<PyObject*>(type)) {
        last_kind_ = foreign_kind(type);
        last_type_ = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
    }
    return last_kind_;
}

void LateItems::append_arrow_scalar(ColumnBuilder& column, PyObject* item) {
    const auto scalar = py::reinterpret_borrow<py::object>(item);
    if (!py::bool_(scalar.attr("is_valid"))) {
        column.push_null();
        return;
    }
    const py::object value = scalar.attr("as_py")();
    if (!append_plain(column, value.ptr())) append(column, value.ptr());
}

const LateItems::Abcs& LateItems::abcs() {
    if (!abcs_) {
        const py::module_ numbers = py::module_::import("numbers");
        abcs_ = Abcs{numbers.attr("Integral"), numbers.attr("Real"), numbers.attr("Rational")};
    }
    return *abcs_;
}

Py_ssize_t append_plain_prefix(ColumnBuilder& column, PyObject* list) {
    const ListReadLock lock(list);
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(list); ++i) {
#if defined(Py_GIL_DISABLED)
        const auto item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, i));
        if (!append_plain(column, item.ptr())) break;
#else
        if (!append_plain(column, PyList_GET_ITEM(list, i))) break;
#endif
    }
    return i;
}

void append_items(ColumnBuilder& column, PyObject* items, LateItems& late) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    PyObject* const* const item = PySequence_Fast_ITEMS(items);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!append_plain(column, item[i])) late.append(column, item[i]);
    }
}

}  // namespace kelvra
