#include "rdf/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrel {

std::uint64_t edge_count(double cutoff, double bin_size) {
    const double quotient = std::ceil((cutoff + bin_size) / bin_size);
    if (!(quotient > 0.0)) return 0;
    if (quotient >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(quotient);
}

std::vector<double> bin_edges(std::uint64_t n_edges, double bin_size) {
    std::vector<double> edges(n_edges);
    for (std::uint64_t k = 0; k < n_edges; ++k) edges[k] = static_cast<double>(k) * bin_size;
    return edges;
}

std::vector<double> shell_volumes(const std::vector<double>& edges) {
    std::vector<double> volumes(edges.size() - 1);
    for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
        const double inner = edges[k], outer = edges[k + 1];
        volumes[k] = (outer * outer * outer - inner * inner * inner) * 4.1887902047863905;
    }
    return volumes;
}

SpeciesTable flatten_species(const Structure& structure) {
    SpeciesTable table;
    table.offsets.reserve(structure.sites().size() + 1);
    table.offsets.push_back(0);
    // Indices in order of first appearance for now; sorted names below.
    std::vector<const std::string*> seen;
    std::uint32_t last = 0;
    for (const Site& site : structure.sites()) {
        for (const SpeciesOccupancy& entry : site.species) {
            if (seen.empty() || *seen[last] != entry.element) {
                const auto found = std::find_if(seen.begin(), seen.end(),
                                                [&](const std::string* name) { return *name == entry.element; });
                last = static_cast<std::uint32_t>(found - seen.begin());
                if (found == seen.end()) seen.push_back(&entry.element);
            }
            table.element.push_back(last);
            table.occupancy.push_back(entry.occupancy);
        }
        table.offsets.push_back(table.element.size());
    }

    std::vector<std::uint32_t> order(seen.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) { return *seen[x] < *seen[y]; });
    std::vector<std::uint32_t> rank(seen.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) {
        rank[order[k]] = k;
        table.elements.push_back(*seen[order[k]]);
    }
    // The totals add each element's occupancies in site order, as the
    // structure's composition does, so they agree to the last bit.
    table.element_totals.assign(seen.size(), 0.0);
    for (std::size_t e = 0; e < table.element.size(); ++e) {
        table.element[e] = rank[table.element[e]];
        table.element_totals[table.element[e]] += table.occupancy[e];
    }
    return table;
}

void PairHistogram::merge(const PairHistogram& other) {
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] += other.counts[i];
}

void PairHistogram::symmetrise() {
    for (std::size_t a = 0; a < n_elements; ++a)
        for (std::size_t b = a; b < n_elements; ++b) {
            double* ab = row(a, b);
            double* ba = row(b, a);
            for (std::size_t k = 0; k < n_bins; ++k) {
                const double both = ab[k] + ba[k];
                ab[k] = both;
                ba[k] = both;
            }
        }
}

void normalise(const PairHistogram& histogram, const std::vector<double>& shell_volume,
               const std::vector<double>& element_totals, double total_occupancy, RdfResult& out) {
    const std::size_t n_el = histogram.n_elements, n_bins = histogram.n_bins;
    out.total.assign(n_bins, 0.0);
    out.partials.assign(n_el * n_el, std::vector<double>(n_bins, 0.0));
    for (std::size_t a = 0; a < n_el; ++a)
        for (std::size_t b = 0; b < n_el; ++b) {
            const double* counts = histogram.row(a, b);
            std::vector<double>& partial = out.partials[a * n_el + b];
            const double n_a = element_totals[a];
            for (std::size_t k = 0; k < n_bins; ++k) {
                // No guard on N: a structure whose occupancies are all 0 has
                // no total curve, and NaN says so.
                out.total[k] += counts[k] / (shell_volume[k] * total_occupancy);
                partial[k] = n_a > 0.0 ? counts[k] / (n_a * shell_volume[k]) : 0.0;
            }
        }
}

}  // namespace kestrel
