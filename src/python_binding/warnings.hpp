// What the CIF reader decided on its own, told through Python's warnings.
#pragma once

#include <string>
#include <vector>

#include "formats/cif/notices.hpp"
#include "python_binding/python.hpp"

namespace kestrel::py {

// kestrel.CifReadWarning, a UserWarning subclass, created once.
PyObject* cif_warning_type();

// One warning with this message. False with an exception set when a
// warning filter turned it into an error.
bool warn_cif_text(std::string message);

// One warning per notice, each message after `prefix`. False with an
// exception set when a warning filter turned a warning into an error.
bool warn_cif_notices(const std::vector<CifNotice>& notices, const std::string& prefix = {});

}  // namespace kestrel::py
