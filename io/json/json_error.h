// Reporting faults in a JSON text: where they are, in terms a person can find in an editor.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvra {

// Throws std::invalid_argument naming the file, the line and column (from 1, in bytes) of the
// byte at offset, and what is wrong there. An offset at the end of the text is reported as such.
[[noreturn]] void throw_json_error(const std::string& path, std::string_view text,
                                   std::size_t offset, std::string_view what);

// "line L, column C" (from 1, in bytes) of the byte at offset.
std::string json_position(std::string_view text, std::size_t offset);

// The faults found while a text is first indexed carry no position of their own; these find
// the byte at fault (first_invalid_utf8 of utf8.h too). Each returns text.size() when it finds
// nothing.
// The first control character below 0x20 standing inside a string.
std::size_t first_raw_control_in_string(std::string_view text);
// The opening quote of a string that the text never closes.
std::size_t unclosed_string_start(std::string_view text);

}  // namespace kelvra
