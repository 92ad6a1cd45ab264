// Trajectories (multi-frame extended XYZ, LAMMPS text dumps): selected
// frames become structures, each with its own cell. Read whole, or in chunks
// whose memory is bounded by the chunk rather than the file.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "model/lattice.hpp"
#include "model/structure.hpp"
#include "trajectory/lammps_dump.hpp"

namespace kestrel {

// Frames start, start + every, ... before stop.
struct FrameSelection {
    std::uint64_t every = 1;
    std::uint64_t start = 0;
    std::optional<std::uint64_t> stop;
};

struct TrajectoryResult {
    std::vector<Structure> structures;         // the kept frames, in file order
    std::vector<std::uint64_t> frame_indices;  // index of each kept frame among all frames
    std::uint64_t frames_read = 0;             // frames read from the file, kept or not
};

// Where a chunked read stands between two calls. A default value is the
// start of the file.
struct TrajectoryPosition {
    std::uint64_t offset = 0;  // byte offset of the next frame's first line
    std::uint64_t frame = 0;   // its index: frames read so far
    std::uint64_t kept = 0;    // frames kept so far
    bool finished = false;     // the file or the selection has ended
};

// A chunk ends after the frame that reaches either bound.
struct ChunkLimits {
    std::uint64_t frames = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t atoms = std::numeric_limits<std::uint64_t>::max();
};

struct TrajectoryChunk {
    std::vector<Structure> structures;         // kept frames of this chunk, in file order
    std::vector<std::uint64_t> frame_indices;  // their frame indices
    TrajectoryPosition next;                   // where the next chunk starts
};

// The message of a read stopped through its stop token.
inline constexpr const char* kReadInterrupted = "interrupted";

// Keeps frames start, start + every, ... before stop. The file is streamed:
// frames that are not kept are only counted, and nothing from stop on is
// read. `cell` (rows a, b, c) serves frames without a Lattice field.
// Touches no Python object, so it runs without the interpreter lock; a stop
// request is looked at every frame and every few thousand atom lines.
Result<TrajectoryResult> read_trajectory(const std::string& path, std::uint64_t every, std::uint64_t start,
                                         std::optional<std::uint64_t> stop, const std::optional<Mat3>& cell,
                                         std::stop_token cancel = {});

// The same reading, resumed at `from` and paused once `limits` are met. The
// chunk that reaches the end fails as read_trajectory would when the file
// has no frames or none was kept (counting the chunks before it).
Result<TrajectoryChunk> read_trajectory_chunk(const std::string& path, const FrameSelection& selection,
                                              const std::optional<Mat3>& cell, const TrajectoryPosition& from,
                                              const ChunkLimits& limits, std::stop_token cancel = {});

// How many frames the whole read would go through and keep, found without
// parsing any of them (so only the frame layout can fail). For progress
// reports that need the total before the work starts.
Result<TrajectoryPosition> count_trajectory_frames(const std::string& path, const FrameSelection& selection,
                                                   std::stop_token cancel = {});

enum class TrajectoryFormat { xyz, lammps_dump };

// How a file's frames are read: the format, and what it needs besides the
// file. `cell` serves XYZ frames without a Lattice field; `types` names the
// elements of a dump's atom types when it has no element column.
struct TrajectoryFormatOptions {
    TrajectoryFormat format = TrajectoryFormat::xyz;
    std::optional<Mat3> cell;
    AtomTypeNames types;
};

// count_trajectory_frames for a file of any format.
Result<TrajectoryPosition> count_trajectory_frames(const std::string& path, const FrameSelection& selection,
                                                   const TrajectoryFormatOptions& options, std::stop_token cancel = {});

class FrameScan;

// A trajectory read chunk after chunk through one open file, which may be
// a pipe: nothing is read twice, and nothing is looked up by offset.
class TrajectoryStream {
public:
    TrajectoryStream(std::string path, FrameSelection selection, TrajectoryFormatOptions options);
    ~TrajectoryStream();
    TrajectoryStream(const TrajectoryStream&) = delete;
    TrajectoryStream& operator=(const TrajectoryStream&) = delete;

    // The next chunk, as read_trajectory_chunk would give it. After a
    // failure (an interruption included) the stream stays failed: a frame
    // may have been read in part.
    Result<TrajectoryChunk> next_chunk(const ChunkLimits& limits, std::stop_token cancel = {});

private:
    std::unique_ptr<FrameScan> scan_;
    std::optional<StructureError> failed_;
    TrajectoryPosition at_;
    bool opened_ = false;
};

}  // namespace kestrel
