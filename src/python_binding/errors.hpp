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

// kestrel.StructureFileError and kestrel.WorkLimitError, both ValueError
// subclasses, created once.
PyObject* structure_file_error_type();
PyObject* work_limit_error_type();
// Adds both to the module (beside __all__). False with an exception set.
bool add_error_types(PyObject* module);

// A StructureError of a computation: WorkLimitError for a limit, else
// ValueError, with its message unchanged.
PyRef raise_structure_error(const StructureError& error);

// Where the text a reader refused came from: the path as given (for
// messages) and as the caller passed it to the OS (for `filename`), or
// nothing for text in memory.
struct TextSource {
    std::string display;           // empty for text in memory
    PyObject* filename = nullptr;  // borrowed; null for text in memory
};

// A StructureError of a reader: StructureFileError with the fields
// filename, line and reason and the message "{file}: line {n}: {reason}"
// (each part only when known; text in memory gets the reason alone); a parameter out of range is a plain
// ValueError; a limit is a WorkLimitError
// "{file}: {reason}"; an error the OS gave is an OSError subclass with its
// errno and filename.
PyRef raise_reader_error(const StructureError& error, const TextSource& source);

// Whole-file reading failures of the file readers: the OS error with its
// errno and filename (FileNotFoundError, IsADirectoryError, ...) when the
// system refused (`os_error` set), else OSError "could not read {path}:
// {description}" (bytes that are not UTF-8, a broken archive).
PyRef raise_read_error(const std::string& description, int os_error, const TextSource& source);
PyRef raise_read_error(const std::string& path, const std::string& description);

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
