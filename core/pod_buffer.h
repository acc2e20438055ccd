// A growable array of plain values (bytes, integers, doubles) for column storage.
//
// Large arrays are mappings of their own, advised for huge pages: a column of a million rows then
// costs a handful of page faults instead of two thousand. A freed one is kept for the next large
// array while others live, and goes back to the kernel when none does (block_pool.h).
// Small arrays, and every array under AddressSanitizer (so that it is fully checked), use the heap.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace kelvra {

namespace detail {

// Raw storage of `bytes` bytes, released by release_block with the same size. Both throw nothing
// but std::bad_alloc.
void* acquire_block(std::size_t bytes);
void release_block(void* block, std::size_t bytes) noexcept;
// Moves a block to another size, keeping its first `used` bytes (at most new_bytes).
void* resize_block(void* block, std::size_t old_bytes, std::size_t used, std::size_t new_bytes);

}  // namespace detail

template <class T>
class PodBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    PodBuffer() noexcept = default;
    PodBuffer(std::size_t n, T fill) { assign(n, fill); }
    PodBuffer(const PodBuffer& other) { append(other.data(), other.size()); }
    PodBuffer(PodBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    PodBuffer& operator=(PodBuffer other) noexcept {
        swap(other);
        return *this;
    }
    ~PodBuffer() { free_storage(); }

    void swap(PodBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }
    const T& back() const noexcept { return data_[size_ - 1]; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    void reserve(std::size_t n) {
        if (n > capacity_) reallocate(n);
    }
    void push_back(T v) {
        if (size_ == capacity_) reallocate(next_capacity(size_ + 1));
        data_[size_++] = v;
    }
    void append(const T* values, std::size_t n) {
        if (n == 0) return;
        if (size_ + n > capacity_) reallocate(next_capacity(size_ + n));
        std::memcpy(data_ + size_, values, n * sizeof(T));
        size_ += n;
    }
    // Room for n more values at the end, uninitialised; commit them with set_size.
    T* extend_uninitialised(std::size_t n) {
        if (size_ + n > capacity_) reallocate(next_capacity(size_ + n));
        return data_ + size_;
    }
    void set_size(std::size_t n) noexcept { size_ = n; }
    void resize(std::size_t n, T fill) {
        if (n > capacity_) reallocate(n);
        for (std::size_t i = size_; i < n; ++i) data_[i] = fill;
        size_ = n;
    }
    void assign(std::size_t n, T fill) {
        size_ = 0;
        resize(n, fill);
    }
    void pop_back() noexcept { --size_; }
    void clear() noexcept { size_ = 0; }
    // Frees the storage entirely.
    void reset() noexcept {
        free_storage();
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
    // Gives back reserved room far beyond the size, once a column is complete, keeping `slack`
    // values of room after the last.
    void trim(std::size_t slack = 0) {
        if (capacity_ - size_ <= size_ / 8 + 64 + slack) return;
        if (size_ == 0 && slack == 0) {
            reset();
        } else {
            reallocate(size_ + slack);
        }
    }

private:
    static std::size_t next_capacity(std::size_t needed) {
        std::size_t grown = 16;
        while (grown < needed) grown *= 2;
        return grown;
    }
    void reallocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        if (data_ == nullptr) {
            data_ = static_cast<T*>(detail::acquire_block(n * sizeof(T)));
        } else {
            data_ = static_cast<T*>(detail::resize_block(data_, capacity_ * sizeof(T),
                                                         size_ * sizeof(T), n * sizeof(T)));
        }
        capacity_ = n;
    }
    void free_storage() noexcept {
        if (data_ != nullptr) detail::release_block(data_, capacity_ * sizeof(T));
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kelvra
