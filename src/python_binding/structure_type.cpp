#include "python_binding/structure_type.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/units.hpp"
#include "base/fixed4.hpp"

namespace kestrel::py {
namespace {

struct StructureObject {
    PyObject_HEAD Structure* record;  // owned; set once at creation, released in dealloc
};

StructureObject* as_instance(PyObject* object) {
    return reinterpret_cast<StructureObject*>(object);
}

// ---- constructor ------------------------------------------------------------

PyRef new_structure(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kStructureSignature, args, kwargs, arguments)) return {};
    auto matrix = to_number_rows(arguments[0], "matrix");
    if (!matrix) return {};
    auto frac_coords = to_number_rows(arguments[1], "frac_coords");
    if (!frac_coords) return {};
    auto species = to_species_dicts(arguments[2], "species");
    if (!species) return {};

    std::optional<Mat3> rows = as_mat3(*matrix);
    if (!rows) return raise(PyExc_ValueError, "matrix must be 3x3");
    Result<Lattice> lattice = make_lattice(*rows);
    if (!lattice) return raise_structure_error(lattice.error());
    if (frac_coords->size() != species->size())
        return raise(PyExc_ValueError, "frac_coords and species must have the same length");

    std::vector<Site> sites;
    sites.reserve(species->size());
    for (std::size_t i = 0; i < species->size(); ++i) {
        const std::vector<double>& coordinate = (*frac_coords)[i];
        if (coordinate.size() != 3) return raise(PyExc_ValueError, "each coordinate must have 3 components");
        SpeciesEntries& entries = (*species)[i];
        if (entries.empty()) return raise(PyExc_ValueError, "every site needs at least one species");
        std::sort(entries.begin(), entries.end(), [](auto& x, auto& y) { return x.first < y.first; });
        Site site{{coordinate[0], coordinate[1], coordinate[2]}, {}};
        for (auto& [element, occupancy] : entries) site.species.push_back({std::move(element), occupancy});
        sites.push_back(std::move(site));
    }
    std::optional<Units> units = to_units(arguments[3], sites, *lattice);
    if (!units) return {};
    Result<Structure> record = make_structure(std::move(*lattice), std::move(sites), std::move(*units));
    if (!record) return raise_structure_error(record.error());
    return wrap_structure(std::move(*record));
}

PyObject* structure_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return new_structure(args, kwargs); });
}

void structure_dealloc(PyObject* self) {
    delete as_instance(self)->record;
    free_instance(self);
}

// ---- printed form -------------------------------------------------------------

std::string amount_text(double amount) {
    const double nearest = std::round(amount);  // halves away from zero
    if (std::fabs(amount - nearest) < 1e-9) {
        std::int64_t whole;
        if (nearest >= 9.2233720368547758e18) whole = std::numeric_limits<std::int64_t>::max();
        else if (nearest <= -9.2233720368547758e18) whole = std::numeric_limits<std::int64_t>::min();
        else whole = static_cast<std::int64_t>(nearest);
        return std::to_string(whole);
    }
    return format_fixed4(amount);
}

std::string printed_form(const Structure& record) {
    std::string formula;
    for (const auto& [element, amount] : composition(record)) {
        if (!formula.empty()) formula += ' ';
        formula += element + amount_text(amount);
    }
    const std::uint64_t units = record.n_units();
    return "Structure(" + std::to_string(record.n_sites()) + " sites, " + formula +
           (is_ordered(record) ? "" : ", disordered") +
           (units == 0 ? "" : ", " + std::to_string(units) + (units == 1 ? " unit" : " units")) + ")";
}

PyObject* structure_repr(PyObject* self) {
    return guarded([&]() -> PyRef {
        const Structure* record = borrow_structure(self);
        if (record == nullptr) return {};
        return make_text(printed_form(*record));
    });
}

// ---- properties -----------------------------------------------------------------

PyRef vec3_list(const std::vector<Vec3>& rows) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyRef row = make_float_list(rows[i].data(), 3);
        if (!row) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return list;
}

