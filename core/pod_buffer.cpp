#include "pod_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

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

// Blocks of at least this size are mappings of their own.
constexpr std::size_t kLargeBlock = std::size_t{1} << 20;

bool is_large(std::size_t bytes) { return kMapLargeBlocks && bytes >= kLargeBlock; }

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Mappings of a whole number of huge pages: the kernel then places them on huge-page boundaries,
// and every part of them can be a huge page.
std::size_t page_rounded(std::size_t bytes) {
    const std::size_t unit =
        bytes >= kHugePage ? kHugePage : static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + unit - 1) / unit * unit;
}

void* map_block(std::size_t bytes) {
    void* block = ::mmap(nullptr, page_rounded(bytes), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    // Huge pages where the kernel has them to give; a refusal only costs speed.
    (void)::madvise(block, page_rounded(bytes), MADV_HUGEPAGE);
    return block;
}

}  // namespace

void* acquire_block(std::size_t bytes) {
    if (is_large(bytes)) return map_block(bytes);
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void release_block(void* block, std::size_t bytes) noexcept {
    if (is_large(bytes)) {
        ::munmap(block, page_rounded(bytes));
    } else {
        std::free(block);
    }
}

void* resize_block(void* block, std::size_t old_bytes, std::size_t used, std::size_t new_bytes) {
    const bool was_large = is_large(old_bytes), large = is_large(new_bytes);
    if (was_large && large) {
        // The kernel moves or trims the pages themselves: nothing is copied.
        void* moved = ::mremap(block, page_rounded(old_bytes), page_rounded(new_bytes), MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        (void)::madvise(moved, page_rounded(new_bytes), MADV_HUGEPAGE);
        return moved;
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
