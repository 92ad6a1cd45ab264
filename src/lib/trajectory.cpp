// The multi-frame XYZ reader from Python.
#include "lib/bindings.hpp"
#include "lib/errors.hpp"

namespace kestrel::py {
namespace {
PyObject* not_yet() { return raise(PyExc_NotImplementedError, "not built yet").release(); }
}  // namespace

PyObject* module_read_xyz_trajectory(PyObject*, PyObject*, PyObject*) { return not_yet(); }

}  // namespace kestrel::py
