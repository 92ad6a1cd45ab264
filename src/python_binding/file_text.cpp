#include "python_binding/file_text.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <unistd.h>

#include "base/read_file.hpp"
#include "base/text.hpp"
#include "formats/cif/scanner.hpp"
#include "base/utf8.hpp"
#include "python_binding/args.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/py_ref.hpp"
#include "python_binding/python.hpp"

namespace kestrel::py {
namespace {

struct Compression {
    const char* suffix;
    const char* name;  // as messages name the archive
    // A decompressor object of the standard library: zlib's decompressobj
    // (which reads gzip with these window bits), bz2's or lzma's.
    const char* module;
    const char* factory;
    int window_bits;  // zlib only, else -1
};

constexpr Compression kCompressions[] = {
    {".gz", "gzip", "zlib", "decompressobj", 16 + 15},
    {".bz2", "bzip2", "bz2", "BZ2Decompressor", -1},
    {".xz", "xz", "lzma", "LZMADecompressor", -1},
};

// Compressed bytes are fed this many at a time, and each call hands out at
// most this much text: the decompressed text grows in the one buffer it is
// parsed from, and a bomb is stopped at its limit, never inflated whole.
constexpr std::size_t kInputChunk = 1 << 20;
constexpr Py_ssize_t kOutputChunk = 1 << 22;

// The greatest ratio of text to compressed bytes deflate reaches. A gzip trailer
// that states more is not believed: it only sizes a buffer, so a file that lies
// costs what its bytes can inflate to, never the limit's worth of memory at once.
constexpr std::uint64_t kDeflateMaxRatio = 1032;

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

std::string_view bytes_view(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return {};
    return {data, static_cast<std::size_t>(size)};
}

// One compressed stream after another (gzip members, concatenated bzip2 and
// xz streams), inflated a bounded piece at a time into `text`.
class Inflater {
public:
    Inflater(const PathArgument& path, const Compression& compression, BoundedText& text)
        : path_(path), compression_(compression), text_(text) {}

    // False with an exception set.
    bool start() {
        PyRef module = PyRef::steal(PyImport_ImportModule(compression_.module));
        if (!module) return false;
        factory_ = PyRef::steal(PyObject_GetAttrString(module.get(), compression_.factory));
        return static_cast<bool>(factory_) && new_stream();
    }

    // Feeds the next compressed bytes. False with an exception set.
    bool feed(std::string_view input) {
        PyRef pending = PyRef::steal(PyBytes_FromStringAndSize(input.data(), static_cast<Py_ssize_t>(input.size())));
        if (!pending) return false;
        for (;;) {
            if (finished_) {
                // Bytes after a complete stream start another one, past the
                // null bytes that pad streams; what does not decode is
                // trailing junk, ignored as the tools do.
                PyRef unused = attribute("unused_data");
                if (!unused) return false;
                if (PyBytes_Size(unused.get()) != 0) pending = std::move(unused);
                const std::string_view rest = bytes_view(pending.get());
                const std::size_t start = rest.find_first_not_of('\0');
                if (start == std::string_view::npos) return true;
                pending = PyRef::steal(
                    PyBytes_FromStringAndSize(rest.data() + start, static_cast<Py_ssize_t>(rest.size() - start)));
                if (!pending || !new_stream()) return false;
                ignore_errors_ = true;
            }
            PyRef out =
                PyRef::steal(PyObject_CallMethod(decompressor_.get(), "decompress", "On", pending.get(), kOutputChunk));
            if (!out) return broken();
            ignore_errors_ = false;
            started_ = true;
            if (Result<Ok> added = text_.append(bytes_view(out.get())); !added) {
                raise_reader_error(added.error(), source_of(path_));
                return false;
            }
            PyRef eof = attribute("eof");
            if (!eof) return false;
            finished_ = PyObject_IsTrue(eof.get()) == 1;
            if (finished_) {
                pending = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
                if (!pending) return false;
                continue;
            }
            // More text without more input: the call stopped at its output bound.
            if (compression_.window_bits >= 0) {
                pending = attribute("unconsumed_tail");
                if (!pending) return false;
                if (PyBytes_Size(pending.get()) == 0 && PyBytes_Size(out.get()) < kOutputChunk) return true;
            } else {
                PyRef needs = attribute("needs_input");
                if (!needs) return false;
                if (PyObject_IsTrue(needs.get()) == 1) return true;
                pending = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
                if (!pending) return false;
            }
        }
    }

