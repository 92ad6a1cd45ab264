#include "trajectory/reader.hpp"

#include <algorithm>

#include "base/line_stream.hpp"
#include "base/text.hpp"
#include "trajectory/frame_format.hpp"
#include "trajectory/xyz_frames.hpp"

namespace kestrel {

StructureError read_error(const LineStream& stream, const char* what) {
    return fail(std::string("error reading ") + what + ": " + stream.error());
}

std::string frame_text(std::uint64_t frame) {
    return "frame " + std::to_string(frame);
}

namespace {

// Never reserve more sites up front than this: the count comes from the
// file and may be a lie, so beyond it the vector grows with the lines that
// really arrive.
constexpr std::uint64_t kMaxReservedSites = 1 << 16;

// A stop request is looked at this often within a frame's atom lines: often
// enough to answer at once on frames of millions of atoms, rarely enough to
// cost nothing.
constexpr std::uint64_t kLinesPerStopCheck = 4096;

std::string ends_after(std::uint64_t frame, std::uint64_t read, std::uint64_t n_atoms) {
    return frame_text(frame) + " ends after " + std::to_string(read) + " of " + std::to_string(n_atoms) + " atoms";
}

std::unique_ptr<FrameFormat> make_format(TrajectoryFormatOptions options) {
    if (options.format == TrajectoryFormat::lammps_dump)
        return std::make_unique<LammpsDumpFrames>(std::move(options.types));
    return std::make_unique<XyzFrames>(std::move(options.cell));
}

}  // namespace

// The frame loop every format shares: selection, chunk limits, stop
// requests, skipping the frames that are not kept, and the messages about
// frames cut short and selections that kept nothing.
class FrameScan {
public:
    FrameScan(std::string path, FrameSelection selection, TrajectoryFormatOptions options)
        : path_(std::move(path)), selection_(selection), format_(make_format(std::move(options))) {}

    // Empty on success.
    std::optional<StructureError> open(std::uint64_t offset) {
        if (selection_.every == 0) return fail_argument("every must be at least 1");
        if (Result<Ok> opened = stream_.open(path_, offset); !opened)
            return prefixed(opened.take_error(), "could not open " + path_ + ": ");
        return std::nullopt;
    }

    // Reads frames on from `from` (the stream stands there) until the
    // selection or the file ends or the chunk meets `limits`. With `parse`
    // false, kept frames are counted but not parsed.
    Result<TrajectoryChunk> run(const TrajectoryPosition& from, const ChunkLimits& limits, bool parse,
                                const std::stop_token& cancel);

private:
    // Passes over the atom lines of a frame from line `read` on.
    std::optional<StructureError> skip_atoms(std::uint64_t frame, std::uint64_t read, std::uint64_t n_atoms);
    Result<Structure> parse_frame(std::uint64_t frame, std::uint64_t n_atoms, const std::stop_token& cancel);
    bool selected(std::uint64_t frame) const {
        return frame >= selection_.start && (frame - selection_.start) % selection_.every == 0;
    }

