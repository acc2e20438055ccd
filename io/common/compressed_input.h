// Compressed files told by their first bytes, whatever their name: gzip and Zstandard are decoded
// block by block as they are read; the other compressed and archive formats are refused by name.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace kelvra {

class InputFile;

// The first bytes of a file that tell its format.
inline constexpr std::size_t kFormatHeadBytes = 10;

// Turns the stored bytes of a compressed file into its text, a block at a time: nothing but
// the stored bytes in flight and the format's own window is held. A stream cut short or
// corrupt throws std::invalid_argument naming the file and the stored byte at fault.
class Decoder {
public:
    virtual ~Decoder() = default;
    // Fills up to n bytes of out with the text; returns how many, 0 once the text has ended.
    std::size_t read(char* out, std::size_t n) {
        const std::size_t got = decode(out, n);
        produced_ += got;
        return got;
    }
    // The size of the whole text: a size the stream declares, when it is plausible, otherwise
    // the stored size scaled by how much the bytes decoded so far grew.
    std::size_t size_hint() const;

protected:
    virtual std::size_t decode(char* out, std::size_t n) = 0;
    // The stored bytes decoded so far.
    virtual std::size_t consumed() const = 0;
    // The text size the stream itself records (0 when it records none).
    virtual std::size_t declared_size() const = 0;
    // longest_growth: how many times its stored size a text of the format can be at the most; a
    // declared size beyond it is not believed (a forged trailer or header could claim gigabytes).
    Decoder(std::size_t stored_size, std::size_t longest_growth)
        : stored_size_(stored_size), longest_growth_(longest_growth) {}

private:
    std::size_t stored_size_;
    std::size_t longest_growth_;
    std::size_t produced_ = 0;
};

// The decoder of the file whose first bytes are `head` when they begin a gzip or Zstandard
// stream, nullptr when they begin anything else (text, read as it is stored). The zip, bzip2 and
// xz formats (and Zstandard in a build without it) throw std::invalid_argument naming the file
// and the format. The decoder reads the stored bytes from `file`, from its first byte on.
std::unique_ptr<Decoder> decoder_for(std::string_view head, InputFile& file);

// Whether a file whose first bytes are `head` would be taken for one of those formats.
bool names_a_format(std::string_view head);

}  // namespace kelvra
