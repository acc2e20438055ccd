// The writers' number formatting must give exactly the text of format_int and
// format_double_lossless. Each 8 bytes of the input are taken as an int64, as a double, and as a
// short decimal (digits and a count of decimals) read as a reader would; the doubles go through
// one DoubleWriter in order, so that its guesses carry from one value to the next as in a column.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "text/number_writing.h"

namespace {

void require_same(std::string_view got, std::string_view want, const char* what) {
    if (got == want) return;
    std::fprintf(stderr, "%s: wrote '%.*s', expected '%.*s'\n", what, static_cast<int>(got.size()),
                 got.data(), static_cast<int>(want.size()), want.data());
    std::abort();
}

void check_double(kelvra::DoubleWriter& writer, double v) {
    char got[kelvra::kNumberTextMax];
    char want[kelvra::kNumberTextMax];
    const char* got_end = writer.write(got, v);
    const char* want_end = kelvra::format_double_lossless(want, v);
    require_same({got, got_end}, {want, want_end}, "double");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kelvra::DoubleWriter writer;
    for (std::size_t at = 0; at + 8 <= size; at += 8) {
        std::uint64_t bits;
        std::memcpy(&bits, data + at, sizeof bits);

        char got[kelvra::kNumberTextMax];
        char want[kelvra::kNumberTextMax];
        const auto i = static_cast<std::int64_t>(bits);
        require_same({got, kelvra::write_int(got, i)}, {want, kelvra::format_int(want, i)}, "int");

        double raw;
        std::memcpy(&raw, &bits, sizeof raw);
        check_double(writer, raw);

        // Up to 17 digits with up to 19 decimals, and a sign.
        const std::string digits =
            std::to_string((bits & ((std::uint64_t{1} << 57) - 1)) % 100000000000000000ULL);
        const std::string text =
            ((bits >> 63) ? "-" : "") + digits + "e-" + std::to_string((bits >> 57) % 20);
        check_double(writer, std::strtod(text.c_str(), nullptr));
    }
    return 0;
}
