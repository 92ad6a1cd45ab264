// float64 and int64 NumPy arrays over buffers the engine computed, without
// copying them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
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

// A C-contiguous NumPy array we hold, and where its data is. The limited
// API has no buffer protocol before 3.11, so an array is made C-contiguous
// by NumPy and its memory found through __array_interface__ (the reference
// held keeps it alive).
struct HeldArray {
    PyRef array;
    const void* data = nullptr;
    std::vector<Py_ssize_t> shape;
    std::string typestr;  // e.g. "<f8", "<i8", "<U2"
};

// numpy.ascontiguousarray(value, dtype) (dtype null: as it is); nothing,
// with the exception set, on failure.
std::optional<HeldArray> hold(PyObject* value, const char* dtype);
// Whether the array has this shape; -1 matches any extent.
bool has_shape(const HeldArray& array, std::initializer_list<Py_ssize_t> shape);

}  // namespace kestrel::py
