#include "number_buffer.h"

#include <bit>
#include <cstring>
#include <optional>

namespace kelvra {
namespace {

struct Format {
    NumberBuffer::Kind kind;
    Py_ssize_t size;
};

// The kind and item size of a struct-module format of one item ("l", "<q", "=H", "?", ...), or
// nothing for other formats and for a byte order other than the machine's. Without a prefix or
// with '@' the sizes are the C compiler's; with '=', '<' or '>' they are the standard ones.
std::optional<Format> parse_format(const char* format) {
    using Kind = NumberBuffer::Kind;
    if (format == nullptr) return Format{Kind::kUnsigned, 1};  // plain bytes
    bool native_sizes = true;
    switch (*format) {
        case '@':
            ++format;
            break;
        case '=':
            native_sizes = false;
            ++format;
            break;
        case '<':
        case '>':
        case '!': {
            const bool little = *format == '<';
            if (little != (std::endian::native == std::endian::little)) return std::nullopt;
            native_sizes = false;
            ++format;
            break;
        }
        default:
            break;
    }
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    const auto size = [native_sizes](std::size_t native, Py_ssize_t standard) {
        return native_sizes ? static_cast<Py_ssize_t>(native) : standard;
    };
    switch (format[0]) {
        case 'b':
            return Format{Kind::kSigned, 1};
        case 'B':
            return Format{Kind::kUnsigned, 1};
        case 'h':
            return Format{Kind::kSigned, size(sizeof(short), 2)};
        case 'H':
            return Format{Kind::kUnsigned, size(sizeof(short), 2)};
        case 'i':
            return Format{Kind::kSigned, size(sizeof(int), 4)};
        case 'I':
            return Format{Kind::kUnsigned, size(sizeof(int), 4)};
        case 'l':
            return Format{Kind::kSigned, size(sizeof(long), 4)};
        case 'L':
            return Format{Kind::kUnsigned, size(sizeof(long), 4)};
        case 'q':
            return Format{Kind::kSigned, 8};
        case 'Q':
            return Format{Kind::kUnsigned, 8};
        case 'n':
            if (!native_sizes) return std::nullopt;
            return Format{Kind::kSigned, sizeof(Py_ssize_t)};
        case 'N':
            if (!native_sizes) return std::nullopt;
            return Format{Kind::kUnsigned, sizeof(std::size_t)};
        case 'e':
            return Format{Kind::kFloat, 2};
        case 'f':
            return Format{Kind::kFloat, 4};
        case 'd':
            return Format{Kind::kFloat, 8};
        case '?':
            return Format{Kind::kBool, 1};
        default:
            return std::nullopt;
    }
}

bool plain_width(Py_ssize_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

// The exporters whose items are exactly what their memory holds. Others, subclasses of these
// included, may give other items (a numpy masked array gives `masked` for a hidden value), so
// they are read item by item.
bool items_are_memory(PyObject* values) {
    if (PyMemoryView_Check(values)) return true;  // memoryview has no subclasses
    const char* name = Py_TYPE(values)->tp_name;
    return std::strcmp(name, "numpy.ndarray") == 0 || std::strcmp(name, "array.array") == 0;
}

}  // namespace

NumberBuffer::NumberBuffer(PyObject* values) {
    if (!items_are_memory(values) || !PyObject_CheckBuffer(values)) return;
    if (PyObject_GetBuffer(values, &view_, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();  // the exporter refuses this kind of view: its items are read one by one
        return;
    }
    held_ = true;
    const std::optional<Format> format = parse_format(view_.format);
    const bool contiguous =
        view_.ndim == 1 && view_.suboffsets == nullptr &&
        (view_.strides == nullptr || view_.strides[0] == view_.itemsize || view_.shape[0] <= 1);
    if (!format || !contiguous || format->size != view_.itemsize || !plain_width(view_.itemsize)) {
        PyBuffer_Release(&view_);
        held_ = false;
        return;
    }
    kind_ = format->kind;
}

NumberBuffer::~NumberBuffer() {
    if (held_) PyBuffer_Release(&view_);
}

}  // namespace kelvra
