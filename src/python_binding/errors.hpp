// The one mapping from failures to Python exceptions, and the guard that
// keeps C++ exceptions from unwinding into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "python_binding/py_ref.hpp"
#include "base/error.hpp"
#include "parallel/thread_exceptions.hpp"

namespace kestrel::py {

// Derives from BaseException directly, so `except Exception` does not hide
// a broken invariant of ours.
PyObject* internal_error_type();
PyRef raise_internal_error(const std::string& message);

// A StructureError becomes ValueError with its message unchanged.
PyRef raise_structure_error(const StructureError& error);

// Whole-file reading failures of the three file readers: OSError with
// "could not read {path}: {error}".
PyRef raise_read_error(const std::string& path, const std::string& error);

// Sets an exception of the given type and returns an empty reference.
PyRef raise(PyObject* type, const std::string& message);

// Runs the body of a wrapper. The body returns a new reference, or an empty
// one with a Python exception set. A C++ exception that escapes the core is
// turned into MemoryError (std::bad_alloc) or our internal error.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    // So a std::bad_alloc below can be thrown and turned into MemoryError.
    prepare_thread_for_exceptions();
    try {
        return body().release();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_error(std::string("internal error: ") + error.what());
    } catch (...) {
        raise_internal_error("internal error: unknown C++ exception");
    }
    return nullptr;
}

}  // namespace kestrel::py
