// UTF-8 well-formedness: the one rule used wherever text must be UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra {

// The offset of the first byte that does not begin a well-formed UTF-8 sequence (a stray
// continuation byte, a truncated sequence, an overlong form, a UTF-16 surrogate or a code point
// past U+10FFFF), or text.size() when the whole text is UTF-8.
std::size_t first_invalid_utf8(std::string_view text) noexcept;

// Whether every byte is ASCII (so the text is UTF-8 too), checked eight bytes at a time.
bool is_ascii(std::string_view text) noexcept;

inline bool is_utf8(std::string_view text) noexcept {
    return first_invalid_utf8(text) == text.size();
}

// Throws std::invalid_argument for text bound for UTF-8 output that is not UTF-8: a column name
// when row is empty, otherwise the string cell of that column at that row (from 0). `failure`
// says what could not be done ("Cannot write out.json as JSON").
[[noreturn]] void throw_text_not_utf8(const std::string& failure, const std::string& column,
                                      std::optional<std::size_t> row);

// The same for a JSON file.
[[noreturn]] void throw_not_utf8(const std::string& path, const std::string& column,
                                 std::optional<std::size_t> row);

inline void require_utf8(std::string_view text, const std::string& path, const std::string& column,
                         std::optional<std::size_t> row) {
    if (!is_utf8(text)) [[unlikely]]
        throw_not_utf8(path, column, row);
}

}  // namespace kelvra
