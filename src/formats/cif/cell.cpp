#include "formats/cif/cell.hpp"

#include <cmath>

namespace kestrel {
namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;
constexpr double kRightAngle = 1.5707963267948966;
// cos(pi/2) as a double, so an absent angle behaves exactly as a written 90.
constexpr double kCosRightAngle = 6.123233995736766e-17;

}  // namespace

Result<Lattice> lattice_from_parameters(double a, double b, double c, std::optional<double> alpha,
                                        std::optional<double> beta, std::optional<double> gamma) {
    if (a <= 0.0 || b <= 0.0 || c <= 0.0) return fail("cell lengths must be positive");
    const double gamma_radians = gamma ? *gamma * kRadiansPerDegree : kRightAngle;
    const double cos_gamma = std::cos(gamma_radians);
    const double sin_gamma = std::sin(gamma_radians);
    if (std::fabs(sin_gamma) < 1e-12) return fail("gamma must not be 0 or 180 degrees");
    const double cos_alpha = alpha ? std::cos(*alpha * kRadiansPerDegree) : kCosRightAngle;
    const double cos_beta = beta ? std::cos(*beta * kRadiansPerDegree) : kCosRightAngle;
    const double cx = c * cos_beta;
    const double cy = c * (cos_alpha - cos_beta * cos_gamma) / sin_gamma;
    const double cz_squared = c * c - cx * cx - cy * cy;
    if (cz_squared <= 0.0) return fail("cell angles are geometrically inconsistent");
    const Mat3 matrix{{{a, 0.0, 0.0}, {b * cos_gamma, b * sin_gamma, 0.0}, {cx, cy, std::sqrt(cz_squared)}}};
    return make_lattice(matrix);
}

}  // namespace kestrel
