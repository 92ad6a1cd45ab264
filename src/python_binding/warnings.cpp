#include "python_binding/warnings.hpp"

namespace kestrel::py {

PyObject* cif_warning_type() {
    // Created once under the interpreter lock and kept for the process.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kestrel.CifReadWarning",
        "The CIF reader had to decide something the file leaves open: a row skipped, rows or images merged, "
        "an element taken from a label, operations taken from a space-group symbol, one data block of several.",
        PyExc_UserWarning, nullptr);
    return type;
}

bool warn_cif_notices(const std::vector<CifNotice>& notices, const std::string& prefix) {
    if (notices.empty()) return true;
    PyObject* category = cif_warning_type();
    if (category == nullptr) return false;
    for (const CifNotice& notice : notices) {
        std::string message = prefix + notice_message(notice);
        // Labels come from user files and may hold NUL bytes, which would cut
        // the C string short.
        for (char& c : message)
            if (c == '\0') c = '?';
        if (PyErr_WarnEx(category, message.c_str(), 1) < 0) return false;
    }
    return true;
}

}  // namespace kestrel::py
