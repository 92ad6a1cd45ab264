// The bin rule of every RDF, in one place: bins of bin_size from r = 0, as
// many as it takes to reach the cutoff. The engine, the command line and the
// batch table's metadata all ask this rule instead of working it out again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace kestrel {

inline constexpr double kDefaultCutoff = 10.0;  // Å
inline constexpr double kDefaultBinSize = 0.1;  // Å

struct RdfBins {
    double cutoff = kDefaultCutoff;
    double bin_size = kDefaultBinSize;
    // Bin k holds pairs with k bin_size <= d < (k + 1) bin_size, the last bin
    // closed, a distance within a relative kEdgeTolerance below an edge
    // counted on it (shell_of, neighbor/shells.hpp, is the rule).
    std::uint64_t n_bins = 0;
};

// The bins of a cutoff and bin size, or the error that refuses them. Only
// counts: nothing is allocated, so absurd requests cost nothing.
Result<RdfBins> rdf_bins(double cutoff, double bin_size);

// e_k = k * bin_size for k = 0 ... n_bins.
std::vector<double> edges_of(const RdfBins& bins);

// When the cutoff is not a whole number of bins, the last bin reaches past
// it: it counts pairs only up to the cutoff but is divided by its whole
// shell, so it reads low. The sentence that says so, or "" when it does not.
std::string short_last_bin_message(const RdfBins& bins);

}  // namespace kestrel
