// The frames of a LAMMPS text dump: ITEM: lines for the timestep, the atom
// count and the box, then ITEM: ATOMS naming the columns of the atom lines.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/lattice.hpp"
#include "trajectory/frame_format.hpp"

namespace kestrel {

// Atom type (as written in the type column) -> element symbol.
using AtomTypeNames = std::map<std::string, std::string, std::less<>>;

// The box of a frame: lattice rows a, b, c and the corner the atom
// coordinates are measured from.
struct DumpBox {
    Mat3 rows{};
    Vec3 origin{};
};

// The three lines after "ITEM: BOX BOUNDS {flags}": "lo hi" per axis, or
// "lo hi tilt" when the flags begin with xy xz yz, or "a_x a_y a_z o_x"
// (a vector and the origin's coordinate) when they begin with abc origin.
// Fails with "cannot read the box bounds '{line}'".
Result<DumpBox> parse_box_bounds(std::string_view flags, const std::string_view (&lines)[3]);

// Where each needed column of the atom lines is.
struct DumpColumns {
    enum class Position { cartesian, unwrapped, scaled, scaled_unwrapped };
    std::optional<std::size_t> id, type, element;
    std::size_t position = 0;  // the first of three consecutive roles x, y, z (need not be adjacent)
    std::size_t xyz[3] = {0, 0, 0};
    Position kind = Position::cartesian;
    std::size_t needed = 0;  // tokens an atom line must have
};

// The column names after "ITEM: ATOMS". Wrapped Cartesian x y z are
// preferred, then xu yu zu, xs ys zs and xsu ysu zsu.
Result<DumpColumns> parse_dump_columns(std::string_view names);

class LammpsDumpFrames final : public FrameFormat {
public:
    explicit LammpsDumpFrames(AtomTypeNames types) : types_(std::move(types)) {}

    Result<std::optional<std::uint64_t>> read_header(LineStream& stream, std::uint64_t frame) override;
    std::unique_ptr<AtomLineParser> start_frame(std::uint64_t frame, std::uint64_t n_atoms,
                                                std::size_t expected_sites) override;

private:
    AtomTypeNames types_;
    // The frame in hand: its box and columns, or why they could not be read
    // (reported only if the frame is parsed).
    Result<DumpBox> box_ = fail("");
    Result<DumpColumns> columns_ = fail("");
};

}  // namespace kestrel
