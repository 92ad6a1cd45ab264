// Units of correlated disorder between Python and the record: the `units`
// keyword of the constructor, the `units` property and the unit columns of
// the disorder summary.
#pragma once

#include <optional>
#include <vector>

#include "model/structure.hpp"
#include "python_binding/py_ref.hpp"
#include "python_binding/python.hpp"

namespace kestrel::py {

// A sequence with one entry per site: None (no unit) or a pair of
// non-negative integers (unit, alternative). Units and alternatives are
// numbered again from 0 in order of first appearance; each site takes part
// at its image nearest the unit's first site. Nothing (with TypeError or
// ValueError set) on a malformed argument.
std::optional<Units> to_units(PyObject* value, const std::vector<Site>& sites, const Lattice& lattice);

// Per site None or (unit, alternative).
PyRef units_list(const Structure& record);

// Adds "unit", "alternative" and "unit_found_by" to a disorder summary entry
// of a structure with units (None for a site outside every unit).
bool add_unit_columns(PyObject* entry, const Structure& record, std::size_t site);

}  // namespace kestrel::py
