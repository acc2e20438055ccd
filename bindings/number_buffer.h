// A Python object's memory read as numbers, through the buffer protocol alone: numpy arrays,
// array.array and memoryviews give a column without one Python object per item.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// An IEEE binary16 value, exactly, as a double (NaN stays NaN with its sign).
constexpr double half_to_double(std::uint16_t half) noexcept {
    const std::uint64_t sign = static_cast<std::uint64_t>(half >> 15) << 63;
    const unsigned exponent = (half >> 10) & 0x1fu;
    const std::uint64_t mantissa = half & 0x3ffu;
    if (exponent == 0x1fu) {  // infinity or NaN: the payload moves to the top of the fraction
        return std::bit_cast<double>(sign | (std::uint64_t{0x7ff} << 52) | (mantissa << 42));
    }
    if (exponent != 0) {
        return std::bit_cast<double>(sign | (std::uint64_t{exponent - 15 + 1023} << 52) |
                                     (mantissa << 42));
    }
    if (mantissa == 0) return std::bit_cast<double>(sign);
    // Subnormal: 2**-24 per unit, which a double holds exactly.
    const double magnitude = static_cast<double>(mantissa) * 0x1p-24;
    return sign != 0 ? -magnitude : magnitude;
}

}  // namespace kelvra