    // After the last input: false, with OSError set, for an archive that
    // ends inside a stream (cut short) or holds none.
    bool finish() {
        if (finished_) return true;
        raise_read_error(path_.display,
                         std::string("not a valid ") + compression_.name + " file (" +
                             (started_ ? "it is cut short: it ends inside its compressed data" : "it is empty") + ")");
        return false;
    }

private:
    bool new_stream() {
        decompressor_ = compression_.window_bits >= 0
                            ? PyRef::steal(PyObject_CallFunction(factory_.get(), "i", compression_.window_bits))
                            : PyRef::steal(PyObject_CallNoArgs(factory_.get()));
        finished_ = false;
        return static_cast<bool>(decompressor_);
    }

    PyRef attribute(const char* name) { return PyRef::steal(PyObject_GetAttrString(decompressor_.get(), name)); }

    // A decompressor that refused its input: trailing bytes after a whole
    // stream are ignored; anything else is a broken archive.
    bool broken() {
        // Running out of memory is not a broken archive.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        if (ignore_errors_) {
            PyErr_Clear();
            finished_ = true;
            return true;
        }
        raise_read_error(path_.display,
                         std::string("not a valid ") + compression_.name + " file (" + pending_error_text() + ")");
        return false;
    }

    const PathArgument& path_;
    const Compression& compression_;
    BoundedText& text_;
    PyRef factory_, decompressor_;
    bool finished_ = false, started_ = false, ignore_errors_ = false;
};

// `size` bytes of the file from `offset`, or false.
bool read_at(const FileDescriptor& file, std::uint64_t offset, char* buffer, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::pread(file.get(), buffer, size, static_cast<off_t>(offset));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            return false;
        }
        buffer += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

std::uint64_t little_endian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int k = count - 1; k >= 0; --k) value = (value << 8) | bytes[k];
    return value;
}

// The sum of the uncompressed sizes an xz index lists, or 0 when it is not one.
std::uint64_t xz_index_text_size(std::string_view index) {
    std::size_t at = 1;  // past the index indicator, a null byte
    const auto varint = [&](std::uint64_t& value) {
        value = 0;
        for (int shift = 0; at < index.size() && shift < 63; shift += 7) {
            const auto byte = static_cast<unsigned char>(index[at++]);
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) return true;
        }
        return false;
    };
    std::uint64_t records = 0, unpadded = 0, size = 0, total = 0;
    if (index.empty() || index[0] != '\0' || !varint(records) || records > index.size()) return 0;
    for (std::uint64_t k = 0; k < records; ++k) {
        if (!varint(unpadded) || !varint(size) || size > (std::uint64_t{1} << 62) - total) return 0;
        total += size;
    }
    return total;
}

