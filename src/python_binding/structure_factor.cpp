// The Bragg part of a crystal's total scattering from Python: the private
// _bragg_sums behind kestrel.compute_sq (not in __all__).
#include <optional>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/numpy_arrays.hpp"
#include "python_binding/signatures.hpp"
#include "scattering/bragg.hpp"

namespace kestrel::py {
namespace {

PyRef bragg(PyObject* args, PyObject* kwargs) {
    std::optional<BraggSumsArguments> given = read_bragg_sums_arguments(args, kwargs);
    if (!given) return {};
    AverageCell cell;
    if (!given->lattice) return raise(PyExc_ValueError, "lattice must be 3x3");
    cell.lattice = *given->lattice;
    if (given->frac.size() % 3 != 0) return raise(PyExc_ValueError, "frac must hold three coordinates per site");
    for (std::size_t i = 0; i < given->frac.size(); i += 3)
        cell.frac.push_back(Vec3{given->frac[i], given->frac[i + 1], given->frac[i + 2]});
    cell.occupancy = std::move(given->occupancy);
    cell.n_elements = given->settings.u.size();
    const std::vector<double>& q = given->q;
    const BraggSettings& settings = given->settings;
    std::optional<Result<BraggSums>> outcome =
        run_interruptible([&](std::stop_token stop) { return bragg_sums(cell, q, settings, std::move(stop)); });
    if (!outcome) return {};
    Result<BraggSums>& result = *outcome;
    if (!result) return raise_structure_error(result.error());

    const auto n_el = static_cast<Py_ssize_t>(cell.n_elements);
    PyRef pairs = float_array(std::move(result->pairs), {static_cast<Py_ssize_t>(q.size()), n_el, n_el});
    if (!pairs) return {};
    PyRef reflections = make_u64(result->reflections);
    if (!reflections) return {};
    PyRef copies = make_u64(result->copies);
    if (!copies) return {};
    return PyRef::steal(PyTuple_Pack(3, pairs.get(), reflections.get(), copies.get()));
}

PyObject* module_bragg_sums(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return bragg(args, kwargs); });
}

PyMethodDef kFunctions[] = {
    {"_bragg_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_bragg_sums)),
     METH_VARARGS | METH_KEYWORDS, kBraggSumsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_structure_factor_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace kestrel::py
