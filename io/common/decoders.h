// What the decoders of compressed_input.h share: the stored bytes read a block at a time, the
// offsets their faults are reported at, and the decoder of each format read.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "compressed_input.h"
#include "file_io.h"

namespace kelvra {

// The stored bytes of a file, a block at a time, with the offset in the file of each byte.
class StoredInput {
public:
    explicit StoredInput(InputFile& file);

    // Replaces the block with the next one (filled as far as the file goes); false, and an
    // empty block, once the file has ended.
    bool refill();
    const unsigned char* data() const { return block_.get(); }
    std::size_t size() const { return size_; }
    bool ended() const { return ended_; }
    // The offset in the file of the byte at p, which lies in the block or just past it.
    std::size_t offset_of(const void* p) const {
        return before_ + static_cast<std::size_t>(static_cast<const unsigned char*>(p) - data());
    }
    InputFile& file() const { return file_; }

private:
    InputFile& file_;
    std::unique_ptr<unsigned char[]> block_;
    std::size_t size_ = 0;
    std::size_t before_ = 0;  // the stored bytes of the blocks before this one
    bool ended_ = false;
};

// Replaces the input's block with the next one and points a decoder's input (`next`, `left`:
// zlib's and ISA-L's next_in and avail_in) at it.
template <class Byte, class Count>
void refill_into(StoredInput& input, Byte*& next, Count& left) {
    input.refill();
    next = const_cast<Byte*>(input.data());
    left = static_cast<Count>(input.size());
}

// After a gzip member: skips the NUL bytes that may follow it (as gzip and Python's gzip module
// do), refilling as needed. False when the file ends first: the text has ended.
template <class Byte, class Count>
bool skip_gzip_padding(StoredInput& input, Byte*& next, Count& left) {
    for (;;) {
        while (left > 0 && *next == 0) {
            ++next;
            --left;
        }
        if (left > 0) return true;
        if (input.ended()) return false;
        refill_into(input, next, left);
    }
}

// Throws std::invalid_argument("<path>: <format> data ... at byte <offset>: <what>").
[[noreturn]] void throw_corrupt(const InputFile& file, std::string_view format, std::size_t offset,
                                std::string_view what);
// Throws std::invalid_argument saying the file ends at byte `offset` inside a stream.
[[noreturn]] void throw_truncated(const InputFile& file, std::string_view format,
                                  std::size_t offset);

// The most a text grows over its stored bytes: deflate codes its longest match (258 bytes) in no
// less than two bits; a Zstandard block of 128 KiB may be one byte repeated, stored in four.
inline constexpr std::size_t kDeflateLongestGrowth = 1032;
inline constexpr std::size_t kZstdLongestGrowth = 32768;

// The size the last gzip member of a regular file records in its trailer (0 when it cannot be
// read): the whole text's size when the file is one member of a text under 4 GiB.
std::size_t gzip_declared_size(const InputFile& file);

// zlib's inflate, or ISA-L's in a build with it.
std::unique_ptr<Decoder> make_gzip_decoder(InputFile& file);
// nullptr in a build without Zstandard.
std::unique_ptr<Decoder> make_zstd_decoder(InputFile& file);

}  // namespace kelvra
