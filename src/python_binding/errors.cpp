#include "python_binding/errors.hpp"

namespace kestrel::py {

PyObject* internal_error_type() {
    // Created once under the interpreter lock and kept for the process.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kestrel.InternalError", "A broken invariant inside kestrel. Please report it with the input that caused it.",
        PyExc_BaseException, nullptr);
    return type;
}

PyRef raise(PyObject* type, const std::string& message) {
    // Messages quote tokens from user files, which may hold NUL bytes; a C
    // string would cut them short.
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return {};
}

PyRef raise_internal_error(const std::string& message) {
    PyObject* type = internal_error_type();
    if (type == nullptr) return {};  // creating the type failed; its error is set
    return raise(type, message);
}

PyRef raise_structure_error(const StructureError& error) {
    return raise(PyExc_ValueError, error.message);
}

PyRef raise_read_error(const std::string& path, const std::string& error) {
    return raise(PyExc_IOError, "could not read " + path + ": " + error);
}

}  // namespace kestrel::py
