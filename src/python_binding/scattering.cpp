// The private core operations behind kestrel.scattering: the Gaussian peak
// sum every G(r) is made of, its derivatives, and the site pairs a refined
// G(r) is summed over.
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/numpy_arrays.hpp"
#include "python_binding/signatures.hpp"
#include "scattering/gaussian_sums.hpp"
#include "scattering/site_pairs.hpp"

namespace kestrel::py {
namespace {

// A 1-D float64 view of `value`, named in the message when it is not one.
std::optional<HeldArray> hold_vector(PyObject* value, const char* name) {
    std::optional<HeldArray> array = hold(value, "float64");
    if (!array) return std::nullopt;
    if (!has_shape(*array, {-1})) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional", name);
        return std::nullopt;
    }
    return array;
}

std::span<const double> doubles(const HeldArray& array) {
    return {static_cast<const double*>(array.data), static_cast<std::size_t>(array.shape[0])};
}

// The peaks' three arrays and the points, each one-dimensional.
struct HeldPeaks {
    HeldArray centres, weights, sigmas, x;
    GaussianPeaks peaks() const { return {doubles(centres), doubles(weights), doubles(sigmas)}; }
};

std::optional<HeldPeaks> hold_peaks(PyObject* centres, PyObject* weights, PyObject* sigmas, PyObject* x) {
    HeldPeaks out;
    PyObject* const given[4] = {centres, weights, sigmas, x};
    HeldArray* const into[4] = {&out.centres, &out.weights, &out.sigmas, &out.x};
    const char* const names[4] = {"centres", "weights", "sigmas", "x"};
    for (int k = 0; k < 4; ++k) {
        std::optional<HeldArray> array = hold_vector(given[k], names[k]);
        if (!array) return std::nullopt;
        *into[k] = std::move(*array);
    }
    return out;
}

PyRef peak_sums(PyObject* args, PyObject* kwargs) {
    std::optional<GaussianPeakSumsArguments> given = read_gaussian_peak_sums_arguments(args, kwargs);
    if (!given) return {};
    std::optional<HeldPeaks> held = hold_peaks(given->centres, given->weights, given->sigmas, given->x);
    if (!held) return {};
    const GaussianPeaks peaks = held->peaks();
    std::optional<Result<std::vector<double>>> sums;
    // The arrays we hold keep their memory; the sum touches no Python object.
    Py_BEGIN_ALLOW_THREADS sums.emplace(
        gaussian_peak_sums_with_threads(peaks, doubles(held->x), given->reach, given->n_threads));
    Py_END_ALLOW_THREADS if (!*sums) return raise_structure_error(sums->error());
    return float_array(std::move(**sums));
}

// A float64 array of shape (-1, columns), named in the message when it is not one.
std::optional<HeldArray> hold_rows(PyObject* value, const char* name, Py_ssize_t columns) {
    std::optional<HeldArray> array = hold(value, "float64");
    if (!array) return std::nullopt;
    if (!has_shape(*array, {-1, columns})) {
        PyErr_Format(PyExc_ValueError, "%s must have shape (n, %zd)", name, columns);
        return std::nullopt;
    }
    return array;
}

PyRef peak_slopes(PyObject* args, PyObject* kwargs) {
    std::optional<GaussianPeakSlopesArguments> given = read_gaussian_peak_slopes_arguments(args, kwargs);
    if (!given) return {};
    std::optional<HeldPeaks> held = hold_peaks(given->centres, given->weights, given->sigmas, given->x);
    if (!held) return {};
    std::optional<HeldArray> slopes[3];
    PyObject* const given_slopes[3] = {given->weight_slopes, given->centre_slopes, given->variance_slopes};
    const char* const names[3] = {"weight_slopes", "centre_slopes", "variance_slopes"};
    for (int k = 0; k < 3; ++k) {
        slopes[k] = hold_rows(given_slopes[k], names[k], -1);
        if (!slopes[k]) return {};
    }
    const auto n_parameters = static_cast<std::size_t>(slopes[0]->shape[1]);
    const auto flat = [](const HeldArray& array) {
        return std::span<const double>(static_cast<const double*>(array.data),
                                       static_cast<std::size_t>(array.shape[0] * array.shape[1]));
    };
    for (int k = 1; k < 3; ++k)
        if (slopes[k]->shape != slopes[0]->shape) {
            PyErr_SetString(PyExc_ValueError, "weight_slopes, centre_slopes and variance_slopes must have one shape");
            return {};
        }
    const GaussianPeaks peaks = held->peaks();
    const PeakSlopes by{flat(*slopes[0]), flat(*slopes[1]), flat(*slopes[2]), n_parameters};
    std::optional<Result<std::vector<double>>> rows;
    Py_BEGIN_ALLOW_THREADS rows.emplace(
        gaussian_peak_slopes_with_threads(peaks, by, doubles(held->x), given->reach, given->n_threads));
    Py_END_ALLOW_THREADS if (!*rows) return raise_structure_error(rows->error());
    return float_array(std::move(**rows), {static_cast<Py_ssize_t>(n_parameters), held->x.shape[0]});
}

// Rows of three doubles copied out of an (n, 3) array.
std::vector<Vec3> vectors(const HeldArray& array) {
    std::vector<Vec3> out(static_cast<std::size_t>(array.shape[0]));
    if (!out.empty()) std::memcpy(out.data(), array.data, out.size() * sizeof(Vec3));
    return out;
}

// The space group's arrays, all given or none.
struct HeldSymmetry {
    std::vector<Mat3> rotations;
    std::vector<Vec3> translations;
    std::vector<std::int64_t> orbit;
};

std::optional<HeldSymmetry> hold_symmetry(const SitePairsArguments& given, bool& ok) {
    // Null: not given.
    const auto absent = [](PyObject* value) { return value == nullptr || value == Py_None; };
    ok = true;
    if (absent(given.rotations) && absent(given.translations) && absent(given.orbit)) return std::nullopt;
    ok = false;
    if (absent(given.rotations) || absent(given.translations) || absent(given.orbit)) {
        PyErr_SetString(PyExc_ValueError, "give rotations, translations and orbit together, or none of them");
        return std::nullopt;
    }
    std::optional<HeldArray> rotations = hold(given.rotations, "float64");
    if (!rotations) return std::nullopt;
    if (!has_shape(*rotations, {-1, 3, 3})) {
        PyErr_SetString(PyExc_ValueError, "rotations must have shape (n, 3, 3)");
        return std::nullopt;
    }
    std::optional<HeldArray> translations = hold_rows(given.translations, "translations", 3);
    if (!translations) return std::nullopt;
    std::optional<HeldArray> orbit = hold(given.orbit, "int64");
    if (!orbit) return std::nullopt;
    if (!has_shape(*orbit, {-1})) {
        PyErr_SetString(PyExc_ValueError, "orbit must be one-dimensional");
        return std::nullopt;
    }
    HeldSymmetry out;
    out.rotations.resize(static_cast<std::size_t>(rotations->shape[0]));
    if (!out.rotations.empty()) std::memcpy(out.rotations.data(), rotations->data, out.rotations.size() * sizeof(Mat3));
    out.translations = vectors(*translations);
    const auto* first = static_cast<const std::int64_t*>(orbit->data);
    out.orbit.assign(first, first + orbit->shape[0]);
    ok = true;
    return out;
}

PyRef site_pairs(PyObject* args, PyObject* kwargs) {
    std::optional<SitePairsArguments> given = read_site_pairs_arguments(args, kwargs);
    if (!given) return {};
    std::optional<HeldArray> matrix = hold(given->lattice, "float64");
    if (!matrix) return {};
    if (!has_shape(*matrix, {3, 3})) {
        PyErr_SetString(PyExc_ValueError, "lattice must have shape (3, 3)");
        return {};
    }
    Mat3 rows;
    std::memcpy(rows.data(), matrix->data, sizeof(Mat3));
    Result<Lattice> lattice = make_lattice(rows);
    if (!lattice) return raise_structure_error(lattice.error());
    std::optional<HeldArray> frac_array = hold_rows(given->frac, "frac", 3);
    if (!frac_array) return {};
    const std::vector<Vec3> frac = vectors(*frac_array);
    bool ok = true;
    std::optional<HeldSymmetry> held = hold_symmetry(*given, ok);
    if (!ok) return {};
    std::optional<PairSymmetry> symmetry;
    if (held) symmetry = PairSymmetry{held->rotations, held->translations, held->orbit};
    std::optional<Result<SitePairTable>> found;
    Py_BEGIN_ALLOW_THREADS found.emplace(
        find_site_pairs_with_threads(*lattice, frac, given->reach, symmetry ? &*symmetry : nullptr, given->n_threads));
    Py_END_ALLOW_THREADS if (!*found) return raise_structure_error(found->error());
    SitePairTable& table = **found;
    std::vector<double> shifts;
    shifts.reserve(3 * table.shift.size());
    for (const IntVec3& n : table.shift)
        for (const int axis : n) shifts.push_back(static_cast<double>(axis));
    const auto n_pairs = static_cast<Py_ssize_t>(table.count.size());
    PyRef site_i = int_array(std::move(table.site_i));
    if (!site_i) return {};
    PyRef site_j = int_array(std::move(table.site_j));
    if (!site_j) return {};
    PyRef shift = float_array(std::move(shifts), {n_pairs, 3});
    if (!shift) return {};
    PyRef count = float_array(std::move(table.count));
    if (!count) return {};
    return PyRef::steal(PyTuple_Pack(4, site_i.get(), site_j.get(), shift.get(), count.get()));
}

PyObject* module_gaussian_peak_slopes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return peak_slopes(args, kwargs); });
}

PyObject* module_site_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return site_pairs(args, kwargs); });
}

PyObject* module_gaussian_peak_sums(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return peak_sums(args, kwargs); });
}

PyMethodDef kFunctions[] = {
    {"_gaussian_peak_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_gaussian_peak_sums)),
     METH_VARARGS | METH_KEYWORDS, kGaussianPeakSumsDoc},
    {"_gaussian_peak_slopes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_gaussian_peak_slopes)),
     METH_VARARGS | METH_KEYWORDS, kGaussianPeakSlopesDoc},
    {"_site_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_site_pairs)),
     METH_VARARGS | METH_KEYWORDS, kSitePairsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_scattering_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace kestrel::py
