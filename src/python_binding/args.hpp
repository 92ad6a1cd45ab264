// Matching call arguments to parameters, and converting Python values to
// plain C++ values with the messages every callable shares.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python_binding/py_ref.hpp"
#include "model/lattice.hpp"

namespace kestrel::py {

// Written by tools/make_signatures.py (signatures.cpp), from the declaration
// beside it.
struct Signature {
    const char* function;             // full name as messages show it: "Structure.prdf()"
    std::vector<const char*> params;  // the leading n_positional may be given by position, all by keyword
    std::size_t n_required;           // the leading parameters that have no default
    std::size_t n_positional;         // the rest are keyword-only
};

// Borrowed references in parameter order; null where an optional parameter
// was not given. Valid for the duration of the call.
using Arguments = std::vector<PyObject*>;

// False with TypeError set when the arguments do not fit the signature.
bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, Arguments& out);

// The conversions. Each returns nothing with a Python exception set on
// failure; a TypeError is reworded as "argument '{name}': {message}".
std::optional<double> to_double(PyObject* value, const char* name);
std::optional<std::uint64_t> to_u64(PyObject* value, const char* name);
std::optional<std::string> to_text(PyObject* value, const char* name);

// A file path: a str, bytes or os.PathLike, as the OS takes it (`bytes`, in
// the file system's encoding), as messages show it (`display`, UTF-8), and
// as the caller's object resolved by os.fspath (`object`, for OSError's
// filename).
struct PathArgument {
    std::string bytes;
    std::string display;
    PyRef object;
};
std::optional<PathArgument> to_path(PyObject* value, const char* name);
std::optional<std::vector<double>> to_numbers(PyObject* value, const char* name);
std::optional<std::vector<std::vector<double>>> to_number_rows(PyObject* value, const char* name);
using SpeciesEntries = std::vector<std::pair<std::string, double>>;
std::optional<std::vector<SpeciesEntries>> to_species_dicts(PyObject* value, const char* name);

// Exactly 3 rows of exactly 3 numbers, as a matrix; nothing otherwise.
std::optional<Mat3> as_mat3(const std::vector<std::vector<double>>& rows);

// The readers the generated read_<callable>_arguments() call, one per kind of
// parameter: each leaves `target` at its default when the argument was not
// given (null). The *_or_none forms also treat None as not given.
bool read_double(PyObject* value, const char* name, double& target);
bool read_u64(PyObject* value, const char* name, std::uint64_t& target);
bool read_text(PyObject* value, const char* name, std::string& target);
// A str whose UTF-8 the readers parse in place: the one encoded copy is held,
// not copied again (a file's worth of text is read from it).
struct TextArgument {
    PyRef utf8;  // bytes
    std::string_view text;
};
bool read_text_argument(PyObject* value, const char* name, TextArgument& target);
bool read_path_argument(PyObject* value, const char* name, PathArgument& target);
bool read_text_or_none(PyObject* value, const char* name, std::optional<std::string>& target);
bool read_u64_or_none(PyObject* value, const char* name, std::optional<std::uint64_t>& target);
bool read_size(PyObject* value, const char* name, std::size_t& target);
// A sequence of numbers, or None (not given).
bool read_numbers_or_none(PyObject* value, const char* name, std::vector<double>& target);
// Exactly 3 rows of exactly 3 numbers, or None: ValueError "{name} must be 3x3" otherwise.
bool read_mat3_or_none(PyObject* value, const char* name, std::optional<Mat3>& target);
// Truth as `bool(value)` gives it.
bool read_bool(PyObject* value, const char* name, bool& target);
// The caller's own object, borrowed, for the binding to convert.
bool read_object(PyObject* value, const char* name, PyObject*& target);
// A str (checked as to_text checks it) or None, kept as the caller's object; null for None.
bool read_text_object_or_none(PyObject* value, const char* name, PyObject*& target);

// The UTF-8 text of a str; nothing with an exception set if it cannot be encoded.
std::optional<std::string> utf8_of(PyObject* text);

// The qualified type name used in conversion messages.
std::string type_name(PyObject* object);

// New Python objects from plain values; empty with an exception on failure.
PyRef make_text(std::string_view text);
PyRef make_float_list(const double* values, std::size_t count);
PyRef make_u64(std::uint64_t value);
PyRef make_float(double value);

// Sets dict[key] = value, taking over `value`; false with an exception set
// if the value could not be created or stored.
bool put(PyObject* dict, const char* key, PyRef value);

// A new list of `count` items made by `item(i)`; empty on the first failure.
template <class Item>
PyRef make_list(std::size_t count, Item&& item) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return {};
    for (std::size_t i = 0; i < count; ++i) {
        PyRef value = item(i);
        if (!value) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value.release());
    }
    return list;
}

}  // namespace kestrel::py
