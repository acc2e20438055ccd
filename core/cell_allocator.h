// The allocator of column cells: large blocks come from the block cache, small ones from the
// heap. Under AddressSanitizer every block comes from the heap, so that it is fully checked.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "block_cache.h"

namespace kelvra {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kCacheLargeBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kCacheLargeBlocks = false;
#else
inline constexpr bool kCacheLargeBlocks = true;
#endif
#else
inline constexpr bool kCacheLargeBlocks = true;
#endif

template <class T>
struct CellAllocator {
    using value_type = T;

    CellAllocator() noexcept = default;
    template <class U>
    CellAllocator(const CellAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        if (!kCacheLargeBlocks || n * sizeof(T) < kLargeBlock) return std::allocator<T>().allocate(n);
        return static_cast<T*>(take_large_block(n * sizeof(T)));
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (!kCacheLargeBlocks || n * sizeof(T) < kLargeBlock) {
            std::allocator<T>().deallocate(p, n);
        } else {
            give_large_block(p, n * sizeof(T));
        }
    }

    template <class U>
    bool operator==(const CellAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace kelvra
