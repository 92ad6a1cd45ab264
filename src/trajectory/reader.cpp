#include "trajectory/reader.hpp"

#include <algorithm>

#include "base/line_stream.hpp"
#include "base/text.hpp"
#include "formats/xyz_frame.hpp"

namespace kestrel {
namespace {

constexpr const char* kNoCell =
    " has no Lattice=\"...\" and no cell was given; an RDF of a periodic system needs the cell";

// Never reserve more sites up front than this: the count comes from the
// file and may be a lie, so beyond it the vector grows with the lines that
// really arrive.
constexpr std::uint64_t kMaxReservedSites = 1 << 16;

// A stop request is looked at this often within a frame's atom lines: often
// enough to answer at once on frames of millions of atoms, rarely enough to
// cost nothing.
constexpr std::uint64_t kLinesPerStopCheck = 4096;

std::string frame_text(std::uint64_t frame) {
    return "frame " + std::to_string(frame);
}

std::string ends_after(std::uint64_t frame, std::uint64_t read, std::uint64_t n_atoms) {
    return frame_text(frame) + " ends after " + std::to_string(read) + " of " + std::to_string(n_atoms) + " atoms";
}

class FrameScan {
public:
    FrameScan(const std::string& path, const FrameSelection& selection, std::stop_token cancel)
        : path_(path), selection_(selection), cancel_(std::move(cancel)) {}

    // Reads frames from `from` until the selection or the file ends or the
    // chunk meets `limits`. With `parse` false, kept frames are counted but
    // not parsed.
    Result<TrajectoryChunk> run(const TrajectoryPosition& from, const ChunkLimits& limits, bool parse,
                                const std::optional<Mat3>& cell);

private:
    StructureError read_error(const char* what) const {
        return fail(std::string("error reading ") + what + ": " + stream_.error());
    }
    // Passes over the atom lines of a frame from line `read` on.
    std::optional<StructureError> skip_atoms(std::uint64_t frame, std::uint64_t read, std::uint64_t n_atoms);
    Result<Structure> parse_frame(std::uint64_t frame, std::uint64_t n_atoms, std::string_view comment,
                                  const std::optional<Mat3>& cell);
    bool selected(std::uint64_t frame) const {
        return frame >= selection_.start && (frame - selection_.start) % selection_.every == 0;
    }

