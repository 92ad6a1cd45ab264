#include "base/read_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "base/utf8.hpp"

namespace kestrel {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::string os_error_description(int code) {
    return std::generic_category().message(code) + " (os error " + std::to_string(code) + ")";
}

std::variant<std::string, ReadError> read_text_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return ReadError{"path contains a NUL byte"};
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return ReadError{os_error_description(errno)};
    std::string text;
    struct stat info {};
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        text.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return ReadError{os_error_description(errno)};
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    if (!is_valid_utf8(text)) return ReadError{"stream did not contain valid UTF-8"};
    return text;
}

}  // namespace kestrel
