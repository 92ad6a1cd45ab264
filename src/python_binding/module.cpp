// Module initialisation: the class, the trajectory function and the version.
#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"

namespace kestrel::py {
namespace {

// Set once the module has been created; a second initialisation in the same
// process (re-import after removal from sys.modules, a sub-interpreter) is
// refused, because the cached class and the pools are process-wide.
PyObject* created_module = nullptr;

PyMethodDef kTrajectoryFunction{
    "read_xyz_trajectory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_read_xyz_trajectory)),
    METH_VARARGS | METH_KEYWORDS, kReadXyzTrajectoryDoc};

// State size 0 rather than -1: the interpreter then calls the initialiser
// again on re-import instead of copying a cached module dict, which is what
// lets us refuse it.
PyModuleDef kModule{PyModuleDef_HEAD_INIT, "_kestrel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Appends the name to __all__ (created on first use), then sets the attribute.
bool add_attribute(PyObject* module, const std::string& name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ of the module is not a list");
        return false;
    }
    PyRef text = make_text(name);
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttr(module, text.get(), value) == 0;
}

PyRef create_module() {
    if (created_module != nullptr)
        return raise(PyExc_ImportError, "_kestrel may be initialised only once per interpreter process");
    PyRef module = PyRef::steal(PyModule_Create(&kModule));
    if (!module) return {};

    PyTypeObject* type = structure_type();
    if (type == nullptr || !add_attribute(module.get(), "Structure", reinterpret_cast<PyObject*>(type))) return {};

    PyRef module_name = PyRef::steal(PyUnicode_FromString("_kestrel"));
    if (!module_name) return {};
    PyRef function = PyRef::steal(PyCFunction_NewEx(&kTrajectoryFunction, module.get(), module_name.get()));
    if (!function) return {};
    PyRef function_name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!function_name) return {};
    if (!PyUnicode_Check(function_name.get())) {
        PyErr_SetString(PyExc_TypeError, "__name__ of read_xyz_trajectory is not a str");
        return {};
    }
    std::optional<std::string> name = utf8_of(function_name.get());
    if (!name || !add_attribute(module.get(), *name, function.get())) return {};

    if (!add_cif_members(module.get())) return {};
    if (!add_error_types(module.get())) return {};
    if (!add_space_group_functions(module.get())) return {};
    if (!add_trajectory_chunk_functions(module.get())) return {};
    if (!add_displacement_functions(module.get())) return {};
    if (!add_scattering_functions(module.get())) return {};
    if (!add_rdf_bins_members(module.get())) return {};
    if (!add_order_functions(module.get())) return {};
    if (!add_debye_functions(module.get())) return {};
    if (!add_structure_factor_functions(module.get())) return {};
    if (!add_bigbox_functions(module.get())) return {};

    PyRef version = PyRef::steal(PyUnicode_FromString(KESTREL_VERSION));
    if (!version || !add_attribute(module.get(), "__version__", version.get())) return {};

    created_module = module.get();
    return module;
}

}  // namespace
}  // namespace kestrel::py

PyMODINIT_FUNC PyInit__kestrel(void) {
    return kestrel::py::guarded([] { return kestrel::py::create_module(); });
}
