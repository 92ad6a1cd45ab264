// Structure.from_arrays and Structure.to_arrays: NumPy arrays in and out
// without a Python object per site. The limited API has no buffer protocol
// before 3.11, so an array is made C-contiguous by NumPy and its memory is
// found through __array_interface__ (the reference we hold keeps it alive).
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/numpy_arrays.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"
#include "model/periodic_table.hpp"
#include "model/site_arrays.hpp"

namespace kestrel::py {
namespace {

// The element of each site as an index into `names`: from atomic numbers,
// or from symbols (a NumPy str array, or any sequence of str).
bool read_species(PyObject* value, std::size_t n, std::vector<std::uint32_t>& element,
                  std::vector<std::string>& names) {
    const char* kShape = "numbers_or_symbols must hold one atomic number or symbol per position";
    std::optional<HeldArray> array = hold(value, nullptr);
    if (!array) return false;
    if (!has_shape(*array, {static_cast<Py_ssize_t>(n)})) return raise(PyExc_ValueError, kShape), false;
    element.resize(n);
    const char kind = array->typestr.size() > 1 ? array->typestr[1] : '?';
    if (kind == 'i' || kind == 'u') {
        std::optional<HeldArray> numbers = hold(array->array.get(), "int64");
        if (!numbers) return false;
        const auto* z = static_cast<const std::int64_t*>(numbers->data);
        std::uint32_t name_of[kHeaviestElement + 1] = {};  // 0: not seen yet
        for (std::size_t i = 0; i < n; ++i) {
            const std::optional<std::string_view> symbol = element_of_number(z[i]);
            if (!symbol)
                return raise(PyExc_ValueError, "atomic number " + std::to_string(z[i]) + " at position " +
                                                   std::to_string(i) + " is not an element (1 to 118)"),
                       false;
            std::uint32_t& known = name_of[z[i]];
            if (known == 0) {
                names.emplace_back(*symbol);
                known = static_cast<std::uint32_t>(names.size());
            }
            element[i] = known - 1;
        }
        return true;
    }
    if (kind != 'U') {
        // Objects (a list of str, an object array): str() of none, each must be a str.
        std::unordered_map<std::string, std::uint32_t> index;
        for (std::size_t i = 0; i < n; ++i) {
            PyRef item = PyRef::steal(PySequence_GetItem(value, static_cast<Py_ssize_t>(i)));
            if (!item) return false;
            if (!PyUnicode_Check(item.get()))
                return raise(PyExc_TypeError, "numbers_or_symbols must hold atomic numbers or str symbols, not " +
                                                  type_name(item.get())),
                       false;
            std::optional<std::string> symbol = utf8_of(item.get());
            if (!symbol) return false;
            const auto [at, added] = index.try_emplace(*symbol, static_cast<std::uint32_t>(names.size()));
            if (added) names.push_back(*symbol);
            element[i] = at->second;
        }
        return true;
    }
    // A NumPy str array: fixed-width UCS-4, NUL-padded.
    const std::size_t width = std::stoul(array->typestr.substr(2));
    const auto* chars = static_cast<const std::uint32_t*>(array->data);
    std::unordered_map<std::string, std::uint32_t> index;
    std::string symbol;
    for (std::size_t i = 0; i < n; ++i) {
        symbol.clear();
        for (std::size_t k = 0; k < width; ++k) {
            const std::uint32_t c = chars[i * width + k];
            if (c == 0) break;
            if (c >= 0x80)
                return raise(PyExc_ValueError, "the symbol at position " + std::to_string(i) + " is not ASCII"), false;
            symbol.push_back(static_cast<char>(c));
        }
        const auto [at, added] = index.try_emplace(symbol, static_cast<std::uint32_t>(names.size()));
        if (added) names.push_back(symbol);
        element[i] = at->second;
    }
    return true;
}

PyRef from_arrays(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kFromArraysSignature, args, kwargs, arguments)) return {};
    std::optional<HeldArray> lattice = hold(arguments[0], "float64");
    if (!lattice) return {};
    if (!has_shape(*lattice, {3, 3})) return raise(PyExc_ValueError, "lattice must be 3x3");
    std::optional<HeldArray> positions = hold(arguments[1], "float64");
    if (!positions) return {};
    if (!has_shape(*positions, {-1, 3})) return raise(PyExc_ValueError, "positions must have shape (n, 3)");
    const auto n = static_cast<std::size_t>(positions->shape[0]);