PyRef species_dict(const Site& site) {
    std::vector<const SpeciesOccupancy*> sorted;
    for (const SpeciesOccupancy& entry : site.species) sorted.push_back(&entry);
    std::stable_sort(sorted.begin(), sorted.end(), [](auto* x, auto* y) { return x->element < y->element; });
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (const SpeciesOccupancy* entry : sorted) {
        PyRef key = make_text(entry->element);
        PyRef value = PyRef::steal(PyFloat_FromDouble(entry->occupancy));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
    }
    return dict;
}

template <class Build>
PyObject* property(PyObject* self, Build&& build) {
    return guarded([&]() -> PyRef {
        const Structure* record = borrow_structure(self);
        if (record == nullptr) return {};
        return build(*record);
    });
}

PyObject* get_n_sites(PyObject* self, void*) {
    return property(self, [](const Structure& s) { return PyRef::steal(PyLong_FromUnsignedLongLong(s.n_sites())); });
}
PyObject* get_n_atoms(PyObject* self, void*) {
    return property(self, [](const Structure& s) { return PyRef::steal(PyFloat_FromDouble(n_atoms(s))); });
}
PyObject* get_is_ordered(PyObject* self, void*) {
    return property(self, [](const Structure& s) { return PyRef::steal(PyBool_FromLong(is_ordered(s))); });
}
PyObject* get_volume(PyObject* self, void*) {
    return property(self, [](const Structure& s) { return PyRef::steal(PyFloat_FromDouble(volume(s))); });
}
PyObject* get_elements(PyObject* self, void*) {
    return property(self, [](const Structure& s) -> PyRef {
        std::vector<std::string> names = elements(s);
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
        if (!list) return {};
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyRef name = make_text(names[i]);
            if (!name) return {};
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name.release());
        }
        return list;
    });
}
PyObject* get_composition(PyObject* self, void*) {
    return property(self, [](const Structure& s) -> PyRef {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return {};
        for (const auto& [element, amount] : composition(s)) {
            PyRef key = make_text(element);
            PyRef value = PyRef::steal(PyFloat_FromDouble(amount));
            if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
        }
        return dict;
    });
}
PyObject* get_lattice_matrix(PyObject* self, void*) {
    return property(self, [](const Structure& s) {
        const Mat3& m = s.lattice().matrix();
        return vec3_list(std::vector<Vec3>(m.begin(), m.end()));
    });
}
PyObject* get_frac_coords(PyObject* self, void*) {
    return property(self, [](const Structure& s) {
        std::vector<Vec3> rows;
        rows.reserve(s.sites().size());
        for (const Site& site : s.sites()) rows.push_back(site.frac);
        return vec3_list(rows);
    });
}
PyObject* get_cart_coords(PyObject* self, void*) {
    return property(self, [](const Structure& s) { return vec3_list(cart_coords(s)); });
}
PyObject* get_units(PyObject* self, void*) {
    return property(self, [](const Structure& s) { return units_list(s); });
}
PyObject* get_species(PyObject* self, void*) {
    return property(self, [](const Structure& s) -> PyRef {
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(s.sites().size())));
        if (!list) return {};
        for (std::size_t i = 0; i < s.sites().size(); ++i) {
            PyRef dict = species_dict(s.sites()[i]);
            if (!dict) return {};
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict.release());
        }
        return list;
    });
}

// ---- registration -------------------------------------------------------------------

#define KW_METHOD(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function))

