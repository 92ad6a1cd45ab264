// The Debye scattering equation from Python: the private _debye_sums behind
// kestrel.debye_intensity (not in __all__).
#include <cstdint>
#include <optional>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/numpy_arrays.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"
#include "scattering/debye.hpp"

namespace kestrel::py {
namespace {

PyRef debye(PyObject* args, PyObject* kwargs) {
    std::optional<DebyeSumsArguments> given = read_debye_sums_arguments(args, kwargs);
    if (!given) return {};
    const Structure& cluster = *given->structure;
    const std::vector<double>& q = given->q;
    const DebyeSettings& settings = given->settings;
    std::optional<Result<DebyeSums>> outcome =
        run_interruptible([&](std::stop_token stop) { return debye_sums(cluster, q, settings, std::move(stop)); });
    if (!outcome) return {};
    Result<DebyeSums>& result = *outcome;
    if (!result) return raise_structure_error(result.error());

    const std::vector<std::string>& elements = result->elements;
    PyRef names = make_list(elements.size(), [&](std::size_t i) { return make_text(elements[i]); });
    if (!names) return {};
    PyRef self = make_float_list(result->self.data(), result->self.size());
    if (!self) return {};
    const auto rows = static_cast<Py_ssize_t>(elements.size() * (elements.size() + 1) / 2);
    PyRef pairs = float_array(std::move(result->pairs), {rows, static_cast<Py_ssize_t>(result->n_q)});
    if (!pairs) return {};
    PyRef site_pairs = make_u64(result->site_pairs);
    if (!site_pairs) return {};
    return PyRef::steal(PyTuple_Pack(4, names.get(), self.get(), pairs.get(), site_pairs.get()));
}

PyObject* module_debye_sums(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return debye(args, kwargs); });
}

PyMethodDef kFunctions[] = {
    {"_debye_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_debye_sums)),
     METH_VARARGS | METH_KEYWORDS, kDebyeSumsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_debye_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace kestrel::py
