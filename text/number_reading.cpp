#include "number_reading.h"

#include "plain_number_ssse3.h"

#if defined(KELVRA_PLAIN_NUMBER_SSSE3)
#include <cpuid.h>
#endif

#include <charconv>
#include <cstddef>
#include <iterator>
#include <system_error>

namespace kelvra {

namespace {

constexpr bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Up to this many digits an int64 cannot overflow, so it is accumulated while scanning.
constexpr std::ptrdiff_t kSafeDigits = 18;

// The exact case for doubles: at most 19 digits (no uint64 overflow) whose value fits the 53-bit
// significand, scaled by a power of ten that is itself exact (up to 1e22).
constexpr std::ptrdiff_t kExactDigits = 19;
constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
constexpr std::ptrdiff_t kExactPowers = std::ssize(kDoublePowersOfTen) - 1;
// Exponents beyond this are out of range whatever the digits; the general conversion sorts them.
constexpr std::ptrdiff_t kExponentCap = 100000;

}  // namespace

#if defined(KELVRA_PLAIN_NUMBER_SSSE3)
bool cpu_has_ssse3() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSSE3) != 0;
}
#endif

ParsedNumber parse_whole_number(std::string_view text) noexcept {
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin != end && is_blank(*begin)) ++begin;
    while (end != begin && is_blank(end[-1])) --end;
    if (begin == end) return {};

    // from_chars takes a '-' but not a '+'.
    const char* p = begin;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    const char* const number = negative ? begin : p;

    const char* const int_digits = p;
    std::uint64_t accumulated = 0;
    while (p != end && is_digit(*p)) {
        accumulated = accumulated * 10 + static_cast<unsigned>(*p++ - '0');
    }
    std::ptrdiff_t mantissa_digits = p - int_digits;

    ParsedNumber out;
    if (p == end) {
        if (mantissa_digits == 0) return {};
        if (mantissa_digits <= kSafeDigits) {
            const auto magnitude = static_cast<std::int64_t>(accumulated);
            out.int_value = negative ? -magnitude : magnitude;
        } else if (std::from_chars(number, end, out.int_value).ec != std::errc{}) {
            return {};
        }
        out.kind = ParsedNumber::kInt;
        return out;
    }

    bool has_point = false;
    std::ptrdiff_t fraction_digits = 0;
    if (*p == '.') {
        has_point = true;
        const char* const fraction = ++p;
        while (p != end && is_digit(*p)) {
            accumulated = accumulated * 10 + static_cast<unsigned>(*p++ - '0');
        }
        fraction_digits = p - fraction;
        mantissa_digits += fraction_digits;
    }
    if (mantissa_digits == 0) return {};
    std::ptrdiff_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
        const char* const exponent_digits = p;
        for (; p != end && is_digit(*p); ++p) {
            if (exponent < kExponentCap) exponent = exponent * 10 + (*p - '0');
        }
        if (p == exponent_digits) return {};
        if (exponent_negative) exponent = -exponent;
    } else if (!has_point) {
        return {};
    }
    if (p != end) return {};

    // When the digits and the power of ten are both exact doubles, one multiplication or
    // division rounds correctly; this covers most data and skips the general conversion.
    const std::ptrdiff_t scale = exponent - fraction_digits;
    if (mantissa_digits <= kExactDigits && accumulated <= kExactMantissa &&
        scale >= -kExactPowers && scale <= kExactPowers) {
        const auto digits = static_cast<double>(accumulated);
        const double magnitude =
            scale < 0 ? digits / kDoublePowersOfTen[-scale] : digits * kDoublePowersOfTen[scale];
        out.double_value = negative ? -magnitude : magnitude;
        out.kind = ParsedNumber::kDouble;
        return out;
    }

    const auto [stop, ec] = std::from_chars(number, end, out.double_value);
    if (ec != std::errc{} || stop != end) return {};
    out.kind = ParsedNumber::kDouble;
    return out;
}

}  // namespace kelvra
