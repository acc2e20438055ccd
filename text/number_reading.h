// Text to number: what a text field holds when read as a number. One rule, read two ways:
// parse_whole_number takes any field; parse_plain_number takes only the commonest fields, faster,
// and gives exactly what parse_whole_number gives for them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "powers_of_ten.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelvra {

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

namespace plain_number_detail {

// The value of n (1 to 8) digits given as byte values 0 to 9 in `values`, the first digit in the
// lowest byte; the bytes above the n are ignored. Eight digits are converted at once: pairs, then
// fours, then the whole.
[[gnu::always_inline]] inline std::uint64_t eight_digit_values(std::uint64_t values,
                                                               std::size_t n) noexcept {
    // The digits move to the top bytes, with zero digits shifted in below them.
    std::uint64_t v = values << (8 * (8 - n));
    v = v * 10 + (v >> 8);
    constexpr std::uint64_t kMask = 0x000000FF000000FFu;
    constexpr std::uint64_t kHundredMillion = 100 + (std::uint64_t{1000000} << 32);
    constexpr std::uint64_t kTenThousand = 1 + (std::uint64_t{10000} << 32);
    return ((v & kMask) * kHundredMillion + ((v >> 16) & kMask) * kTenThousand) >> 32;
}

// The value of the n (1 to 8) decimal digits at p; the bytes after them up to p + 8 are read and
// ignored.
[[gnu::always_inline]] inline std::uint64_t up_to_eight_digits(const char* p,
                                                               std::size_t n) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    // Only the bytes after the digits can borrow, and borrows move up, away from the digits.
    return eight_digit_values(v - 0x3030303030303030u, n);
}

// The value of the n (0 to 16) decimal digits at p.
[[gnu::always_inline]] inline std::uint64_t up_to_sixteen_digits(const char* p,
                                                                 std::size_t n) noexcept {
    if (n == 0) return 0;
    if (n <= 8) return up_to_eight_digits(p, n);
    return up_to_eight_digits(p, n - 8) * 100000000u + up_to_eight_digits(p + n - 8, 8);
}

// The value of the n (0 to 16) decimal digits at p, whose first eight digit values are already
// in `first_eight` (as for eight_digit_values).
[[gnu::always_inline]] inline std::uint64_t digits_at(std::uint64_t first_eight, const char* p,
                                                      std::size_t n) noexcept {
    return n - 1 < 8 ? eight_digit_values(first_eight, n) : up_to_sixteen_digits(p, n);
}

// Reads a field of one digit, the commonest field of a flag column, without the vector.
[[gnu::always_inline]] inline bool one_digit(const char* p, std::size_t size,
                                             std::int64_t& value) noexcept {
    const auto first = static_cast<unsigned char>(static_cast<unsigned char>(*p) - '0');
    if (size != 1 || first > 9) return false;
    value = first;
    return true;
}

// Steps over a field's optional sign; true when it is '-'.
[[gnu::always_inline]] inline bool take_sign(const char*& p, std::size_t& size) noexcept {
    const bool negative = *p == '-';
    const std::size_t sign = static_cast<std::size_t>(negative) | (*p == '+');
    p += sign;
    size -= sign;
    return negative;
}

// The magnitude, negated when `negative`, without a branch: 0 - m or m.
[[gnu::always_inline]] inline std::int64_t with_sign(std::int64_t magnitude,
                                                     bool negative) noexcept {
    const std::int64_t mask = -static_cast<std::int64_t>(negative);
    return (magnitude ^ mask) - mask;
}

// The sign goes on as a bit: signs vary from row to row, and a branch would mispredict.
[[gnu::always_inline]] inline double with_sign_bit(double magnitude, bool negative) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) |
                                 (std::uint64_t{negative} << 63));
}

#if defined(__SSE2__)
// The 16 bytes at p less '0': a digit becomes its value (0 to 9), any other byte a value above 9.
[[gnu::always_inline]] inline __m128i bytes_from_zero(const char* p) noexcept {
    return _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('0'));
}

// A bit for each of the 16 bytes whose value less '0' is `from_zero`: set where it is a digit.
[[gnu::always_inline]] inline unsigned digit_bits(__m128i from_zero) noexcept {
    const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(from_zero, _mm_set1_epi8(9)), from_zero);
    return static_cast<unsigned>(_mm_movemask_epi8(is_digit));
}

// Reads the field [p, p + size) when it is a plain integer (as parse_plain_int says); the value of
// its digits comes from `digits`, given their byte values less '0', their start and their count.
template <typename Digits>
[[gnu::always_inline]] inline bool plain_int_by(const char* p, std::size_t size,
                                                std::int64_t& value, Digits digits) noexcept {
    if (one_digit(p, size, value)) return true;
    const bool negative = take_sign(p, size);
    if (size - 1 >= 16) return false;
    const __m128i from_zero = bytes_from_zero(p);
    const unsigned field = (1u << size) - 1;
    if ((digit_bits(from_zero) & field) != field) return false;
    value = with_sign(static_cast<std::int64_t>(digits(from_zero, p, size)), negative);
    return true;
}

// A field of an optional sign, then 1 to 16 bytes that are digits or '.', taken apart.
struct PlainField {
    __m128i from_zero;  // the bytes after the sign less '0', as bytes_from_zero gives them
    std::size_t size;   // the bytes after the sign
    unsigned points;    // a bit for each '.' among them
    bool negative;
};

