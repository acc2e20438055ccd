// The mappings of large arrays, and the freed ones kept for reuse while tables live.
//
// A large array is a private anonymous mapping of whole 2 MB huge pages. The kernel zeroes every
// page of a fresh mapping as it is first written, which costs as much as a simple operation's own
// work (half of multiplying a column, a third of filtering one). So a freed mapping is kept, its
// pages still in place, for the next array, but only while other large arrays live: the kept
// mappings never add up to more than the live ones (nor to more than a fixed cap), and all of
// them go back to the kernel when the last live one is freed. A program that has let go of its
// tables holds no memory for them.
#pragma once

#include <cstddef>

namespace kelvra::detail {

// The huge page of x86-64, and of AArch64 with 4 KB pages. It is a whole number of pages at every
// page size Linux uses (4, 16 and 64 KB), so the mappings stay valid where huge pages are larger
// (32 MB with 16 KB pages, 512 MB with 64 KB pages): they are then only less often huge.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
static_assert(kHugePage % (std::size_t{64} << 10) == 0);

// Every size below is a whole number of huge pages. All three throw nothing but std::bad_alloc.

// A mapping of `bytes`, reused from the kept ones when one is large enough (or grown from the
// largest kept one), otherwise fresh. Its contents are unspecified.
void* take_mapping(std::size_t bytes);
// Keeps a mapping for reuse, or unmaps it when keeping it would pass the bounds.
void give_mapping(void* block, std::size_t bytes) noexcept;
// Grows (moving it if need be, without copying) or trims a mapping, keeping its contents.
void* resize_mapping(void* block, std::size_t old_bytes, std::size_t new_bytes);

}  // namespace kelvra::detail
