#include "block_cache.h"

#include <sys/mman.h>

#include <array>
#include <mutex>
#include <new>

namespace kelvra {
namespace {

// Block lengths are whole multiples of this (whole pages, so that a block's surplus can be
// unmapped on its own).
constexpr std::size_t kSizeStep = std::size_t{64} << 10;
// At most this much freed memory is kept, in at most this many blocks: enough for the columns of
// a table of a million rows, little next to the tables that need it.
constexpr std::size_t kKeptBytes = std::size_t{256} << 20;
constexpr std::size_t kKeptBlocks = 32;

std::size_t block_length(std::size_t bytes) {
    return (bytes + kSizeStep - 1) / kSizeStep * kSizeStep;
}

struct KeptBlock {
    void* start;
    std::size_t length;
};

// Freed blocks, oldest first. Cells are allocated with the interpreter's lock held, but a table
// may be released from any thread, so the list has a lock of its own. Everything here is
// trivially destructible, so blocks released while the process exits still find a valid list.
class BlockCache {
public:
    void* take(std::size_t length) {
        KeptBlock block{};
        {
            const std::lock_guard lock(mutex_);
            // The smallest kept block that is large enough.
            std::size_t best = count_;
            for (std::size_t i = 0; i < count_; ++i) {
                if (kept_[i].length >= length &&
                    (best == count_ || kept_[i].length < kept_[best].length)) {
                    best = i;
                }
            }
            if (best != count_) block = remove(best);
        }
        if (block.start != nullptr) {
            // Its surplus goes back to the kernel, so the block is exactly as long as asked.
            if (block.length > length) {
                ::munmap(static_cast<char*>(block.start) + length, block.length - length);
            }
            return block.start;
        }
        void* start = map(length);
        if (start == nullptr) {
            release_all();
            start = map(length);
        }
        if (start == nullptr) throw std::bad_alloc();
        return start;
    }

    void give(void* start, std::size_t length) noexcept {
        if (length > kKeptBytes) {
            ::munmap(start, length);
            return;
        }
        std::array<KeptBlock, kKeptBlocks> evicted{};
        std::size_t evicted_count = 0;
        {
            const std::lock_guard lock(mutex_);
            // The newest block is the likeliest to be asked for again: make room by evicting the
            // oldest.
            while (count_ == kept_.size() || kept_bytes_ + length > kKeptBytes) {
                evicted[evicted_count++] = remove(0);
            }
            kept_[count_++] = {start, length};
            kept_bytes_ += length;
        }
        for (std::size_t i = 0; i < evicted_count; ++i) ::munmap(evicted[i].start, evicted[i].length);
    }

private:
    static void* map(std::size_t length) {
        void* const start =
            ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return start == MAP_FAILED ? nullptr : start;
    }

    void release_all() noexcept {
        std::array<KeptBlock, kKeptBlocks> released{};
        std::size_t released_count = 0;
        {
            const std::lock_guard lock(mutex_);
            while (count_ > 0) released[released_count++] = remove(count_ - 1);
        }
        for (std::size_t i = 0; i < released_count; ++i) {
            ::munmap(released[i].start, released[i].length);
        }
    }

    KeptBlock remove(std::size_t i) {
        const KeptBlock block = kept_[i];
        for (std::size_t j = i + 1; j < count_; ++j) kept_[j - 1] = kept_[j];
        --count_;
        kept_bytes_ -= block.length;
        return block;
    }

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

void* take_large_block(std::size_t bytes) { return cache().take(block_length(bytes)); }

void give_large_block(void* block, std::size_t bytes) noexcept {
    cache().give(block, block_length(bytes));
}

}  // namespace kelvra