// Takes the field [p, p + size) apart when it is a PlainField (p then points past the sign);
// false for any other text. Reads the 17 bytes from p whatever the size.
[[gnu::always_inline]] inline bool take_plain_field(const char*& p, std::size_t size,
                                                    PlainField& field) noexcept {
    if (size == 0) return false;
    field.negative = take_sign(p, size);
    field.size = size;
    if (size - 1 >= 16) return false;
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    field.from_zero = _mm_sub_epi8(text, _mm_set1_epi8('0'));
    const unsigned bytes = (1u << size) - 1;
    const auto points =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('.'))));
    field.points = points & bytes;
    return ((digit_bits(field.from_zero) | points) & bytes) == bytes;
}
#endif

}  // namespace plain_number_detail

// Reads the field [p, p + size) when it is a plain integer: an optional sign and 1 to 16 digits,
// which parse_plain_number reads as the same int64; false for any other text. The integer-only
// path of the readers: no point to look for, one digit taken without the vector test. Reads the
// 17 bytes from p whatever the size.
[[gnu::always_inline]] inline bool parse_plain_int(const char* p, std::size_t size,
                                                   std::int64_t& value) noexcept {
#if defined(__SSE2__)
    using namespace plain_number_detail;
    return plain_int_by(
        p, size, value,
        [](__m128i from_zero, const char* digits, std::size_t n) __attribute__((always_inline)) {
            std::uint64_t first_eight;
            _mm_storel_epi64(reinterpret_cast<__m128i*>(&first_eight), from_zero);
            return digits_at(first_eight, digits, n);
        });
#else
    (void)p;
    (void)size;
    (void)value;
    return false;
#endif
}

// Reads the field [p, p + size) when it is an optional sign and 1 to 8 digits, with no branch on
// what the field holds: `ok` says whether it was one (the value is then what parse_plain_int
// gives); for any other text the value means nothing. Reads the 17 bytes from p whatever the size.
[[gnu::always_inline]] inline std::int64_t short_int_without_branch(const char* p, std::size_t size,
                                                                    bool& ok) noexcept {
#if defined(__SSE2__)
    using namespace plain_number_detail;
    std::size_t n = size;
    const bool negative = take_sign(p, n);
    const bool short_enough = n - 1 < 8;
    const std::size_t taken = short_enough ? n : 8;
    const __m128i from_zero = bytes_from_zero(p);
    const unsigned field = (1u << taken) - 1;
    ok = short_enough & ((digit_bits(from_zero) & field) == field);
    std::uint64_t first_eight;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&first_eight), from_zero);
    return with_sign(static_cast<std::int64_t>(eight_digit_values(first_eight, taken)), negative);
#else
    (void)p;
    (void)size;
    ok = false;
    return 0;
#endif
}

// Reads the field [p, p + size) when it is a plain number, the commonest number field: an
// optional sign, then up to 16 digits with at most one '.' among them. kNone for any other text,
// which parse_whole_number then decides. Reads the 17 bytes from p whatever the size: the
// caller's buffer must hold them.
[[gnu::always_inline]] inline ParsedNumber parse_plain_number(const char* p,
                                                              std::size_t size) noexcept {
#if defined(__SSE2__)
    using namespace plain_number_detail;
    PlainField plain;
    if (!take_plain_field(p, size, plain)) return {};
    const __m128i from_zero = plain.from_zero;
    const bool negative = plain.negative;
    size = plain.size;

    ParsedNumber out;
    // The values of the first eight digits, already in hand.
    std::uint64_t first_eight;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&first_eight), from_zero);
    const unsigned point = plain.points;
    if (point == 0) {
        out.kind = ParsedNumber::kInt;
        out.int_value =
            with_sign(static_cast<std::int64_t>(digits_at(first_eight, p, size)), negative);
        return out;
    }
    // One '.' and at most 15 digits: the digits are an exact double, and so is the power of ten
    // that divides them, so one division rounds correctly.
    if ((point & (point - 1)) != 0 || size == 1) return {};
    const auto at = static_cast<std::size_t>(std::countr_zero(point));
    const std::size_t fraction = size - 1 - at;
    std::uint64_t mantissa;
    if (size <= 9 && at < 8) {
        // At most eight digits, the point before the ninth byte: it is dropped from the byte
        // values in hand (the bytes above it move down one, byte 8 comes in on top), and the
        // digits convert at once.
        const std::uint64_t ninth =
            static_cast<std::uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(from_zero, 8)) & 0xFF);
        const std::uint64_t below = (std::uint64_t{1} << (8 * at)) - 1;
        const std::uint64_t joined =
            (first_eight & below) | ((first_eight >> 8) & ~below) | (ninth << 56);
        mantissa = eight_digit_values(joined, size - 1);
    } else {
        mantissa = digits_at(first_eight, p, at) * kPowersOfTen[fraction] +
                   up_to_sixteen_digits(p + at + 1, fraction);
    }
    const auto value = static_cast<std::int64_t>(mantissa);
    out.kind = ParsedNumber::kDouble;
    out.double_value =
        with_sign_bit(static_cast<double>(value) / kDoublePowersOfTen[fraction], negative);
    return out;
#else
    (void)p;
    (void)size;
    return {};
#endif
}

}  // namespace kelvra
