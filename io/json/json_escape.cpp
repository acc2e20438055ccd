#include "json_escape.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace kelvra {
namespace {

// For each byte: 0 when it is copied as is, otherwise the letter of its short escape, or 'u'.
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}

constexpr std::array<char, 256> kEscape = make_escape_table();

}  // namespace

char* write_json_string(char* out, std::string_view text) noexcept {
    *out++ = '"';
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const char escape = kEscape[byte];
        if (escape == 0) continue;
        // Plain bytes are copied in runs, so text without special characters costs one copy.
        std::memcpy(out, text.data() + run_start, i - run_start);
        out += i - run_start;
        run_start = i + 1;
        *out++ = '\\';
        if (escape != 'u') {
            *out++ = escape;
        } else {
            constexpr char kHex[] = "0123456789abcdef";
            const char unicode[5] = {'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
            std::memcpy(out, unicode, 5);
            out += 5;
        }
    }
    if (run_start < text.size()) {  // an empty view may have no data pointer at all
        std::memcpy(out, text.data() + run_start, text.size() - run_start);
        out += text.size() - run_start;
    }
    *out++ = '"';
    return out;
}

void append_json_string(std::string& out, std::string_view text) {
    const std::size_t start = out.size();
    out.resize(start + json_string_room(text.size()));
    char* const end = write_json_string(out.data() + start, text);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

}  // namespace kelvra
