// Owning handle for Python references, and a scope that releases the
// interpreter lock. Every temporary PyObject* in the binding lives in a PyRef.
#pragma once

#include "python_binding/python.hpp"

#include <utility>

namespace kestrel::py {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null, e.g. a failed API call).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Adds a reference of our own to a borrowed one.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller (for returning it to the interpreter).
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* object = nullptr) { Py_XDECREF(std::exchange(object_, object)); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// The last step of a heap type's dealloc: free the memory through the type's
// own slot and drop the reference every instance holds to its type.
inline void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// Releases the interpreter lock for its lifetime. Nothing inside the scope
// may touch a Python object; the lock is back before any error is raised,
// also when a C++ exception unwinds through the scope.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace kestrel::py
