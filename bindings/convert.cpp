#include "convert.h"

#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "../core/column_builder.h"
#include "../core/column_view.h"
#include "../io/arrow/arrow_import.h"
#include "../io/common/utf8.h"
#include "arrow_source.h"
#include "number_buffer.h"

namespace py = pybind11;

namespace kelvra {
namespace {

// An item that has no cell: the binding library's own wording for a failed strict conversion,
// which callers already meet for every other argument, naming the item's type.
[[noreturn]] void throw_unconvertible_type(PyTypeObject* type) {
    const py::str type_text(reinterpret_cast<PyObject*>(type));
    throw py::cast_error("Unable to cast Python instance of type " + std::string(type_text) +
                         " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile "
                         "in debug mode for details)");
}

[[noreturn]] void throw_unconvertible(PyObject* item) { throw_unconvertible_type(Py_TYPE(item)); }

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

// Items of other libraries that stand for a missing value, or wrap a value: known by their
// types, so that none of those libraries is imported.
enum class Foreign { kNone, kMissing, kArrowScalar };

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

// The other items: numbers of other kinds (numpy's among them) by the numbers ABCs, whose
// lookup waits for the first item that needs them and then serves the rest of the call; and the
// text of anything else.
class LateItems {
public:
    void append(ColumnBuilder& column, PyObject* item) {
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

private:
    // The kind of the item's type, remembered for the type of the last item asked about.
    Foreign foreign(PyObject* item) {
        PyTypeObject* const type = Py_TYPE(item);
        if (last_type_.ptr() != reinterpret_cast<PyObject*>(type)) {
            last_kind_ = foreign_kind(type);
            last_type_ = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
        }
        return last_kind_;
    }

    // A pyarrow scalar: missing when it is not valid, otherwise its as_py() value, converted as
    // any item is.
    void append_arrow_scalar(ColumnBuilder& column, PyObject* item) {
        const auto scalar = py::reinterpret_borrow<py::object>(item);
        if (!py::bool_(scalar.attr("is_valid"))) {
            column.push_null();
            return;
        }
        const py::object value = scalar.attr("as_py")();
        if (!append_plain(column, value.ptr())) append(column, value.ptr());
    }

    py::object last_type_;
    Foreign last_kind_ = Foreign::kNone;

    struct Abcs {
        py::object integral, real, rational;
    };
    const Abcs& abcs() {
        if (!abcs_) {
            const py::module_ numbers = py::module_::import("numbers");
            abcs_ = Abcs{numbers.attr("Integral"), numbers.attr("Real"), numbers.attr("Rational")};
        }
        return *abcs_;
    }

    std::optional<Abcs> abcs_;
};

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

// Appends the items of a list, read in place, from the start while each converts without
// running Python code. Returns where it stopped: the list's size when it took every item.
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

// Appends every item of a list or tuple that nothing else can change while it is read.
void append_items(ColumnBuilder& column, PyObject* items, LateItems& late) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    PyObject* const* const item = PySequence_Fast_ITEMS(items);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!append_plain(column, item[i])) late.append(column, item[i]);
    }
}

template <class Value>
void push_value(ColumnBuilder& column, Value v) {
    if constexpr (std::is_same_v<Value, bool>) {
        column.push_bool(v);
    } else if constexpr (std::is_same_v<Value, double>) {
        column.push_double(v);
    } else {
        column.push_int(v);
    }
}

// n present cells of one type, the i-th being value_at(i), appended as one run. Everything else
// appends a cell at a time.
template <class Value, class ValueAt>
void append_run(ColumnBuilder& column, std::size_t n, ValueAt value_at) {
    static_assert(std::is_same_v<Value, std::int64_t> || std::is_same_v<Value, double> ||
                  std::is_same_v<Value, bool>);
    constexpr CellType type = std::is_same_v<Value, bool>     ? kBool
                              : std::is_same_v<Value, double> ? kDouble
                                                              : kInt;
    if (n == 0) return;
    const PodBuffer<std::uint64_t> present(NullMask::word_count(n), 0);
    std::uint64_t* const payloads = column.number_run(type, n);
    if (payloads == nullptr) {  // the column holds cells of another type
        for (std::size_t i = 0; i < n; ++i) push_value<Value>(column, value_at(i));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Value v = value_at(i);
        if constexpr (std::is_same_v<Value, bool>) {
            payloads[i] = v ? 1u : 0u;
        } else {
            payloads[i] = std::bit_cast<std::uint64_t>(v);
        }
    }
    column.commit_number_run(type, n, present.data(), true);
}

template <class Value, class Stored>
void append_buffer_as(ColumnBuilder& column, const NumberBuffer& buffer) {
    append_run<Value>(column, buffer.size(), [&buffer](std::size_t i) {
        return static_cast<Value>(buffer.at<Stored>(i));
    });
}

template <class Signed, class Unsigned>
void append_integers(ColumnBuilder& column, const NumberBuffer& buffer) {
    if (buffer.kind() == NumberBuffer::Kind::kSigned) {
        append_buffer_as<std::int64_t, Signed>(column, buffer);
    } else {
        append_buffer_as<std::int64_t, Unsigned>(column, buffer);
    }
}

