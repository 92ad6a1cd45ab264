#include "rdf/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "parallel/chunks.hpp"

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

namespace {

// One chunk's species, read from the sites in a single pass (an ordered
// site holds its entry and name inline, so the pass streams through the
// site array): element indices in order of first appearance within the
// chunk, mapped to the sorted list once every chunk is done.
struct ChunkSpecies {
    std::vector<const ElementName*> seen;
    std::vector<std::uint32_t> element;  // index into `seen`, per entry
    std::vector<double> occupancy;       // per entry
    std::vector<std::uint32_t> rank;     // seen[i] is elements[rank[i]]
    std::size_t first_entry = 0;         // where the chunk's entries start in the table
    // The chunk's first site with a coordinate that is not finite; none: the
    // largest index, so the smallest over the chunks is the first of all.
    std::size_t first_non_finite = std::numeric_limits<std::size_t>::max();
    bool one_per_site = true;
    bool whole_atoms = true;  // every occupancy exactly 1
};

// Reads sites [begin, end) into `chunk`; offsets[s] is left relative to the
// chunk's first entry.
void scan_chunk(const std::vector<Site>& sites, std::size_t begin, std::size_t end, ChunkSpecies& result,
                std::size_t* offsets) {
    // Filled in a local and moved out at the end: the chunks' records sit
    // side by side, and growing them in place would bounce their cache
    // lines between the workers on every entry.
    ChunkSpecies chunk;
    chunk.element.reserve(end - begin);
    chunk.occupancy.reserve(end - begin);
    std::uint32_t last = 0;
    bool finite = true, whole = true;
    for (std::size_t s = begin; s < end; ++s) {
        offsets[s] = chunk.element.size();
        const Vec3& f = sites[s].frac;
        if (finite && !(std::isfinite(f[0]) && std::isfinite(f[1]) && std::isfinite(f[2]))) {
            finite = false;
            chunk.first_non_finite = s;
        }
        const SpeciesList& species = sites[s].species;
        if (species.size() != 1) chunk.one_per_site = false;
        for (const SpeciesOccupancy& entry : species) {
            if (chunk.seen.empty() || *chunk.seen[last] != entry.element) {
                const auto found = std::find_if(chunk.seen.begin(), chunk.seen.end(),
                                                [&](const ElementName* name) { return *name == entry.element; });
                last = static_cast<std::uint32_t>(found - chunk.seen.begin());
                if (found == chunk.seen.end()) chunk.seen.push_back(&entry.element);
            }
            chunk.element.push_back(last);
            chunk.occupancy.push_back(entry.occupancy);
            whole = whole && entry.occupancy == 1.0;
        }
    }
    chunk.whole_atoms = whole;
    result = std::move(chunk);
}

// Every element named in some chunk, sorted, and each chunk's ranks.
std::vector<std::string> sorted_elements(std::vector<ChunkSpecies>& chunks) {
    std::vector<std::string> names;
    for (const ChunkSpecies& chunk : chunks)
        for (const ElementName* name : chunk.seen)
            if (std::find(names.begin(), names.end(), name->view()) == names.end()) names.push_back(name->str());
    std::sort(names.begin(), names.end());
    for (ChunkSpecies& chunk : chunks)
        for (const ElementName* name : chunk.seen)
            chunk.rank.push_back(
                static_cast<std::uint32_t>(std::lower_bound(names.begin(), names.end(), name->view()) - names.begin()));
    return names;
}

}  // namespace

SpeciesTable flatten_species(const Structure& structure, ThreadPool* pool) {
    const std::vector<Site>& sites = structure.sites();
    const std::size_t n = sites.size();
    const std::size_t n_chunks = chunk_count(pool, n);
    SpeciesTable table;
    table.offsets = ScratchArray<std::size_t>(n + 1);
    std::vector<ChunkSpecies> chunks(n_chunks);
    for_each_chunk(pool, n_chunks, [&](std::size_t c) {
        scan_chunk(sites, chunk_begin(n, n_chunks, c), chunk_begin(n, n_chunks, c + 1), chunks[c],
                   table.offsets.data());
    });

    table.elements = sorted_elements(chunks);
    std::size_t entries = 0;
    table.one_per_site = true;
    table.first_non_finite_site = n;
    for (ChunkSpecies& chunk : chunks) {
        chunk.first_entry = entries;
        entries += chunk.element.size();
        table.one_per_site = table.one_per_site && chunk.one_per_site;
        table.whole_atoms = table.whole_atoms && chunk.whole_atoms;
        table.first_non_finite_site = std::min(table.first_non_finite_site, chunk.first_non_finite);
    }
    table.whole_atoms = table.whole_atoms && table.one_per_site;
    table.element = ScratchArray<std::uint32_t>(entries);
    table.occupancy = ScratchArray<double>(entries);
    for_each_chunk(pool, n_chunks, [&](std::size_t c) {
        const ChunkSpecies& chunk = chunks[c];
        for (std::size_t s = chunk_begin(n, n_chunks, c), end = chunk_begin(n, n_chunks, c + 1); s < end; ++s)
            table.offsets[s] += chunk.first_entry;
        for (std::size_t e = 0; e < chunk.element.size(); ++e) {
            table.element[chunk.first_entry + e] = chunk.rank[chunk.element[e]];
            table.occupancy[chunk.first_entry + e] = chunk.occupancy[e];
        }
    });
    table.offsets[n] = entries;

    // The sums keep site order, as the structure's composition and n_atoms
    // do, so they agree to the last bit.
    table.element_totals.assign(table.elements.size(), 0.0);
    if (table.one_per_site) {
        for (std::size_t s = 0; s < n; ++s) {
            table.element_totals[table.element[s]] += table.occupancy[s];
            table.total_occupancy += table.occupancy[s];
        }
        return table;
    }
    for (std::size_t s = 0; s < n; ++s) {
        double site_total = 0.0;
        for (std::size_t e = table.offsets[s]; e < table.offsets[s + 1]; ++e) {
            table.element_totals[table.element[e]] += table.occupancy[e];
            site_total += table.occupancy[e];
        }
        table.total_occupancy += site_total;
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
