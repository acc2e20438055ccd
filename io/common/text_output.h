// The writers' output buffer: text is written through a raw cursor into a buffer that always has
// the room asked for, and handed to the file about a megabyte at a time.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "file_io.h"

namespace kelvra {

class TextOutput {
public:
    explicit TextOutput(const std::string& path);

    // Where writing starts.
    char* cursor() noexcept { return buffer_.get(); }
    // A cursor with room for at least n bytes after it: the same one when they fit, otherwise the
    // buffer's start after what lies before the cursor went to the file.
    char* reserve(char* cursor, std::size_t n) {
        if (n <= static_cast<std::size_t>(end_ - cursor)) [[likely]]
            return cursor;
        return make_room(cursor, n);
    }
    char* write(char* cursor, std::string_view text) {
        cursor = reserve(cursor, text.size());
        std::memcpy(cursor, text.data(), text.size());
        return cursor + text.size();
    }
    // Writes everything before the cursor and closes the file, reporting any error.
    void finish(char* cursor);

private:
    char* make_room(char* cursor, std::size_t n);

    OutputFile file_;
    std::size_t capacity_;
    std::unique_ptr<char[]> buffer_;
    char* end_;
};

}  // namespace kelvra
