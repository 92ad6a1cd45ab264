#include "python_binding/units.hpp"

#include <cmath>
#include <map>
#include <string>

#include "python_binding/args.hpp"
#include "python_binding/errors.hpp"

namespace kestrel::py {
namespace {

PyRef none() {
    Py_INCREF(Py_None);
    return PyRef::steal(Py_None);
}

bool fail_units(PyObject* type, const std::string& message) {
    raise(type, message);
    return false;
}

// One entry: None, or two non-negative integers.
bool read_entry(PyObject* item, std::size_t index, std::optional<std::pair<std::uint64_t, std::uint64_t>>& out) {
    if (item == Py_None) return true;
    const std::string name = "units[" + std::to_string(index) + "]";
    if (PyUnicode_Check(item) || !PySequence_Check(item) || PySequence_Size(item) != 2) {
        PyErr_Clear();
        return fail_units(PyExc_TypeError, name + " must be None or a pair (unit, alternative)");
    }
    PyRef first = PyRef::steal(PySequence_GetItem(item, 0));
    PyRef second = PyRef::steal(PySequence_GetItem(item, 1));
    if (!first || !second) return false;
    std::optional<std::uint64_t> unit = to_u64(first.get(), name.c_str());
    if (!unit) return false;
    std::optional<std::uint64_t> alternative = to_u64(second.get(), name.c_str());
    if (!alternative) return false;
    out.emplace(*unit, *alternative);
    return true;
}

}  // namespace

std::optional<Units> to_units(PyObject* value, const std::vector<Site>& sites, const Lattice& lattice) {
    if (value == nullptr || value == Py_None) return Units{};
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        raise(PyExc_TypeError, "units must be a sequence with one entry per site");
        return std::nullopt;
    }
    const Py_ssize_t size = PySequence_Size(value);
    if (size < 0) return std::nullopt;
    const auto n = static_cast<std::size_t>(size);
    if (n != sites.size()) {
        raise(PyExc_ValueError, "units must have one entry per site");
        return std::nullopt;
    }
    Units units;
    units.sites.resize(n);
    std::map<std::uint64_t, std::uint32_t> unit_number;
    std::vector<std::map<std::uint64_t, std::uint32_t>> alternative_number;
    std::vector<std::size_t> first_site;
    for (std::size_t s = 0; s < n; ++s) {
        std::optional<std::pair<std::uint64_t, std::uint64_t>> entry;
        PyRef item = PyRef::steal(PySequence_GetItem(value, static_cast<Py_ssize_t>(s)));
        if (!item || !read_entry(item.get(), s, entry)) return std::nullopt;
        if (!entry) continue;
        const auto [unit, added] =
            unit_number.try_emplace(entry->first, static_cast<std::uint32_t>(unit_number.size()));
        if (added) {
            units.sources.push_back(UnitSource::declared);
            alternative_number.emplace_back();
            first_site.push_back(s);
        }
        auto& numbers = alternative_number[unit->second];
        const auto alternative =
            numbers.try_emplace(entry->second, static_cast<std::uint32_t>(numbers.size())).first->second;
        SiteUnit place{unit->second, alternative, {0, 0, 0}};
        // The image of this site nearest the unit's first site.
        const std::optional<IntVec3> shift =
            nearest_image_shift(lattice, sites[first_site[unit->second]].frac, sites[s].frac);
        if (!shift) {
            raise(PyExc_ValueError, "the coordinates of site " + std::to_string(s) + " are not all finite numbers");
            return std::nullopt;
        }
        for (int axis = 0; axis < 3; ++axis) place.cell[axis] = static_cast<std::int32_t>((*shift)[axis]);
        units.sites[s] = place;
    }
    if (units.sources.empty()) return Units{};
    return units;
}

PyRef units_list(const Structure& record) {
    const std::size_t n = record.sites().size();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return {};
    for (std::size_t s = 0; s < n; ++s) {
        PyRef item;
        if (record.units().empty() || !record.units().sites[s].in_unit()) {
            item = none();
        } else {
            const SiteUnit& place = record.units().sites[s];
            item = PyRef::steal(Py_BuildValue("(II)", place.unit, place.alternative));
        }
        if (!item) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(s), item.release());
    }
    return list;
}

bool add_unit_columns(PyObject* entry, const Structure& record, std::size_t site) {
    if (record.units().empty()) return true;
    const SiteUnit& place = record.units().sites[site];
    PyRef unit, alternative, found_by;
    if (place.in_unit()) {
        unit = PyRef::steal(PyLong_FromUnsignedLong(place.unit));
        alternative = PyRef::steal(PyLong_FromUnsignedLong(place.alternative));
        found_by = make_text(unit_source_name(record.units().sources[place.unit]));
    } else {
        unit = none();
        alternative = none();
        found_by = none();
    }
    return unit && alternative && found_by && PyDict_SetItemString(entry, "unit", unit.get()) == 0 &&
           PyDict_SetItemString(entry, "alternative", alternative.get()) == 0 &&
           PyDict_SetItemString(entry, "unit_found_by", found_by.get()) == 0;
}

}  // namespace kestrel::py