    const std::string& path_;
    const FrameSelection& selection_;
    std::stop_token cancel_;
    LineStream stream_;
};

std::optional<StructureError> FrameScan::skip_atoms(std::uint64_t frame, std::uint64_t read, std::uint64_t n_atoms) {
    std::uint64_t skipped = 0;
    const LineStatus status = stream_.skip_lines(n_atoms - read, skipped);
    if (status == LineStatus::error) return read_error("an atom line");
    if (status == LineStatus::end) return fail(ends_after(frame, read + skipped, n_atoms));
    return std::nullopt;
}

Result<Structure> FrameScan::parse_frame(std::uint64_t frame, std::uint64_t n_atoms, std::string_view comment,
                                         const std::optional<Mat3>& cell) {
    // An atom line takes at least 8 bytes ("X 0 0 0" and its LF).
    const std::uint64_t reserve = std::min({n_atoms, stream_.bytes_left_hint() / 8 + 1, kMaxReservedSites});
    XyzFrameParser parser(comment, cell, fail_needing("cell", frame_text(frame) + kNoCell), frame_text(frame) + ", ",
                          static_cast<std::size_t>(reserve));
    std::uint64_t read = 0;
    std::string_view line;
    while (read < n_atoms && !parser.failed()) {
        if (read % kLinesPerStopCheck == 0 && cancel_.stop_requested()) return fail(kReadInterrupted);
        const LineStatus status = stream_.next_line(line);
        if (status == LineStatus::error) return read_error("an atom line");
        if (status == LineStatus::end) return fail(ends_after(frame, read, n_atoms));
        parser.add(line, ++read);
    }
    // After a bad line the rest of the frame still has to be there: a frame
    // cut short is reported as such.
    if (read < n_atoms)
        if (std::optional<StructureError> error = skip_atoms(frame, read, n_atoms)) return std::move(*error);
    return std::move(parser).finish();
}

Result<TrajectoryChunk> FrameScan::run(const TrajectoryPosition& from, const ChunkLimits& limits, bool parse,
                                       const std::optional<Mat3>& cell) {
    if (selection_.every == 0) return fail_argument("every must be at least 1");
    if (Result<Ok> opened = stream_.open(path_, from.offset); !opened)
        return prefixed(opened.take_error(), "could not open " + path_ + ": ");

    TrajectoryChunk chunk;
    TrajectoryPosition& at = chunk.next;
    at = from;
    std::uint64_t chunk_atoms = 0;
    std::string_view line;
    while (!at.finished) {
        if (cancel_.stop_requested()) return fail(kReadInterrupted);
        // Frames from stop on are never read; the rest of the file is ignored.
        if (selection_.stop && at.frame >= *selection_.stop) {
            at.finished = true;
            break;
        }
        if (!chunk.structures.empty() && (chunk.structures.size() >= limits.frames || chunk_atoms >= limits.atoms))
            break;

        LineStatus status;
        do status = stream_.next_line(line);
        while (status == LineStatus::line && trim(line).empty());
        if (status == LineStatus::error) return read_error("the atom count");
        if (status == LineStatus::end) {
            at.finished = true;
            break;
        }
        const std::string_view count_text = trim(line);
        const std::optional<std::uint64_t> n_atoms = parse_count(count_text);
        if (!n_atoms)
            return fail(frame_text(at.frame) + ": expected an atom count, found '" + std::string(count_text) + "'");

        status = stream_.next_line(line);
        if (status == LineStatus::error) return read_error("the comment line");
        if (status == LineStatus::end) return fail(frame_text(at.frame) + " ends before its comment line");

        const bool keep = selected(at.frame);
        if (keep && parse) {
            Result<Structure> structure = parse_frame(at.frame, *n_atoms, line, cell);
            if (!structure) return structure.take_error();
            chunk_atoms += *n_atoms;
            chunk.structures.push_back(std::move(*structure));
            chunk.frame_indices.push_back(at.frame);
        } else if (std::optional<StructureError> error = skip_atoms(at.frame, 0, *n_atoms)) {
            return std::move(*error);
        }
        at.kept += keep;
        ++at.frame;
    }
    at.offset = stream_.position();
    if (at.finished) {
        if (at.frame == 0) return fail("no frames found in the file");
        if (at.kept == 0)
            return fail("the file has " + std::to_string(at.frame) + " frame(s) but none matched start/every/stop");
    }
    return chunk;
}

}  // namespace

Result<TrajectoryChunk> read_trajectory_chunk(const std::string& path, const FrameSelection& selection,
                                              const std::optional<Mat3>& cell, const TrajectoryPosition& from,
                                              const ChunkLimits& limits, std::stop_token cancel) {
    return FrameScan(path, selection, std::move(cancel)).run(from, limits, true, cell);
}

Result<TrajectoryPosition> count_trajectory_frames(const std::string& path, const FrameSelection& selection,
                                                   std::stop_token cancel) {
    Result<TrajectoryChunk> scanned = FrameScan(path, selection, std::move(cancel)).run({}, {}, false, std::nullopt);
    if (!scanned) return scanned.take_error();
    return scanned->next;
}

Result<TrajectoryResult> read_trajectory(const std::string& path, std::uint64_t every, std::uint64_t start,
                                         std::optional<std::uint64_t> stop, const std::optional<Mat3>& cell,
                                         std::stop_token cancel) {
    const FrameSelection selection{every, start, stop};
    Result<TrajectoryChunk> chunk = read_trajectory_chunk(path, selection, cell, {}, {}, std::move(cancel));
    if (!chunk) return chunk.take_error();
    return TrajectoryResult{std::move(chunk->structures), std::move(chunk->frame_indices), chunk->next.frame};
}

}  // namespace kestrel
