#include "rdf/bins.hpp"

#include <cstdio>

#include "rdf/histogram.hpp"

namespace kestrel {
namespace {

// As a person writes lengths: 10, 0.3, 10.2 (six significant digits at most).
std::string length_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

Result<RdfBins> rdf_bins(double cutoff, double bin_size) {
    // Written so that NaN fails the checks too.
    if (!(cutoff > 0.0)) return fail("cutoff must be positive");
    if (!(bin_size > 0.0 && bin_size <= cutoff)) return fail("bin_size must be positive and no larger than the cutoff");
    const std::uint64_t n_edges = edge_count(cutoff, bin_size);
    if (n_edges < 2) return fail("cutoff and bin_size give no bins");
    return RdfBins{cutoff, bin_size, n_edges - 1};
}

std::vector<double> edges_of(const RdfBins& bins) {
    return bin_edges(bins.n_bins + 1, bins.bin_size);
}

std::string short_last_bin_message(const RdfBins& bins) {
    const double last_edge = static_cast<double>(bins.n_bins) * bins.bin_size;
    // A cutoff that is a whole number of bins up to rounding is whole.
    if (!(last_edge > bins.cutoff * (1.0 + 1e-12))) return {};
    const std::string cutoff = length_text(bins.cutoff);
    return "the cutoff " + cutoff + " Å is not a whole number of " + length_text(bins.bin_size) +
           " Å bins; the last bin (" + length_text(last_edge - bins.bin_size) + " to " + length_text(last_edge) +
           " Å) counts pairs only up to " + cutoff + " Å but is divided by its whole shell, so it reads low";
}

}  // namespace kestrel
