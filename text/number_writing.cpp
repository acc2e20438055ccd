#include "number_writing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>

namespace kelvra {

char* format_double_lossless(char* out, double v) noexcept {
    if (std::isnan(v)) {
        constexpr char nan[] = "nan";
        return std::copy(nan, nan + 3, out);
    }
    char* end = std::to_chars(out, out + kNumberTextMax, v).ptr;
    if (std::isinf(v)) return end;
    for (const char* p = out; p != end; ++p) {
        if (*p == '.' || *p == 'e') return end;
    }
    *end++ = '.';
    *end++ = '0';
    return end;
}

namespace {

constexpr int kMaxDecimals = 17;
static_assert(kMaxDecimals < std::ssize(kDoublePowersOfTen));
// Digit integers stay below 10^15. Below 2^50 the scaled double is within 0.25 of the integer of
// a decimal that reads back as it, so rounding finds that integer; only one integer of a given
// number of decimals can read back as the double, and 15 digits keep apart decimals that differ
// in their power of ten, so the decimal with the fewest decimals is the shortest one.
constexpr double kDigitLimit = 1e15;
// Smaller doubles tend to be written in scientific form; they take the general path.
constexpr double kSmallest = 1e-3;

}  // namespace

char* DoubleWriter::write_short(char* out, double v) noexcept {
    const double magnitude = std::fabs(v);
    if (!(magnitude >= kSmallest && magnitude < kDigitLimit)) return nullptr;
    // No decimal with fewer decimals than the first that reads back can read back: it would
    // reappear, times a power of ten, among the integers tried at every later count.
    int decimals = decimals_;
    std::uint64_t digits = 0;
    for (;; ++decimals) {
        if (decimals > kMaxDecimals) return nullptr;
        const double scaled = magnitude * kDoublePowersOfTen[decimals];
        if (scaled >= kDigitLimit) {
            // The guess may have been too many decimals for a large double: start afresh next time.
            decimals_ = 0;
            return nullptr;
        }
        // Signed conversions: x86-64 has no unsigned ones, and the digits fit either way.
        const auto rounded = static_cast<std::int64_t>(scaled + 0.5);
        if (static_cast<double>(rounded) / kDoublePowersOfTen[decimals] == magnitude) {
            digits = static_cast<std::uint64_t>(rounded);
            break;
        }
    }
    decimals_ = decimals;
    while (decimals > 0 && digits % 10 == 0) {
        digits /= 10;
        --decimals;
    }

    // The general form is the shorter of fixed and scientific notation.
    const int count = detail::digit_count(digits);
    if (decimals == 0) {
        int significant = count;
        for (std::uint64_t d = digits; d % 10 == 0; d /= 10) --significant;
        const int scientific = significant + (significant > 1) + 4;  // "d.ddde+XX"
        if (count > scientific) return nullptr;
        if (v < 0) *out++ = '-';
        out = write_uint(out, digits, count);
        out[0] = '.';
        out[1] = '0';
        return out + 2;
    }
    if (count > decimals) {
        if (v < 0) *out++ = '-';
        char* const end = out + count + 1;
        char* point = detail::write_low_digits_backward(end, digits, decimals) - 1;
        *point = '.';
        detail::write_digits_backward(point, digits);
        return end;
    }
    const int fixed = 2 + decimals;  // "0.000ddd"
    const int scientific = count + (count > 1) + 4;
    if (fixed > scientific) return nullptr;
    if (v < 0) *out++ = '-';
    *out++ = '0';
    *out++ = '.';
    for (int i = count; i < decimals; ++i) *out++ = '0';
    return write_uint(out, digits, count);
}

}  // namespace kelvra
