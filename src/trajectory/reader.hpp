// Multi-frame extended XYZ trajectories: selected frames become structures,
// each with its own cell.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "model/lattice.hpp"
#include "model/structure.hpp"

namespace kestrel {

struct TrajectoryResult {
    std::vector<Structure> structures;        // the kept frames, in file order
    std::vector<std::uint64_t> frame_indices;  // index of each kept frame among all frames
    std::uint64_t frames_read = 0;             // frames read from the file, kept or not
};

// Keeps frames start, start + every, ... before stop. The file is streamed:
// frames that are not kept are only counted, and nothing from stop on is
// read. `cell` (rows a, b, c) serves frames without a Lattice field.
// Touches no Python object, so it runs without the interpreter lock.
Result<TrajectoryResult> read_trajectory(const std::string& path, std::uint64_t every, std::uint64_t start,
                                         std::optional<std::uint64_t> stop, const std::optional<Mat3>& cell);

}  // namespace kestrel
