#include "neighbor/reduced_cell.hpp"

#include "neighbor/cell_list.hpp"

#include <array>
#include <cmath>
#include <cstdint>

namespace kestrel {
namespace {

using IntMat3 = std::array<std::array<std::int64_t, 3>, 3>;

// |a| |b| |c| / V: 1 for an orthogonal cell, large for a slanted one.
double slant(const Mat3& m) {
    return length(m[0]) * length(m[1]) * length(m[2]) / std::fabs(determinant(m));
}

Mat3 combine(const IntMat3& u, const Mat3& m) {
    Mat3 out{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            out[i][k] = static_cast<double>(u[i][0]) * m[0][k] + static_cast<double>(u[i][1]) * m[1][k] +
                        static_cast<double>(u[i][2]) * m[2][k];
    return out;
}

// The inverse of a unimodular integer matrix, itself integer: its adjugate
// divided by the determinant, which is +1 or -1.
IntMat3 inverse(const IntMat3& u) {
    IntMat3 adj{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            adj[i][j] = u[r0][c0] * u[r1][c1] - u[r0][c1] * u[r1][c0];
        }
    const std::int64_t det = u[0][0] * adj[0][0] + u[0][1] * adj[1][0] + u[0][2] * adj[2][0];
    for (auto& row : adj)
        for (auto& x : row) x *= det;  // dividing by +-1
    return adj;
}

}  // namespace

std::optional<ReducedCell> reduce_for_search(const Lattice& lattice, const std::vector<Site>& sites) {
    const Mat3& m = lattice.matrix();
    IntMat3 u{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    Mat3 basis = m;
    // Pairwise size reduction: subtract the nearest whole multiple of one
    // vector from another while that shortens it. Every step shortens a
    // vector, so it ends; the cap only guards against rounding games.
    constexpr std::int64_t kMaxCoefficient = std::int64_t{1} << 20;
    for (int round = 0; round < 200; ++round) {
        bool changed = false;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                if (i == j) continue;
                const double ratio = dot(basis[i], basis[j]) / dot(basis[j], basis[j]);
                if (!(std::fabs(ratio) > 0.5 + 1e-9) || !(std::fabs(ratio) < 1e6)) continue;
                const auto k = static_cast<std::int64_t>(std::llround(ratio));
                bool fits = true;
                for (int c = 0; c < 3; ++c) fits = fits && std::llabs(u[i][c] - k * u[j][c]) <= kMaxCoefficient;
                if (!fits) continue;
                for (int c = 0; c < 3; ++c) u[i][c] -= k * u[j][c];
                basis = combine(u, m);
                changed = true;
            }
        if (!changed) break;
    }
    // Worth it only when the slant drops clearly; a cell that is merely a
    // little oblique keeps its own basis.
    if (!(slant(basis) * 1.5 < slant(m))) return std::nullopt;
    Result<Lattice> reduced = make_lattice(basis);
    if (!reduced) return std::nullopt;

    // cart = f M = f U^-1 (U M): the coordinates in the new basis are small
    // whole-number combinations of the old ones.
    const IntMat3 back = inverse(u);
    ReducedCell out{std::move(*reduced), {}};
    out.wrapped.reserve(sites.size());
    for (const Site& site : sites) {
        const Vec3& f = site.frac;
        Vec3 g{};
        for (int k = 0; k < 3; ++k)
            g[k] = f[0] * static_cast<double>(back[0][k]) + f[1] * static_cast<double>(back[1][k]) +
                   f[2] * static_cast<double>(back[2][k]);
        out.wrapped.push_back(wrap_fractional(g));
    }
    return out;
}

}  // namespace kestrel
