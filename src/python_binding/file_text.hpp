// Structure files from disk as the readers take them: decompressed when the
// name says so, then checked as UTF-8 (or, for a CIF, with Latin-1 read
// where the file only describes). A file the system refuses raises its
// OSError subclass with errno and filename; every other failure is one
// OSError worded "could not read {path}: {reason}".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/read_file.hpp"
#include "formats/cif/encoding.hpp"
#include "python_binding/args.hpp"
#include "python_binding/errors.hpp"

namespace kestrel::py {

// The file's bytes; a name ending in .gz, .bz2 or .xz is decompressed by
// the standard library's zlib, bz2 or lzma module, which every Python has,
// so no compression library is linked. Decompression streams into one
// buffer under `limits`: a text beyond max_bytes raises WorkLimitError
// naming the file and the limit, a head that fails the check
// StructureFileError, both before the rest is read; a broken or truncated
// archive raises OSError. Nothing with the exception set on failure.
std::optional<std::string> read_file_decompressed(const PathArgument& path, const ReadLimits& limits);

// Trajectories are streamed a chunk at a time from offsets into the file,
// which a compressed file has not got: false with OSError set for a name
// ending in .gz, .bz2 or .xz.
bool check_streamable(const PathArgument& path);

// The file as UTF-8 text (POSCAR, XYZ).
// A file whose first megabyte is all whitespace is refused there.
std::optional<std::string> read_utf8_file(const PathArgument& path, std::uint64_t max_bytes);

// A CIF's text, with the Latin-1 bytes it holds in comments and text values.
// A file whose first megabyte holds no CIF token is refused there.
std::optional<CifText> read_cif_file(const PathArgument& path, std::uint64_t max_bytes);

// Where a path's text came from, for the errors of its reader.
inline TextSource source_of(const PathArgument& path) {
    return TextSource{path.display, path.object.get()};
}

}  // namespace kestrel::py
