// Python values into a column, by where they come from: a list or tuple item by item, Arrow,
// an object's memory of plain numbers, or any other sequence.
#include "convert.h"

#include <Python.h>

#include <bit>
#include <cstdint>
#include <type_traits>

#include "../core/column_builder.h"
#include "../io/arrow/arrow_import.h"
#include "arrow_chunks.h"
#include "arrow_source.h"
#include "convert_items.h"
#include "number_buffer.h"

namespace py = pybind11;

namespace kelvra {
namespace {

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
    } else {
        // Values in many small chunks come in one piece where their producer gives one cheaply.
        const py::object whole = offers_arrow(source) ? with_fewer_chunks(source)
                                                      : py::reinterpret_borrow<py::object>(source);
        PyObject* const from = whole.ptr();
        if (!append_arrow(column, from) &&
            (PyByteArray_Check(from) || !append_buffer(column, from))) {
            append_sequence(column, from, late);
        }
    }
    column.finish();
    return result;
}

}  // namespace kelvra