// Unsigned 64-bit items above the signed range fail as they do one by one: the error names the
// type of such an item as the object itself gives it. Each value is checked in the pass that
// copies it, so that one written by another thread in between is never taken unchecked.
void append_unsigned64(ColumnBuilder& column, const NumberBuffer& buffer, PyObject* values) {
    constexpr auto kMax = static_cast<std::uint64_t>(INT64_MAX);
    append_run<std::int64_t>(column, buffer.size(), [&buffer, values](std::size_t i) {
        const auto v = buffer.at<std::uint64_t>(i);
        if (v > kMax) [[unlikely]] {
            const auto item = py::reinterpret_steal<py::object>(
                PySequence_GetItem(values, static_cast<Py_ssize_t>(i)));
            if (!item) throw py::error_already_set();
            throw_unconvertible(item.ptr());
        }
        return static_cast<std::int64_t>(v);
    });
}

// Fills the column straight from the object's memory when it is a run of plain numbers; false
// when it is not, with nothing appended.
bool append_buffer(ColumnBuilder& column, PyObject* values) {
    const NumberBuffer buffer(values);
    if (!buffer.ok()) return false;
    switch (buffer.kind()) {
        case NumberBuffer::Kind::kSigned:
        case NumberBuffer::Kind::kUnsigned:
            switch (buffer.item_size()) {
                case 1:
                    append_integers<std::int8_t, std::uint8_t>(column, buffer);
                    break;
                case 2:
                    append_integers<std::int16_t, std::uint16_t>(column, buffer);
                    break;
                case 4:
                    append_integers<std::int32_t, std::uint32_t>(column, buffer);
                    break;
                default:
                    if (buffer.kind() == NumberBuffer::Kind::kUnsigned) {
                        append_unsigned64(column, buffer, values);
                    } else {
                        append_buffer_as<std::int64_t, std::int64_t>(column, buffer);
                    }
                    break;
            }
            break;
        case NumberBuffer::Kind::kFloat:
            if (buffer.item_size() == 2) {
                append_run<double>(column, buffer.size(), [&buffer](std::size_t i) {
                    return half_to_double(buffer.at<std::uint16_t>(i));
                });
            } else if (buffer.item_size() == 4) {
                append_buffer_as<double, float>(column, buffer);
            } else {
                append_buffer_as<double, double>(column, buffer);
            }
            break;
        case NumberBuffer::Kind::kBool:
            append_run<bool>(column, buffer.size(),
                             [&buffer](std::size_t i) { return buffer.at<std::uint8_t>(i) != 0; });
            break;
    }
    return true;
}

// Any other sequence: its length first and then its items, collected before any is converted,
// as the binding library reads a sequence.
void append_sequence(ColumnBuilder& column, PyObject* sequence, LateItems& late) {
    if (!PySequence_Check(sequence)) {
        // An iterable producer of Arrow values that go item by item.
        const auto items = py::reinterpret_steal<py::object>(PySequence_Tuple(sequence));
        if (!items) throw py::error_already_set();
        append_items(column, items.ptr(), late);
        return;
    }
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) throw py::error_already_set();
    column.reserve(static_cast<std::size_t>(size));
    py::list items;
    for (const py::handle item : py::reinterpret_borrow<py::iterable>(sequence)) items.append(item);
    append_items(column, items.ptr(), late);
}

// Values that offer Arrow, read through it; an unsigned value above the signed 64-bit range
// fails as a Python int out of range does.
bool append_arrow_values(ColumnBuilder& column, PyObject* values) {
    try {
        return append_arrow(column, values);
    } catch (const arrow::IntegerOutOfRange&) {
        throw_unconvertible_type(&PyLong_Type);
    }
}

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

ColumnPtr column_from_python(const ColumnValues& values) {
    PyObject* const source = values.source.ptr();
    auto result = std::make_shared<Column>();
    ColumnBuilder column(*result);
    LateItems late;
    if (PyList_CheckExact(source)) {
        column.reserve(static_cast<std::size_t>(PyList_GET_SIZE(source)));
        const Py_ssize_t done = append_plain_prefix(column, source);
        if (done < PyList_GET_SIZE(source)) {
            // Converting the next item may run Python code (str(), the numbers ABCs) that could
            // change the list: the rest comes from a copy taken now, as if every item had been
            // collected before the first was converted.
            const auto rest =
                py::reinterpret_steal<py::object>(PyList_GetSlice(source, done, PY_SSIZE_T_MAX));
            if (!rest) throw py::error_already_set();
            append_items(column, rest.ptr(), late);
        }
    } else if (PyTuple_CheckExact(source)) {
        column.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(source)));
        append_items(column, source, late);
    } else if (append_arrow_values(column, source)) {
    } else if (PyByteArray_Check(source) || !append_buffer(column, source)) {
        append_sequence(column, source, late);
    }
    column.finish();
    return result;
}

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
