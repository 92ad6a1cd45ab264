// Merging symmetry-expanded positions into sites within a tolerance.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/lattice.hpp"
#include "model/structure.hpp"

namespace kestrel {

// Positions match when on every axis the periodic distance is below
// `symprec`; a candidate joins the first matching site made so far (in order
// of creation), which keeps its first position. A new element makes the site
// mixed. The same element met again is either another image of the same
// asymmetric-unit row (a special position: the occupancy stays, the larger
// one kept) or another row at the same place. A row with the same occupancy
// as the one already there that would overfill the site lists the same atom
// again (some files give every image as a row) and counts once; any other
// row is a disorder part (Cl1 at 0.47 and Cl1' at 0.53) and its occupancy
// adds, so parts that overfill a site are refused by the structure model
// rather than silently cut.
//
// A grid of cells wider than `symprec` narrows the search to the candidate's
// own cell and, near a cell face, the cell beyond it, so merging stays linear
// however many positions a symmetry-rich cell produces; it finds exactly the
// site a scan in creation order would find.
class SiteMerger {
public:
    // `expected_positions` sizes the grid (about one site per cell).
    SiteMerger(double symprec, std::size_t expected_positions);

    // `position` is wrapped into [0, 1) and finite; `row` numbers the
    // asymmetric-unit row, and all images of one row come before the next row's.
    // Returns the index of the site the position joined or made.
    std::size_t add(const std::string& element, double occupancy, const Vec3& position, std::uint32_t row);

    std::size_t n_sites() const { return sites_.size(); }
    // Rows that repeated an atom already there, and rows whose occupancy was
    // added to another row's, each once, in row order.
    const std::vector<std::uint32_t>& repeated_rows() const { return repeated_rows_; }
    const std::vector<std::uint32_t>& added_rows() const { return added_rows_; }
    std::vector<Site> take_sites() { return std::move(sites_); }

private:
    bool matches(const Vec3& p, const Vec3& q) const;
    std::int64_t first_match(const Vec3& position) const;
    std::uint64_t cell_key(std::int64_t i, std::int64_t j, std::int64_t k) const;
    // The cells on one axis that may hold a match: the own cell first, then
    // the neighbors the position lies within symprec of.
    int cells_to_search(double coordinate, std::int64_t out[3]) const;
    std::int64_t cell_of(double coordinate) const;

    double symprec_;
    bool merges_;
    std::int64_t cells_ = 0;  // per axis; 0: scan every site (few positions, or symprec too coarse)
    double reach_ = 0.0;      // symprec in cell widths, with room for rounding
    std::vector<Site> sites_;
    // The row that last added to each entry of a site: the first entry's per
    // site, the rest (mixed sites only) by site and entry.
    std::vector<std::uint32_t> last_row_;
    std::unordered_map<std::uint64_t, std::uint32_t> last_row_of_more_;
    std::uint32_t& last_row(std::size_t site, std::size_t entry);
    std::vector<std::uint32_t> newest_in_cell_;  // per cell, the newest site in it
    std::vector<std::uint32_t> older_in_cell_;   // chain to the previous site of the same cell
    std::vector<std::uint32_t> repeated_rows_;
    std::vector<std::uint32_t> added_rows_;
};

// Farther apart than this, two images of one atom are two atoms.
inline constexpr double kSameAtomDistance = 0.1;  // angstrom

// The images of one asymmetric-unit row, each wrapped into [0, 1). Files
// write special positions with 3 or 4 decimals ('0.333'), so the images of
// an atom on an axis land a few thousandths of an angstrom apart instead of
// on one point. Images within kSameAtomDistance of the first image of their
// group (Cartesian) whose occupancies would add above a full site are one
// atom: the group keeps its first image. Split positions whose occupancies
// stay within one site are kept apart. Nothing merges when `symprec` is not
// positive. Returns how many images were merged away.
std::size_t collapse_near_images(std::vector<Vec3>& images, double occupancy, const Lattice& lattice, double symprec);
}  // namespace kestrel
