#include "python_binding/structure_type.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
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

const Signature kNewSignature{"Structure.__new__()", {"matrix", "frac_coords", "species", "units"}, 3};

PyRef new_structure(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    // `units` is keyword-only: a fourth positional argument is a mistake, as it always was.
    if (const Py_ssize_t given = PyTuple_Size(args); given > 3)
        return raise(PyExc_TypeError,
                     "Structure.__new__() takes 3 positional arguments but " + std::to_string(given) + " were given");
    if (!match_arguments(kNewSignature, args, kwargs, arguments)) return {};
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
    std::optional<Units> units = to_units(arguments[3], sites);
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
    {"from_cif", KW_METHOD(structure_from_cif), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_cif(path, symprec=1e-4, block=None)\n--\n\n"
     "Read a CIF, keeping partial occupancies as they are written.\n\n"
     "Reads the first data block with a cell and atom sites, or the block named `block`, applies its\n"
     "symmetry operations (or those of its space-group symbol) and merges positions that coincide. A name\n"
     "ending in .gz, .bz2 or .xz is decompressed.\n\n"
     "Parameters: path (str, bytes or os.PathLike); symprec (float, fractional coordinates per axis):\n"
     "symmetry copies closer than this along each of a, b and c are merged into one site; block (str or\n"
     "None). Returns a Structure. Warns with CifReadWarning for each thing the reader had to decide.\n"
     "Raises StructureFileError (a ValueError naming the file) for a file it refuses, WorkLimitError for\n"
     "one that expands to too many positions, and OSError (FileNotFoundError, ...) when the file cannot\n"
     "be read."},
    {"from_poscar", KW_METHOD(structure_from_poscar), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_poscar(path)\n--\n\n"
     "Read a VASP POSCAR / CONTCAR.\n\n"
     "Parameters: path (str, bytes or os.PathLike). Returns a Structure (lengths in Å). Raises\n"
     "StructureFileError naming the file and line it refuses, OSError when it cannot be read."},
    {"from_xyz", KW_METHOD(structure_from_xyz), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_xyz(path)\n--\n\n"
     "Read an extended XYZ file (needs a `Lattice=\"...\"` field).\n\n"
     "Parameters: path (str, bytes or os.PathLike); the file's first frame is read, positions in Å.\n"
     "Returns a Structure. Raises StructureFileError naming the file and line it refuses, OSError when\n"
     "it cannot be read."},
    {"from_str", KW_METHOD(structure_from_str), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_str(text, fmt, symprec=1e-4)\n--\n\n"
     "Parse text in a named format: \"cif\", \"poscar\" or \"xyz\".\n\n"
     "Parameters: text (str); fmt (str, any case; also \"vasp\", \"contcar\", \"extxyz\"); symprec (float,\n"
     "fractional, CIF only) as for from_cif. Returns a Structure. Raises StructureFileError (with the\n"
     "line where known) for text the reader refuses, ValueError for an unknown format name."},
    {"from_cif_str", KW_METHOD(structure_from_cif_str), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_cif_str(text, symprec=1e-4)\n--\n\n"
     "Same as `from_cif`, for CIF text already in memory.\n\n"
     "Parameters: text (str); symprec (float, fractional) as for from_cif. Returns a Structure."},
    {"from_dict", KW_METHOD(structure_from_dict), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_dict(data)\n--\n\n"
     "The Structure that `to_dict` described.\n\n"
     "Parameters: data (dict with the keys \"lattice_matrix\" (3x3, rows a, b, c in Å),\n"
     "\"frac_coords\" and \"species\", and \"units\" for correlated disorder, as the constructor takes\n"
     "them). Returns a Structure equal to the one that made the dict. Raises ValueError for a missing or\n"
     "unknown key."},
    {"to_dict", structure_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "The structure as a dict of plain lists, floats and str, for JSON.\n\n"
     "Returns {\"lattice_matrix\": rows a, b, c in Å, \"frac_coords\": per site [x, y, z],\n"
     "\"species\": per site {element: occupancy}}, and \"units\" (per site None or (unit, alternative))\n"
     "when the structure has units of correlated disorder. `Structure.from_dict` rebuilds an equal structure\n"
     "(json.dumps writes every float exactly, so the round trip through JSON is exact too)."},
    {"copy", structure_copy, METH_NOARGS,
     "copy($self)\n--\n\n"
     "A new Structure equal to this one. Returns a Structure."},
    {"__reduce__", structure_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Pickling support: the constructor and its three arguments."},
    {"from_arrays", KW_METHOD(structure_from_arrays), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_arrays(lattice, positions, numbers_or_symbols, occupancies=None, cartesian=False)\n--\n\n"
     "Build a structure from NumPy arrays, with no Python object per site.\n\n"
     "Parameters: lattice (3x3, rows a, b, c in Å); positions ((n, 3), fractional, or Cartesian in Å\n"
     "with cartesian=True); numbers_or_symbols (n atomic numbers, or n element symbols); occupancies\n"
     "(n floats, or None for full sites). Returns a Structure with one element per site."},
    {"to_arrays", structure_to_arrays, METH_NOARGS,
     "to_arrays($self)\n--\n\n"
     "The structure as NumPy arrays, the inverse of `from_arrays`.\n\n"
     "Returns (lattice (3, 3), frac_coords (n, 3), symbols (n,), occupancies (n,)). Raises ValueError\n"
     "for a site holding several elements or a structure with units of correlated disorder."},
    {"disorder_summary", structure_disorder_summary, METH_NOARGS,
     "disorder_summary($self)\n--\n\n"
     "One entry per partially occupied site: index, coordinates, occupancies.\n\n"
     "Empty for a fully ordered structure, so it doubles as the check a\n"
     "caller needs before reporting anything to the user.\n\n"
     "Returns a list of dicts with \"site_index\" (from 0), \"frac_coords\", \"occupancies\"\n"
     "({element: occupancy}), \"total_occupancy\" and \"vacancy\" (1 - total_occupancy)."},
    {"available_threads", structure_available_threads, METH_NOARGS | METH_STATIC,
     "available_threads()\n--\n\nThe number of worker threads an RDF call uses when n_threads=0. Returns an int."},
    {"make_supercell", KW_METHOD(structure_make_supercell), METH_VARARGS | METH_KEYWORDS,
     "make_supercell($self, na, nb, nc)\n--\n\n"
     "The cell repeated na x nb x nc times.\n\n"
     "Parameters: na, nb, nc (int, at least 1): repeats along a, b and c. Returns a new Structure\n"
     "with na * nb * nc times the sites. Raises WorkLimitError above the supercell size limit."},
    {"prdf", KW_METHOD(structure_prdf), METH_VARARGS | METH_KEYWORDS,
     "prdf($self, cutoff=10.0, bin_size=0.1, n_threads=0, save_plots=None, title=None)\n--\n\n"
     "Partial and total RDF.\n\n"
     "Parameters: cutoff (float, Å): the largest distance counted; bin_size (float, Å); n_threads\n"
     "(int, 0 = every available core); save_plots (str folder or None); title (str or None, for the\n"
     "figures).\n"
     "Returns (r, partials, total) where `partials` maps (\"A\", \"B\") to rho_B g_AB(r), the\n"
     "number of B atoms per Å³ at distance r from an A atom (A is the centre), in Å⁻³; it tends to\n"
     "rho_B = N_B / V at long range. `total` is rho g(r) in Å⁻³. `r` holds the lower bin edges in Å\n"
     "(bin k counts r[k] <= d < r[k] + bin_size). All three are float64 NumPy arrays. Divide a\n"
     "partial by rho_B (composition[B] / volume) for the dimensionless g_AB.\n"
     "With `save_plots=\"some/folder\"` the curves are also written there as\n"
     "figures plus a CSV (needs matplotlib); None, the default, saves nothing.\n"
     "Raises ValueError for a bad cutoff or bin size, WorkLimitError when the work or memory would be\n"
     "above kestrel's limits."},
    {"total_rdf", KW_METHOD(structure_total_rdf), METH_VARARGS | METH_KEYWORDS,
     "total_rdf($self, cutoff=10.0, bin_size=0.1, n_threads=0)\n--\n\n"
     "Total RDF only.\n\n"
     "Parameters as for prdf. Returns (r, total): lower bin edges in Å and rho g(r) in Å⁻³."},
    {"expand_occupancies", KW_METHOD(structure_expand_occupancies), METH_VARARGS | METH_KEYWORDS,
     "expand_occupancies($self, max_sites=4096, seed=42, max_denominator=16)\n--\n\n"
     "Expand partial occupancies into an explicit ordered supercell.\n\n"
     "Parameters: max_sites (int): the largest supercell, in sites; seed (int): the random placement's\n"
     "seed; max_denominator (int): the largest denominator tried when occupancies are made fractions.\n"
     "Returns (ordered, report): an ordered Structure of an n x n x n supercell, and a dict with\n"
     "\"scale\" ([n, n, n]), \"n_vacancies\", \"warnings\" (list of str) and \"occupancy_report\" (one\n"
     "dict per pool and element: \"site_index\" and \"frac_coords\" of the pool's first source site,\n"
     "\"element\", \"target_occupancy\", \"sites_in_pool\", \"atoms_placed\", \"actual_occupancy\").\n"
     "Raises WorkLimitError when the structure alone exceeds max_sites."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"n_sites", get_n_sites, nullptr, "Number of sites (int); len(structure) is the same.", nullptr},
    {"n_atoms", get_n_atoms, nullptr, "Number of atoms, which is fractional when sites are partly occupied.", nullptr},
    {"is_ordered", get_is_ordered, nullptr, "Whether every site holds one element with occupancy 1 (bool).", nullptr},
    {"volume", get_volume, nullptr, "Cell volume in Å³ (float).", nullptr},
    {"elements", get_elements, nullptr, "The element names, sorted (list of str).", nullptr},
    {"composition", get_composition, nullptr,
     "{element: number of atoms in the cell}, partial occupancies summed (dict of float).", nullptr},
    {"lattice_matrix", get_lattice_matrix, nullptr, "Lattice vectors a, b, c as rows, in Å (3x3 list).", nullptr},
    {"frac_coords", get_frac_coords, nullptr, "Per site [x, y, z] in fractions of a, b, c, as given (not wrapped).",
     nullptr},
    {"cart_coords", get_cart_coords, nullptr, "Per site [x, y, z] in Å: frac_coords times lattice_matrix.", nullptr},
    {"species", get_species, nullptr, "Per-site {element: occupancy}.", nullptr},
    {"units", get_units, nullptr,
     "Per site None, or (unit, alternative): the place of correlated disorder the site belongs to and which of\n"
     "its alternatives it is. The sites of one alternative come and go together; two alternatives of one unit\n"
     "never coexist.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Structure(matrix, frac_coords, species, *, units=None)\n--\n\n"
         "A periodic crystal structure whose sites may be partly occupied or shared by elements.\n\n"
         "Parameters: matrix (3x3, rows a, b, c in Å); frac_coords (per site [x, y, z], fractions of\n"
         "a, b, c); species (per site {element: occupancy}, occupancies summing to at most 1).\n"
         "`units` declares correlated disorder: one entry per site, None for a site that is filled on its\n"
         "own, or a pair (unit, alternative) of integers. A unit is one place that holds exactly one of its\n"
         "alternatives, or nothing: the sites of one alternative come and go together (a pair of them\n"
         "weighs min(occ_i, occ_j) in the RDF) and two alternatives never coexist (weight 0). Numbers are\n"
         "taken in order of first appearance; each site joins its unit at its image nearest the unit's\n"
         "first site.\n"
         "Immutable. Compares equal to a structure with exactly the same numbers and units; hashable,\n"
         "picklable, len() is the number of sites.")},
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
