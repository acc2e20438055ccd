#include "json_escape.h"

#include <array>
#include <cstdint>

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

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const char escape = kEscape[byte];
        if (escape == 0) continue;
        // Plain bytes are copied in runs, so text without special characters costs one append.
        out.append(text.data() + run_start, i - run_start);
        run_start = i + 1;
        if (escape != 'u') {
            const char pair[2] = {'\\', escape};
            out.append(pair, 2);
        } else {
            constexpr char kHex[] = "0123456789abcdef";
            const char unicode[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
            out.append(unicode, 6);
        }
    }
    out.append(text.data() + run_start, text.size() - run_start);
    out.push_back('"');
}

}  // namespace kelvra