// The size of the text as the archive states it at its end, so that the text's
// buffer is allocated once at its size instead of growing, which copies it and
// for a moment holds up to twice its size. gzip: the trailer's size of the last
// member (modulo 4 GiB); xz: the last stream's index. 0 when unknown (bzip2
// keeps no size); a text that outgrows it still grows as it comes.
std::uint64_t stated_text_size(const FileDescriptor& file, const Compression& compression) {
    const std::uint64_t file_size = file.regular_file_size();
    const std::string_view name = compression.name;
    if (name == "gzip" && file_size >= 18) {
        std::array<unsigned char, 4> trailer{};
        if (!read_at(file, file_size - 4, reinterpret_cast<char*>(trailer.data()), trailer.size())) return 0;
        const std::uint64_t size = little_endian(trailer.data(), 4);
        return size <= file_size * kDeflateMaxRatio ? size : 0;
    }
    if (name == "xz" && file_size >= 32) {
        std::array<unsigned char, 12> footer{};
        if (!read_at(file, file_size - 12, reinterpret_cast<char*>(footer.data()), footer.size())) return 0;
        if (footer[10] != 'Y' || footer[11] != 'Z') return 0;  // stream padding, or not xz: no hint
        const std::uint64_t index_size = (little_endian(footer.data() + 4, 4) + 1) * 4;
        if (index_size + 12 > file_size || index_size > (1u << 20)) return 0;
        std::string index(static_cast<std::size_t>(index_size), '\0');
        if (!read_at(file, file_size - 12 - index_size, index.data(), index.size())) return 0;
        return xz_index_text_size(index);
    }
    return 0;
}

std::optional<std::string> decompress(const PathArgument& path, const Compression& compression,
                                      const ReadLimits& limits) {
    Result<FileDescriptor> file = open_for_reading(path.bytes);
    if (!file) {
        raise_read_error(file.error().message, file.error().os_error, source_of(path));
        return std::nullopt;
    }
    BoundedText text(limits, true);
    text.reserve(stated_text_size(*file, compression));
    Inflater inflater(path, compression, text);
    if (!inflater.start()) return std::nullopt;
    std::string input(kInputChunk, '\0');
    for (;;) {
        const ssize_t got = file->read_some(input.data(), input.size());
        if (got < 0) {
            const int code = errno;
            raise_read_error(os_error_description(code), code, source_of(path));
            return std::nullopt;
        }
        if (got == 0) break;
        if (!inflater.feed(std::string_view(input.data(), static_cast<std::size_t>(got)))) return std::nullopt;
    }
    if (!inflater.finish()) return std::nullopt;
    return std::move(text).take();
}

}  // namespace

std::optional<std::string> read_file_decompressed(const PathArgument& path, const ReadLimits& limits) {
    const Compression* compression = compression_of(path.bytes);
    if (compression != nullptr) return decompress(path, *compression, limits);
    Result<std::string> bytes = read_file_bytes(path.bytes, limits);
    if (!bytes) {
        const StructureError& error = bytes.error();
        if (error.os_error != 0) raise_read_error(error.message, error.os_error, source_of(path));
        else raise_reader_error(error, source_of(path));
        return std::nullopt;
    }
    return std::move(*bytes);
}

bool check_streamable(const PathArgument& path) {
    const Compression* compression = compression_of(path.bytes);
    if (compression == nullptr) return true;
    raise_read_error(path.display, std::string("a trajectory is read in pieces from the file, which a ") +
                                       compression->name + " file cannot give; decompress it first");
    return false;
}

namespace {

std::optional<StructureError> check_any_text(std::string_view head) {
    if (holds_non_whitespace(head)) return std::nullopt;
    return fail("the first " + byte_count_text(head.size()) + " of the file hold nothing but whitespace");
}

}  // namespace

std::optional<std::string> read_utf8_file(const PathArgument& path, std::uint64_t max_bytes) {
    std::optional<std::string> text = read_file_decompressed(path, ReadLimits{max_bytes, check_any_text});
    if (text && !is_valid_utf8(*text)) {
        raise_read_error(path.display, kInvalidUtf8Message);
        return std::nullopt;
    }
    return text;
}

std::optional<CifText> read_cif_file(const PathArgument& path, std::uint64_t max_bytes) {
    std::optional<std::string> bytes = read_file_decompressed(path, ReadLimits{max_bytes, check_cif_head});
    if (!bytes) return std::nullopt;
    Result<CifText> text = cif_text_from_bytes(std::move(*bytes));
    if (!text) {
        raise_read_error(path.display, text.error().message);
        return std::nullopt;
    }
    return std::move(*text);
}

}  // namespace kestrel::py
