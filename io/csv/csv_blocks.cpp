#include "csv_blocks.h"

#include <algorithm>
#include <bit>

// KELVRA_PORTABLE_SCAN (a CMake option) leaves out every instruction-set body: the scan then runs
// the plain C++ body that CPUs other than x86-64 and AArch64 run.
#if defined(KELVRA_PORTABLE_SCAN)
#elif defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KELVRA_CSV_AVX2 1
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON) && (defined(__GNUC__) || defined(__clang__))
#define KELVRA_CSV_NEON 1
#include <arm_neon.h>
#if defined(__linux__)
#include <sys/auxv.h>
#endif
#endif

namespace kelvra {

namespace {

// What one block holds, as bit masks.
struct CsvBlockStructure {
    static constexpr int kNoStop = 64;
    // Bit i for byte i: a comma or a line end (CR, or LF not after a CR) outside quoted fields.
    std::uint64_t field_ends = 0;
    // Line breaks (LF, CR not followed by LF) inside quoted fields, for the line count.
    std::uint64_t quoted_breaks = 0;
    // The offset of a closing quote followed by text (-1: the byte before the block), after
    // which nothing was found; kNoStop when there is none.
    int stop = kNoStop;
};

// One bit per byte of the block for each character that shapes a record.
struct ByteMasks {
    std::uint64_t quote;
    std::uint64_t comma;
    std::uint64_t cr;
    std::uint64_t lf;
};

constexpr std::uint64_t lowest_bit(std::uint64_t bits) noexcept { return bits & (~bits + 1); }

// Bit i set when an odd number of quotes lie at or before byte i.
constexpr std::uint64_t prefix_xor(std::uint64_t bits) noexcept {
    bits ^= bits << 1;
    bits ^= bits << 2;
    bits ^= bits << 4;
    bits ^= bits << 8;
    bits ^= bits << 16;
    bits ^= bits << 32;
    return bits;
}

// The rules of quoting, on the masks of one block; `parity` is prefix_xor(bytes.quote).
//
// Taking every quote as a toggle gives the inside of quoted fields exactly as long as each quote
// that the toggling calls opening stands at the start of a field (after ',', CR, LF or the start
// of the record) or right after a closing quote (the second quote of a "" pair). A quote that
// does not is text inside an unquoted field: it is dropped from the toggles, which flips the
// parity of every later byte, and the test runs again. Every closing quote must be followed by
// ',', CR, LF, another quote or the end of the data; the first one that is not stops the block.
[[gnu::always_inline]] inline CsvBlockStructure structure_of(ByteMasks bytes, std::uint64_t parity,
                                                             std::size_t valid,
                                                             CsvBlockCarry& carry) noexcept {
    CsvBlockStructure out;
    const std::uint64_t lf_of_crlf = bytes.lf & ((bytes.cr << 1) | std::uint64_t{carry.cr});
    const std::uint64_t line_breaks = bytes.cr | (bytes.lf & ~lf_of_crlf);
    if ((bytes.quote | carry.inside | std::uint64_t{carry.closing}) == 0) {
        // Most blocks: no quote in them, and not inside a quoted field.
        out.field_ends = bytes.comma | line_breaks;
        carry.opens = ((bytes.comma | bytes.cr | bytes.lf) >> 63) != 0;
        carry.cr = (bytes.cr >> 63) != 0;
        return out;
    }
    const std::uint64_t past_data = valid >= kCsvBlock ? 0 : ~std::uint64_t{0} << valid;
    const std::uint64_t ends = bytes.comma | bytes.cr | bytes.lf;
    const std::uint64_t may_follow_closing = ends | bytes.quote | past_data;
    if (carry.closing && (may_follow_closing & 1) == 0) {
        out.stop = -1;
        return out;
    }

    std::uint64_t quotes = bytes.quote;
    std::uint64_t inside = parity ^ carry.inside;
    std::uint64_t closing = 0;
    for (;;) {
        closing = quotes & ~inside;
        const std::uint64_t opening = quotes & inside;
        const std::uint64_t may_open = ((ends | closing) << 1) | std::uint64_t{carry.opens};
        const std::uint64_t stray = lowest_bit(opening & ~may_open);
        // The last byte's follower is in the next block.
        const std::uint64_t bad =
            lowest_bit(closing & ~(may_follow_closing >> 1) & (~std::uint64_t{0} >> 1));
        if (stray != 0 && (bad == 0 || stray < bad)) {
            quotes &= ~stray;
            inside ^= ~(stray - 1);
            continue;
        }
        if (bad != 0) out.stop = std::countr_zero(bad);
        break;
    }

    out.field_ends = (bytes.comma | line_breaks) & ~inside;
    out.quoted_breaks = line_breaks & inside;
    if (out.stop != CsvBlockStructure::kNoStop) {
        const std::uint64_t before_stop = (std::uint64_t{1} << out.stop) - 1;
        out.field_ends &= before_stop;
        out.quoted_breaks &= before_stop;
    }

    carry.inside = static_cast<std::uint64_t>(static_cast<std::int64_t>(inside) >> 63);
    carry.opens = ((ends | closing) >> 63) != 0;
    carry.cr = (bytes.cr >> 63) != 0;
    carry.closing = (closing >> 63) != 0;
    return out;
}

// Appends the block's findings to the index. Field ends are written eight at a time whatever
// their number, so that the loop rarely branches.
[[gnu::always_inline]] inline void add_to_index(const CsvBlockStructure& found, std::size_t block,
                                                CsvBlockIndex& index) {
    std::uint64_t bits = found.field_ends;
    const auto count = static_cast<std::size_t>(std::popcount(bits));
    std::size_t* out = index.ends + index.count;
    for (std::size_t done = 0; done < count; done += 8, out += 8) {
        for (int i = 0; i < 8; ++i) {
            out[i] = block + static_cast<std::size_t>(std::countr_zero(bits));
            bits &= bits - 1;
            // Hidden from the optimiser, which would otherwise branch on the bits running out.
            asm("" : "+r"(bits));
        }
    }
    index.count += count;
    for (std::uint64_t breaks = found.quoted_breaks; breaks != 0; breaks &= breaks - 1) {
        index.quoted_breaks->push_back(block + static_cast<std::size_t>(std::countr_zero(breaks)));
    }
    if (found.stop != CsvBlockStructure::kNoStop) {
        index.stop = block + static_cast<std::size_t>(found.stop + 1) - 1;
    }
}

// One block: its masks and the parity of its quotes, then the rules of quoting and the index.
[[gnu::always_inline]] inline void add_block(ByteMasks bytes, std::uint64_t parity,
                                             std::size_t block, std::size_t data_end,
                                             CsvBlockCarry& carry, CsvBlockIndex& index) {
    const std::size_t valid = std::min(kCsvBlock, data_end - block);
    add_to_index(structure_of(bytes, parity, valid, carry), block, index);
}

bool more_blocks(std::size_t block, std::size_t to, const CsvBlockIndex& index) noexcept {
    return block < to && index.stop == CsvBlockIndex::kNoStop;
}

#if defined(KELVRA_CSV_AVX2)

// The masks with the baseline instruction set: SSE2 on x86-64.
ByteMasks baseline_byte_masks(const char* block) noexcept {
    ByteMasks m{0, 0, 0, 0};
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (int i = 0; i < 4; ++i) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
        const auto bits = [&](__m128i c) {
            return static_cast<std::uint64_t>(
                       static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, c))))
                   << (16 * i);
        };
        m.quote |= bits(quote);
        m.comma |= bits(comma);
        m.cr |= bits(cr);
        m.lf |= bits(lf);
    }
    return m;
}

