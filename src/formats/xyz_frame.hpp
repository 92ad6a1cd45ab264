// One frame of extended XYZ, from its comment line and its atom lines to a
// Structure. The single-frame reader and the trajectory reader both parse
// through this one class, so they read every file alike: the cell from the
// Lattice field (or a cell given by the caller), the columns from the
// Properties field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "formats/xyz_comment_fields.hpp"
#include "model/lattice.hpp"
#include "model/structure.hpp"

namespace kestrel {

// The nine numbers of a Lattice value, rows a, b, c, as a lattice.
Result<Lattice> lattice_from_field(std::string_view value);

// Takes the atom lines as they stream past. The first failure is kept, and
// the caller decides when to stop feeding lines and report it (the
// trajectory reads a bad frame to its end first, so that a frame cut short
// is reported as such).
class XyzFrameParser {
public:
    // `no_cell_error` is the failure when the comment line has no Lattice
    // field and no `cell` is given; `line_label` is put before "atom line
    // {j} is incomplete" ("frame 3, " in a trajectory). `expected_sites`
    // is only a reservation hint.
    XyzFrameParser(std::string_view comment, const std::optional<Mat3>& cell, StructureError no_cell_error,
                   std::string line_label, std::size_t expected_sites);

    bool failed() const { return error_.has_value(); }
    // The atom line (from 1) of the first failure, or 0 when the comment
    // line failed or nothing did.
    std::uint64_t failed_atom_line() const { return failed_atom_line_; }

    // Atom line j, counted from 1.
    void add(std::string_view line, std::uint64_t j);

    Result<Structure> finish() &&;

private:
    bool read_comment(std::string_view comment, const std::optional<Mat3>& cell, StructureError no_cell_error);
    void set_error(StructureError error, std::uint64_t atom_line = 0) {
        error_ = std::move(error);
        failed_atom_line_ = atom_line;
    }

    std::optional<StructureError> error_;
    std::uint64_t failed_atom_line_ = 0;
    std::optional<Lattice> lattice_;
    ColumnLayout layout_;
    std::uint64_t tokens_needed_ = 4;
    std::string line_label_;
    std::vector<Site> sites_;
};

}  // namespace kestrel
