// The powers of ten that the number reading and writing scale by: one table of every power a
// uint64 holds, and the doubles derived from it at compile time. Both are hidden: nothing outside
// the module reads them, and a hidden table is addressed directly rather than through the GOT.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelvra {

// 10^0 to 10^19, every power of ten below 2^64.
[[gnu::visibility("hidden")]] inline constexpr std::array<std::uint64_t, 20> kPowersOfTen = [] {
    std::array<std::uint64_t, 20> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * 10;
    return powers;
}();

// 10^0 to 10^22, the powers of ten that are exact doubles (5^22 < 2^53): one multiplication or
// division by one of them rounds correctly. Each converts exactly from its integer; those past
// 10^19 are exact products of two exact doubles.
[[gnu::visibility("hidden")]] inline constexpr std::array<double, 23> kDoublePowersOfTen = [] {
    std::array<double, 23> powers{};
    constexpr std::size_t kLast = kPowersOfTen.size() - 1;
    for (std::size_t i = 0; i < powers.size(); ++i) {
        powers[i] = i <= kLast ? static_cast<double>(kPowersOfTen[i])
                               : static_cast<double>(kPowersOfTen[kLast]) *
                                     static_cast<double>(kPowersOfTen[i - kLast]);
    }
    return powers;
}();
static_assert(kDoublePowersOfTen[19] == 1e19 && kDoublePowersOfTen[22] == 1e22);

}  // namespace kelvra
