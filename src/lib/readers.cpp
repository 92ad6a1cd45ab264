// Structure readers from Python: files and in-memory text.
#include "lib/bindings.hpp"
#include "lib/errors.hpp"

namespace kestrel::py {
namespace {
PyObject* not_yet() { return raise(PyExc_NotImplementedError, "not built yet").release(); }
}  // namespace

PyObject* structure_from_cif(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_from_poscar(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_from_xyz(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_from_str(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_from_cif_str(PyObject*, PyObject*, PyObject*) { return not_yet(); }

}  // namespace kestrel::py
