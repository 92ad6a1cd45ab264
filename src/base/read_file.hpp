// Whole-file reading for the structure readers.
#pragma once

#include <string>
#include <variant>

#include "base/file_descriptor.hpp"

namespace kestrel {

// Why a file could not be read, worded for "could not read {path}: {error}":
// the system's message and " (os error {code})", or
// "stream did not contain valid UTF-8".
struct ReadError {
    std::string description;
    int os_error = 0;  // the operating system's error number, 0 for bad UTF-8
};

// The whole file as it is, or why not.
std::variant<std::string, ReadError> read_file_bytes(const std::string& path);

// The whole file as UTF-8 text, or why not.
std::variant<std::string, ReadError> read_text_file(const std::string& path);

}  // namespace kestrel
