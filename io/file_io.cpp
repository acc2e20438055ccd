#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace kelvra {

InputFile::InputFile(const std::string& path, std::string_view open_error_prefix) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) throw std::runtime_error(std::string(open_error_prefix) + path);
    if (S_ISREG(st.st_mode) && st.st_size > 0) size_hint_ = static_cast<std::size_t>(st.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t InputFile::read(char* buf, std::size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd_, buf, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw std::runtime_error("Error reading file: " + path_);
    }
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw std::runtime_error("Cannot open file for writing: " + path);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

void OutputFile::fail() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("Error writing file: " + path_);
}

void OutputFile::write(std::string_view bytes) {
    if (fd_ < 0) fail();
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            fail();
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
}

void OutputFile::close() {
    if (fd_ < 0) fail();
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) throw std::runtime_error("Error writing file: " + path_);
}

}  // namespace kelvra
