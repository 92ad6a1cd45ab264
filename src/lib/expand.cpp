// Supercells, the disorder summary and the occupancy expansion from Python.
#include "lib/bindings.hpp"
#include "lib/errors.hpp"

namespace kestrel::py {
namespace {
PyObject* not_yet() { return raise(PyExc_NotImplementedError, "not built yet").release(); }
}  // namespace

PyObject* structure_disorder_summary(PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_make_supercell(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_expand_occupancies(PyObject*, PyObject*, PyObject*) { return not_yet(); }

}  // namespace kestrel::py
