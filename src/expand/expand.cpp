#include "expand/expand.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "expand/pools.hpp"
#include "expand/rational.hpp"
#include "expand/rng.hpp"
#include "expand/unit_choice.hpp"
#include "base/fixed4.hpp"
#include "model/supercell.hpp"

namespace kestrel::expand {
namespace {

std::string cube(std::uint64_t n) {
    const std::string edge = std::to_string(n);
    return edge + "x" + edge + "x" + edge;
}

constexpr std::size_t kVacancy = std::numeric_limits<std::size_t>::max();

// Deals one pool's atoms out over its sites: species entries in the
// representative's order, then vacancies up to the pool size, shuffled from
// the end; site t of the pool takes entry t.
void fill_pool(const std::vector<std::uint64_t>& members, const Site& representative,
               const std::vector<std::uint64_t>& counts, const Structure& supercell, ExpansionRng& rng,
               std::vector<Site>& placed, std::uint64_t& vacancies, const std::stop_token& stop) {
    std::uint64_t atoms = 0;
    for (std::uint64_t count : counts) atoms += count;
    std::vector<std::size_t> entries;
    entries.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(atoms, members.size())));
    for (std::size_t species = 0; species < counts.size(); ++species)
        entries.insert(entries.end(), counts[species], species);
    if (entries.size() < members.size()) entries.resize(members.size(), kVacancy);

    for (std::size_t k = entries.size(); k >= 2; --k) std::swap(entries[k - 1], entries[rng.below(k)]);

    for (std::size_t t = 0; t < members.size(); ++t) {
        if (t % 65536 == 0 && stop.stop_requested()) return;
        if (entries[t] == kVacancy) {
            ++vacancies;
            continue;
        }
        const Site& target = supercell.sites()[members[t]];
        placed.push_back(Site{target.frac, {{representative.species[entries[t]].element, 1.0}}});
    }
}

}  // namespace

Result<Ok> check_occupancies(const Structure& structure) {
    const std::vector<Site>& sites = structure.sites();
    for (std::size_t index = 0; index < sites.size(); ++index)
        for (const SpeciesOccupancy& entry : sites[index].species) {
            if (!std::isfinite(entry.occupancy))
                return fail("occupancy of " + entry.element.str() + " at site index " + std::to_string(index) +
                            " is not a finite number");
            if (entry.occupancy > 1.001)
                return fail("occupancy of " + entry.element.str() + " at site index " + std::to_string(index) + " is " +
                            format_fixed4(entry.occupancy) + ", above 1");
        }
    return Ok{};
}

