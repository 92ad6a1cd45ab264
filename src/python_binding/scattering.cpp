// The private core operations behind kestrel.scattering: the Gaussian peak
// sum every G(r) is made of.
#include <optional>
#include <span>
#include <vector>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/numpy_arrays.hpp"
#include "python_binding/signatures.hpp"
#include "scattering/gaussian_sums.hpp"

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

PyRef peak_sums(PyObject* args, PyObject* kwargs) {
    std::optional<GaussianPeakSumsArguments> given = read_gaussian_peak_sums_arguments(args, kwargs);
    if (!given) return {};
    std::optional<HeldArray> centres = hold_vector(given->centres, "centres");
    if (!centres) return {};
    std::optional<HeldArray> weights = hold_vector(given->weights, "weights");
    if (!weights) return {};
    std::optional<HeldArray> sigmas = hold_vector(given->sigmas, "sigmas");
    if (!sigmas) return {};
    std::optional<HeldArray> x = hold_vector(given->x, "x");
    if (!x) return {};
    const GaussianPeaks peaks{doubles(*centres), doubles(*weights), doubles(*sigmas)};
    std::optional<Result<std::vector<double>>> sums;
    // The arrays we hold keep their memory; the sum touches no Python object.
    Py_BEGIN_ALLOW_THREADS sums.emplace(
        gaussian_peak_sums_with_threads(peaks, doubles(*x), given->reach, given->n_threads));
    Py_END_ALLOW_THREADS if (!*sums) return raise_structure_error(sums->error());
    return float_array(std::move(**sums));
}

PyObject* module_gaussian_peak_sums(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return peak_sums(args, kwargs); });
}

PyMethodDef kFunctions[] = {
    {"_gaussian_peak_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_gaussian_peak_sums)),
     METH_VARARGS | METH_KEYWORDS, kGaussianPeakSumsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_scattering_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace kestrel::py
