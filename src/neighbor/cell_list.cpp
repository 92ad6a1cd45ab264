#include "neighbor/cell_list.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "base/unit_interval.hpp"
#include "model/supercell.hpp"

namespace kestrel {
namespace {

// At least one grid cell per axis, so a cell narrower than the cutoff is
// searched image by image; at most 64, so the grid stays small for huge cells.
std::uint64_t cells_along(double width, double cutoff, unsigned subdivisions) {
    const double fit = std::floor(width * subdivisions / cutoff);
    const double cap = 64.0 * subdivisions;
    if (!(fit >= 1.0)) return 1;
    if (fit >= cap) return static_cast<std::uint64_t>(cap);
    return static_cast<std::uint64_t>(fit);
}

std::int64_t reach_along(double width, std::uint64_t cells, double cutoff) {
    const double reach = std::ceil(cutoff / (width / static_cast<double>(cells)));
    // Saturate like any float-to-int conversion here (NaN included, from a
    // cell matrix that is not finite); a reach that large cannot be walked
    // anyway, and the RDF refuses it before walking.
    if (!(reach < 4.0e18)) return std::int64_t{4'000'000'000'000'000'000};
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(reach));
}

}  // namespace

std::vector<Vec3> wrap_fractional(const std::vector<Site>& sites) {
    std::vector<Vec3> out;
    out.reserve(sites.size());
    for (const Site& site : sites) out.push_back(wrap_fractional(site.frac));
    return out;
}

Vec3 perpendicular_widths(const Lattice& lattice) {
    // Computed on the matrix scaled to entries of at most 1: the volume of a
    // cell with edges beyond about 1e102 overflows, and inf / inf would leave
    // the widths undefined. The widths scale linearly, so they are scaled back.
    const Mat3& raw = lattice.matrix();
    double scale = 0.0;
    for (const Vec3& row : raw)
        for (double x : row) scale = std::max(scale, std::fabs(x));
    if (!(scale > 0.0) || !std::isfinite(scale)) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan};
    }
    // Ordinary cells are left alone, so their widths keep every last bit.
    if (scale > 1e-100 && scale < 1e100) scale = 1.0;
    Mat3 m;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = raw[i][j] / scale;
    const double v = std::fabs(determinant(m));
    return {scale * (v / length(cross(m[1], m[2]))), scale * (v / length(cross(m[0], m[2]))),
            scale * (v / length(cross(m[0], m[1])))};
}

Result<Ok> check_search_size(std::size_t n_sites) {
    // Chains and grouped positions hold 32-bit site indices; supercells are
    // capped there for the same reason.
    if (n_sites > kMaxSupercellSites)
        return fail_limit("the neighbour search supports at most " + std::to_string(kMaxSupercellSites) +
                          " sites, the structure has " + std::to_string(n_sites));
    return Ok{};
}

CellList grid_shape(const Lattice& lattice, double cutoff, unsigned subdivisions) {
    CellList grid;
    const Vec3 widths = perpendicular_widths(lattice);
    subdivisions = std::clamp(subdivisions, 1u, 16u);
    grid.na = cells_along(widths[0], cutoff, subdivisions);
    grid.nb = cells_along(widths[1], cutoff, subdivisions);
    grid.nc = cells_along(widths[2], cutoff, subdivisions);
    grid.reach_a = reach_along(widths[0], grid.na, cutoff);
    grid.reach_b = reach_along(widths[1], grid.nb, cutoff);
    grid.reach_c = reach_along(widths[2], grid.nc, cutoff);
    return grid;
}

}  // namespace kestrel
