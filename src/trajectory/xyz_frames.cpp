#include "trajectory/xyz_frames.hpp"

#include "base/text.hpp"
#include "formats/xyz_frame.hpp"

namespace kestrel {
namespace {

// The advice to pass a cell is the caller's, in its own terms.
constexpr const char* kNoCell =
    " has no Lattice=\"...\" and no cell was given; an RDF of a periodic system needs the cell";

class XyzAtomLines final : public AtomLineParser {
public:
    XyzAtomLines(std::string_view comment, const std::optional<Mat3>& cell, std::uint64_t frame,
                 std::size_t expected_sites)
        : parser_(comment, cell, fail_needing("cell", frame_text(frame) + kNoCell), frame_text(frame) + ", ",
                  expected_sites) {}
    bool failed() const override { return parser_.failed(); }
    void add(std::string_view line, std::uint64_t j) override { parser_.add(line, j); }
    Result<Structure> finish() && override { return std::move(parser_).finish(); }

private:
    XyzFrameParser parser_;
};

}  // namespace

Result<std::optional<std::uint64_t>> XyzFrames::read_header(LineStream& stream, std::uint64_t frame) {
    std::string_view line;
    LineStatus status;
    // Blank lines may separate frames.
    do status = stream.next_line(line);
    while (status == LineStatus::line && trim(line).empty());
    if (status == LineStatus::error) return read_error(stream, "the atom count");
    if (status == LineStatus::end) return std::optional<std::uint64_t>();
    const std::string_view count_text = trim(line);
    const std::optional<std::uint64_t> n_atoms = parse_count(count_text);
    if (!n_atoms) return fail(frame_text(frame) + ": expected an atom count, found '" + std::string(count_text) + "'");

    status = stream.next_line(line);
    if (status == LineStatus::error) return read_error(stream, "the comment line");
    if (status == LineStatus::end) return fail(frame_text(frame) + " ends before its comment line");
    comment_.assign(line);
    return n_atoms;
}

std::unique_ptr<AtomLineParser> XyzFrames::start_frame(std::uint64_t frame, std::uint64_t, std::size_t expected_sites) {
    return std::make_unique<XyzAtomLines>(comment_, cell_, frame, expected_sites);
}

}  // namespace kestrel