__attribute__((target("avx2,pclmul,popcnt,bmi,bmi2"))) void scan_avx2(
    const char* text, std::size_t from, std::size_t to, std::size_t data_end, CsvBlockCarry& carry,
    CsvBlockIndex& index) {
    for (std::size_t block = from; more_blocks(block, to, index); block += kCsvBlock) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + block));
        const __m256i high =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + block + 32));
        const auto bits = [low, high](__m256i c) __attribute__((always_inline, target("avx2"))) {
            const auto lo = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, c)));
            const auto hi = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, c)));
            return static_cast<std::uint64_t>(lo) | (static_cast<std::uint64_t>(hi) << 32);
        };
        const ByteMasks bytes{bits(_mm256_set1_epi8('"')), bits(_mm256_set1_epi8(',')),
                              bits(_mm256_set1_epi8('\r')), bits(_mm256_set1_epi8('\n'))};
        // Carry-less multiplication by all ones is the prefix XOR.
        const __m128i parity = _mm_clmulepi64_si128(
            _mm_set_epi64x(0, static_cast<long long>(bytes.quote)), _mm_set1_epi8(-1), 0);
        add_block(bytes, static_cast<std::uint64_t>(_mm_cvtsi128_si64(parity)), block, data_end,
                  carry, index);
    }
}

#elif defined(KELVRA_CSV_NEON)

// The 64 bytes of a block in four NEON registers.
using NeonBlock = uint8x16x4_t;

[[gnu::always_inline]] inline NeonBlock load_block(const char* block) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(block);
    return {{vld1q_u8(bytes), vld1q_u8(bytes + 16), vld1q_u8(bytes + 32), vld1q_u8(bytes + 48)}};
}

