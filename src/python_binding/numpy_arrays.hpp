// One-dimensional float64 NumPy arrays over buffers the engine computed,
// without copying them.
#pragma once

#include <vector>

#include "python_binding/py_ref.hpp"

namespace kestrel::py {

// A writable 1-D float64 array that takes over `values`. The array's base
// is a small object owning the buffer, freed when the last array over it
// goes away. NumPy is imported on the first call, not before; an import
// failure is the error raised.
PyRef float_array(std::vector<double>&& values);

}  // namespace kestrel::py
