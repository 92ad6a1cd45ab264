// The private reading of a CIF's displacement parameters behind the
// scattering PDF (kestrel.pdf.cif_u_iso).
#include <optional>
#include <string>
#include <variant>

#include "base/read_file.hpp"
#include "formats/cif/displacements.hpp"
#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"

namespace kestrel::py {
namespace {

const Signature kSiteUIso{"_cif_site_u_iso()", {"path", "symprec"}, 1};

PyRef site_u_list(const std::vector<std::optional<double>>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return {};
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyRef item = values[k] ? PyRef::steal(PyFloat_FromDouble(*values[k])) : PyRef::borrow(Py_None);
        if (!item) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item.release());
    }
    return list;
}

PyRef cif_site_u_iso(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kSiteUIso, args, kwargs, arguments)) return {};
    std::optional<std::string> path = to_text(arguments[0], "path");
    if (!path) return {};
    double symprec = 1e-4;
    if (!read_double(arguments[1], "symprec", symprec)) return {};
    std::variant<std::string, ReadError> text = read_text_file(*path);
    if (auto* error = std::get_if<ReadError>(&text)) return raise_read_error(*path, error->description);
    Result<std::vector<std::optional<double>>> values =
        read_cif_site_u_iso(std::string_view(std::get<std::string>(text)), symprec);
    if (!values) return raise_structure_error(values.error());
    return site_u_list(*values);
}

PyObject* module_cif_site_u_iso(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return cif_site_u_iso(args, kwargs); });
}

PyMethodDef kFunctions[] = {
    {"_cif_site_u_iso", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_cif_site_u_iso)),
     METH_VARARGS | METH_KEYWORDS,
     "_cif_site_u_iso(path, symprec=1e-4)\n--\n\n"
     "Isotropic displacement parameter U (Å²) of each site of Structure.from_cif(path), or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_displacement_functions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions) == 0; }

}  // namespace kestrel::py
