// Whole-block file input and output with every error reported, shared by the readers and writers.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "compressed_input.h"

namespace kelvra {

// Throws std::invalid_argument("embedded null byte") when path holds a NUL byte, which the
// operating system would take for its end.
void reject_embedded_nul(const std::string& path);

// A file opened for reading. A path holding a NUL byte is refused as reject_embedded_nul says.
// Opening a missing, unreadable or directory path throws
// std::runtime_error(open_error_prefix + path); a failed read throws
// std::runtime_error("Error reading file: " + path). A compressed file is told by its first bytes
// and read as its decoded text (compressed_input.h), or refused with std::invalid_argument.
class InputFile {
public:
    InputFile(const std::string& path, std::string_view open_error_prefix);
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Reads up to n bytes of the text into buf; returns how many, 0 at the end of the file.
    std::size_t read(char* buf, std::size_t n);
    // The size of the text (a hint: the file may change): the size the file had when it was
    // opened, for a compressed file an estimate that improves as it is read.
    std::size_t size_hint() const;
    const std::string& path() const { return path_; }

    // The bytes as stored, from the first on: what a decoder reads. Returns 0 at the end.
    std::size_t read_stored(char* buf, std::size_t n);
    // The stored size when the file was opened, 0 when unknown (a FIFO, a /proc file).
    std::size_t stored_size() const { return stored_size_; }
    // Reads the n stored bytes from offset on without moving the read position; false when the
    // file cannot be read there (not a regular file, or shorter).
    bool read_stored_at(char* buf, std::size_t n, std::size_t offset) const;

private:
    std::size_t read_descriptor(char* buf, std::size_t n);
    std::string path_;
    int fd_ = -1;
    std::size_t stored_size_ = 0;
    // The first bytes, read at opening to tell the format; read_stored hands them out first.
    std::array<char, kFormatHeadBytes> head_{};
    std::size_t head_size_ = 0;
    std::size_t head_taken_ = 0;
    std::unique_ptr<Decoder> decoder_;
};

// A whole file written anew. For a regular file or a new name the bytes go to a temporary file
// in the target's folder, which close() renames over the target once everything is written: a
// failure at any point removes the temporary and leaves an existing target as it was. A
// symbolic link is followed (the file it names is replaced, the link stays); the replaced file's
// permission bits (and, where allowed, owner) carry over, a new file gets 0666 less the umask.
// A device, a FIFO, or a folder where no temporary file can be made is written in place. Nothing
// is synced to the disk. A path holding a NUL byte throws std::invalid_argument("embedded null
// byte"); opening fails with std::runtime_error("Cannot open file for writing: " + path); a
// failed write, close or rename throws std::runtime_error("Error writing file: " + path).
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    void write(std::string_view bytes);
    // Closes the file and puts it in place; must be called for the file to exist at the path.
    void close();

private:
    [[noreturn]] void fail();
    void discard_temp() noexcept;
    std::string path_;    // as given, for messages
    std::string target_;  // the file replaced: path_ with symbolic links followed
    std::string temp_;    // the temporary file, empty when writing in place
    int fd_ = -1;
};

}  // namespace kelvra
