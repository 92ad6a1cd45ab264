#include "base/line_stream.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace kestrel {
namespace {

// Line feeds in a block, counted in byte-wide lanes so the compiler can
// vectorise the comparison; a lane holds at most 255 before it is flushed.
std::size_t count_line_feeds(const char* data, std::size_t size) {
    std::size_t total = 0;
    while (size > 0) {
        const std::size_t block = size < 255 ? size : 255;
        unsigned char in_block = 0;
        for (std::size_t i = 0; i < block; ++i) in_block += static_cast<unsigned char>(data[i] == '\n');
        total += in_block;
        data += block;
        size -= block;
    }
    return total;
}

}  // namespace

Result<Ok> LineStream::open(const std::string& path, std::uint64_t offset) {
    Result<FileDescriptor> file = open_for_reading(path);
    if (!file) return file.take_error();
    file_ = std::move(*file);
    file_size_ = file_.regular_file_size();
    if (offset > 0) {
        if (::lseek(file_.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return os_failure(errno);
        offset_ = offset;
    }
    return Ok{};
}

std::uint64_t LineStream::bytes_left_hint() const {
    const std::uint64_t buffered = end_ - pos_;
    return file_size_ > offset_ ? file_size_ - offset_ + buffered : buffered;
}

bool LineStream::refill() {
    pos_ = end_ = 0;
    if (eof_) return false;
    const ssize_t got = file_.read_some(buffer_, buffer_size);
    if (got < 0) {
        error_ = os_error_description(errno);
        return false;
    }
    if (got == 0) {
        eof_ = true;
        return false;
    }
    end_ = static_cast<std::size_t>(got);
    offset_ += end_;
    return true;
}

bool LineStream::ended_cleanly() {
    if (!error_.empty()) return false;
    // The file must not end inside a character.
    if (!utf8_.complete()) error_ = kInvalidUtf8Message;
    return error_.empty();
}

bool LineStream::check_utf8(const char* data, std::size_t size) {
    if (utf8_.feed(data, size)) return true;
    error_ = kInvalidUtf8Message;
    return false;
}

LineStatus LineStream::next_line(std::string_view& line) {
    bool spans_refills = false;
    line_.clear();
    for (;;) {
        if (pos_ < end_) {
            const char* start = buffer_ + pos_;
            const std::size_t available = end_ - pos_;
            const auto* feed = static_cast<const char*>(std::memchr(start, '\n', available));
            if (feed != nullptr) {
                const std::size_t length = static_cast<std::size_t>(feed - start);
                if (!check_utf8(start, length + 1)) return LineStatus::error;
                pos_ += length + 1;
                std::string_view text(start, length);
                if (spans_refills) {
                    line_.append(text);
                    text = line_;
                }
                if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
                line = text;
                return LineStatus::line;
            }
            if (!check_utf8(start, available)) return LineStatus::error;
            line_.append(start, available);
            spans_refills = true;
            pos_ = end_;
        }
        if (!refill()) {
            if (!ended_cleanly()) return LineStatus::error;
            // Text after the last LF is a line of its own; a CR there stays.
            if (!spans_refills) return LineStatus::end;
            line = line_;
            // A CR there is the line end of an old file.
            last_line_unended_ = line_.back() != '\r';
            return LineStatus::line;
        }
    }
}

LineStatus LineStream::skip_lines(std::uint64_t count, std::uint64_t& skipped) {
    skipped = 0;
    bool partial = false;  // the start of an unfinished line has been passed
    while (skipped < count) {
        if (pos_ == end_ && !refill()) {
            if (!ended_cleanly()) return LineStatus::error;
            if (partial) ++skipped;  // an unterminated last line
            return skipped == count ? LineStatus::line : LineStatus::end;
        }
        const char* start = buffer_ + pos_;
        const std::size_t available = end_ - pos_;
        const std::uint64_t wanted = count - skipped;
        const std::size_t feeds = count_line_feeds(start, available);
        if (feeds < wanted) {
            if (!check_utf8(start, available)) return LineStatus::error;
            skipped += feeds;
            partial = start[available - 1] != '\n';
            pos_ = end_;
            continue;
        }
        const char* cursor = start;
        for (std::uint64_t k = 0; k < wanted; ++k)
            cursor = static_cast<const char*>(
                         std::memchr(cursor, '\n', static_cast<std::size_t>(start + available - cursor))) +
                     1;
        const std::size_t used = static_cast<std::size_t>(cursor - start);
        if (!check_utf8(start, used)) return LineStatus::error;
        pos_ += used;
        skipped = count;
    }
    return LineStatus::line;
}

}  // namespace kestrel