// Bit i set when byte i of the block is c. NEON moves no byte mask to a general register: each
// byte keeps one bit of its compare result, its place in a group of eight, and three pairwise
// additions gather the bits of each eight bytes into one byte of the result.
[[gnu::always_inline]] inline std::uint64_t equal_bits(const NeonBlock& block, char c) noexcept {
    const uint8x16_t places = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t wanted = vdupq_n_u8(static_cast<std::uint8_t>(c));
    const auto bits = [&](int i) { return vandq_u8(vceqq_u8(block.val[i], wanted), places); };
    const uint8x16_t quarters = vpaddq_u8(vpaddq_u8(bits(0), bits(1)), vpaddq_u8(bits(2), bits(3)));
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(quarters, quarters)), 0);
}

// The masks with the baseline instruction set: every AArch64 CPU has NEON.
[[gnu::always_inline]] inline ByteMasks baseline_byte_masks(const char* block) noexcept {
    const NeonBlock bytes = load_block(block);
    return {equal_bits(bytes, '"'), equal_bits(bytes, ','), equal_bits(bytes, '\r'),
            equal_bits(bytes, '\n')};
}

// Polynomial multiplication (PMULL) is an optional part of AArch64, beside the AES instructions.
#if defined(__clang__)
#define KELVRA_TARGET_PMULL __attribute__((target("aes")))
#else
#define KELVRA_TARGET_PMULL __attribute__((target("+crypto")))
#endif

KELVRA_TARGET_PMULL void scan_neon_pmull(const char* text, std::size_t from, std::size_t to,
                                         std::size_t data_end, CsvBlockCarry& carry,
                                         CsvBlockIndex& index) {
    for (std::size_t block = from; more_blocks(block, to, index); block += kCsvBlock) {
        const ByteMasks bytes = baseline_byte_masks(text + block);
        // Carry-less multiplication by all ones is the prefix XOR.
        const poly128_t parity =
            vmull_p64(static_cast<poly64_t>(bytes.quote), static_cast<poly64_t>(~std::uint64_t{0}));
        add_block(bytes, vgetq_lane_u64(vreinterpretq_u64_p128(parity), 0), block, data_end, carry,
                  index);
    }
}

bool cpu_has_pmull() noexcept {
#if defined(__ARM_FEATURE_AES)
    return true;
#elif defined(__linux__)
    return (getauxval(AT_HWCAP) & HWCAP_PMULL) != 0;
#else
    return false;
#endif
}

#else

// The masks with no instruction set assumed.
ByteMasks baseline_byte_masks(const char* block) noexcept {
    ByteMasks bytes{0, 0, 0, 0};
    for (std::size_t i = 0; i < kCsvBlock; ++i) {
        const char c = block[i];
        bytes.quote |= std::uint64_t{c == '"'} << i;
        bytes.comma |= std::uint64_t{c == ','} << i;
        bytes.cr |= std::uint64_t{c == '\r'} << i;
        bytes.lf |= std::uint64_t{c == '\n'} << i;
    }
    return bytes;
}

#endif

void scan_portable(const char* text, std::size_t from, std::size_t to, std::size_t data_end,
                   CsvBlockCarry& carry, CsvBlockIndex& index) {
    for (std::size_t block = from; more_blocks(block, to, index); block += kCsvBlock) {
        const ByteMasks bytes = baseline_byte_masks(text + block);
        add_block(bytes, prefix_xor(bytes.quote), block, data_end, carry, index);
    }
}

#if defined(KELVRA_CSV_AVX2)
// AVX2 and carry-less multiplication, read from CPUID, and the AVX state saved by the system
// (XGETBV). Asked of the CPU directly rather than through __builtin_cpu_supports, whose table
// (__cpu_model) comes from the compiler's runtime library, which not every toolchain links in.
bool cpu_has_avx2_pclmul() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool pclmul = (ecx & bit_PCLMUL) != 0;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0;
    if (!pclmul || !osxsave) return false;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 0x6) != 0x6) return false;  // the XMM and YMM registers are saved
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx & bit_AVX2) != 0;
}
#endif

}  // namespace

CsvBlockScanner portable_csv_block_scanner() noexcept { return scan_portable; }

CsvBlockScanner best_csv_block_scanner() noexcept {
#if defined(KELVRA_CSV_AVX2)
    if (cpu_has_avx2_pclmul()) return scan_avx2;
#elif defined(KELVRA_CSV_NEON)
    if (cpu_has_pmull()) return scan_neon_pmull;
#endif
    return scan_portable;
}

}  // namespace kelvra
