#include "json_error.h"

#include <algorithm>
#include <stdexcept>

namespace kelvra {

std::string json_position(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const std::size_t line =
        1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n');
    const std::size_t column =
        line_start == std::string_view::npos ? offset + 1 : offset - line_start;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

void throw_json_error(const std::string& path, std::string_view text, std::size_t offset,
                      std::string_view what) {
    const bool at_end = offset >= text.size();
    std::string message = "Invalid JSON in " + path;
    message += at_end ? " at the end of the text (" : " at ";
    message += json_position(text, offset);
    message += at_end ? "): " : ": ";
    message += what;
    throw std::invalid_argument(message);
}

namespace {

// Walks the strings of a text: calls on_control for each control byte inside a string (stopping
// when it returns true) and returns that offset, or the opening quote of a string left open, or
// text.size().
template <typename OnControl>
std::size_t scan_strings(std::string_view text, OnControl on_control) {
    bool in_string = false;
    std::size_t opened = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!in_string) {
            if (c == '"') {
                in_string = true;
                opened = i;
            }
        } else if (c == '\\') {
            ++i;
        } else if (c == '"') {
            in_string = false;
        } else if (c < 0x20 && on_control()) {
            return i;
        }
    }
    return in_string ? opened : text.size();
}

}  // namespace

std::size_t first_raw_control_in_string(std::string_view text) {
    const std::size_t at = scan_strings(text, [] { return true; });
    return at < text.size() && static_cast<unsigned char>(text[at]) < 0x20 ? at : text.size();
}

std::size_t unclosed_string_start(std::string_view text) {
    return scan_strings(text, [] { return false; });
}

}  // namespace kelvra
