// A file read line by line through one fixed buffer, checked as UTF-8 on the
// way, with a fast path that skips lines without looking at them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/file_descriptor.hpp"
#include "base/utf8.hpp"

namespace kestrel {

enum class LineStatus { line, end, error };

class LineStream {
public:
    static constexpr std::size_t buffer_size = 8192;

    LineStream() = default;
    LineStream(const LineStream&) = delete;
    LineStream& operator=(const LineStream&) = delete;

    // Ok, else the system's description of why not (with its error
    // number). Reading starts `offset` bytes into the file, which must be the start of a
    // line (a position() of an earlier stream over the same file).
    Result<Ok> open(const std::string& path, std::uint64_t offset = 0);

    // The next line without its LF (nor a CR right before it). The view is
    // valid until the next call. At `error`, error() says why.
    LineStatus next_line(std::string_view& line);

    // Whether the last line handed out ended the file without a line end:
    // a file cut while it was written may have cut that line too.
    bool last_line_unended() const { return last_line_unended_; }

    // Passes over up to `count` lines without handing them out; `skipped`
    // is how many there were (`end` when the file has fewer).
    LineStatus skip_lines(std::uint64_t count, std::uint64_t& skipped);

    const std::string& error() const { return error_; }

    // The bytes not yet read, when the file is a regular file.
    std::uint64_t bytes_left_hint() const;

    // The file offset of the first byte not yet handed out: after a line,
    // the start of the next one.
    std::uint64_t position() const { return offset_ - (end_ - pos_); }

private:
    bool refill();
    bool check_utf8(const char* data, std::size_t size);
    // After the last refill: false, with error_ set, when the read failed
    // or the text ended inside a character.
    bool ended_cleanly();

    FileDescriptor file_;
    std::size_t pos_ = 0, end_ = 0;
    bool eof_ = false;
    bool last_line_unended_ = false;
    std::uint64_t file_size_ = 0;
    std::uint64_t offset_ = 0;  // file offset of the end of the buffered bytes
    std::string line_;          // a line that spans refills
    std::string error_;
    Utf8Stream utf8_;
    char buffer_[buffer_size];
};

}  // namespace kestrel
