// The plain number readings of number_reading.h on a CPU with SSSE3 (cpu_has_ssse3 tells; nearly
// every x86-64 CPU): one byte shuffle gathers a field's digits, past its '.', into the last bytes
// of a vector, and three multiply-adds across the vector give their value. They give exactly what
// parse_plain_int and parse_plain_number give, for every field. The two SSSE3 instructions are
// written as such, so that these inline into code built for any x86-64 CPU, which calls them only
// where the CPU has SSSE3.
#pragma once

#include "number_reading.h"

#if defined(__x86_64__) && defined(__SSE2__)
#define KELVRA_PLAIN_NUMBER_SSSE3 1

namespace kelvra {

// Whether this CPU runs SSSE3 instructions.
bool cpu_has_ssse3() noexcept;

namespace plain_number_detail {

// kNoPoint stands for the position of the '.' of a field that has none.
inline constexpr std::size_t kNoPoint = 16;

// Shuffle controls: control[point][size] takes the digits of a field of `size` bytes, skipping
// the '.' at byte `point`, to the last bytes of the vector in their order; the bytes before them
// are zero (a control byte with its top bit set).
struct DigitGather {
    alignas(16) unsigned char control[kNoPoint + 1][17][16];
};
[[gnu::visibility("hidden")]] inline constexpr DigitGather kDigitGather = [] {
    DigitGather gather{};
    for (std::size_t point = 0; point <= kNoPoint; ++point) {
        for (std::size_t size = 0; size <= 16; ++size) {
            unsigned char* const control = gather.control[point][size];
            const std::size_t digits = size - (point < size ? 1 : 0);
            std::size_t to = 16 - digits;
            for (std::size_t i = 0; i < 16 - digits; ++i) control[i] = 0x80;
            for (std::size_t from = 0; from < size; ++from) {
                if (from != point) control[to++] = static_cast<unsigned char>(from);
            }
        }
    }
    return gather;
}();

// SSSE3's pshufb: the bytes of v that the control bytes name, zero where a control byte's top bit
// is set.
[[gnu::always_inline]] inline __m128i shuffle_bytes(__m128i v, __m128i control) noexcept {
    __asm__("pshufb %1, %0" : "+x"(v) : "xm"(control));
    return v;
}

// SSSE3's pmaddubsw: each pair of unsigned bytes of v times the pair of signed bytes of weights,
// added into 16 bits.
[[gnu::always_inline]] inline __m128i multiply_add_bytes(__m128i v, __m128i weights) noexcept {
    __asm__("pmaddubsw %1, %0" : "+x"(v) : "xm"(weights));
    return v;
}

// The value of the 16 digit values (0 to 9) in v, the first the most significant: pairs, then
// fours, then eights, each a multiply-add across the vector.
[[gnu::always_inline]] inline std::uint64_t sixteen_digit_values(__m128i v) noexcept {
    const __m128i pairs = multiply_add_bytes(v, _mm_set1_epi16(10 + (1 << 8)));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(100 + (1 << 16)));
    // Each four is below 10,000, so it packs into 16 bits as it is.
    const __m128i packed = _mm_packs_epi32(fours, fours);
    const __m128i eights = _mm_madd_epi16(packed, _mm_set1_epi32(10000 + (1 << 16)));
    const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    return (both & 0xFFFFFFFFu) * 100000000u + (both >> 32);
}

// The value of the digits of the field [p, p + size) (at most 16 bytes) whose byte values less
// '0' are `from_zero`, the '.' at byte `point` (kNoPoint when it has none) left out.
[[gnu::always_inline]] inline std::uint64_t gathered_digits(__m128i from_zero, std::size_t point,
                                                            std::size_t size) noexcept {
    const __m128i control =
        _mm_load_si128(reinterpret_cast<const __m128i*>(kDigitGather.control[point][size]));
    return sixteen_digit_values(shuffle_bytes(from_zero, control));
}

}  // namespace plain_number_detail

// parse_plain_int with SSSE3.
[[gnu::always_inline]] inline bool parse_plain_int_ssse3(const char* p, std::size_t size,
                                                         std::int64_t& value) noexcept {
    using namespace plain_number_detail;
    return plain_int_by(
        p, size, value,
        [](__m128i from_zero, const char*, std::size_t n)
            __attribute__((always_inline)) { return gathered_digits(from_zero, kNoPoint, n); });
}

// parse_plain_number with SSSE3.
[[gnu::always_inline]] inline ParsedNumber parse_plain_number_ssse3(const char* p,
                                                                    std::size_t size) noexcept {
    using namespace plain_number_detail;
    PlainField plain;
    if (!take_plain_field(p, size, plain)) return {};
    const unsigned point = plain.points;
    size = plain.size;
    ParsedNumber out;
    if (point == 0) {
        out.kind = ParsedNumber::kInt;
        out.int_value =
            with_sign(static_cast<std::int64_t>(gathered_digits(plain.from_zero, kNoPoint, size)),
                      plain.negative);
        return out;
    }
    // One '.' and at most 15 digits, which divide exactly as in parse_plain_number.
    if ((point & (point - 1)) != 0 || size == 1) return {};
    const auto at = static_cast<std::size_t>(std::countr_zero(point));
    const auto mantissa = static_cast<std::int64_t>(gathered_digits(plain.from_zero, at, size));
    out.kind = ParsedNumber::kDouble;
    out.double_value = with_sign_bit(
        static_cast<double>(mantissa) / kDoublePowersOfTen[size - 1 - at], plain.negative);
    return out;
}

}  // namespace kelvra

#endif
