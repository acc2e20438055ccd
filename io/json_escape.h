// JSON string literals: the one escaping rule shared by everything that writes JSON text.
#pragma once

#include <string>
#include <string_view>

namespace kelvra {

// Appends text as a JSON string literal, quotes included. The quote and the backslash get a
// backslash, control characters below 0x20 their short escape or \u00XX; every other byte,
// UTF-8 sequences included, is copied unchanged.
void append_json_string(std::string& out, std::string_view text);

}  // namespace kelvra
