// A Python object's memory read as numbers, through the buffer protocol alone: numpy arrays,
// array.array and memoryviews give a column without one Python object per item.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../text/half_float.h"

namespace kelvra {

// The buffer of a numpy array, array.array or memoryview while it is one contiguous dimension of
// native-order integers (8 to 64 bits, signed or not), floats of 16, 32 or 64 bits, or booleans;
// otherwise nothing is held and ok() is false (no Python error is left set). Anything else is
// read item by item.
class NumberBuffer {
public:
    enum class Kind { kSigned, kUnsigned, kFloat, kBool };

    explicit NumberBuffer(PyObject* values);
    ~NumberBuffer();
    NumberBuffer(const NumberBuffer&) = delete;
    NumberBuffer& operator=(const NumberBuffer&) = delete;

    bool ok() const noexcept { return held_; }
    Kind kind() const noexcept { return kind_; }
    // Bytes per item: 1, 2, 4 or 8.
    std::size_t item_size() const noexcept { return static_cast<std::size_t>(view_.itemsize); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }
    const unsigned char* bytes() const noexcept {
        return static_cast<const unsigned char*>(view_.buf);
    }

    // Item i as T (the type of item_size() bytes); exporters need not align their memory.
    template <class T>
    T at(std::size_t i) const noexcept {
        T v;
        std::memcpy(&v, bytes() + i * sizeof(T), sizeof(T));
        return v;
    }

private:
    Py_buffer view_{};
    Kind kind_ = Kind::kSigned;
    bool held_ = false;
};

}  // namespace kelvra
