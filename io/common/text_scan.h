// Whether a string holds any byte of a small set, sixteen bytes at a time: the writers' check for
// cells that need quoting (CSV) or escaping (JSON). SSE2 is part of every x86-64; elsewhere a
// byte loop does the same.
#pragma once

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelvra {

namespace detail {

#if defined(__SSE2__)
inline __m128i load(const char* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// A CSV field must be quoted when it holds a comma, a quote or a line break.
struct CsvSpecial {
    static int mask(__m128i bytes) noexcept {
        const __m128i comma = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(','));
        const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
        const __m128i newline = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
        const __m128i carriage = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'));
        return _mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(comma, quote), _mm_or_si128(newline, carriage)));
    }
    static bool byte(unsigned char c) noexcept {
        return c == ',' || c == '"' || c == '\n' || c == '\r';
    }
};

// A JSON string is copied as it is when it holds no quote, backslash or control byte and is
// ASCII (every byte below 0x80, so UTF-8 without a check).
struct JsonSpecial {
    static int mask(__m128i bytes) noexcept {
        // As signed bytes, everything from 0x80 up is negative, so one compare finds those and
        // the control bytes.
        const __m128i control_or_high = _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20));
        const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
        const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
        return _mm_movemask_epi8(_mm_or_si128(control_or_high, _mm_or_si128(quote, backslash)));
    }
    static bool byte(unsigned char c) noexcept {
        return c < 0x20 || c >= 0x80 || c == '"' || c == '\\';
    }
};

// Whether text[0, n) holds a byte of Set. Bytes of [text, readable_end) past the text may be read
// (they belong to the same buffer) and are ignored.
template <class Set>
[[gnu::always_inline]] inline bool contains_any(const char* text, std::size_t n,
                                                const char* readable_end) noexcept {
    const char* p = text;
    const char* const end = text + n;
    while (end - p >= 16) {
        if (Set::mask(load(p)) != 0) return true;
        p += 16;
    }
    if (p == end) return false;
    const auto rest = static_cast<unsigned>(end - p);
    if (readable_end - p >= 16) {
        const int mask = Set::mask(load(p));
        return (mask & ((1u << rest) - 1)) != 0;
    }
    if (n >= 16) {  // the last sixteen bytes of the text, partly checked already
        return Set::mask(load(end - 16)) != 0;
    }
    for (; p != end; ++p) {
        if (Set::byte(static_cast<unsigned char>(*p))) return true;
    }
    return false;
}
#else
struct CsvSpecial {
    static bool byte(unsigned char c) noexcept {
        return c == ',' || c == '"' || c == '\n' || c == '\r';
    }
};
struct JsonSpecial {
    static bool byte(unsigned char c) noexcept {
        return c < 0x20 || c >= 0x80 || c == '"' || c == '\\';
    }
};
template <class Set>
bool contains_any(const char* text, std::size_t n, const char*) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        if (Set::byte(static_cast<unsigned char>(text[i]))) return true;
    }
    return false;
}
#endif

}  // namespace detail

// Whether a CSV field with this text must be quoted. readable_end as for contains_any.
inline bool csv_needs_quotes(const char* text, std::size_t n, const char* readable_end) noexcept {
    return detail::contains_any<detail::CsvSpecial>(text, n, readable_end);
}

// Whether this text is ASCII and needs no escape in a JSON string literal.
inline bool json_plain_ascii(const char* text, std::size_t n, const char* readable_end) noexcept {
    return !detail::contains_any<detail::JsonSpecial>(text, n, readable_end);
}

}  // namespace kelvra
