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
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"
#include "python_binding/warnings.hpp"

namespace kestrel::py {
namespace {

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
PyRef read_path(const PathArgument& path, std::uint64_t max_bytes, Reader&& read) {
    std::optional<std::string> text = read_utf8_file(path, max_bytes);
    if (!text) return {};
    return wrap_result(read(std::string_view(*text)), source_of(path));
}

// A CIF's reading, `read(text)`, with the notice of its Latin-1 bytes first.
template <class Reader>
PyRef read_cif_path(const PathArgument& path, std::uint64_t max_bytes, Reader&& read) {
    std::optional<CifText> text = read_cif_file(path, max_bytes);
    if (!text) return {};
    Result<CifReading> reading = read(std::string_view(text->text));
    if (reading) add_latin1_notice(*text, reading->notices);
    return wrap_cif_reading(std::move(reading), source_of(path));
}

PyRef from_cif(PyObject* args, PyObject* kwargs) {
    std::optional<FromCifArguments> given = read_from_cif_arguments(args, kwargs);
    if (!given) return {};
    const CifReadOptions options(given->symprec, given->occupancy_tolerance);
    if (given->block)
        return read_cif_path(given->path, given->max_bytes, [&](std::string_view text) {
            return read_named_cif_block(text, *given->block, options);
        });
    return read_cif_path(given->path, given->max_bytes,
                         [&](std::string_view text) { return read_cif_first_block(text, options); });
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
    std::optional<ReadCifBlocksArguments> given = read_read_cif_blocks_arguments(args, kwargs);
    if (!given) return {};
    std::optional<CifText> text = read_cif_file(given->path, given->max_bytes);
    if (!text) return {};
    Result<CifBlockReadings> read =
        read_each_cif_block(text->text, CifReadOptions(given->symprec, given->occupancy_tolerance));
    if (!read) return raise_reader_error(read.error(), source_of(given->path));
    return blocks_to_dict(given->path, *text, std::move(*read), given->strict);
}

PyRef from_poscar(PyObject* args, PyObject* kwargs) {
    std::optional<FromPoscarArguments> given = read_from_poscar_arguments(args, kwargs);
    if (!given) return {};
    return read_path(given->path, given->max_bytes, [](std::string_view text) { return read_poscar(text); });
}

PyRef from_xyz(PyObject* args, PyObject* kwargs) {
    std::optional<FromXyzArguments> given = read_from_xyz_arguments(args, kwargs);
    if (!given) return {};
    return read_path(given->path, given->max_bytes, [](std::string_view text) { return read_xyz(text); });
}

PyRef from_str(PyObject* args, PyObject* kwargs) {
    std::optional<FromStrArguments> given = read_from_str_arguments(args, kwargs);
    if (!given) return {};
    // An unknown format name is a parameter error, not one of the text.
    Result<TextFormat> parsed = format_from_name(given->fmt);
    if (!parsed) return raise_structure_error(parsed.error());
    // CIF goes its own way so that its warnings reach the caller.
    const CifReadOptions options(given->symprec, given->occupancy_tolerance);
    if (*parsed == TextFormat::cif)
        return wrap_cif_reading(read_cif_first_block(given->text.text, options), kTextInMemory);
    return wrap_result(read_structure_text(given->text.text, given->fmt, options), kTextInMemory);
}

PyRef from_cif_str(PyObject* args, PyObject* kwargs) {
    std::optional<FromCifStrArguments> given = read_from_cif_str_arguments(args, kwargs);
    if (!given) return {};
    return wrap_cif_reading(
        read_cif_first_block(given->text.text, CifReadOptions(given->symprec, given->occupancy_tolerance)),
        kTextInMemory);
}

PyMethodDef kReadCifBlocksFunction{
    "read_cif_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_read_cif_blocks)),
    METH_VARARGS | METH_KEYWORDS, kReadCifBlocksDoc};

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
