#include "pod_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

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

std::size_t page_rounded(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
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

void* grow_block(void* block, std::size_t old_bytes, std::size_t used, std::size_t new_bytes) {
    if (is_large(old_bytes)) {
        // The kernel moves the pages themselves: nothing is copied.
        void* moved = ::mremap(block, page_rounded(old_bytes), page_rounded(new_bytes), MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        (void)::madvise(moved, page_rounded(new_bytes), MADV_HUGEPAGE);
        return moved;
    }
    if (!is_large(new_bytes)) {
        void* moved = std::realloc(block, new_bytes);
        if (moved == nullptr) throw std::bad_alloc();
        return moved;
    }
    void* fresh = map_block(new_bytes);
    std::memcpy(fresh, block, used);
    std::free(block);
    return fresh;
}

}  // namespace kelvra::detail
