#include "block_cache.h"

#include <sys/mman.h>

#include <array>
#include <mutex>
#include <new>

namespace kelvra {
namespace {

// Blocks are sized in steps of this many bytes, so that requests for similar sizes (the same
// row count) share a class.
constexpr std::size_t kSizeStep = std::size_t{1} << 20;
// At most this much freed memory is kept, in at most this many blocks.
constexpr std::size_t kKeptBytes = std::size_t{512} << 20;
constexpr std::size_t kKeptBlocks = 32;

std::size_t class_length(std::size_t bytes) { return (bytes + kSizeStep - 1) / kSizeStep * kSizeStep; }

struct KeptBlock {
    void* start;
    std::size_t length;
};

// Freed blocks. Cells are allocated with the interpreter's lock held, but a table may be
// released from any thread, so the list has a lock of its own. Everything here is trivially
// destructible, so blocks released while the process exits still find a valid list.
class BlockCache {
public:
    void* take(std::size_t length) {
        {
            const std::lock_guard lock(mutex_);
            for (std::size_t i = count_; i-- > 0;) {
                if (kept_[i].length == length) {
                    void* const start = kept_[i].start;
                    kept_bytes_ -= length;
                    kept_[i] = kept_[--count_];
                    return start;
                }
            }
        }
        void* const start =
            ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (start == MAP_FAILED) throw std::bad_alloc();
        return start;
    }

    void give(void* start, std::size_t length) noexcept {
        {
            const std::lock_guard lock(mutex_);
            if (kept_bytes_ + length <= kKeptBytes && count_ < kept_.size()) {
                // The kernel may reclaim these pages under pressure; until then reuse is free.
                ::madvise(start, length, MADV_FREE);
                kept_[count_++] = {start, length};
                kept_bytes_ += length;
                return;
            }
        }
        ::munmap(start, length);
    }

private:
    std::mutex mutex_;
    std::array<KeptBlock, kKeptBlocks> kept_{};
    std::size_t count_ = 0;
    std::size_t kept_bytes_ = 0;
};

BlockCache& cache() {
    static BlockCache instance;
    return instance;
}

}  // namespace

void* take_large_block(std::size_t bytes) { return cache().take(class_length(bytes)); }

void give_large_block(void* block, std::size_t bytes) noexcept {
    cache().give(block, class_length(bytes));
}

}  // namespace kelvra
