// Ownership of exported Arrow structs. Each exported array or schema points its private_data at
// an owner holding everything it refers to; its release callback destroys that owner, which
// releases the children that the consumer has not moved away. Until a struct is handed over, the
// owner sits in a unique_ptr, so an export that fails half way frees what it built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../../core/column.h"
#include "../../core/pod_buffer.h"
#include "arrow_c.h"

namespace kelvra::arrow {

struct ArrayOwner {
    // The column whose storage the buffers share; columns never change once in a table.
    std::shared_ptr<const Column> column;
    // Buffers built for this export: validity and boolean bits, union type ids and offsets,
    // string offsets and bytes, string views gathered by row, the byte buffers of texts written
    // for views (after the column's own) and the sizes of their byte buffers.
    std::vector<PodBuffer<std::uint64_t>> words;
    PodBuffer<std::int8_t> type_ids;
    PodBuffer<std::int32_t> offsets32;
    PodBuffer<std::int64_t> offsets64;
    PodBuffer<char> bytes;
    PodBuffer<PackedString> views;
    std::vector<PodBuffer<char>> view_bytes;
    PodBuffer<std::int64_t> buffer_sizes;
    // Three entries, or more for string views (one per byte buffer, then their sizes).
    std::vector<const void*> buffers = std::vector<const void*>(3, nullptr);
    std::vector<ArrowArray> child_arrays;
    std::vector<ArrowArray*> children;

    ArrayOwner() = default;
    ArrayOwner(const ArrayOwner&) = delete;
    ArrayOwner& operator=(const ArrayOwner&) = delete;
    ~ArrayOwner();

    // Room for n children, to be filled in place before the owner is handed over.
    void reserve_children(std::size_t n);
    // A new built buffer of 64-bit words.
    PodBuffer<std::uint64_t>& new_words() { return words.emplace_back(); }
};

// Fills out as an array of `length` rows over owner->buffers[0 .. n_buffers) and its children;
// out then owns the owner.
void hand_over(std::unique_ptr<ArrayOwner> owner, std::size_t length, std::size_t null_count,
               std::size_t n_buffers, ArrowArray& out) noexcept;

// The type of one field, kept by the stream so that every get_schema gives a fresh copy.
struct FieldType {
    std::string format;
    std::string name;
    bool nullable = true;
    std::vector<FieldType> children;
};

// Fills out with a schema of the field that owns its own copies of the texts.
void export_schema(const FieldType& field, ArrowSchema& out);

// An empty buffer that is still a valid address, for consumers that dereference every buffer.
inline const void* empty_buffer() noexcept {
    static constexpr std::int64_t kZero[2] = {0, 0};
    return kZero;
}

}  // namespace kelvra::arrow
