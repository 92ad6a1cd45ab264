// The Python class Structure: one immutable core record per instance.
#pragma once

#include "python_binding/py_ref.hpp"
#include "model/structure.hpp"

namespace kestrel::py {

// The class, created on first use and cached for the life of the process.
// Borrowed; null with an exception set if creating it failed.
PyTypeObject* structure_type();

// The receiver's record, read in place; null with TypeError
// "'{type}' object cannot be converted to 'Structure'" otherwise.
const Structure* borrow_structure(PyObject* object);

// borrow_structure as a reader of arguments: false with the exception set.
bool read_structure(PyObject* value, const char* name, const Structure*& target);

// Moves a new record into a new instance of the class.
PyRef wrap_structure(Structure&& record);

}  // namespace kestrel::py
