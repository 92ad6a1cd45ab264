#include "base/file_descriptor.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kestrel {

void FileDescriptor::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::uint64_t FileDescriptor::regular_file_size() const {
    struct stat info {};
    if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        return static_cast<std::uint64_t>(info.st_size);
    return 0;
}

ssize_t FileDescriptor::read_some(char* buffer, std::size_t size) const {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

Result<FileDescriptor> open_for_reading(const std::string& path) {
    // The system call would silently read the path only up to the NUL.
    if (path.find('\0') != std::string::npos) return fail("path contains a NUL byte");
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.is_open()) return os_failure(errno);
    return file;
}

std::string os_error_description(int code) {
    return std::generic_category().message(code) + " (os error " + std::to_string(code) + ")";
}

StructureError os_failure(int code) {
    StructureError error = fail(os_error_description(code));
    error.os_error = code;
    return error;
}

}  // namespace kestrel
