#include "utf8.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace kelvra {

std::size_t first_invalid_utf8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Most text is ASCII: skip it eight bytes at a time.
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
        } else {
            return i;
        }
        if (n - i < length) return i;
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return i;
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
        const unsigned char second = bytes[i + 1];
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
            (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
            return i;
        }
        i += length;
    }
    return n;
}

bool is_ascii(std::string_view text) noexcept {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        high |= word;
    }
    for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
    return (high & 0x8080808080808080ULL) == 0;
}

void throw_not_utf8(const std::string& path, const std::string& column,
                    std::optional<std::size_t> row) {
    throw_text_not_utf8("Cannot write " + path + " as JSON", column, row);
}

void throw_text_not_utf8(const std::string& failure, const std::string& column,
                         std::optional<std::size_t> row) {
    std::string message = failure + ": ";
    if (!row) {
        message += "the column name '" + column + "' is not valid UTF-8";
    } else {
        message += "the string in column '" + column + "' at row " + std::to_string(*row) +
                   " (counting from 0) is not valid UTF-8";
    }
    throw std::invalid_argument(message);
}

}  // namespace kelvra
