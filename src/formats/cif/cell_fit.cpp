#include "formats/cif/cell_fit.hpp"

#include <cmath>
#include <cstdio>

namespace kestrel {
namespace {

constexpr double kDegreesPerRadian = 57.29577951308232;

Mat3 metric_of(const Lattice& lattice) {
    const Mat3& a = lattice.matrix();
    Mat3 g{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) g[i][j] = a[i][0] * a[j][0] + a[i][1] * a[j][1] + a[i][2] * a[j][2];
    return g;
}

// Up to three decimals, without trailing zeros: '3.812', '60', '5.4'.
std::string short_number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    std::string text(buffer);
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    if (text == "-0") text = "0";
    return text;
}

// 'a = b = c = 5', 'a = b = 5, c = 7': equal values (as printed) share one '='.
std::string describe_three(const char* const names[3], const std::string values[3], const char* unit) {
    std::string out;
    bool done[3] = {false, false, false};
    for (int i = 0; i < 3; ++i) {
        if (done[i]) continue;
        if (!out.empty()) out += ", ";
        out += names[i];
        for (int j = i + 1; j < 3; ++j)
            if (!done[j] && values[j] == values[i]) {
                out += std::string(" = ") + names[j];
                done[j] = true;
            }
        out += " = " + values[i] + unit;
    }
    return out;
}

bool all_keep_metric(const std::vector<SymmetryOperation>& operations, const Lattice& lattice) {
    for (const SymmetryOperation& operation : operations)
        if (!keeps_metric(operation.rotation, lattice)) return false;
    return true;
}

// A centring translation (unit rotation, translation off the lattice) marks
// a centred cell.
bool has_centring(const std::vector<SymmetryOperation>& operations) {
    for (const SymmetryOperation& operation : operations) {
        SymmetryOperation rotation_only = operation;
        rotation_only.translation = {0.0, 0.0, 0.0};
        if (rotation_only.is_identity_modulo_lattice() && !operation.is_identity_modulo_lattice()) return true;
    }
    return false;
}

}  // namespace

bool keeps_metric(const Mat3& rotation, const Lattice& lattice) {
    const Mat3 g = metric_of(lattice);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double kept = 0.0;  // (RᵀGR)_ij
            for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l) kept += rotation[k][i] * g[k][l] * rotation[l][j];
            // Written so that a NaN fails the test.
            if (!(std::fabs(kept - g[i][j]) <= kMetricTolerance * std::sqrt(g[i][i] * g[j][j]))) return false;
        }
    return true;
}

std::string describe_cell(const Lattice& lattice) {
    const Mat3 g = metric_of(lattice);
    const double length[3] = {std::sqrt(g[0][0]), std::sqrt(g[1][1]), std::sqrt(g[2][2])};
    const std::string lengths[3] = {short_number(length[0]), short_number(length[1]), short_number(length[2])};
    // alpha between b and c, beta between a and c, gamma between a and b.
    const auto angle = [&](int i, int j) {
        return short_number(std::acos(std::fmax(-1.0, std::fmin(1.0, g[i][j] / (length[i] * length[j])))) *
                            kDegreesPerRadian);
    };
    const std::string angles[3] = {angle(1, 2), angle(0, 2), angle(0, 1)};
    static const char* const kLengthNames[3] = {"a", "b", "c"};
    static const char* const kAngleNames[3] = {"α", "β", "γ"};
    return describe_three(kLengthNames, lengths, " Å") + ", " + describe_three(kAngleNames, angles, "°");
}

Result<std::vector<SymmetryOperation>> operations_fitting_cell(BlockOperations block_operations, const Lattice& lattice,
                                                               CifNotices& notices) {
    std::vector<SymmetryOperation>& operations = block_operations.operations;
    for (std::size_t k = 0; k < operations.size(); ++k) {
        if (keeps_metric(operations[k].rotation, lattice)) continue;
        const std::string cell = " does not fit this cell (" + describe_cell(lattice) + ")";
        if (!block_operations.written.empty())
            return fail("symmetry operation '" + block_operations.written[k] + "'" + cell +
                        ": the cell or the operations are wrong; correct the cell parameters or the operations");
        if (!block_operations.rhombohedral.empty() && all_keep_metric(block_operations.rhombohedral, lattice)) {
            notices.add(CifNoticeKind::rhombohedral_axes);
            notices.set_detail(CifNoticeKind::rhombohedral_axes,
                               "space group " + block_operations.symbol +
                                   " names no setting and the cell has rhombohedral axes (" + describe_cell(lattice) +
                                   "): read it as " + block_operations.rhombohedral_name);
            return std::move(block_operations.rhombohedral);
        }
        const std::string advice =
            has_centring(operations)
                ? "the file probably gives a primitive cell; add its symmetry operations or the "
                  "conventional cell"
                : "the cell or the symbol is wrong; add the symmetry operations or correct the cell";
        return fail("space group " + block_operations.symbol + cell + ": " + advice);
    }
    return std::move(operations);
}

}  // namespace kestrel
