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
    // Each format code with its kind, its C compiler's size and its standard size (0: none).
    struct Code {
        char code;
        NumberBuffer::Kind kind;
        std::size_t native;
        Py_ssize_t standard;
    };
    static constexpr Code kCodes[] = {
        {'b', Kind::kSigned, 1, 1},
        {'B', Kind::kUnsigned, 1, 1},
        {'h', Kind::kSigned, sizeof(short), 2},
        {'H', Kind::kUnsigned, sizeof(short), 2},
        {'i', Kind::kSigned, sizeof(int), 4},
        {'I', Kind::kUnsigned, sizeof(int), 4},
        {'l', Kind::kSigned, sizeof(long), 4},
        {'L', Kind::kUnsigned, sizeof(long), 4},
        {'q', Kind::kSigned, 8, 8},
        {'Q', Kind::kUnsigned, 8, 8},
        {'n', Kind::kSigned, sizeof(Py_ssize_t), 0},
        {'N', Kind::kUnsigned, sizeof(std::size_t), 0},
        {'e', Kind::kFloat, 2, 2},
        {'f', Kind::kFloat, 4, 4},
        {'d', Kind::kFloat, 8, 8},
        {'?', Kind::kBool, 1, 1},
    };
    for (const Code& code : kCodes) {
        if (code.code != format[0]) continue;
        const Py_ssize_t size = native_sizes ? static_cast<Py_ssize_t>(code.native) : code.standard;
        if (size == 0) return std::nullopt;
        return Format{code.kind, size};
    }
    return std::nullopt;
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
