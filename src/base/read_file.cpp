#include "base/read_file.hpp"

#include <cerrno>

#include "base/file_descriptor.hpp"

namespace kestrel {

std::string byte_count_text(std::uint64_t bytes) {
    constexpr std::uint64_t kib = 1024, mib = kib * 1024, gib = mib * 1024;
    if (bytes >= gib && bytes % gib == 0) return std::to_string(bytes / gib) + " GiB";
    if (bytes >= mib && bytes % mib == 0) return std::to_string(bytes / mib) + " MiB";
    return std::to_string(bytes) + " bytes";
}

namespace {

StructureError too_large(std::uint64_t max_bytes, bool decompressed) {
    StructureError error = fail_limit((decompressed ? "the file decompresses to more than " : "the file holds more than ") +
                                      byte_count_text(max_bytes) + " of text, the limit max_bytes sets");
    error.parameter = "max_bytes";
    return error;
}

}  // namespace

void BoundedText::reserve(std::uint64_t size) {
    if (size <= limits_.max_bytes) text_.reserve(static_cast<std::size_t>(size));
}

Result<Ok> BoundedText::append(std::string_view chunk) {
    // The head is judged before the limit: a text that is no structure
    // file at all is refused as such, whatever its size.
    if (!head_checked_ && limits_.head_check != nullptr && text_.size() + chunk.size() >= kHeadBytes) {
        const std::size_t head_part = kHeadBytes - text_.size();
        if (head_part <= limits_.max_bytes - text_.size()) {
            text_.append(chunk.substr(0, head_part));
            chunk.remove_prefix(head_part);
            head_checked_ = true;
            if (std::optional<StructureError> refused = limits_.head_check(text_)) return std::move(*refused);
        }
    }
    if (chunk.size() > limits_.max_bytes - text_.size()) return too_large(limits_.max_bytes, decompressed_);
    text_.append(chunk);
    return Ok{};
}

Result<std::string> read_file_bytes(const std::string& path, const ReadLimits& limits) {
    Result<FileDescriptor> file = open_for_reading(path);
    if (!file) return file.take_error();
    // A plain file is refused by its size before a byte is read.
    const std::uint64_t size = file->regular_file_size();
    if (size > limits.max_bytes) return too_large(limits.max_bytes, false);
    BoundedText text(limits, false);
    text.reserve(size);
    char buffer[65536];
    for (;;) {
        const ssize_t got = file->read_some(buffer, sizeof buffer);
        if (got < 0) {
            const int code = errno;
            StructureError error = fail(os_error_description(code));
            error.os_error = code;
            return error;
        }
        if (got == 0) break;
        if (Result<Ok> added = text.append(std::string_view(buffer, static_cast<std::size_t>(got))); !added)
            return added.take_error();
    }
    return std::move(text).take();
}

}  // namespace kestrel
