// Large cell blocks and their reuse.
//
// A column of a million cells needs a 40 MB block. Blocks that large come straight from the
// kernel, and every page of a fresh block costs a page fault when it is first written; building
// a large column spent most of its time there. Freed large blocks are therefore kept, at most
// 256 MB of them, and handed to the next request that fits, whose pages are then already mapped.
// When the kernel refuses a new block, the kept ones are given back first and the request tried
// again.
#pragma once

#include <cstddef>

namespace kelvra {

// Blocks of at least this many bytes go through the cache; smaller ones use the ordinary heap.
inline constexpr std::size_t kLargeBlock = std::size_t{1} << 20;

// A block of at least `bytes` bytes (bytes >= kLargeBlock), page-aligned; throws std::bad_alloc.
void* take_large_block(std::size_t bytes);
// Returns a block from take_large_block with the same `bytes`.
void give_large_block(void* block, std::size_t bytes) noexcept;

}  // namespace kelvra
