// The RDF's bin rule seen from Python: kestrel.rdf_bins() for the command
// line and the batch table, and the warning about a last bin that reaches
// past the cutoff, which prdf and total_rdf give.
#include <string>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/signatures.hpp"
#include "rdf/bins.hpp"

namespace kestrel::py {
namespace {

PyMethodDef kRdfBinsFunction{"rdf_bins",
                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_rdf_bins)),
                             METH_VARARGS | METH_KEYWORDS, kRdfBinsDoc};

bool set_item(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef rdf_bins_of(PyObject* args, PyObject* kwargs) {
    std::optional<RdfBinsArguments> arguments = read_rdf_bins_arguments(args, kwargs);
    if (!arguments) return {};
    const double cutoff = arguments->cutoff, bin_size = arguments->bin_size;
    Result<RdfBins> bins = rdf_bins(cutoff, bin_size);
    if (!bins) return raise_structure_error(bins.error());
    const std::vector<double> edges = edges_of(*bins);
    const std::string short_last_bin = short_last_bin_message(*bins);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), "cutoff", PyRef::steal(PyFloat_FromDouble(cutoff))) ||
        !set_item(dict.get(), "bin_size", PyRef::steal(PyFloat_FromDouble(bin_size))) ||
        !set_item(dict.get(), "n_bins", PyRef::steal(PyLong_FromUnsignedLongLong(bins->n_bins))) ||
        !set_item(dict.get(), "edges", make_float_list(edges.data(), edges.size())) ||
        !set_item(dict.get(), "short_last_bin",
                  short_last_bin.empty() ? PyRef::borrow(Py_None) : make_text(short_last_bin)))
        return {};
    return dict;
}

}  // namespace

PyObject* short_last_bin_warning_type() {
    // Created once under the interpreter lock and kept for the process.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kestrel.ShortLastBinWarning",
        "The cutoff is not a whole number of bins: the last bin counts pairs only up to the cutoff but is "
        "divided by its whole shell, so it reads low.",
        PyExc_UserWarning, nullptr);
    return type;
}

bool warn_about_last_bin(double cutoff, double bin_size) {
    Result<RdfBins> bins = rdf_bins(cutoff, bin_size);
    if (!bins) return true;  // the computation has refused them already
    const std::string message = short_last_bin_message(*bins);
    if (message.empty()) return true;
    PyObject* category = short_last_bin_warning_type();
    return category != nullptr && PyErr_WarnEx(category, message.c_str(), 1) == 0;
}

PyObject* module_rdf_bins(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return rdf_bins_of(args, kwargs); });
}

bool add_rdf_bins_members(PyObject* module) {
    PyObject* warning = short_last_bin_warning_type();
    if (warning == nullptr || PyObject_SetAttrString(module, "ShortLastBinWarning", warning) < 0) return false;
    PyRef module_name = PyRef::steal(PyUnicode_FromString("_kestrel"));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(&kRdfBinsFunction, module, module_name.get()));
    return function && PyObject_SetAttrString(module, "rdf_bins", function.get()) == 0;
}

}  // namespace kestrel::py
