// What the trajectory reader needs to know of a file format: how a frame's
// header is read, up to its atom count, and how its atom lines become a
// structure. Selection, chunking, skipping, stop requests and the messages
// about frames cut short are the reader's, the same for every format.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "base/error.hpp"
#include "base/line_stream.hpp"
#include "model/structure.hpp"

namespace kestrel {

// Takes a frame's atom lines as they stream past. The first failure is kept
// and reported by finish(), after the reader has checked that the rest of
// the frame is there.
class AtomLineParser {
public:
    virtual ~AtomLineParser() = default;
    virtual bool failed() const = 0;
    // Atom line j, counted from 1.
    virtual void add(std::string_view line, std::uint64_t j) = 0;
    virtual Result<Structure> finish() && = 0;
};

class FrameFormat {
public:
    virtual ~FrameFormat() = default;
    // Reads the lines of frame `frame` that come before its atom lines and
    // returns its atom count; nothing when the file ends before the frame
    // starts.
    virtual Result<std::optional<std::uint64_t>> read_header(LineStream& stream, std::uint64_t frame) = 0;
    // A parser for the atom lines of the frame whose header was read last;
    // `expected_sites` is only a reservation hint.
    virtual std::unique_ptr<AtomLineParser> start_frame(std::uint64_t frame, std::uint64_t n_atoms,
                                                        std::size_t expected_sites) = 0;
};

// "error reading {what}: {error}", the stream's error.
StructureError read_error(const LineStream& stream, const char* what);

// "frame {d}"
std::string frame_text(std::uint64_t frame);

}  // namespace kestrel
