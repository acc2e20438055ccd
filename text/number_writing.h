// Number to text, in the forms the library writes: format_int; the display form that head()
// shows (format_double_display); the lossless form that the file writers write
// (format_double_lossless). write_int and DoubleWriter write the text of format_int and
// format_double_lossless straight into an output buffer for the writers' per-column loops: the
// same text, faster.
#pragma once

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "powers_of_ten.h"

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

namespace detail {

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The number of decimal digits of v (1 for 0).
inline int digit_count(std::uint64_t v) noexcept {
    const int bits = 64 - std::countl_zero(v | 1);
    const int guess = (bits * 1233) >> 12;  // floor(log10(2^bits)), never more than one too small
    return guess + ((v | 1) >= kPowersOfTen[guess]);  // v | 1: 0 has one digit too
}

// Writes the `digits` decimal digits of v ending at end.
inline void write_digits_backward(char* end, std::uint64_t v) noexcept {
    while (v >= 100) {
        end -= 2;
        std::memcpy(end, kDigitPairs + (v % 100) * 2, 2);
        v /= 100;
    }
    if (v >= 10) {
        std::memcpy(end - 2, kDigitPairs + v * 2, 2);
    } else {
        end[-1] = static_cast<char>('0' + v);
    }
}

// Writes the last `digits` decimal digits of v ending at end, with leading zeros; returns the
// start of what it wrote and leaves in v what is left of it.
inline char* write_low_digits_backward(char* end, std::uint64_t& v, int digits) noexcept {
    for (; digits >= 2; digits -= 2) {
        end -= 2;
        std::memcpy(end, kDigitPairs + (v % 100) * 2, 2);
        v /= 100;
    }
    if (digits != 0) {
        *--end = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return end;
}

}  // namespace detail

// Writes v in decimal with its digit count known; returns the end of the text.
inline char* write_uint(char* out, std::uint64_t v, int digits) noexcept {
    detail::write_digits_backward(out + digits, v);
    return out + digits;
}

// The text of format_int.
inline char* write_int(char* out, std::int64_t v) noexcept {
    std::uint64_t magnitude = static_cast<std::uint64_t>(v);
    if (v < 0) {
        *out++ = '-';
        magnitude = 0 - magnitude;
    }
    return write_uint(out, magnitude, detail::digit_count(magnitude));
}

// The text of format_double_lossless, for the doubles of one column. Most doubles in data are a
// short decimal (2.5, -743.6897): such a double is written from the integer of its digits, which
// is found by scaling by a power of ten and checked by dividing back, an exact test of what a
// reader gives for that decimal. Everything else takes format_double_lossless. The number of
// decimals of the last double is the first guess for the next, as a column's doubles tend to share
// it; a column whose doubles are rarely short stops trying.
class DoubleWriter {
public:
    char* write(char* out, double v) noexcept {
        if (tries_left_ > 0) {
            char* end = write_short(out, v);
            if (end != nullptr) {
                tries_left_ = kTries;
                return end;
            }
            --tries_left_;
        }
        return format_double_lossless(out, v);
    }

private:
    static constexpr int kTries = 64;
    char* write_short(char* out, double v) noexcept;

    int decimals_ = 0;
    int tries_left_ = kTries;
};

}  // namespace kelvra
