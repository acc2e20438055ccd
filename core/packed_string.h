// A string cell in 16 bytes, laid out as Arrow's string view: the length, then either the whole
// text inline (at most 12 bytes, the rest zero) or its first 4 bytes, the index of the byte buffer
// that holds it and its offset there. A filter or a head copies these 16 bytes and shares the
// buffers; most strings are short and need no buffer at all.
#pragma once

#include <bit>
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
    // read, which makes the copy a fixed-size move. The cell is put together in registers: built
    // from smaller stores in memory, reading it back whole would stall.
    static void store_inline(PackedString* out, const char* data, std::uint32_t n,
                             bool readable) noexcept {
        std::uint64_t lo = 0;  // the text's bytes 0 to 7
        std::uint64_t hi = 0;  // and 8 to 11
        if (readable) {
            std::memcpy(&lo, data, 8);
            std::memcpy(&hi, data + 8, 8);
            lo = n >= 8 ? lo : lo & ((std::uint64_t{1} << (8 * n)) - 1);
            hi = n <= 8 ? 0 : hi & ((std::uint64_t{1} << (8 * (n - 8))) - 1);
        } else if (n >= 8) {
            std::uint32_t tail;
            std::memcpy(&lo, data, 8);
            std::memcpy(&tail, data + n - 4, 4);
            hi = std::uint64_t{tail} >> (8 * (12 - n));
        } else if (n >= 4) {
            std::uint32_t head, tail;
            std::memcpy(&head, data, 4);
            std::memcpy(&tail, data + n - 4, 4);
            lo = head | (std::uint64_t{tail} << (8 * (n - 4)));
        } else {
            for (std::uint32_t i = 0; i < n; ++i) {
                lo |= std::uint64_t{static_cast<unsigned char>(data[i])} << (8 * i);
            }
        }
        out->store_words(n | (lo << 32), (lo >> 32) | (hi << 32));
    }
    // A longer text stored at `offset` of buffer `buffer`.
    static void store_in_buffer(PackedString* out, const char* data, std::uint32_t n,
                                std::uint32_t buffer, std::uint32_t offset) noexcept {
        std::uint32_t prefix;
        std::memcpy(&prefix, data, 4);
        out->store_words(n | (std::uint64_t{prefix} << 32), buffer | (std::uint64_t{offset} << 32));
    }

private:
    // Two 8-byte stores: written piecewise and then copied whole, the cell would stall the copy.
    void store_words(std::uint64_t first, std::uint64_t second) noexcept {
        static_assert(std::endian::native == std::endian::little);
        std::memcpy(this, &first, 8);
        std::memcpy(reinterpret_cast<char*>(this) + 8, &second, 8);
    }
    std::uint32_t load(std::size_t at) const noexcept {
        std::uint32_t v;
        std::memcpy(&v, text + at, 4);
        return v;
    }
};
static_assert(sizeof(PackedString) == 16);

}  // namespace kelvra
