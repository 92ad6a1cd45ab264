// Structure readers from Python: files and in-memory text.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "formats/cif/blocks.hpp"
#include "formats/cif/encoding.hpp"
#include "formats/cif/reader.hpp"
#include "formats/dispatch.hpp"
#include "formats/poscar.hpp"
#include "formats/xyz.hpp"
#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/file_text.hpp"
#include "python_binding/structure_type.hpp"
#include "python_binding/warnings.hpp"

namespace kestrel::py {
namespace {

constexpr double kDefaultSymprec = 1e-4;

const Signature kFromCif{"Structure.from_cif()", {"path", "symprec", "block"}, 1};
const Signature kFromPoscar{"Structure.from_poscar()", {"path"}, 1};
const Signature kFromXyz{"Structure.from_xyz()", {"path"}, 1};
const Signature kFromStr{"Structure.from_str()", {"text", "fmt", "symprec"}, 2};
const Signature kFromCifStr{"Structure.from_cif_str()", {"text", "symprec"}, 1};
const Signature kReadCifBlocks{"read_cif_blocks()", {"path", "symprec", "strict"}, 1};

const TextSource kTextInMemory{};

// A reader's result; its error names the file (or is the reader's own for
// text in memory).
PyRef wrap_result(Result<Structure>&& record, const TextSource& source) {
    if (!record) return raise_reader_error(record.error(), source);
    return wrap_structure(std::move(record).value());
}

// The structure of the block read, after one warning per notice, each
// after the file's name.
PyRef wrap_cif_reading(Result<CifReading>&& reading, const TextSource& source) {
    if (!reading) return raise_reader_error(reading.error(), source);
    if (!warn_cif_notices(reading->notices, source.display.empty() ? std::string() : source.display + ": ")) return {};
    return wrap_structure(std::move(reading->structure));
}

// Reads the whole file as UTF-8 text, then hands it to `read`.
template <class Reader>
PyRef read_path(const PathArgument& path, Reader&& read) {
    std::optional<std::string> text = read_utf8_file(path);
    if (!text) return {};
    return wrap_result(read(std::string_view(*text)), source_of(path));
}

// A CIF's reading, `read(text)`, with the notice of its Latin-1 bytes first.
template <class Reader>
PyRef read_cif_path(const PathArgument& path, Reader&& read) {
    std::optional<CifText> text = read_cif_file(path);
    if (!text) return {};
    Result<CifReading> reading = read(std::string_view(text->text));
    if (reading) add_latin1_notice(*text, reading->notices);
    return wrap_cif_reading(std::move(reading), source_of(path));
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
    Arguments arguments;
    if (!match_arguments(kFromCif, args, kwargs, arguments)) return {};
    std::optional<PathArgument> path = to_path(arguments[0], "path");
    if (!path) return {};
    double symprec = kDefaultSymprec;
    if (!read_double(arguments[1], "symprec", symprec)) return {};
    std::optional<std::string> block;
    if (!read_text_or_none(arguments[2], "block", block)) return {};
    if (block)
        return read_cif_path(*path, [&](std::string_view text) { return read_named_cif_block(text, *block, symprec); });
    return read_cif_path(*path, [&](std::string_view text) { return read_cif_first_block(text, symprec); });
}

// {block name: Structure} for every block with atom sites; each block's
// warnings name the file and the block. A block that fails is left out with
// a warning saying why; with `strict` it fails the call instead.
PyRef blocks_to_dict(const PathArgument& path, const CifText& text, CifBlockReadings&& read, bool strict) {
    const std::string file = path.display + ": ";
    if (!read.failures.empty() && (strict || read.readings.empty())) {
        const CifBlockFailure& first = read.failures.front();
        return raise_reader_error(fail("data block '" + first.block + "': " + first.reason), source_of(path));
    }
    std::vector<CifNotice> file_notices;
    add_latin1_notice(text, file_notices);
    if (!warn_cif_notices(file_notices, file)) return {};
    for (const CifBlockFailure& failure : read.failures)
        if (!warn_cif_text(file + "data block '" + failure.block + "' not read: " + failure.reason)) return {};
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (CifReading& reading : read.readings) {
        if (!warn_cif_notices(reading.notices, file + "data block '" + reading.block + "': ")) return {};
        PyRef key = make_text(reading.block);
        if (!key) return {};
        PyRef structure = wrap_structure(std::move(reading.structure));
        if (!structure || PyDict_SetItem(dict.get(), key.get(), structure.get()) < 0) return {};
    }
    return dict;
}

PyRef read_cif_blocks_of(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kReadCifBlocks, args, kwargs, arguments)) return {};
    std::optional<PathArgument> path = to_path(arguments[0], "path");
    if (!path) return {};
    double symprec = kDefaultSymprec;
    if (!read_double(arguments[1], "symprec", symprec)) return {};
    int strict = 0;
    if (arguments[2] != nullptr && (strict = PyObject_IsTrue(arguments[2])) < 0) return {};
    std::optional<CifText> text = read_cif_file(*path);
    if (!text) return {};
    return blocks_to_dict(*path, *text, read_each_cif_block(text->text, symprec), strict != 0);
}

// The readers whose only parameter is the path.
template <class Reader>
PyRef from_path_only(const Signature& signature, PyObject* args, PyObject* kwargs, Reader&& read) {
    Arguments arguments;
    if (!match_arguments(signature, args, kwargs, arguments)) return {};
    std::optional<PathArgument> path = to_path(arguments[0], "path");
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
    // An unknown format name is a parameter error, not one of the text.
    Result<TextFormat> parsed = format_from_name(*format);
    if (!parsed) return raise_structure_error(parsed.error());
    // CIF goes its own way so that its warnings reach the caller.
    if (*parsed == TextFormat::cif) return wrap_cif_reading(read_cif_first_block(*text, symprec), kTextInMemory);
    return wrap_result(read_structure_text(*text, *format, symprec), kTextInMemory);
}

PyRef from_cif_str(PyObject* args, PyObject* kwargs) {
    const std::optional<CifArguments> given = cif_arguments(kFromCifStr, args, kwargs);
    if (!given) return {};
    return wrap_cif_reading(read_cif_first_block(given->text, given->symprec), kTextInMemory);
}

PyMethodDef kReadCifBlocksFunction{
    "read_cif_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_read_cif_blocks)),
    METH_VARARGS | METH_KEYWORDS,
    "read_cif_blocks(path, symprec=1e-4, strict=False)\n--\n\n"
    "Read every data block of a CIF that has atom sites.\n\n"
    "Returns {block name: Structure} in file order; blocks without atom sites are left out. A block that "
    "cannot be read is left out with a CifReadWarning naming it and the reason; with strict=True it fails "
    "the call instead, as does a file none of whose blocks can be read.\n\n"
    "Parameters: path (str, bytes or os.PathLike); symprec (float, fractional coordinates per axis) as for\n"
    "Structure.from_cif; strict (bool). Raises StructureFileError naming the file and the block that fails."};

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
