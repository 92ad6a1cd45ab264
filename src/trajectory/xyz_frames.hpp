// The frames of a multi-frame extended XYZ file: an atom-count line, a
// comment line with the Lattice and Properties fields, the atom lines.
#pragma once

#include <optional>
#include <string>

#include "model/lattice.hpp"
#include "trajectory/frame_format.hpp"

namespace kestrel {

class XyzFrames final : public FrameFormat {
public:
    // `cell` (rows a, b, c) serves frames without a Lattice field.
    explicit XyzFrames(std::optional<Mat3> cell) : cell_(std::move(cell)) {}

    Result<std::optional<std::uint64_t>> read_header(LineStream& stream, std::uint64_t frame) override;
    std::unique_ptr<AtomLineParser> start_frame(std::uint64_t frame, std::uint64_t n_atoms,
                                                std::size_t expected_sites) override;

private:
    std::optional<Mat3> cell_;
    std::string comment_;  // the comment line of the frame in hand
};

}  // namespace kestrel
