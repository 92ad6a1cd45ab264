// Supercells, the disorder summary and the occupancy expansion from Python.
#include <cstdint>
#include <optional>

#include "expand/expand.hpp"
#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/expand_report.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"
#include "python_binding/units.hpp"
#include "model/supercell.hpp"

namespace kestrel::py {
namespace {

PyRef summary_entry(std::size_t index, const Site& site) {
    PyRef entry = PyRef::steal(PyDict_New());
    if (!entry) return {};
    PyRef occupancies = PyRef::steal(PyDict_New());
    if (!occupancies) return {};
    for (const SpeciesOccupancy& species : site.species) {
        PyRef key = make_text(species.element);
        PyRef value = make_float(species.occupancy);
        if (!key || !value || PyDict_SetItem(occupancies.get(), key.get(), value.get()) < 0) return {};
    }
    const double total = site_occupancy(site);
    const double vacancy = 1.0 - total > 0.0 ? 1.0 - total : 0.0;
    if (!put(entry.get(), "site_index", make_u64(index)) ||
        !put(entry.get(), "frac_coords", make_float_list(site.frac.data(), 3)) ||
        !put(entry.get(), "occupancies", std::move(occupancies)) ||
        !put(entry.get(), "total_occupancy", make_float(total)) || !put(entry.get(), "vacancy", make_float(vacancy)))
        return {};
    return entry;
}

PyRef disorder_summary(PyObject* self) {
    const Structure* record = borrow_structure(self);
    if (record == nullptr) return {};
    const std::vector<Site>& sites = record->sites();
    std::vector<std::size_t> listed;
    for (std::size_t i = 0; i < sites.size(); ++i)
        if (!site_is_ordered(sites[i])) listed.push_back(i);
    return make_list(listed.size(), [&](std::size_t i) {
        PyRef entry = summary_entry(listed[i], sites[listed[i]]);
        if (entry && !add_unit_columns(entry.get(), *record, listed[i])) return PyRef{};
        return entry;
    });
}

PyRef supercell(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Structure* record = borrow_structure(self);
    if (record == nullptr) return {};
    std::optional<MakeSupercellArguments> given = read_make_supercell_arguments(args, kwargs);
    if (!given) return {};
    Result<Structure> result = make_supercell(*record, given->na, given->nb, given->nc);
    if (!result) return raise_structure_error(result.error());
    return wrap_structure(std::move(*result));
}

}  // namespace

PyRef structure_and_report(Structure&& structure, PyRef report) {
    PyRef wrapped = wrap_structure(std::move(structure));
    if (!wrapped) return {};
    PyRef pair = PyRef::steal(PyTuple_New(2));
    if (!pair) return {};
    PyTuple_SetItem(pair.get(), 0, wrapped.release());
    PyTuple_SetItem(pair.get(), 1, report.release());
    return pair;
}

PyRef occupancy_report_row(const expand::OccupancyReportRow& row) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const double actual = static_cast<double>(row.atoms_placed) / static_cast<double>(row.sites_in_pool);
    if (!put(dict.get(), "site_index", make_u64(row.site_index)) ||
        !put(dict.get(), "frac_coords", make_float_list(row.frac.data(), 3)) ||
        !put(dict.get(), "element", make_text(row.element)) ||
        !put(dict.get(), "target_occupancy", make_float(row.target_occupancy)) ||
        !put(dict.get(), "sites_in_pool", make_u64(row.sites_in_pool)) ||
        !put(dict.get(), "atoms_placed", make_u64(row.atoms_placed)) ||
        !put(dict.get(), "actual_occupancy", make_float(actual)))
        return {};
    return dict;
}

PyRef unit_report_row(const expand::UnitReportRow& row) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const double actual = static_cast<double>(row.copies_placed) / static_cast<double>(row.units_in_pool);
    if (!put(dict.get(), "unit", make_u64(row.unit)) || !put(dict.get(), "alternative", make_u64(row.alternative)) ||
        !put(dict.get(), "target_occupancy", make_float(row.target_occupancy)) ||
        !put(dict.get(), "units_in_pool", make_u64(row.units_in_pool)) ||
        !put(dict.get(), "copies_placed", make_u64(row.copies_placed)) ||
        !put(dict.get(), "actual_occupancy", make_float(actual)))
        return {};
    return dict;
}

namespace {

PyRef report_dict(const expand::ExpansionReport& report) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const auto& rows = report.occupancy_report;
    if (!put(dict.get(), "scale", make_list(3, [&](std::size_t i) { return make_u64(report.scale[i]); })) ||
        !put(dict.get(), "n_vacancies", make_u64(report.n_vacancies)) ||
        !put(dict.get(), "warnings",
             make_list(report.warnings.size(), [&](std::size_t i) { return make_text(report.warnings[i]); })) ||
        !put(dict.get(), "occupancy_report",
             make_list(rows.size(), [&](std::size_t i) { return occupancy_report_row(rows[i]); })))
        return {};
    // Only a structure with units has the key, so other reports stay as they were.
    const auto& units = report.unit_report;
    if (!units.empty() && !put(dict.get(), "unit_report",
                               make_list(units.size(), [&](std::size_t i) { return unit_report_row(units[i]); })))
        return {};
    return dict;
}

PyRef expand(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Structure* record = borrow_structure(self);
    if (record == nullptr) return {};
    std::optional<ExpandOccupanciesArguments> given = read_expand_occupancies_arguments(args, kwargs);
    if (!given) return {};
    // Large supercells take seconds: run without the lock, so Ctrl-C works.
    std::optional<Result<expand::Expansion>> outcome = run_interruptible([&](std::stop_token stop) {
        return expand::expand_occupancies(*record, given->max_sites, given->seed, given->max_denominator,
                                          std::move(stop));
    });
    if (!outcome) return {};
    Result<expand::Expansion>& expansion = *outcome;
    if (!expansion) return raise_structure_error(expansion.error());
    PyRef report = report_dict(expansion->report);
    if (!report) return {};
    return structure_and_report(std::move(expansion->structure), std::move(report));
}

}  // namespace

PyObject* structure_disorder_summary(PyObject* self, PyObject*) {
    return guarded([&] { return disorder_summary(self); });
}

PyObject* structure_make_supercell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return supercell(self, args, kwargs); });
}

PyObject* structure_expand_occupancies(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return expand(self, args, kwargs); });
}

}  // namespace kestrel::py
