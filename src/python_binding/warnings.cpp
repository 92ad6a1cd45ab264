#include "python_binding/warnings.hpp"

namespace kestrel::py {

PyObject* cif_warning_type() {
    // Created once under the interpreter lock and kept for the process.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kestrel.CifReadWarning",
        "The CIF reader had to decide something the file leaves open: a row skipped, rows or images merged, "
        "an element chosen between two readings of a label, operations taken from a space-group symbol, one data "
        "block of several; or it found the file at odds with itself (a cell volume or a formula that the "
        "cell and the atoms read do not match).",
        PyExc_UserWarning, nullptr);
    return type;
}

bool warn_cif_text(std::string message) {
    PyObject* category = cif_warning_type();
    if (category == nullptr) return false;
    // Labels come from user files and may hold NUL bytes, which would cut
    // the C string short.
    for (char& c : message)
        if (c == '\0') c = '?';
    return PyErr_WarnEx(category, message.c_str(), 1) == 0;
}

bool warn_cif_notices(const std::vector<CifNotice>& notices, const std::string& prefix) {
    for (const CifNotice& notice : notices)
        if (!warn_cif_text(prefix + notice_message(notice))) return false;
    return true;
}

}  // namespace kestrel::py
