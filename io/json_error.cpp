#include "json_error.h"

#include <algorithm>
#include <stdexcept>

namespace kelvra {

void throw_json_error(const std::string& path, std::string_view text, std::size_t offset,
                      std::string_view what) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n');
    const std::size_t column = line_start == std::string_view::npos ? offset + 1 : offset - line_start;
    std::string message = "Invalid JSON in " + path;
    message += offset == text.size() ? " at the end of the text (line " : " at line ";
    message += std::to_string(line) + ", column " + std::to_string(column);
    message += offset == text.size() ? "): " : ": ";
    message += what;
    throw std::invalid_argument(message);
}

std::size_t first_invalid_utf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
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
