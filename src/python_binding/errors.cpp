#include "python_binding/errors.hpp"

#include <cerrno>

#include "python_binding/args.hpp"

namespace kestrel::py {

PyObject* internal_error_type() {
    // Created once under the interpreter lock and kept for the process.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kestrel.InternalError", "A broken invariant inside kestrel. Please report it with the input that caused it.",
        PyExc_BaseException, nullptr);
    return type;
}

namespace {

// A ValueError subclass whose class dict holds `fields` set to None, so that
// an instance raised by Python code (without them) still reads as unknown.
PyObject* value_error_subclass(const char* name, const char* doc, std::initializer_list<const char*> fields) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const char* field : fields)
        if (PyDict_SetItemString(dict.get(), field, Py_None) < 0) return nullptr;
    return PyErr_NewExceptionWithDoc(name, doc, PyExc_ValueError, dict.get());
}

}  // namespace

PyObject* structure_file_error_type() {
    static PyObject* type = value_error_subclass(
        "kestrel.StructureFileError",
        "A structure file (or text) that a reader refused.\n\n"
        "Attributes: `filename` (the path as given, None for text in memory), `line` (the line at fault, "
        "counted from 1, or None when no one line is), `reason` (the message without the file, the line and "
        "the advice), `parameter` (the argument that would mend it, such as \"cell\", or None).",
        {"filename", "line", "reason", "parameter"});
    return type;
}

PyObject* work_limit_error_type() {
    static PyObject* type = value_error_subclass(
        "kestrel.WorkLimitError",
        "The input is valid, but the work or memory it asks for is above one of kestrel's limits "
        "(supercell size, histogram memory, neighbour-search work, CIF symmetry copies, expansion sites, the size "
        "of a file's text).\n\n"
        "Attributes: `filename` (the file being read, else None), `reason` (the message without the file), "
        "`parameter` (the keyword that raises the limit, such as max_bytes, else None).",
        {"filename", "reason", "parameter"});
    return type;
}

bool add_error_types(PyObject* module) {
    PyObject* file_error = structure_file_error_type();
    if (file_error == nullptr || PyObject_SetAttrString(module, "StructureFileError", file_error) < 0) return false;
    PyObject* limit_error = work_limit_error_type();
    return limit_error != nullptr && PyObject_SetAttrString(module, "WorkLimitError", limit_error) == 0;
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

namespace {

PyRef decoded(const std::string& text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// The advice, in Python terms, for an error that names the parameter that
// would mend it; the command line words its own from the same field.
std::string advice(const StructureError& error) {
    if (error.parameter == nullptr) return {};
    if (std::string(error.parameter) == "cell") return ", so pass cell=[[a],[b],[c]]";
    if (std::string(error.parameter) == "types")
        return ", so pass types={1: \"Na\", 2: \"Cl\"}, an element for each type";
    if (std::string(error.parameter) == "max_bytes") return "; pass a larger max_bytes to read it";
    if (std::string(error.parameter) == "occupancy_tolerance")
        return "; pass a larger occupancy_tolerance to scale it down to 1 as rounding";
    return std::string(", so pass ") + error.parameter;
}

// Raises an instance of `type` with `message` and the given attributes
// (a null value stands for None).
PyRef raise_with_fields(PyObject* type, const std::string& message,
                        std::initializer_list<std::pair<const char*, PyObject*>> fields) {
    if (type == nullptr) return {};
    PyRef text = decoded(message);
    if (!text) return {};
    PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!instance) return {};
    for (const auto& [name, value] : fields)
        if (PyObject_SetAttrString(instance.get(), name, value != nullptr ? value : Py_None) < 0) return {};
    PyErr_SetObject(type, instance.get());
    return {};
}

// The OS error for `code`, worded by Python as open() words it, with the
// path the caller gave as its filename.
PyRef raise_os_error(int code, const TextSource& source) {
    errno = code;
    PyRef display = decoded(source.display);
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, source.filename != nullptr ? source.filename : display.get());
    return {};
}

}  // namespace

PyRef raise_structure_error(const StructureError& error) {
    if (error.kind == ErrorKind::limit)
        return raise_with_fields(work_limit_error_type(), error.message, {{"reason", decoded(error.message).get()}});
    return raise(PyExc_ValueError, error.message);
}

PyRef raise_reader_error(const StructureError& error, const TextSource& source) {
    if (error.os_error != 0) return raise_os_error(error.os_error, source);
    if (error.kind == ErrorKind::argument) return raise_structure_error(error);
    const std::string file = source.display.empty() ? std::string() : source.display + ": ";
    PyRef reason = decoded(error.message);
    PyRef filename = source.display.empty() ? PyRef() : decoded(source.display);
    if (!reason || (!source.display.empty() && !filename)) return {};
    PyRef parameter = error.parameter != nullptr ? make_text(error.parameter) : PyRef();
    if (error.parameter != nullptr && !parameter) return {};
    if (error.kind == ErrorKind::limit)
        return raise_with_fields(work_limit_error_type(), file + error.message + advice(error),
                                 {{"filename", filename.get()}, {"reason", reason.get()}, {"parameter", parameter.get()}});
    // Text in memory keeps the reader's own message; the line is in the field.
    PyRef line;
    std::string where = file;
    if (error.line != 0) {
        line = PyRef::steal(PyLong_FromUnsignedLongLong(error.line));
        if (!line) return {};
        if (!file.empty()) where += "line " + std::to_string(error.line) + ": ";
    }
    return raise_with_fields(
        structure_file_error_type(), where + error.message + advice(error),
        {{"filename", filename.get()}, {"line", line.get()}, {"reason", reason.get()}, {"parameter", parameter.get()}});
}

PyRef raise_read_error(const std::string& description, int os_error, const TextSource& source) {
    if (os_error != 0) return raise_os_error(os_error, source);
    return raise_read_error(source.display, description);
}

PyRef raise_read_error(const std::string& path, const std::string& description) {
    return raise(PyExc_IOError, "could not read " + path + ": " + description);
}

}  // namespace kestrel::py
