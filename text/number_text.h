// Every number-to-text and text-to-number rule of the library, in one place.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

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

// What a text field holds when read as a number. Sixteen bytes, so it comes back in registers.
struct ParsedNumber {
    enum Kind : unsigned char { kNone, kInt, kDouble };
    Kind kind = kNone;
    union {
        std::int64_t int_value = 0;  // when kind is kInt
        double double_value;         // when kind is kDouble
    };
};

// Reads a whole field as a number, ignoring blanks and tabs at both ends. Sign and digits alone
// make an int64 (kNone when out of range); a decimal literal with a '.' and/or an exponent and
// at least one mantissa digit makes a double (kNone on overflow or underflow to zero). Anything
// else, hex, inf and nan included, is kNone: "12abc" or a date must never become a number.
ParsedNumber parse_whole_number(std::string_view text) noexcept;

// The same forms appended to a text buffer.
inline void append_int(std::string& out, std::int64_t v) {
    char buf[kNumberTextMax];
    out.append(buf, format_int(buf, v));
}
inline void append_double_lossless(std::string& out, double v) {
    char buf[kNumberTextMax];
    out.append(buf, format_double_lossless(buf, v));
}

}  // namespace kelvra
