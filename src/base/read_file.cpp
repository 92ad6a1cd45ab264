#include "base/read_file.hpp"

#include <cerrno>

#include "base/file_descriptor.hpp"
#include "base/utf8.hpp"

namespace kestrel {

std::variant<std::string, ReadError> read_file_bytes(const std::string& path) {
    Result<FileDescriptor> file = open_for_reading(path);
    if (!file) return ReadError{file.error().message, file.error().os_error};
    std::string text;
    text.reserve(static_cast<std::size_t>(file->regular_file_size()));
    char buffer[65536];
    for (;;) {
        const ssize_t got = file->read_some(buffer, sizeof buffer);
        if (got < 0) {
            const int code = errno;
            return ReadError{os_error_description(code), code};
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

std::variant<std::string, ReadError> read_text_file(const std::string& path) {
    std::variant<std::string, ReadError> bytes = read_file_bytes(path);
    if (auto* text = std::get_if<std::string>(&bytes); text != nullptr && !is_valid_utf8(*text))
        return ReadError{kInvalidUtf8Message};
    return bytes;
}

}  // namespace kestrel