PyMethodDef kMethods[] = {
    {"from_cif", KW_METHOD(structure_from_cif), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromCifDoc},
    {"from_poscar", KW_METHOD(structure_from_poscar), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromPoscarDoc},
    {"from_xyz", KW_METHOD(structure_from_xyz), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromXyzDoc},
    {"from_str", KW_METHOD(structure_from_str), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromStrDoc},
    {"from_cif_str", KW_METHOD(structure_from_cif_str), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromCifStrDoc},
    {"from_dict", KW_METHOD(structure_from_dict), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromDictDoc},
    {"to_dict", structure_to_dict, METH_NOARGS, kToDictDoc},
    {"copy", structure_copy, METH_NOARGS, kCopyDoc},
    {"__reduce__", structure_reduce, METH_NOARGS, kReduceDoc},
    {"from_arrays", KW_METHOD(structure_from_arrays), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromArraysDoc},
    {"to_arrays", structure_to_arrays, METH_NOARGS, kToArraysDoc},
    {"disorder_summary", structure_disorder_summary, METH_NOARGS, kDisorderSummaryDoc},
    {"available_threads", structure_available_threads, METH_NOARGS | METH_STATIC, kAvailableThreadsDoc},
    {"make_supercell", KW_METHOD(structure_make_supercell), METH_VARARGS | METH_KEYWORDS, kMakeSupercellDoc},
    {"prdf", KW_METHOD(structure_prdf), METH_VARARGS | METH_KEYWORDS, kPrdfDoc},
    {"total_rdf", KW_METHOD(structure_total_rdf), METH_VARARGS | METH_KEYWORDS, kTotalRdfDoc},
    {"expand_occupancies", KW_METHOD(structure_expand_occupancies), METH_VARARGS | METH_KEYWORDS,
     kExpandOccupanciesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"n_sites", get_n_sites, nullptr, kNSitesDoc, nullptr},
    {"n_atoms", get_n_atoms, nullptr, kNAtomsDoc, nullptr},
    {"is_ordered", get_is_ordered, nullptr, kIsOrderedDoc, nullptr},
    {"volume", get_volume, nullptr, kVolumeDoc, nullptr},
    {"elements", get_elements, nullptr, kElementsDoc, nullptr},
    {"composition", get_composition, nullptr, kCompositionDoc, nullptr},
    {"lattice_matrix", get_lattice_matrix, nullptr, kLatticeMatrixDoc, nullptr},
    {"frac_coords", get_frac_coords, nullptr, kFracCoordsDoc, nullptr},
    {"cart_coords", get_cart_coords, nullptr, kCartCoordsDoc, nullptr},
    {"species", get_species, nullptr, kSpeciesDoc, nullptr},
    {"units", get_units, nullptr, kUnitsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kStructureDoc)},
    {Py_tp_new, reinterpret_cast<void*>(structure_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(structure_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(structure_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(structure_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(structure_hash_slot)},
    {Py_sq_length, reinterpret_cast<void*>(structure_length)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec{"kestrel.Structure", sizeof(StructureObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

// The type machinery adds all methods before all properties, so
// vars(Structure) would list from_cif and prdf ahead of n_sites and volume.
// The members named here are re-added after the properties: the class dict
// then lists the readers, the properties (what a structure holds) and these
// operations on it, in this list's order.
bool order_members(PyObject* type) {
    static const char* const kAfterProperties[] = {"to_dict",        "copy", "disorder_summary", "available_threads",
                                                   "make_supercell", "prdf", "total_rdf",        "expand_occupancies"};
    PyRef dict = PyRef::steal(PyObject_GetAttrString(type, "__dict__"));
    if (!dict) return false;
    for (const char* name : kAfterProperties) {
        PyRef descriptor = PyRef::steal(PyMapping_GetItemString(dict.get(), name));
        if (!descriptor || PyObject_DelAttrString(type, name) < 0 ||
            PyObject_SetAttrString(type, name, descriptor.get()) < 0)
            return false;
    }
    return true;
}

}  // namespace

PyTypeObject* structure_type() {
    static PyObject* type = nullptr;  // written once under the interpreter lock
    if (type == nullptr) {
        PyRef created = PyRef::steal(PyType_FromSpec(&kSpec));
        if (!created || !order_members(created.get())) return nullptr;
        type = created.release();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

const Structure* borrow_structure(PyObject* object) {
    PyTypeObject* type = structure_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(object, type)) {
        raise(PyExc_TypeError, "'" + type_name(object) + "' object cannot be converted to 'Structure'");
        return nullptr;
    }
    return as_instance(object)->record;
}

bool read_structure(PyObject* value, const char*, const Structure*& target) {
    if (value == nullptr) return true;
    target = borrow_structure(value);
    return target != nullptr;
}

PyRef wrap_structure(Structure&& record) {
    PyTypeObject* type = structure_type();
    if (type == nullptr) return {};
    auto alloc_slot = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    // Move the record to the heap first, so a failed allocation of either
    // side releases it and leaves nothing behind.
    auto owned = std::make_unique<Structure>(std::move(record));
    PyRef instance = PyRef::steal(alloc_slot(type, 0));
    if (!instance) return {};
    as_instance(instance.get())->record = owned.release();
    return instance;
}

}  // namespace kestrel::py
