// Sites whose occupancies add up to a little more than 1. Published files
// round each occupancy on its own, so a mixed site written as 0.502 Ca and
// 0.500 Na adds up to 1.002: rounding, not an overfull site. Such sums are
// scaled down to 1 and reported; a sum beyond the tolerance is a mistake in
// the file and is refused, naming its rows.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "formats/cif/notices.hpp"
#include "model/structure.hpp"

namespace kestrel {

// How far above 1 a site's occupancies may add up and still be taken as
// rounding. Occupancies are published with two to four decimals; rows of a
// mixed site each rounded by up to half a unit of the second decimal add up
// to at most 1.01 for two rows. A site 1% over full is a value no refinement
// reports on purpose.
inline constexpr double kDefaultOccupancyTolerance = 0.01;

// Sums up to 1 + this are taken as written: the structure model's own
// allowance for the last written digit.
inline constexpr double kOccupancyAsWritten = 0.001;

// Scales the species of each site whose occupancies add up to more than
// 1 + kOccupancyAsWritten and at most 1 + `tolerance` so they add up to 1,
// with one notice naming the sites' rows and sums. A site above that fails
// "the occupancies of {rows} on one site add up to {sum}, above 1 by more
// than the tolerance for rounding ({tolerance})" ("the occupancy of {row} is
// {sum}, ..." for one row), naming the parameter occupancy_tolerance. `rows_of(site)` names the rows merged into a site
// ("Ca1/Na1"). A negative or NaN tolerance is refused as an argument.
Result<Ok> settle_site_occupancies(std::vector<Site>& sites, double tolerance,
                                   const std::function<std::vector<std::string>(std::size_t)>& rows_of,
                                   CifNotices& notices);

}  // namespace kestrel
