// The pieces of an RDF: bin edges, the sites' species flattened for the pair
// loop, the per-piece pair histogram and its normalisation into curves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/scratch.hpp"
#include "model/structure.hpp"
#include "parallel/pool.hpp"

namespace kestrel {

// ceil((cutoff + bin_size) / bin_size), saturating at the limits of the
// type (0 for NaN). Only a count: nothing is allocated, so absurd requests
// can be refused before they cost memory.
std::uint64_t edge_count(double cutoff, double bin_size);

// e_k = k * bin_size for k = 0 ... n_edges - 1.
std::vector<double> bin_edges(std::uint64_t n_edges, double bin_size);

// 4/3 pi (e_{k+1}^3 - e_k^3) per bin.
std::vector<double> shell_volumes(const std::vector<double>& edges);

struct SpeciesTable {
    std::vector<std::string> elements;   // every element named, in ascending byte order
    std::vector<double> element_totals;  // per element: its occupancies summed in site order
    double total_occupancy = 0.0;        // the sites' occupancies summed in site order, as n_atoms does
    bool one_per_site = true;            // every site names exactly one element: entry s is site s
    bool whole_atoms = true;             // and every occupancy is exactly 1
    // The first site whose coordinates are not all finite numbers, or the
    // site count when there is none: found in the same pass over the sites.
    std::size_t first_non_finite_site = 0;
    ScratchArray<std::size_t> offsets;    // species of site s are entries offsets[s] .. offsets[s + 1]
    ScratchArray<std::uint32_t> element;  // index into `elements`, per entry
    ScratchArray<double> occupancy;       // per entry
};

// The sites' species as element indices and occupancies, worked out in
// parallel chunks of sites on `pool` (null: on this thread); only the sums
// run in site order. Neighboring sites mostly name the same elements, so a
// name is compared with the last one seen before any search. The same pass
// looks at the coordinates (first_non_finite_site), so a call on a few
// milliseconds of work meets one barrier fewer.
SpeciesTable flatten_species(const Structure& structure, ThreadPool* pool = nullptr);

// Occupancy-weighted pair counts of one piece of the pair loop: centre
// element A, partner element B, bin k at A * (n_el * n_bins) + B * n_bins + k.
struct PairHistogram {
    std::size_t n_elements = 0;
    std::size_t n_bins = 0;
    std::vector<double> counts;

    PairHistogram() = default;
    PairHistogram(std::size_t elements, std::size_t bins)
        : n_elements(elements), n_bins(bins), counts(elements * elements * bins, 0.0) {}

    double* row(std::size_t a, std::size_t b) { return counts.data() + (a * n_elements + b) * n_bins; }
    const double* row(std::size_t a, std::size_t b) const { return counts.data() + (a * n_elements + b) * n_bins; }
    // Element-wise addition of another piece's counts.
    void merge(const PairHistogram& other);
    // H_AB + H_BA into both (A, B) and (B, A); 2 H_AA on the diagonal. Turns
    // counts of unordered pairs, each recorded in one order, into ordered ones.
    void symmetrise();
};

struct RdfResult {
    std::vector<std::string> elements;          // ascending byte order
    std::vector<double> r;                      // lower bin edges, n_bins
    std::vector<double> edges;                  // n_bins + 1
    std::vector<std::vector<double>> partials;  // A-major: entry A * n_el + B is g_AB
    std::vector<double> total;                  // n_bins
};

// Divides by shell volume and element totals: g_AB = H_AB / (N_A V_k)
// (0 when N_A is 0) and g = sum over A, B of H_AB / (V_k N).
void normalise(const PairHistogram& histogram, const std::vector<double>& shell_volume,
               const std::vector<double>& element_totals, double total_occupancy, RdfResult& out);

}  // namespace kestrel
