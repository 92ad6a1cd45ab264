#include "formats/cif/occupancy_sum.hpp"

#include <cmath>
#include <set>

#include "base/fixed4.hpp"

namespace kestrel {
namespace {

// "Ca1", "Ca1 and Na1", "Ca1, Na1 and K1".
std::string spoken_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) out += i + 1 == names.size() ? " and " : ", ";
        out += names[i];
    }
    return out;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) out += (i == 0 ? "" : "+") + names[i];
    return out;
}

}  // namespace

Result<Ok> settle_site_occupancies(std::vector<Site>& sites, double tolerance,
                                   const std::function<std::vector<std::string>(std::size_t)>& rows_of,
                                   CifNotices& notices) {
    if (!(tolerance >= 0.0))
        return fail_argument("occupancy_tolerance must be 0 or more, got " + format_fixed4(tolerance));
    // Symmetry images of one site repeat its rows: each set is reported once.
    std::set<std::string> reported;
    for (std::size_t s = 0; s < sites.size(); ++s) {
        const double sum = site_occupancy(sites[s]);
        if (sum <= 1.0 + kOccupancyAsWritten) continue;
        if (sum > 1.0 + std::max(tolerance, kOccupancyAsWritten)) {
            const std::vector<std::string> rows = rows_of(s);
            const std::string which = rows.size() == 1
                                          ? "the occupancy of " + rows.front() + " is "
                                          : "the occupancies of " + spoken_list(rows) + " on one site add up to ";
            return fail_needing("occupancy_tolerance", which + format_fixed4(sum) +
                                                           ", above 1 by more than the tolerance for rounding (" +
                                                           format_fixed4(tolerance) + ")");
        }
        for (SpeciesOccupancy& entry : sites[s].species) entry.occupancy /= sum;
        const std::string name = joined(rows_of(s));
        if (reported.insert(name).second)
            notices.add(CifNoticeKind::scaled_occupancies, name + ": " + format_fixed4(sum));
    }
    return Ok{};
}

}  // namespace kestrel
