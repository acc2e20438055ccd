// Large cell blocks and their reuse.
//
// A column of a million cells needs a 40 MB block. Blocks that large come straight from the
// kernel, and every page of a fresh block costs a page fault when it is first written; building
// a large column spent most of its time there. Freed large blocks are therefore kept, a bounded
// number of bytes of them, and handed to the next request of the same size class, whose pages
// are then already mapped. The kernel may take back the pages of a kept block under memory
// pressure (MADV_FREE), so keeping them never costs memory that the system needs elsewhere.
#pragma once

#include <cstddef>

namespace kelvra {

// Blocks of at least this many bytes go through the cache; smaller ones use the ordinary heap.
inline constexpr std::size_t kLargeBlock = std::size_t{8} << 20;

// A block of at least `bytes` bytes (bytes >= kLargeBlock), page-aligned; throws std::bad_alloc.
void* take_large_block(std::size_t bytes);
// Returns a block from take_large_block with the same `bytes`.
void give_large_block(void* block, std::size_t bytes) noexcept;

}  // namespace kelvra
