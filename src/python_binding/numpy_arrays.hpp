// float64 and int64 NumPy arrays over buffers the engine computed, without
// copying them.
#pragma once

#include <cstdint>
#include <vector>

#include "python_binding/py_ref.hpp"

namespace kestrel::py {

// A writable 1-D float64 array that takes over `values`. The array's base
// is a small object owning the buffer, freed when the last array over it
// goes away. NumPy is imported on the first call, not before; an import
// failure is the error raised.
PyRef float_array(std::vector<double>&& values);
// The same with a shape (C order) whose product is values.size().
PyRef float_array(std::vector<double>&& values, std::vector<Py_ssize_t> shape);
// A 1-D int64 array that takes over `values`.
PyRef int_array(std::vector<std::int64_t>&& values);

// numpy.{name}, a new reference (NumPy imported on first use).
PyObject* numpy_function(const char* name);

}  // namespace kestrel::py
