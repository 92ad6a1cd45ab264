// Structure readers from Python: files and in-memory text.
#include <string>
#include <string_view>
#include <variant>

#include "formats/cif/reader.hpp"
#include "formats/dispatch.hpp"
#include "formats/poscar.hpp"
#include "base/read_file.hpp"
#include "formats/xyz.hpp"
#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/structure_type.hpp"

namespace kestrel::py {
namespace {

constexpr double kDefaultSymprec = 1e-4;

const Signature kFromCif{"Structure.from_cif()", {"path", "symprec"}, 1};
const Signature kFromPoscar{"Structure.from_poscar()", {"path"}, 1};
const Signature kFromXyz{"Structure.from_xyz()", {"path"}, 1};
const Signature kFromStr{"Structure.from_str()", {"text", "fmt", "symprec"}, 2};
const Signature kFromCifStr{"Structure.from_cif_str()", {"text", "symprec"}, 1};

PyRef wrap_result(Result<Structure>&& record) {
    if (!record) return raise_structure_error(record.error());
    return wrap_structure(std::move(record).value());
}

// Reads the whole file, then hands the text to `read`; only the file reading
// fails with OSError.
template <class Reader>
PyRef read_path(const std::string& path, Reader&& read) {
    std::variant<std::string, ReadError> text = read_text_file(path);
    if (auto* error = std::get_if<ReadError>(&text)) return raise_read_error(path, error->description);
    return wrap_result(read(std::string_view(std::get<std::string>(text))));
}

PyRef from_cif(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kFromCif, args, kwargs, arguments)) return {};
    std::optional<std::string> path = to_text(arguments[0], "path");
    if (!path) return {};
    double symprec = kDefaultSymprec;
    if (!read_double(arguments[1], "symprec", symprec)) return {};
    return read_path(*path, [&](std::string_view text) { return read_cif(text, symprec); });
}

// The readers whose only parameter is the path.
template <class Reader>
PyRef from_path_only(const Signature& signature, PyObject* args, PyObject* kwargs, Reader&& read) {
    Arguments arguments;
    if (!match_arguments(signature, args, kwargs, arguments)) return {};
    std::optional<std::string> path = to_text(arguments[0], "path");
    if (!path) return {};
    return read_path(*path, read);
}

PyRef from_poscar(PyObject* args, PyObject* kwargs) {
    return from_path_only(kFromPoscar, args, kwargs, [](std::string_view text) { return read_poscar(text); });
}

PyRef from_xyz(PyObject* args, PyObject* kwargs) {
    return from_path_only(kFromXyz, args, kwargs, [](std::string_view text) { return read_xyz(text); });
}

PyRef from_str(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kFromStr, args, kwargs, arguments)) return {};
    std::optional<std::string> text = to_text(arguments[0], "text");
    if (!text) return {};
    std::optional<std::string> format = to_text(arguments[1], "fmt");
    if (!format) return {};
    double symprec = kDefaultSymprec;
    if (!read_double(arguments[2], "symprec", symprec)) return {};
    return wrap_result(read_structure_text(*text, *format, symprec));
}

PyRef from_cif_str(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kFromCifStr, args, kwargs, arguments)) return {};
    std::optional<std::string> text = to_text(arguments[0], "text");
    if (!text) return {};
    double symprec = kDefaultSymprec;
    if (!read_double(arguments[1], "symprec", symprec)) return {};
    return wrap_result(read_cif(*text, symprec));
}

}  // namespace

PyObject* structure_from_cif(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return from_cif(args, kwargs); });
}
PyObject* structure_from_poscar(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return from_poscar(args, kwargs); });
}
PyObject* structure_from_xyz(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return from_xyz(args, kwargs); });
}
PyObject* structure_from_str(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return from_str(args, kwargs); });
}
PyObject* structure_from_cif_str(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return from_cif_str(args, kwargs); });
}

}  // namespace kestrel::py
