#include "pod_buffer.h"

#include <algorithm>
#include <cstdlib>

#include "block_pool.h"

namespace kelvra::detail {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif
#else
constexpr bool kMapLargeBlocks = true;
#endif

// Blocks of at least this size are mappings of their own (block_pool.h).
constexpr std::size_t kLargeBlock = std::size_t{1} << 20;

bool is_large(std::size_t bytes) { return kMapLargeBlocks && bytes >= kLargeBlock; }

// Mappings are whole huge pages: the kernel then places them on huge-page boundaries, every part
// of them can be a huge page, and a freed one serves any later array of its size class.
std::size_t mapped_size(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(-1) - kHugePage) throw std::bad_alloc();
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

void* acquire_block(std::size_t bytes) {
    if (is_large(bytes)) return take_mapping(mapped_size(bytes));
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void release_block(void* block, std::size_t bytes) noexcept {
    if (is_large(bytes)) {
        give_mapping(block, mapped_size(bytes));
    } else {
        std::free(block);
    }
}

void* resize_block(void* block, std::size_t old_bytes, std::size_t used, std::size_t new_bytes) {
    const bool was_large = is_large(old_bytes), large = is_large(new_bytes);
    if (was_large && large) {
        return resize_mapping(block, mapped_size(old_bytes), mapped_size(new_bytes));
    }
    if (!was_large && !large) {
        void* moved = std::realloc(block, new_bytes == 0 ? 1 : new_bytes);
        if (moved == nullptr) throw std::bad_alloc();
        return moved;
    }
    void* fresh = acquire_block(new_bytes);
    std::memcpy(fresh, block, std::min(used, new_bytes));
    release_block(block, old_bytes);
    return fresh;
}

}  // namespace kelvra::detail
