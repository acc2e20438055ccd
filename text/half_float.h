// Half-precision floats, as numpy and Arrow hold them.
#pragma once

#include <bit>
#include <cstdint>

namespace kelvra {

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