Result<Expansion> expand_occupancies(const Structure& structure, std::uint64_t max_sites, std::uint64_t seed,
                                     std::uint64_t max_denominator, std::stop_token stop) {
    const auto interrupted = [] { return fail("interrupted"); };
    if (Result<Ok> checked = check_occupancies(structure); !checked) return checked.take_error();

    const std::uint64_t exact = exact_multiplier(structure, max_denominator);
    const std::uint64_t n = choose_multiplier(exact, structure.n_sites(), max_sites);
    // n exceeds 1 only when N * n^3 fits the limit, so only the source
    // itself can be too large; no need to copy it to find out.
    if (structure.n_sites() > max_sites)
        return fail_limit("even a " + cube(n) + " cell holds " + std::to_string(structure.n_sites()) +
                          " sites, above the limit of " + std::to_string(max_sites));
    Result<Structure> supercell = make_supercell(structure, n, n, n, stop);
    if (!supercell) return supercell.take_error();
    if (stop.stop_requested()) return interrupted();

    const std::vector<Site>& source = structure.sites();
    const std::vector<Site>& sites = supercell->sites();
    // Sites of units are placed a whole alternative at a time, after the pools.
    const Units& units = structure.units();
    const auto in_unit = [&](std::size_t s) { return !units.empty() && units.sites[s].in_unit(); };
    Pools pools = supercell_pools(structure, sites.size());
    if (stop.stop_requested()) return interrupted();

    std::vector<Site> result;
    std::uint64_t n_ordered = 0;
    for (const Site& site : source) n_ordered += site_is_ordered(site) ? 1 : 0;
    result.reserve(static_cast<std::size_t>(n_ordered * n * n * n));
    for (std::size_t k = 0; k < sites.size(); ++k) {
        if (k % 65536 == 0 && stop.stop_requested()) return interrupted();
        const std::size_t s = k % source.size();
        if (!in_unit(s) && site_is_ordered(source[s])) result.push_back(sites[k]);
    }

    ExpansionReport report{{n, n, n}, 0, {}, {}, {}};
    std::vector<Site> placed;
    placed.reserve(sites.size() - result.size());
    std::vector<std::string> absent;
    double worst = 0.0;
    ExpansionRng rng(seed);
    for (const auto& [key, members] : pools) {
        if (stop.stop_requested()) return interrupted();
        const Site& representative = sites[members.front()];
        const std::vector<std::uint64_t> counts = pool_counts(representative, members.size());
        fill_pool(members, representative, counts, *supercell, rng, placed, report.n_vacancies, stop);
        for (std::size_t i = 0; i < counts.size(); ++i) {
            const SpeciesOccupancy& species = representative.species[i];
            // The first member is in the supercell's first image, where index
            // k is source site k.
            const std::uint64_t first_site = members.front() % source.size();
            report.occupancy_report.push_back({species.element.str(), species.occupancy, members.size(), counts[i],
                                               first_site, source[first_site].frac});
            const double actual = static_cast<double>(counts[i]) / static_cast<double>(members.size());
            worst = std::max(worst, std::fabs(actual - species.occupancy));
            if (counts[i] == 0 && species.occupancy > 0.0 &&
                std::find(absent.begin(), absent.end(), species.element) == absent.end())
                absent.push_back(species.element.str());
        }
    }

    UnitPlacement by_unit = place_units(structure, *supercell, rng, stop);
    if (stop.stop_requested()) return interrupted();
    report.n_vacancies += by_unit.vacancies;
    report.unit_report = std::move(by_unit.rows);
    worst = std::max(worst, by_unit.worst);
    placed.insert(placed.end(), std::make_move_iterator(by_unit.placed.begin()),
                  std::make_move_iterator(by_unit.placed.end()));
    for (const UnitReportRow& row : report.unit_report)
        if (row.copies_placed == 0 && row.target_occupancy > 0.0)
            report.warnings.push_back("no copy of unit " + std::to_string(row.unit) + " could take its alternative " +
                                      std::to_string(row.alternative) + ": the occupancy is too small for a " +
                                      cube(n) + " supercell");

    if (!absent.empty()) {
        std::string names;
        for (const std::string& name : absent) names += (names.empty() ? "" : ", ") + name;
        report.warnings.push_back("no atoms could be placed for " + names + ": the occupancy is too small for a " +
                                  cube(n) + " supercell, so these elements are absent from the expanded structure");
    }
    if (worst >= 0.02 && n < exact)
        report.warnings.push_back("the occupancies would need a " + cube(exact) +
                                  " supercell to come out exactly, but that exceeds the " + std::to_string(max_sites) +
                                  "-site limit; " + cube(n) + " was used and the occupancies are approximated " +
                                  "(worst deviation " + format_fixed4(worst) + ")");

    result.insert(result.end(), std::make_move_iterator(placed.begin()), std::make_move_iterator(placed.end()));
    if (stop.stop_requested()) return interrupted();
    if (result.empty()) return fail("no sites remain after expansion; check the occupancies");
    Result<Structure> ordered = make_structure(supercell->lattice(), std::move(result));
    if (!ordered) return ordered.take_error();
    return Expansion{std::move(*ordered), std::move(report)};
}

}  // namespace kestrel::expand
