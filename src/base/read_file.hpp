// Whole-file reading for the structure readers, under a limit on the text's
// size: no input, however large or however well it compresses, may take the
// machine's memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/error.hpp"
#include "base/file_descriptor.hpp"

namespace kestrel {

// The most text a structure file may hold, decompressed: 1 GiB. The largest
// structure files in use (mmCIF of whole viruses, MD snapshots of millions
// of atoms) stay below a few hundred megabytes; a compressed file that
// inflates beyond is a bomb far more often than a structure. A text this
// large also takes about as much memory again in the structure read from it.
inline constexpr std::uint64_t kDefaultMaxFileBytes = 1073741824;

// How much of a text is looked at before reading on: enough to hold the
// header of any real file many times over.
inline constexpr std::size_t kHeadBytes = 1 << 20;

// Whether the first kHeadBytes of a text can start a file of the format
// read; an error (worded for the format) when not.
using HeadCheck = std::optional<StructureError> (*)(std::string_view head);

struct ReadLimits {
    std::uint64_t max_bytes = kDefaultMaxFileBytes;
    HeadCheck head_check = nullptr;  // none: any text is read to its end
};

// A file's text gathered a chunk at a time into one buffer, refused as soon
// as it passes the limit (a limit error naming max_bytes, the parameter
// that raises it) or, once kHeadBytes are in, its head fails the check.
// `decompressed` words the limit for the text of a compressed file.
class BoundedText {
public:
    BoundedText(const ReadLimits& limits, bool decompressed) : limits_(limits), decompressed_(decompressed) {}

    // Room for `size` bytes when they are within the limit: the size of a
    // plain file, so its text takes exactly one buffer of its size.
    void reserve(std::uint64_t size);
    Result<Ok> append(std::string_view chunk);
    std::uint64_t size() const { return text_.size(); }
    std::string take() && { return std::move(text_); }

private:
    ReadLimits limits_;
    bool decompressed_;
    bool head_checked_ = false;
    std::string text_;
};

// "1 GiB", "300 MiB", "1536 bytes": a byte count as a person reads it.
std::string byte_count_text(std::uint64_t bytes);

// The whole file under `limits`; an error the system gave carries its error
// number (os_error) and the system's description as its message.
Result<std::string> read_file_bytes(const std::string& path, const ReadLimits& limits);

}  // namespace kestrel
