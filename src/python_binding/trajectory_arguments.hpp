// The readers of the trajectory calls' own kinds of argument, which the
// generated read_<callable>_arguments() call (see signatures.py). Each leaves
// its target alone when the argument is not given or None; false with an
// exception set.
#pragma once

#include "python_binding/python.hpp"
#include "trajectory/reader.hpp"

namespace kestrel::py {

// {type: element}, a type given as an int or a str.
bool read_types(PyObject* value, const char* name, AtomTypeNames& target);
// "xyz" or "lammps-dump".
bool read_format(PyObject* value, const char* name, TrajectoryFormat& target);
// (offset, frame, kept, finished) as a chunk's reading returned it.
bool read_position(PyObject* value, const char* name, TrajectoryPosition& target);

}  // namespace kestrel::py
