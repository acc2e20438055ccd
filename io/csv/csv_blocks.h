// The structure of CSV text found 64 bytes at a time, as bit masks: which bytes end a field and
// which line breaks lie inside quoted fields. Used by the tokenizer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra {

inline constexpr std::size_t kCsvBlock = 64;

// What one block hands on to the next. The initial value is the state at the start of a record.
struct CsvBlockCarry {
    std::uint64_t inside = 0;  // all ones when the block before ended inside a quoted field
    bool opens = true;  // the byte before lets a quote open a field: ',', CR, LF, a closing quote
    bool cr = false;    // the byte before is a CR, so an LF here completes a CR LF
    bool closing = false;  // the byte before is a closing quote whose follower is unchecked
};

// What scanning stretches of blocks found, each stretch appended to the ones before.
struct CsvBlockIndex {
    static constexpr std::size_t kNoStop = ~std::size_t{0};
    // The offset of each field end in order: a comma or a line end (CR, or LF not after a CR)
    // outside quoted fields. Scanning a block may write up to kCsvBlock entries past `count`.
    std::size_t* ends = nullptr;
    std::size_t count = 0;
    // The offsets of line breaks (LF, CR not followed by LF) inside quoted fields.
    std::vector<std::size_t>* quoted_breaks = nullptr;
    // The offset of the first closing quote followed by text, after which nothing is found.
    std::size_t stop = kNoStop;
};

// Scans the blocks of 64 bytes at offsets from, from + 64, ... below `to` of `text`, whose bytes
// from `data_end` on are zero, into `index`, stopping after a block that holds a stop. A quote
// opens a quoted field only at the start of a field and is otherwise text; "" inside a quoted
// field is a quote.
using CsvBlockScanner = void (*)(const char* text, std::size_t from, std::size_t to,
                                 std::size_t data_end, CsvBlockCarry& carry, CsvBlockIndex& index);
// The fastest scanner this CPU runs (AVX2 where it has it; NEON with PMULL on AArch64); every
// scanner gives the same result.
CsvBlockScanner best_csv_block_scanner() noexcept;
// The scanner that needs no instruction set beyond the baseline (SSE2 on x86-64, NEON on AArch64,
// none on other CPUs or in a build with KELVRA_PORTABLE_SCAN).
CsvBlockScanner portable_csv_block_scanner() noexcept;

}  // namespace kelvra
