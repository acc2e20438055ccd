// Stores that go around the cache, for writing results far larger than it. An ordinary store to
// a line not in the cache first reads the line from memory; a streaming store writes whole lines
// without reading them, which takes a third off the memory traffic of a copy. The results are
// then not in the cache, which only matters for arrays that would not have stayed there anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "packed_string.h"

namespace kelvra {

// Results of at least this many bytes are written with streaming stores: half a server's
// last-level cache, past which a result written through the cache would mostly have left it again
// before it is read.
inline constexpr std::size_t kStreamBytes = std::size_t{16} << 20;

inline void stream_store(std::uint64_t* at, std::uint64_t value) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    _mm_stream_si64(reinterpret_cast<long long*>(at), static_cast<long long>(value));
#else
    *at = value;
#endif
}

inline void stream_store(PackedString* at, const PackedString& value) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    std::uint64_t words[2];
    std::memcpy(words, &value, sizeof(words));
    stream_store(reinterpret_cast<std::uint64_t*>(at), words[0]);
    stream_store(reinterpret_cast<std::uint64_t*>(at) + 1, words[1]);
#else
    *at = value;
#endif
}

// Makes the streaming stores so far visible before anything written after.
inline void stream_fence() noexcept {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

}  // namespace kelvra
