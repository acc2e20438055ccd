#include "block_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <new>
#include <type_traits>

namespace kelvra::detail {
namespace {

// The most kept for reuse, however much the live tables hold: the results of a few operations on
// tables of tens of millions of rows. Past that, an operation's own work dwarfs the zeroing of
// its pages, and memory held back from the rest of the machine would only cost.
constexpr std::size_t kKeptCap = std::size_t{1} << 30;
// Kept mappings are few (each is a freed column array), so a fixed table holds them: keeping one
// never allocates, and a full table only means that the next freed one is unmapped.
constexpr std::size_t kMaxKept = 64;

struct Mapping {
    char* start = nullptr;
    std::size_t bytes = 0;
};

void* map_fresh(std::size_t bytes) {
    void* block =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    // Huge pages where the kernel has them to give; a refusal only costs speed.
    (void)::madvise(block, bytes, MADV_HUGEPAGE);
    return block;
}

// The kernel moves or resizes the pages themselves: nothing is copied, and only pages added by
// growth are new.
void* remap(void* block, std::size_t old_bytes, std::size_t new_bytes) {
    void* moved = ::mremap(block, old_bytes, new_bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    (void)::madvise(moved, new_bytes, MADV_HUGEPAGE);
    return moved;
}

// Mappings leaving the pool, unmapped when this goes out of scope: declared before the pool's
// lock is taken, it unmaps after the lock is released, so no thread waits on another's munmap.
class Unmapper {
public:
    Unmapper() = default;
    Unmapper(const Unmapper&) = delete;
    Unmapper& operator=(const Unmapper&) = delete;
    ~Unmapper() {
        for (std::size_t i = 0; i < count_; ++i) ::munmap(items_[i].start, items_[i].bytes);
    }
    void add(Mapping mapping) noexcept {
        if (mapping.start != nullptr) items_[count_++] = mapping;
    }

private:
    // At most every kept mapping and one more leave in one step.
    std::array<Mapping, kMaxKept + 1> items_{};
    std::size_t count_ = 0;
};

// What the large arrays of the process hold: the bytes of the mappings in use (live) and the
// mappings kept for reuse. One mutex guards it all, and nothing else: keeping, lending and the
// bound on the kept bytes are a relation between the table and both counts, which atomics alone
// could not keep consistent. It is held for a scan of a few dozen entries, never across a system
// call, so threads running without the interpreter's lock hardly ever wait on it.
class Pool {
public:
    // Counts `bytes` as live and lends a kept mapping for them: the head of the smallest one that
    // is large enough (its tail stays kept, the split is only bookkeeping), else the largest one
    // for the caller to grow, else none.
    Mapping lend(std::size_t bytes) {
        const std::lock_guard lock(mutex_);
        live_ += bytes;
        Mapping* fit = nullptr;
        Mapping* largest = nullptr;
        for (Mapping* m = kept_.data(); m != kept_.data() + count_; ++m) {
            if (m->bytes >= bytes && (fit == nullptr || m->bytes < fit->bytes)) fit = m;
            if (largest == nullptr || m->bytes > largest->bytes) largest = m;
        }
        if (fit != nullptr && fit->bytes > bytes) {
            const Mapping head{fit->start, bytes};
            fit->start += bytes;
            fit->bytes -= bytes;
            kept_bytes_ -= bytes;
            return head;
        }
        Mapping* const taken = fit != nullptr ? fit : largest;
        if (taken == nullptr) return {};
        const Mapping lent = *taken;
        kept_bytes_ -= lent.bytes;
        *taken = kept_[--count_];
        return lent;
    }

    void add_live(std::size_t bytes) {
        const std::lock_guard lock(mutex_);
        live_ += bytes;
    }

    // Counts `mapping` as live no more; keeps it if asked and there is room, otherwise hands it
    // to `out`. A mapping without a start only lowers the live count (a mapping never made).
    void release(Mapping mapping, bool keep, Unmapper& out) noexcept {
        const std::lock_guard lock(mutex_);
        live_ -= mapping.bytes;
        if (keep && mapping.start != nullptr && count_ < kMaxKept) {
            kept_[count_++] = mapping;
            kept_bytes_ += mapping.bytes;
        } else {
            out.add(mapping);
        }
        trim(out);
    }

private:
    // Brings the kept bytes within their bound, cutting from the largest kept mappings: a cut of
    // part of one unmaps only its tail. With nothing live, the bound is 0 and every one goes.
    void trim(Unmapper& out) noexcept {
        const std::size_t bound = std::min(live_, kKeptCap);
        while (kept_bytes_ > bound) {
            Mapping* largest = kept_.data();
            for (Mapping* m = kept_.data(); m != kept_.data() + count_; ++m) {
                if (m->bytes > largest->bytes) largest = m;
            }
            const std::size_t excess = kept_bytes_ - bound;
            if (largest->bytes <= excess) {
                out.add(*largest);
                kept_bytes_ -= largest->bytes;
                *largest = kept_[--count_];
            } else {
                const std::size_t cut = (excess + kHugePage - 1) / kHugePage * kHugePage;
                largest->bytes -= cut;
                out.add({largest->start + largest->bytes, cut});
                kept_bytes_ -= cut;
                if (largest->bytes == 0) *largest = kept_[--count_];
            }
        }
    }

    std::mutex mutex_;
    std::array<Mapping, kMaxKept> kept_{};
    std::size_t count_ = 0;
    std::size_t kept_bytes_ = 0;
    std::size_t live_ = 0;
};

// Tables freed while the interpreter shuts down may outlive the static destructors: the pool has
// none to run.
static_assert(std::is_trivially_destructible_v<Pool>);
constinit Pool pool;

}  // namespace

void* take_mapping(std::size_t bytes) {
    const Mapping lent = pool.lend(bytes);
    if (lent.bytes == bytes) return lent.start;
    try {
        if (lent.start == nullptr) return map_fresh(bytes);
        return remap(lent.start, lent.bytes, bytes);
    } catch (const std::bad_alloc&) {
        // A failed mremap leaves the lent mapping as it was: it goes back to the kernel.
        Unmapper out;
        out.add(lent);
        pool.release({nullptr, bytes}, false, out);
        throw;
    }
}

void give_mapping(void* block, std::size_t bytes) noexcept {
    Unmapper out;
    pool.release({static_cast<char*>(block), bytes}, true, out);
}

void* resize_mapping(void* block, std::size_t old_bytes, std::size_t new_bytes) {
    char* const start = static_cast<char*>(block);
    if (new_bytes <= old_bytes) {
        // The tail is kept like any freed mapping: when it held pages, they serve the next array.
        if (new_bytes < old_bytes) give_mapping(start + new_bytes, old_bytes - new_bytes);
        return block;
    }
    pool.add_live(new_bytes - old_bytes);
    try {
        return remap(block, old_bytes, new_bytes);
    } catch (const std::bad_alloc&) {
        Unmapper out;
        pool.release({nullptr, new_bytes - old_bytes}, false, out);
        throw;
    }
}

}  // namespace kelvra::detail
