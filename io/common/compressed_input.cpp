#include "compressed_input.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "decoders.h"
#include "file_io.h"

namespace kelvra {

namespace {

// Stored bytes read at a time: enough that a refill is rare next to the decoding it feeds.
constexpr std::size_t kStoredBlock = std::size_t{1} << 18;
// How much a text is guessed to grow on decoding before any of it is decoded.
constexpr std::size_t kFirstGrowthGuess = 4;

using namespace std::string_view_literals;
constexpr std::string_view kGzip = "\x1f\x8b"sv;
constexpr std::string_view kZstd = "\x28\xb5\x2f\xfd"sv;
constexpr std::string_view kZip = "PK\x03\x04"sv;
constexpr std::string_view kXz =
    "\xfd"
    "7zXZ\0"sv;
// bzip2: "BZh", the block size digit, then the magic of the first block or of the stream's end.
constexpr std::string_view kBzip2 = "BZh"sv;
constexpr std::string_view kBzip2Block = "\x31\x41\x59\x26\x53\x59"sv;
constexpr std::string_view kBzip2End = "\x17\x72\x45\x38\x50\x90"sv;

#ifdef KELVRA_WITH_ZSTD
constexpr std::string_view kFormatsRead = " (gzip and Zstandard files are read as they are)"sv;
#else
constexpr std::string_view kFormatsRead = " (gzip files are read as they are)"sv;
#endif

bool is_bzip2(std::string_view head) {
    if (!head.starts_with(kBzip2) || head.size() < 10 || head[3] < '1' || head[3] > '9') {
        return false;
    }
    const std::string_view block = head.substr(4, 6);
    return block == kBzip2Block || block == kBzip2End;
}

[[noreturn]] void refuse(const InputFile& file, std::string_view what, std::string_view action) {
    throw std::invalid_argument(file.path() + " is " + std::string(what) + ": " +
                                std::string(action) + " first" + std::string(kFormatsRead));
}

}  // namespace

std::size_t Decoder::size_hint() const {
    const std::size_t used = consumed();
    std::size_t estimate = stored_size_ * kFirstGrowthGuess;
    if (used > 0 && produced_ > 0) {
        estimate =
            static_cast<std::size_t>(static_cast<double>(stored_size_) *
                                     static_cast<double>(produced_) / static_cast<double>(used));
    }
    estimate = std::max(estimate, produced_);
    // A declared size far below the estimate is that of one stream among several; one past what
    // the stored bytes could hold is forged.
    const std::size_t declared = declared_size();
    if (declared >= produced_ && declared >= estimate / 2 &&
        declared / longest_growth_ <= stored_size_) {
        return declared;
    }
    return estimate;
}

StoredInput::StoredInput(InputFile& file)
    : file_(file), block_(std::make_unique<unsigned char[]>(kStoredBlock)) {}

bool StoredInput::refill() {
    before_ += size_;
    size_ = 0;
    char* const block = reinterpret_cast<char*>(block_.get());
    while (!ended_ && size_ < kStoredBlock) {
        const std::size_t got = file_.read_stored(block + size_, kStoredBlock - size_);
        if (got == 0) ended_ = true;
        size_ += got;
    }
    return size_ > 0;
}

void throw_corrupt(const InputFile& file, std::string_view format, std::size_t offset,
                   std::string_view what) {
    throw std::invalid_argument(file.path() + ": corrupt " + std::string(format) +
                                " data at byte " + std::to_string(offset) + ": " +
                                std::string(what));
}

void throw_truncated(const InputFile& file, std::string_view format, std::size_t offset) {
    throw std::invalid_argument(file.path() + ": truncated " + std::string(format) +
                                " data: the file ends at byte " + std::to_string(offset) +
                                " inside a compressed stream");
}

std::size_t gzip_declared_size(const InputFile& file) {
    // The trailer ends with the size modulo 2^32, little-endian; the smallest whole member is
    // 20 bytes (a 10-byte header, an empty deflate block, the 8-byte trailer).
    constexpr std::size_t kSizeBytes = 4;
    constexpr std::size_t kSmallestMember = 20;
    unsigned char trailer[kSizeBytes];
    const std::size_t size = file.stored_size();
    if (size < kSmallestMember ||
        !file.read_stored_at(reinterpret_cast<char*>(trailer), kSizeBytes, size - kSizeBytes)) {
        return 0;
    }
    std::size_t declared = 0;
    for (std::size_t i = kSizeBytes; i-- > 0;) declared = declared << 8 | trailer[i];
    return declared;
}

bool names_a_format(std::string_view head) {
    return head.starts_with(kGzip) || head.starts_with(kZstd) || head.starts_with(kZip) ||
           head.starts_with(kXz) || is_bzip2(head);
}

std::unique_ptr<Decoder> decoder_for(std::string_view head, InputFile& file) {
    if (head.starts_with(kGzip)) return make_gzip_decoder(file);
    if (head.starts_with(kZstd)) {
        std::unique_ptr<Decoder> decoder = make_zstd_decoder(file);
        if (decoder == nullptr) {
            throw std::invalid_argument(file.path() +
                                        " is compressed with Zstandard, which this build does not "
                                        "read: decompress it first");
        }
        return decoder;
    }
    if (head.starts_with(kZip)) refuse(file, "a zip archive", "extract it");
    if (head.starts_with(kXz)) refuse(file, "compressed with xz", "decompress it");
    if (is_bzip2(head)) refuse(file, "compressed with bzip2", "decompress it");
    return nullptr;
}

}  // namespace kelvra
