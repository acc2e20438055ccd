#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace kelvra {

namespace {

// Symbolic links followed before the name is given up on, as the kernel does (ELOOP).
constexpr int kMaxLinks = 40;
// Names tried for a temporary file before writing in place instead.
constexpr int kTempAttempts = 16;

// The folder part of a path, with its trailing slash ("" for a bare name).
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The path of the file that path names once every symbolic link at its end is followed; a
// dangling link gives the name it points to, where the file is then created.
std::string with_symlinks_followed(const std::string& path) {
    std::string current = path;
    char link[PATH_MAX];
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st{};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        const ssize_t n = ::readlink(current.c_str(), link, sizeof link);
        if (n <= 0 || static_cast<std::size_t>(n) == sizeof link) return current;
        const std::string to(link, static_cast<std::size_t>(n));
        current = to.front() == '/' ? to : folder_of(current) + to;
    }
    return current;
}

// GRND_NONBLOCK of <sys/random.h>, which older C libraries lack.
constexpr unsigned kGetrandomNonblock = 0x0001;

// Creates a new, empty file beside target, as open() would create the target itself (mode 0666
// less the umask, the folder's default ACL). Returns its descriptor, or -1.
int create_temp_beside(const std::string& target, std::string& temp) {
    const std::string folder = folder_of(target);
    const std::string base = target.substr(folder.size());
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        std::uint64_t nonce = 0;
        // The system call itself, not glibc's wrapper (2.25 and later): the module also loads
        // under older C libraries. A kernel without it (ENOSYS) takes the fallback.
        if (::syscall(SYS_getrandom, &nonce, sizeof nonce, kGetrandomNonblock) !=
            static_cast<long>(sizeof nonce)) {
            nonce = (static_cast<std::uint64_t>(::getpid()) << 20) ^
                    static_cast<std::uint64_t>(attempt);
        }
        static constexpr char kHex[] = "0123456789abcdef";
        std::string name = folder + "." + base + ".kelvra-";
        for (int i = 0; i < 12; ++i) name += kHex[(nonce >> (4 * i)) & 0xF];
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            temp = std::move(name);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

}  // namespace

void reject_embedded_nul(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
}

InputFile::InputFile(const std::string& path, std::string_view open_error_prefix) : path_(path) {
    reject_embedded_nul(path);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) throw std::runtime_error(std::string(open_error_prefix) + path);
    if (S_ISREG(st.st_mode) && st.st_size > 0) stored_size_ = static_cast<std::size_t>(st.st_size);
    try {
        // A pipe may hand out fewer bytes than asked for: read until the head is whole.
        while (head_size_ < head_.size()) {
            const std::size_t got =
                read_descriptor(head_.data() + head_size_, head_.size() - head_size_);
            if (got == 0) break;
            head_size_ += got;
        }
        decoder_ = decoder_for(std::string_view(head_.data(), head_size_), *this);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t InputFile::read(char* buf, std::size_t n) {
    return decoder_ ? decoder_->read(buf, n) : read_stored(buf, n);
}

std::size_t InputFile::size_hint() const { return decoder_ ? decoder_->size_hint() : stored_size_; }

std::size_t InputFile::read_stored(char* buf, std::size_t n) {
    const std::size_t from_head = std::min(n, head_size_ - head_taken_);
    if (from_head == 0) return read_descriptor(buf, n);
    std::memcpy(buf, head_.data() + head_taken_, from_head);
    head_taken_ += from_head;
    return from_head;
}

bool InputFile::read_stored_at(char* buf, std::size_t n, std::size_t offset) const {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd_, buf + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::size_t InputFile::read_descriptor(char* buf, std::size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd_, buf, n);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) throw std::runtime_error("Error reading file: " + path_);
    }
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
    reject_embedded_nul(path);
    const std::string open_error = "Cannot open file for writing: " + path;
    target_ = with_symlinks_followed(path);
    struct stat st{};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    const bool replaceable = exists ? S_ISREG(st.st_mode) : errno == ENOENT;
    if (replaceable) {
        // Replacing a file needs the right to write it, as truncating it would.
        if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
            throw std::runtime_error(open_error);
        }
        fd_ = create_temp_beside(target_, temp_);
        if (fd_ >= 0 && exists) {
            // The owner first: changing it may clear the set-user-ID and set-group-ID bits.
            if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
                [[maybe_unused]] const int ignored = ::fchown(fd_, st.st_uid, st.st_gid);
            }
            if (::fchmod(fd_, st.st_mode & 07777) != 0) discard_temp();
        }
        if (fd_ >= 0) return;
    }
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw std::runtime_error(open_error);
}

OutputFile::~OutputFile() { discard_temp(); }

void OutputFile::discard_temp() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

void OutputFile::fail() {
    discard_temp();
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
    if (rc != 0) fail();
    if (!temp_.empty()) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) fail();
        temp_.clear();
    }
}

}  // namespace kelvra
