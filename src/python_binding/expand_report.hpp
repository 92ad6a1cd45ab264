// What the expansion and the SQS search hand back to Python: shared, as
// both fill the same pools with the same counts and return (Structure, report).
#pragma once

#include "expand/expand.hpp"
#include "expand/unit_choice.hpp"
#include "python_binding/py_ref.hpp"

namespace kestrel::py {

// {"element", "target_occupancy", "sites_in_pool", "atoms_placed", "actual_occupancy"}.
PyRef occupancy_report_row(const expand::OccupancyReportRow& row);

// {"unit", "alternative", "target_occupancy", "units_in_pool", "copies_placed", "actual_occupancy"}.
PyRef unit_report_row(const expand::UnitReportRow& row);

// (Structure, report): the record wrapped into a new Structure, and the
// report dict taken over. Empty with an exception set on failure.
PyRef structure_and_report(Structure&& structure, PyRef report);

}  // namespace kestrel::py
