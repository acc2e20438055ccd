#include "text_output.h"

#include <algorithm>

namespace kelvra {
namespace {

// Big enough that the file gets few, large writes; small enough to stay in the cache.
constexpr std::size_t kChunk = 1 << 20;

}  // namespace

TextOutput::TextOutput(const std::string& path)
    : file_(path),
      capacity_(kChunk),
      buffer_(std::make_unique_for_overwrite<char[]>(kChunk)),
      end_(buffer_.get() + kChunk) {}

char* TextOutput::make_room(char* cursor, std::size_t n) {
    file_.write({buffer_.get(), static_cast<std::size_t>(cursor - buffer_.get())});
    if (n > capacity_) {
        // A cell longer than the buffer: room for it alone.
        capacity_ = std::max(n, 2 * capacity_);
        buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
        end_ = buffer_.get() + capacity_;
    }
    return buffer_.get();
}

void TextOutput::finish(char* cursor) {
    file_.write({buffer_.get(), static_cast<std::size_t>(cursor - buffer_.get())});
    file_.close();
}

}  // namespace kelvra
