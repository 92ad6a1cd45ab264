// RDF curves and the worker pools from Python.
#include "lib/bindings.hpp"
#include "lib/errors.hpp"

namespace kestrel::py {
namespace {
PyObject* not_yet() { return raise(PyExc_NotImplementedError, "not built yet").release(); }
}  // namespace

PyObject* structure_available_threads(PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_prdf(PyObject*, PyObject*, PyObject*) { return not_yet(); }
PyObject* structure_total_rdf(PyObject*, PyObject*, PyObject*) { return not_yet(); }

}  // namespace kestrel::py
