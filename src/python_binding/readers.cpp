// Structure readers from Python: files and in-memory text.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
#include "python_binding/warnings.hpp"

namespace kestrel::py {
namespace {

constexpr double kDefaultSymprec = 1e-4;

const Signature kFromCif{"Structure.from_cif()", {"path", "symprec"}, 1};
const Signature kFromPoscar{"Structure.from_poscar()", {"path"}, 1};
const Signature kFromXyz{"Structure.from_xyz()", {"path"}, 1};
const Signature kFromStr{"Structure.from_str()", {"text", "fmt", "symprec"}, 2};
const Signature kFromCifStr{"Structure.from_cif_str()", {"text", "symprec"}, 1};
const Signature kReadCifBlocks{"read_cif_blocks()", {"path", "symprec"}, 1};

PyRef wrap_result(Result<Structure>&& record) {
    if (!record) return raise_structure_error(record.error());
    return wrap_structure(std::move(record).value());
}

// The structure of the first usable block, after one warning per notice.
PyRef wrap_cif_reading(Result<CifReading>&& reading) {
    if (!reading) return raise_structure_error(reading.error());
    if (!warn_cif_notices(reading->notices)) return {};
    return wrap_structure(std::move(reading->structure));
}

// Reads the whole file, then hands the text to `read`; only the file reading
// fails with OSError. `wrap` turns the reader's result into the Python result.
template <class Reader, class Wrap>
PyRef read_path(const std::string& path, Reader&& read, Wrap&& wrap) {
    std::variant<std::string, ReadError> text = read_text_file(path);
    if (auto* error = std::get_if<ReadError>(&text)) return raise_read_error(path, error->description);
    return wrap(read(std::string_view(std::get<std::string>(text))));
}

template <class Reader>
PyRef read_path(const std::string& path, Reader&& read) {
    return read_path(path, read, [](Result<Structure>&& record) { return wrap_result(std::move(record)); });
}

// The CIF readers take a text (a path, or the file's content) and symprec;
// the signature names the text in messages.
struct CifArguments {
    std::string text;
    double symprec = kDefaultSymprec;
};

std::optional<CifArguments> cif_arguments(const Signature& signature, PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(signature, args, kwargs, arguments)) return std::nullopt;
    std::optional<std::string> text = to_text(arguments[0], signature.params[0]);
    if (!text) return std::nullopt;
    CifArguments out{std::move(*text)};
    if (!read_double(arguments[1], signature.params[1], out.symprec)) return std::nullopt;
    return out;
}

PyRef from_cif(PyObject* args, PyObject* kwargs) {
    const std::optional<CifArguments> given = cif_arguments(kFromCif, args, kwargs);
    if (!given) return {};
    const double symprec = given->symprec;
    return read_path(
        given->text, [&](std::string_view text) { return read_cif_first_block(text, symprec); },
        [](Result<CifReading>&& reading) { return wrap_cif_reading(std::move(reading)); });
}

// {block name: Structure} for every block with atom sites; each block's
// warnings name the block.
PyRef blocks_to_dict(Result<std::vector<CifReading>>&& readings) {
    if (!readings) return raise_structure_error(readings.error());
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (CifReading& reading : *readings) {
        if (!warn_cif_notices(reading.notices, "data block '" + reading.block + "': ")) return {};
        PyRef key = make_text(reading.block);
        if (!key) return {};
        PyRef structure = wrap_structure(std::move(reading.structure));
        if (!structure || PyDict_SetItem(dict.get(), key.get(), structure.get()) < 0) return {};
    }
    return dict;
}

PyRef read_cif_blocks_of(PyObject* args, PyObject* kwargs) {
    const std::optional<CifArguments> given = cif_arguments(kReadCifBlocks, args, kwargs);
    if (!given) return {};
    const double symprec = given->symprec;
    return read_path(
        given->text, [&](std::string_view text) { return read_cif_blocks(text, symprec); },
        [](Result<std::vector<CifReading>>&& readings) { return blocks_to_dict(std::move(readings)); });
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
    // CIF goes its own way so that its warnings reach the caller.
    Result<TextFormat> parsed = format_from_name(*format);
    if (parsed && *parsed == TextFormat::cif) return wrap_cif_reading(read_cif_first_block(*text, symprec));
    return wrap_result(read_structure_text(*text, *format, symprec));
}

PyRef from_cif_str(PyObject* args, PyObject* kwargs) {
    const std::optional<CifArguments> given = cif_arguments(kFromCifStr, args, kwargs);
    if (!given) return {};
    return wrap_cif_reading(read_cif_first_block(given->text, given->symprec));
}

PyMethodDef kReadCifBlocksFunction{
    "read_cif_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_read_cif_blocks)),
    METH_VARARGS | METH_KEYWORDS,
    "read_cif_blocks(path, symprec=1e-4)\n--\n\n"
    "Read every data block of a CIF that has atom sites.\n\n"
    "Returns {block name: Structure} in file order; blocks without atom sites are left out."};

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

PyObject* module_read_cif_blocks(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return read_cif_blocks_of(args, kwargs); });
}

bool add_cif_members(PyObject* module) {
    PyObject* warning = cif_warning_type();
    if (warning == nullptr || PyObject_SetAttrString(module, "CifReadWarning", warning) < 0) return false;
    PyRef module_name = PyRef::steal(PyUnicode_FromString("_kestrel"));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(&kReadCifBlocksFunction, module, module_name.get()));
    return function && PyObject_SetAttrString(module, "read_cif_blocks", function.get()) == 0;
}

}  // namespace kestrel::py