    SiteArrays sites;
    std::memcpy(sites.lattice.data(), lattice->data, sizeof(Mat3));
    sites.positions = static_cast<const double*>(positions->data);
    sites.n_sites = n;
    std::vector<std::uint32_t> element;
    if (!read_species(arguments[2], n, element, sites.names)) return {};
    sites.element = element.data();
    std::optional<HeldArray> occupancies;
    if (arguments[3] != nullptr && arguments[3] != Py_None) {
        occupancies = hold(arguments[3], "float64");
        if (!occupancies) return {};
        if (!has_shape(*occupancies, {static_cast<Py_ssize_t>(n)}))
            return raise(PyExc_ValueError, "occupancies must hold one number per position");
        sites.occupancies = static_cast<const double*>(occupancies->data);
    }
    if (arguments[4] != nullptr) {
        const int cartesian = PyObject_IsTrue(arguments[4]);
        if (cartesian < 0) return {};
        sites.cartesian = cartesian == 1;
    }
    // The arrays stay alive (we hold them) while the lock is released.
    std::optional<Result<Structure>> built;
    Py_BEGIN_ALLOW_THREADS built.emplace(structure_from_arrays(sites));
    Py_END_ALLOW_THREADS if (!*built) return raise_structure_error(built->error());
    return wrap_structure(std::move(**built));
}

PyRef to_arrays(PyObject* self) {
    const Structure* structure = borrow_structure(self);
    if (structure == nullptr) return {};
    Result<StructureArrays> arrays = structure_to_arrays(*structure);
    if (!arrays) return raise_structure_error(arrays.error());
    const auto n = static_cast<Py_ssize_t>(arrays->element.size());
    PyRef lattice = float_array(std::move(arrays->lattice), {3, 3});
    if (!lattice) return {};
    PyRef positions = float_array(std::move(arrays->frac_coords), {n, 3});
    if (!positions) return {};
    PyRef occupancies = float_array(std::move(arrays->occupancies));
    if (!occupancies) return {};
    // The symbols: the distinct names as a NumPy str array, indexed by site.
    PyRef names = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(arrays->names.size())));
    if (!names) return {};
    for (std::size_t k = 0; k < arrays->names.size(); ++k) {
        PyRef name = make_text(arrays->names[k]);
        if (!name) return {};
        PyList_SetItem(names.get(), static_cast<Py_ssize_t>(k), name.release());
    }
    PyRef array_of = PyRef::steal(numpy_function("array"));
    if (!array_of) return {};
    PyRef distinct = PyRef::steal(PyObject_CallFunctionObjArgs(array_of.get(), names.get(), nullptr));
    if (!distinct) return {};
    std::vector<std::int64_t> index(arrays->element.begin(), arrays->element.end());
    PyRef element = int_array(std::move(index));
    if (!element) return {};
    PyRef symbols = PyRef::steal(PyObject_GetItem(distinct.get(), element.get()));
    if (!symbols) return {};
    return PyRef::steal(PyTuple_Pack(4, lattice.get(), positions.get(), symbols.get(), occupancies.get()));
}

}  // namespace

PyObject* structure_from_arrays(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return from_arrays(args, kwargs); });
}

PyObject* structure_to_arrays(PyObject* self, PyObject*) {
    return guarded([&] { return to_arrays(self); });
}

}  // namespace kestrel::py