    std::string path_;
    FrameSelection selection_;
    std::unique_ptr<FrameFormat> format_;
    LineStream stream_;
};

std::optional<StructureError> FrameScan::skip_atoms(std::uint64_t frame, std::uint64_t read, std::uint64_t n_atoms) {
    std::uint64_t skipped = 0;
    const LineStatus status = stream_.skip_lines(n_atoms - read, skipped);
    if (status == LineStatus::error) return read_error(stream_, "an atom line");
    if (status == LineStatus::end) return fail(ends_after(frame, read + skipped, n_atoms));
    return std::nullopt;
}

Result<Structure> FrameScan::parse_frame(std::uint64_t frame, std::uint64_t n_atoms, const std::stop_token& cancel) {
    // An atom line takes at least 8 bytes ("X 0 0 0" and its LF).
    const std::uint64_t reserve = std::min({n_atoms, stream_.bytes_left_hint() / 8 + 1, kMaxReservedSites});
    std::unique_ptr<AtomLineParser> parser = format_->start_frame(frame, n_atoms, static_cast<std::size_t>(reserve));
    std::uint64_t read = 0;
    std::string_view line;
    while (read < n_atoms && !parser->failed()) {
        if (read % kLinesPerStopCheck == 0 && cancel.stop_requested()) return fail(kReadInterrupted);
        const LineStatus status = stream_.next_line(line);
        if (status == LineStatus::error) return read_error(stream_, "an atom line");
        if (status == LineStatus::end) return fail(ends_after(frame, read, n_atoms));
        parser->add(line, ++read);
    }
    // After a bad line the rest of the frame still has to be there: a frame
    // cut short is reported as such.
    if (read < n_atoms)
        if (std::optional<StructureError> error = skip_atoms(frame, read, n_atoms)) return std::move(*error);
    if (!parser->failed() && stream_.last_line_unended())
        return fail(frame_text(frame) + ": " + unended_last_line_message("on atom line " + std::to_string(read)));
    return std::move(*parser).finish();
}

Result<TrajectoryChunk> FrameScan::run(const TrajectoryPosition& from, const ChunkLimits& limits, bool parse,
                                       const std::stop_token& cancel) {
    TrajectoryChunk chunk;
    TrajectoryPosition& at = chunk.next;
    at = from;
    std::uint64_t chunk_atoms = 0;
    while (!at.finished) {
        if (cancel.stop_requested()) return fail(kReadInterrupted);
        // Frames from stop on are never read; the rest of the file is ignored.
        if (selection_.stop && at.frame >= *selection_.stop) {
            at.finished = true;
            break;
        }
        if (!chunk.structures.empty() && (chunk.structures.size() >= limits.frames || chunk_atoms >= limits.atoms))
            break;

        Result<std::optional<std::uint64_t>> n_atoms = format_->read_header(stream_, at.frame);
        if (!n_atoms) return n_atoms.take_error();
        if (!*n_atoms) {
            at.finished = true;
            break;
        }
        const bool keep = selected(at.frame);
        if (keep && parse) {
            Result<Structure> structure = parse_frame(at.frame, **n_atoms, cancel);
            if (!structure) return structure.take_error();
            chunk_atoms += **n_atoms;
            chunk.structures.push_back(std::move(*structure));
            chunk.frame_indices.push_back(at.frame);
        } else if (std::optional<StructureError> error = skip_atoms(at.frame, 0, **n_atoms)) {
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

TrajectoryStream::TrajectoryStream(std::string path, FrameSelection selection, TrajectoryFormatOptions options)
    : scan_(std::make_unique<FrameScan>(std::move(path), selection, std::move(options))) {}

TrajectoryStream::~TrajectoryStream() = default;

Result<TrajectoryChunk> TrajectoryStream::next_chunk(const ChunkLimits& limits, std::stop_token cancel) {
    if (failed_) return *failed_;
    if (!opened_) {
        opened_ = true;
        if (std::optional<StructureError> error = scan_->open(0)) {
            failed_ = *error;
            return std::move(*error);
        }
    }
    if (at_.finished) return TrajectoryChunk{{}, {}, at_};
    Result<TrajectoryChunk> chunk = scan_->run(at_, limits, true, cancel);
    if (!chunk) {
        failed_ = chunk.error();
        return chunk;
    }
    at_ = chunk->next;
    return chunk;
}

Result<TrajectoryChunk> read_trajectory_chunk(const std::string& path, const FrameSelection& selection,
                                              const std::optional<Mat3>& cell, const TrajectoryPosition& from,
                                              const ChunkLimits& limits, std::stop_token cancel) {
    FrameScan scan(path, selection, TrajectoryFormatOptions{TrajectoryFormat::xyz, cell, {}});
    if (std::optional<StructureError> error = scan.open(from.offset)) return std::move(*error);
    return scan.run(from, limits, true, cancel);
}

Result<TrajectoryPosition> count_trajectory_frames(const std::string& path, const FrameSelection& selection,
                                                   std::stop_token cancel) {
    return count_trajectory_frames(path, selection, {}, std::move(cancel));
}

Result<TrajectoryPosition> count_trajectory_frames(const std::string& path, const FrameSelection& selection,
                                                   const TrajectoryFormatOptions& options, std::stop_token cancel) {
    FrameScan scan(path, selection, options);
    if (std::optional<StructureError> error = scan.open(0)) return std::move(*error);
    Result<TrajectoryChunk> scanned = scan.run({}, {}, false, cancel);
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
