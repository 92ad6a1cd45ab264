// Merging symmetry-expanded positions into sites within a tolerance.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "structure/structure.hpp"

namespace kestrel {

// Positions match when on every axis the periodic distance is below
// `symprec`; a candidate joins the first matching site made so far (in order
// of creation), which keeps its first position. The same element met again
// keeps the larger occupancy; a new element makes the site mixed.
//
// A grid of cells at least `symprec` wide narrows the search to the 27 cells
// around a candidate, so merging stays linear however many positions a
// symmetry-rich cell produces; it finds exactly the site a scan in creation
// order would find.
class SiteMerger {
public:
    explicit SiteMerger(double symprec);

    // `position` is wrapped into [0, 1) and finite.
    void add(const std::string& element, double occupancy, const Vec3& position);

    std::size_t n_sites() const { return sites_.size(); }
    std::vector<Site> take_sites() { return std::move(sites_); }

private:
    bool matches(const Vec3& p, const Vec3& q) const;
    std::int64_t first_match(const Vec3& position) const;
    std::uint64_t cell_key(std::int64_t i, std::int64_t j, std::int64_t k) const;
    std::int64_t cell_of(double coordinate) const;

    double symprec_;
    bool merges_;
    std::int64_t cells_ = 0;  // per axis; 0: scan every site (symprec too coarse for a grid)
    std::vector<Site> sites_;
    std::unordered_map<std::uint64_t, std::uint32_t> newest_in_cell_;
    std::vector<std::uint32_t> older_in_cell_;  // chain to the previous site of the same cell
};

}  // namespace kestrel
