#include "number_text.h"

#include <cmath>

namespace kelvra {

char* format_double_lossless(char* out, double v) noexcept {
    if (std::isnan(v)) {
        constexpr char nan[] = "nan";
        return std::copy(nan, nan + 3, out);
    }
    char* end = std::to_chars(out, out + kNumberTextMax, v).ptr;
    if (std::isinf(v)) return end;
    for (const char* p = out; p != end; ++p) {
        if (*p == '.' || *p == 'e') return end;
    }
    *end++ = '.';
    *end++ = '0';
    return end;
}

}  // namespace kelvra
