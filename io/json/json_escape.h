// JSON string literals: the one escaping rule shared by everything that writes JSON text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvra {

// Appends text as a JSON string literal, quotes included. The quote and the backslash get a
// backslash, control characters below 0x20 their short escape or \u00XX; every other byte,
// UTF-8 sequences included, is copied unchanged.
void append_json_string(std::string& out, std::string_view text);

// The most bytes the literal of a text of n bytes takes: every byte may become \u00XX.
constexpr std::size_t json_string_room(std::size_t n) noexcept { return 6 * n + 2; }

// The same literal written at out, which has json_string_room(text.size()) bytes of room;
// returns its end.
char* write_json_string(char* out, std::string_view text) noexcept;

}  // namespace kelvra
