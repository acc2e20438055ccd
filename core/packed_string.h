// A string cell in 16 bytes, laid out as Arrow's string view: the length, then either the whole
// text inline (at most 12 bytes, the rest zero) or its first 4 bytes, the index of the byte buffer
// that holds it and its offset there. A filter or a head copies these 16 bytes and shares the
// buffers; most strings are short and need no buffer at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelvra {

struct alignas(8) PackedString {
    static constexpr std::size_t kInlineMax = 12;

    std::uint32_t length;
    char text[12];  // inline: the text; else: prefix[4], buffer index, offset

    bool is_inline() const noexcept { return length <= kInlineMax; }
    std::uint32_t buffer_index() const noexcept { return load(4); }
    std::uint32_t offset() const noexcept { return load(8); }

    // A text of at most kInlineMax bytes. `readable` says whether 16 bytes from its start may be
    // read, which makes the copy a fixed-size move.
    static PackedString inline_text(const char* data, std::uint32_t n, bool readable) noexcept {
        PackedString s;
        s.length = n;
        if (readable) {
            std::uint64_t lo, hi;
            std::memcpy(&lo, data, 8);
            std::memcpy(&hi, data + 8, 8);
            // Keep the first n bytes; the padding must be zero.
            lo = n >= 8 ? lo : lo & ((std::uint64_t{1} << (8 * n)) - 1);
            hi = n <= 8 ? 0 : hi & ((std::uint64_t{1} << (8 * (n - 8))) - 1);
            std::memcpy(s.text, &lo, 8);
            std::memcpy(s.text + 8, &hi, 4);
        } else {
            std::memset(s.text, 0, sizeof s.text);
            std::memcpy(s.text, data, n);
        }
        return s;
    }
    // A longer text stored at `offset` of buffer `buffer`.
    static PackedString in_buffer(const char* data, std::uint32_t n, std::uint32_t buffer,
                                  std::uint32_t offset) noexcept {
        PackedString s;
        s.length = n;
        std::memcpy(s.text, data, 4);
        std::memcpy(s.text + 4, &buffer, 4);
        std::memcpy(s.text + 8, &offset, 4);
        return s;
    }

private:
    std::uint32_t load(std::size_t at) const noexcept {
        std::uint32_t v;
        std::memcpy(&v, text + at, 4);
        return v;
    }
};
static_assert(sizeof(PackedString) == 16);

}  // namespace kelvra
