// An open file of the operating system, closed when its owner goes, and the
// two calls every file reader makes on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>

#include "base/error.hpp"

namespace kestrel {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }

    // The file's size when it is a regular file, else 0 (pipes, devices).
    std::uint64_t regular_file_size() const;

    // Up to `size` bytes, retried when a signal interrupts the call: the
    // count read (0 at the end of the file), or -1 with errno set.
    ssize_t read_some(char* buffer, std::size_t size) const;

private:
    void close();
    int fd_ = -1;
};

// Opens `path` for reading. The error's message is the system's description
// ("No such file or directory (os error 2)"), for the caller to frame.
Result<FileDescriptor> open_for_reading(const std::string& path);

// The system's description of an errno value: "No such file or directory (os error 2)".
std::string os_error_description(int code);

// That description as an error that keeps the number.
StructureError os_failure(int code);

}  // namespace kestrel
