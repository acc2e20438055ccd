// Every number-to-text and text-to-number rule of the library, in one place.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace kelvra {

// Enough room for any int64 or double in any of the forms below.
inline constexpr std::size_t kNumberTextMax = 40;

// Writes an integer in decimal; returns the end of the text.
inline char* format_int(char* out, std::int64_t v) noexcept {
    return std::to_chars(out, out + kNumberTextMax, v).ptr;
}

// The display form: general notation with six significant digits (2.5, 3, 1.23457e+06, 1e-05).
inline char* format_double_display(char* out, double v) noexcept {
    return std::to_chars(out, out + kNumberTextMax, v, std::chars_format::general, 6).ptr;
}

// The lossless form: the shortest text that reads back as the same double, with ".0" added
// when it would otherwise read as an integer (2.0 -> "2.0", 1e6 -> "1e+06").
// Non-finite values come out as inf, -inf, nan.
char* format_double_lossless(char* out, double v) noexcept;

}  // namespace kelvra
