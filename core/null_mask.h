// The missing-value mask of a column: one bit per row, 64 rows per word, bit i set when row i is
// missing. Bits past the last row of the last word are always clear, so that counting and
// skipping work a word at a time. The count of missing rows is kept as rows are appended, so
// asking whether any is missing costs nothing however long the column.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "pod_buffer.h"

namespace kelvra {

// The number of set bits. Without the processor's instruction at hand (a build for any x86-64),
// a few shifts and adds rather than the library call the compiler would make.
inline std::size_t count_ones(std::uint64_t x) noexcept {
#if defined(__POPCNT__) || !defined(__x86_64__)
    return static_cast<std::size_t>(std::popcount(x));
#else
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<std::size_t>((x * 0x0101010101010101u) >> 56);
#endif
}

class NullMask {
public:
    static constexpr std::size_t kBits = 64;

    std::size_t size() const noexcept { return size_; }
    bool operator[](std::size_t i) const noexcept {
        return (words_[i / kBits] >> (i % kBits)) & 1u;
    }

    void push_back(bool missing) {
        if (size_ % kBits == 0) words_.push_back(0);
        words_.back() |= std::uint64_t{missing} << (size_ % kBits);
        missing_ += missing;
        ++size_;
    }
    void pop_back() noexcept {
        --size_;
        missing_ -= (words_.back() >> (size_ % kBits)) & 1u;
        words_.back() &= ~(std::uint64_t{1} << (size_ % kBits));
        if (size_ % kBits == 0) words_.pop_back();
    }
    // Appends n rows whose missing bits are bits[0..n) (bit i of word i / 64), bits past n clear.
    void append(const std::uint64_t* bits, std::size_t n) {
        const std::size_t shift = size_ % kBits;
        const std::size_t words = word_count(n);
        for (std::size_t w = 0; w < words; ++w) {
            missing_ += count_ones(bits[w]);
        }
        if (shift == 0) {
            words_.append(bits, words);
        } else {
            for (std::size_t w = 0; w < words; ++w) {
                words_.back() |= bits[w] << shift;
                const std::size_t rows = std::min(kBits, n - w * kBits);
                if (shift + rows > kBits) words_.push_back(bits[w] >> (kBits - shift));
            }
        }
        size_ += n;
    }
    void reserve(std::size_t n) { words_.reserve(word_count(n)); }
    void trim() { words_.trim(); }

    // n rows, all present.
    void assign_present(std::size_t n) {
        words_.assign(word_count(n), 0);
        size_ = n;
        missing_ = 0;
    }

    std::size_t word_count() const noexcept { return words_.size(); }
    std::uint64_t word(std::size_t w) const noexcept { return words_[w]; }
    const std::uint64_t* words() const noexcept { return words_.data(); }

    std::size_t count_missing() const noexcept { return missing_; }
    bool any_missing() const noexcept { return missing_ != 0; }

    static std::size_t word_count(std::size_t rows) noexcept { return (rows + kBits - 1) / kBits; }

private:
    PodBuffer<std::uint64_t> words_;
    std::size_t size_ = 0;
    std::size_t missing_ = 0;
};

}  // namespace kelvra
