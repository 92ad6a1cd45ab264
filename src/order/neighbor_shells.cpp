#include "order/neighbor_shells.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "base/fixed4.hpp"
#include "model/structure.hpp"
#include "neighbor/neighbor_query.hpp"

namespace kestrel::order {
namespace {

// The shells' lower edges from the sorted distances: a new shell opens at
// the first distance more than `tol` beyond the current shell's first.
std::vector<double> shell_edges(std::vector<double> distances, double tol) {
    std::sort(distances.begin(), distances.end());
    std::vector<double> edges;
    for (double r : distances)
        if (edges.empty() || r > edges.back() + tol) edges.push_back(r);
    return edges;
}

// The shell of distance r: the last edge at or below r + tol.
std::size_t shell_index(const std::vector<double>& edges, double r, double tol) {
    return static_cast<std::size_t>(std::upper_bound(edges.begin(), edges.end(), r + tol) - edges.begin()) - 1;
}

}  // namespace

Result<NeighborShells> neighbor_shells(const Lattice& lattice, const std::vector<Vec3>& positions, std::size_t shells,
                                       double tol, bool allow_self_images) {
    if (shells == 0) return fail("shells must be at least 1");
    if (!(tol >= 0.0) || !std::isfinite(tol)) return fail("tol must be a finite number >= 0");
    if (positions.empty()) return fail("a sublattice needs at least one site");
    std::vector<Vec3> wrapped(positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i) wrapped[i] = wrap_fractional(positions[i]);

    // A first cutoff that holds a few neighbours per site, grown until the
    // shells asked for lie wholly inside it (a shell is complete once the
    // cutoff is beyond its edge plus tol).
    const double volume = std::fabs(determinant(lattice.matrix()));
    double cutoff = 1.5 * std::cbrt(volume / static_cast<double>(positions.size()));
    std::vector<double> edges;
    for (int attempt = 0;; ++attempt) {
        Result<NeighborGrid> grid = build_cell_list(lattice, wrapped, cutoff, 1);
        if (!grid) return grid.take_error();
        std::vector<double> distances;
        for (std::size_t i = 0; i < wrapped.size(); ++i)
            for_each_neighbor(grid->cells, grid->wrapped, lattice, cutoff, i,
                              [&](std::size_t, double r) { distances.push_back(r); });
        edges = shell_edges(std::move(distances), tol);
        while (!edges.empty() && edges.back() + 2.0 * tol >= cutoff) edges.pop_back();
        if (edges.size() >= shells) break;
        if (attempt == 40) return fail("could not find " + std::to_string(shells) + " neighbour shells");
        cutoff *= 1.4;
    }
    edges.resize(shells);
    cutoff = edges.back() + tol;
    Result<NeighborGrid> grid = build_cell_list(lattice, wrapped, cutoff * (1.0 + 1e-12), 1);
    if (!grid) return grid.take_error();

    NeighborShells out;
    out.radii = edges;
    out.start.assign(wrapped.size() * shells + 1, 0);
    std::vector<std::vector<std::uint32_t>> by_shell(shells);
    for (std::size_t i = 0; i < wrapped.size(); ++i) {
        for (auto& list : by_shell) list.clear();
        std::optional<double> self_image;
        for_each_neighbor(grid->cells, grid->wrapped, lattice, cutoff * (1.0 + 1e-12), i, [&](std::size_t j, double r) {
            if (r > cutoff) return;
            if (j == i && !self_image) self_image = r;
            by_shell[shell_index(edges, r, tol)].push_back(static_cast<std::uint32_t>(j));
        });
        if (self_image && !allow_self_images)
            return fail("the supercell is too small for " + std::to_string(shells) + " shells: a site meets its own " +
                        "image at " + format_fixed4(*self_image) + " A, within shell " +
                        std::to_string(shell_index(edges, *self_image, tol) + 1) + "; use a larger supercell");
        for (std::size_t s = 0; s < shells; ++s) {
            std::sort(by_shell[s].begin(), by_shell[s].end());
            out.neighbor.insert(out.neighbor.end(), by_shell[s].begin(), by_shell[s].end());
            out.start[i * shells + s + 1] = static_cast<std::uint32_t>(out.neighbor.size());
        }
    }
    return out;
}

}  // namespace kestrel::order
