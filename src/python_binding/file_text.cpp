#include "python_binding/file_text.hpp"

#include <string_view>
#include <variant>

#include "base/read_file.hpp"
#include "base/utf8.hpp"
#include "python_binding/args.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/py_ref.hpp"
#include "python_binding/python.hpp"

namespace kestrel::py {
namespace {

struct Compression {
    const char* suffix;
    const char* module;  // of the standard library, with a decompress(bytes) function
    const char* name;    // as messages name the archive
};

constexpr Compression kCompressions[] = {
    {".gz", "gzip", "gzip"},
    {".bz2", "bz2", "bzip2"},
    {".xz", "lzma", "xz"},
};

const Compression* compression_of(std::string_view path) {
    for (const Compression& compression : kCompressions) {
        const std::string_view suffix = compression.suffix;
        if (path.size() > suffix.size() && path.substr(path.size() - suffix.size()) == suffix) return &compression;
    }
    return nullptr;
}

// The text of the pending exception, which is cleared.
std::string pending_error_text() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value), owned_traceback = PyRef::steal(traceback);
    PyRef text = PyRef::steal(value != nullptr ? PyObject_Str(value) : nullptr);
    std::optional<std::string> utf8 = text ? utf8_of(text.get()) : std::nullopt;
    PyErr_Clear();
    return utf8 ? *utf8 : "unknown error";
}

std::optional<std::string> decompress(const PathArgument& path, const Compression& compression,
                                      const std::string& bytes) {
    PyRef module = PyRef::steal(PyImport_ImportModule(compression.module));
    if (!module) return std::nullopt;
    PyRef function = PyRef::steal(PyObject_GetAttrString(module.get(), "decompress"));
    if (!function) return std::nullopt;
    PyRef packed = PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!packed) return std::nullopt;
    PyRef unpacked = PyRef::steal(PyObject_CallFunctionObjArgs(function.get(), packed.get(), nullptr));
    if (!unpacked) {
        // Running out of memory is not a broken archive.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return std::nullopt;
        raise_read_error(path.display,
                         std::string("not a valid ") + compression.name + " file (" + pending_error_text() + ")");
        return std::nullopt;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(unpacked.get(), &data, &size) < 0) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::optional<std::string> read_file_decompressed(const PathArgument& path) {
    std::variant<std::string, ReadError> bytes = read_file_bytes(path.bytes);
    if (auto* error = std::get_if<ReadError>(&bytes)) {
        raise_read_error(error->description, error->os_error, source_of(path));
        return std::nullopt;
    }
    const Compression* compression = compression_of(path.bytes);
    if (compression == nullptr) return std::move(std::get<std::string>(bytes));
    return decompress(path, *compression, std::get<std::string>(bytes));
}

bool check_streamable(const PathArgument& path) {
    const Compression* compression = compression_of(path.bytes);
    if (compression == nullptr) return true;
    raise_read_error(path.display, std::string("a trajectory is read in pieces from the file, which a ") +
                                       compression->name + " file cannot give; decompress it first");
    return false;
}

std::optional<std::string> read_utf8_file(const PathArgument& path) {
    std::optional<std::string> text = read_file_decompressed(path);
    if (text && !is_valid_utf8(*text)) {
        raise_read_error(path.display, kInvalidUtf8Message);
        return std::nullopt;
    }
    return text;
}

std::optional<CifText> read_cif_file(const PathArgument& path) {
    std::optional<std::string> bytes = read_file_decompressed(path);
    if (!bytes) return std::nullopt;
    Result<CifText> text = cif_text_from_bytes(std::move(*bytes));
    if (!text) {
        raise_read_error(path.display, text.error().message);
        return std::nullopt;
    }
    return std::move(*text);
}

}  // namespace kestrel::py
