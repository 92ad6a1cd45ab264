// RDF curves and the worker pools from Python, and the hand-off of the
// curves to the Python plotting function.
#include <cstdint>
#include <optional>
#include <string>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/numpy_arrays.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"
#include "parallel/pool.hpp"
#include "rdf/settings.hpp"

namespace kestrel::py {
namespace {

// The only part that runs without the interpreter lock: the engine sees the
// borrowed record and plain numbers, and no Python object. Nothing when
// Ctrl-C (or another signal handler) raised meanwhile; its exception is set.
std::optional<Result<RdfResult>> run_rdf(const Structure& structure, const RdfSettings& settings) {
    return run_interruptible(
        [&](std::stop_token stop) { return rdf_with_settings(structure, settings, std::move(stop)); },
        rdf_settings_are_brief(structure, settings));
}

// {(A, B): g_AB}, inserted A-major in element order.
PyRef partials_dict(RdfResult& result) {
    const std::size_t n_el = result.elements.size();
    std::vector<PyRef> names;
    for (const std::string& element : result.elements) {
        names.push_back(make_text(element));
        if (!names.back()) return {};
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (std::size_t a = 0; a < n_el; ++a)
        for (std::size_t b = 0; b < n_el; ++b) {
            PyRef key = PyRef::steal(PyTuple_Pack(2, names[a].get(), names[b].get()));
            if (!key) return {};
            PyRef curve = float_array(std::move(result.partials[a * n_el + b]));
            if (!curve || PyDict_SetItem(dict.get(), key.get(), curve.get()) < 0) return {};
        }
    return dict;
}

// kestrel.plotting.save_prdf_plots(r, partials, total, folder, bin_size=,
// title=, density=); whatever it raises is passed on as it is.
bool save_plots(PyObject* r, PyObject* partials, PyObject* total, PyObject* folder, double bin_size, PyObject* title,
                double density) {
    PyRef keywords = PyRef::steal(PyDict_New());
    if (!keywords) return false;
    PyRef bin_value = PyRef::steal(PyFloat_FromDouble(bin_size));
    if (!bin_value || PyDict_SetItemString(keywords.get(), "bin_size", bin_value.get()) < 0) return false;
    if (PyDict_SetItemString(keywords.get(), "title", title) < 0) return false;
    PyRef density_value = PyRef::steal(PyFloat_FromDouble(density));
    if (!density_value || PyDict_SetItemString(keywords.get(), "density", density_value.get()) < 0) return false;

    PyRef module = PyRef::steal(PyImport_ImportModule("kestrel.plotting"));
    if (!module) return false;
    PyRef function = PyRef::steal(PyObject_GetAttrString(module.get(), "save_prdf_plots"));
    if (!function) return false;
    PyRef positional = PyRef::steal(PyTuple_Pack(4, r, partials, total, folder));
    if (!positional) return false;
    PyRef ignored = PyRef::steal(PyObject_Call(function.get(), positional.get(), keywords.get()));
    return static_cast<bool>(ignored);
}

PyRef prdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::optional<PrdfArguments> arguments = read_prdf_arguments(args, kwargs);
    if (!arguments) return {};
    const Structure* structure = borrow_structure(self);
    if (structure == nullptr) return {};
    const RdfSettings& settings = arguments->settings;

    std::optional<Result<RdfResult>> outcome = run_rdf(*structure, settings);
    if (!outcome) return {};
    Result<RdfResult>& result = *outcome;
    if (!result) return raise_structure_error(result.error());
    if (!warn_about_last_bin(settings.cutoff, settings.bin_size)) return {};

    PyRef partials = partials_dict(*result);
    if (!partials) return {};
    PyRef r = float_array(std::move(result->r));
    if (!r) return {};
    PyRef total = float_array(std::move(result->total));
    if (!total) return {};

    if (arguments->save_plots != nullptr) {
        // The caller's own str objects are handed on, not copies of their text.
        PyObject* title = arguments->title != nullptr ? arguments->title : Py_None;
        const double density = n_atoms(*structure) / volume(*structure);
        if (!save_plots(r.get(), partials.get(), total.get(), arguments->save_plots, settings.bin_size, title, density))
            return {};
    }
    return PyRef::steal(PyTuple_Pack(3, r.get(), partials.get(), total.get()));
}

PyRef total_rdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::optional<TotalRdfArguments> arguments = read_total_rdf_arguments(args, kwargs);
    if (!arguments) return {};
    const Structure* structure = borrow_structure(self);
    if (structure == nullptr) return {};
    const RdfSettings& settings = arguments->settings;

    std::optional<Result<RdfResult>> outcome = run_rdf(*structure, settings);
    if (!outcome) return {};
    Result<RdfResult>& result = *outcome;
    if (!result) return raise_structure_error(result.error());
    if (!warn_about_last_bin(settings.cutoff, settings.bin_size)) return {};
    PyRef r = float_array(std::move(result->r));
    if (!r) return {};
    PyRef total = float_array(std::move(result->total));
    if (!total) return {};
    return PyRef::steal(PyTuple_Pack(2, r.get(), total.get()));
}

PyRef available_threads() {
    Result<ThreadPool*> pool =
        ThreadPool::current() != nullptr ? Result<ThreadPool*>(ThreadPool::current()) : default_pool();
    if (!pool) return raise_structure_error(pool.error());
    return PyRef::steal(PyLong_FromSize_t((*pool)->size()));
}

}  // namespace

PyObject* structure_available_threads(PyObject*, PyObject*) {
    return guarded([] { return available_threads(); });
}

PyObject* structure_prdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return prdf(self, args, kwargs); });
}

PyObject* structure_total_rdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return total_rdf(self, args, kwargs); });
}

}  // namespace kestrel::py
