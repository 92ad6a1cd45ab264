// Value semantics of Structure: exact equality and a hash to match, len(),
// copies, a plain-dict form for JSON, and pickling (multiprocessing, Dask).
#include <string>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"

namespace kestrel::py {
namespace {

// The dict form's keys, the constructor's parameters: the dict is exactly the
// constructor's arguments, so from_dict is the constructor. "units" is there
// only for a structure with units of correlated disorder.
constexpr const char* kDictKeys[] = {"lattice_matrix", "frac_coords", "species"};
constexpr const char* kUnitsKey = "units";

bool has_units(PyObject* self) {
    const Structure* record = borrow_structure(self);
    return record != nullptr && !record->units().empty();
}

PyRef to_dict(PyObject* self) {
    const Structure* record = borrow_structure(self);
    if (record == nullptr) return {};
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (const char* key : kDictKeys) {
        PyRef value = PyRef::steal(PyObject_GetAttrString(self, key));
        if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return {};
    }
    if (!record->units().empty()) {
        PyRef units = PyRef::steal(PyObject_GetAttrString(self, kUnitsKey));
        if (!units || PyDict_SetItemString(dict.get(), kUnitsKey, units.get()) < 0) return {};
    }
    return dict;
}

bool is_known_key(PyObject* key) {
    if (!PyUnicode_Check(key)) return false;
    for (const char* name : kDictKeys)
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) return true;
    return PyUnicode_CompareWithASCIIString(key, kUnitsKey) == 0;
}

// The constructor's positional arguments and keywords, from the dict form.
bool constructor_arguments(PyObject* data, PyRef& positional, PyRef& keywords) {
    if (!PyDict_Check(data)) {
        raise(PyExc_TypeError, "argument 'data': '" + type_name(data) + "' object cannot be converted to 'PyDict'");
        return false;
    }
    positional = PyRef::steal(PyTuple_New(3));
    keywords = PyRef::steal(PyDict_New());
    if (!positional || !keywords) return false;
    Py_ssize_t index = 0;
    for (const char* key : kDictKeys) {
        PyObject* value = PyDict_GetItemString(data, key);  // borrowed
        if (value == nullptr) {
            raise(PyExc_ValueError, std::string("Structure.from_dict() needs the key '") + key + "'");
            return false;
        }
        PyTuple_SetItem(positional.get(), index++, PyRef::borrow(value).release());
    }
    // A key we do not know would be dropped without a word; refuse it.
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(data, &position, &key, &value)) {
        if (is_known_key(key)) continue;
        PyRef shown = PyRef::steal(PyObject_Repr(key));
        std::optional<std::string> text = shown ? utf8_of(shown.get()) : std::nullopt;
        if (text) raise(PyExc_ValueError, "Structure.from_dict() got an unknown key " + *text);
        return false;
    }
    PyObject* units = PyDict_GetItemString(data, kUnitsKey);  // borrowed
    return units == nullptr || PyDict_SetItemString(keywords.get(), kUnitsKey, units) == 0;
}

PyRef from_dict(PyObject* args, PyObject* kwargs) {
    std::optional<FromDictArguments> given = read_from_dict_arguments(args, kwargs);
    if (!given) return {};
    PyRef positional, keywords;
    if (!constructor_arguments(given->data, positional, keywords)) return {};
    return PyRef::steal(PyObject_Call(reinterpret_cast<PyObject*>(structure_type()), positional.get(), keywords.get()));
}

// Pickling rebuilds the record exactly through the constructor, so a copy in
// another process compares equal: (Structure, (lattice_matrix, frac_coords,
// species)), or with units copyreg.__newobj_ex__, which passes the keyword.
PyRef reduce(PyObject* self) {
    PyRef dict = to_dict(self);
    if (!dict) return {};
    PyRef positional, keywords;
    if (!constructor_arguments(dict.get(), positional, keywords)) return {};
    PyObject* type = reinterpret_cast<PyObject*>(structure_type());
    if (!has_units(self)) return PyRef::steal(PyTuple_Pack(2, type, positional.get()));
    PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return {};
    PyRef rebuild = PyRef::steal(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    if (!rebuild) return {};
    PyRef arguments = PyRef::steal(PyTuple_Pack(3, type, positional.get(), keywords.get()));
    if (!arguments) return {};
    return PyRef::steal(PyTuple_Pack(2, rebuild.get(), arguments.get()));
}

PyRef copy(PyObject* self) {
    const Structure* record = borrow_structure(self);
    if (record == nullptr) return {};
    return wrap_structure(Structure(*record));
}

}  // namespace

PyObject* structure_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyRef {
        PyTypeObject* type = structure_type();
        if (type == nullptr) return {};
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, type)) return PyRef::borrow(Py_NotImplemented);
        const Structure *a = borrow_structure(self), *b = borrow_structure(other);
        if (a == nullptr || b == nullptr) return {};
        const bool equal = a == b || same_structure(*a, *b);
        return PyRef::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False);
    });
}

Py_hash_t structure_hash_slot(PyObject* self) {
    const Structure* record = borrow_structure(self);
    if (record == nullptr) return -1;
    auto hash = static_cast<Py_hash_t>(structure_hash(*record));
    return hash == -1 ? -2 : hash;  // -1 means "failed" to the interpreter
}

Py_ssize_t structure_length(PyObject* self) {
    const Structure* record = borrow_structure(self);
    if (record == nullptr) return -1;
    return static_cast<Py_ssize_t>(record->n_sites());
}

PyObject* structure_to_dict(PyObject* self, PyObject*) {
    return guarded([&] { return to_dict(self); });
}
PyObject* structure_from_dict(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return from_dict(args, kwargs); });
}
PyObject* structure_copy(PyObject* self, PyObject*) {
    return guarded([&] { return copy(self); });
}
PyObject* structure_reduce(PyObject* self, PyObject*) {
    return guarded([&] { return reduce(self); });
}

}  // namespace kestrel::py
