// The private reading of a CIF's displacement parameters behind the
// scattering PDF (kestrel.scattering.cif_u_iso).
#include <optional>
#include <string>

#include "formats/cif/displacements.hpp"
#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/file_text.hpp"
#include "python_binding/signatures.hpp"

namespace kestrel::py {
namespace {

// [{element: U or None}, ...], one dict per site.
PyRef site_u_list(const std::vector<std::vector<CifElementU>>& sites) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(sites.size())));
    if (!list) return {};
    for (std::size_t k = 0; k < sites.size(); ++k) {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return {};
        for (const CifElementU& entry : sites[k]) {
            PyRef key = make_text(entry.element);
            PyRef value = entry.u ? PyRef::steal(PyFloat_FromDouble(*entry.u)) : PyRef::borrow(Py_None);
            if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), dict.release());
    }
    return list;
}

PyRef cif_site_u_iso(PyObject* args, PyObject* kwargs) {
    std::optional<CifSiteUIsoArguments> given = read_cif_site_u_iso_arguments(args, kwargs);
    if (!given) return {};
    std::optional<CifText> text = read_cif_file(given->path, given->max_bytes);
    if (!text) return {};
    const std::optional<std::string>& block = given->block;
    Result<std::vector<std::vector<CifElementU>>> values =
        read_cif_site_u_iso(text->text, given->symprec, block ? std::optional<std::string_view>(*block) : std::nullopt);
    if (!values) return raise_reader_error(values.error(), source_of(given->path));
    return site_u_list(*values);
}

PyObject* module_cif_site_u_iso(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return cif_site_u_iso(args, kwargs); });
}

PyMethodDef kFunctions[] = {
    {"_cif_site_u_iso", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_cif_site_u_iso)),
     METH_VARARGS | METH_KEYWORDS, kCifSiteUIsoDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_displacement_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace kestrel::py
