#include "order/sqs.hpp"

#include <algorithm>
#include <cmath>

#include "base/fixed4.hpp"
#include "expand/pools.hpp"
#include "expand/rational.hpp"
#include "expand/unit_choice.hpp"
#include "model/supercell.hpp"
#include "order/pair_counts.hpp"
#include "parallel/pool.hpp"

namespace kestrel::order {
namespace {

std::string repeats_text(const std::array<std::uint64_t, 3>& n) {
    return std::to_string(n[0]) + "x" + std::to_string(n[1]) + "x" + std::to_string(n[2]);
}

// The largest n with N n^3 <= max_sites; rounded down to a multiple of the
// exact multiplier where one fits, so the counts come out exactly.
Result<std::array<std::uint64_t, 3>> repeats_for(const Structure& structure, const SqsRequest& request) {
    if (request.supercell.has_value() == request.max_sites.has_value())
        return fail("give either supercell or max_sites");
    if (request.supercell) {
        for (std::uint64_t n : *request.supercell)
            if (n == 0) return fail("supercell repeats must be at least 1, got " + repeats_text(*request.supercell));
        return *request.supercell;
    }
    const std::uint64_t largest =
        expand::choose_multiplier(expand::kSaturated, structure.n_sites(), *request.max_sites);
    if (structure.n_sites() > *request.max_sites)
        return fail("the structure holds " + std::to_string(structure.n_sites()) + " sites, above max_sites " +
                    std::to_string(*request.max_sites));
    const std::uint64_t exact = expand::exact_multiplier(structure, request.max_denominator);
    const std::uint64_t n = largest >= exact ? largest / exact * exact : largest;
    return std::array<std::uint64_t, 3>{n, n, n};
}

// w_s = 1 / s unless given; each finite and not negative.
Result<std::vector<double>> shell_weights(const SqsRequest& request) {
    if (request.weights.empty()) {
        std::vector<double> weights(request.shells);
        for (std::size_t s = 0; s < weights.size(); ++s) weights[s] = 1.0 / static_cast<double>(s + 1);
        return weights;
    }
    if (request.weights.size() != request.shells)
        return fail("weights has " + std::to_string(request.weights.size()) + " values for " +
                    std::to_string(request.shells) + " shells");
    for (std::size_t s = 0; s < request.weights.size(); ++s)
        if (!(request.weights[s] >= 0.0) || !std::isfinite(request.weights[s]))
            return fail("weights must be finite and not negative; shell " + std::to_string(s + 1) + " has " +
                        format_fixed4(request.weights[s]));
    return request.weights;
}

struct Sublattice {
    std::vector<std::uint64_t> members;  // supercell site indices
    std::vector<std::string> species;    // present species; the vacancy last
    std::vector<std::uint64_t> counts;
};

// A pool's species with the expansion's counts, vacancies making up the
// rest; species that get no atom are left out (and reported).
Sublattice sublattice_of(const Structure& source, const Site& representative, std::vector<std::uint64_t> members,
                         std::vector<expand::OccupancyReportRow>& report, std::vector<std::string>& absent,
                         std::uint64_t& vacancies) {
    Sublattice out;
    // The first member is in the supercell's first image, where index k is
    // source site k: the site that names the pool, as the expansion names it.
    const std::uint64_t first_site = members.front() % source.n_sites();
    const std::vector<std::uint64_t> counts = expand::pool_counts(representative, members.size());
    std::uint64_t atoms = 0;
    for (std::size_t t = 0; t < counts.size(); ++t) {
        const SpeciesOccupancy& entry = representative.species[t];
        report.push_back({entry.element.str(), entry.occupancy, members.size(), counts[t], first_site,
                          source.sites()[first_site].frac});
        atoms += counts[t];
        if (counts[t] > 0) {
            out.species.push_back(entry.element.str());
            out.counts.push_back(counts[t]);
        } else if (entry.occupancy > 0.0 && std::find(absent.begin(), absent.end(), entry.element) == absent.end())
            absent.push_back(entry.element.str());
    }
    if (atoms < members.size()) {
        out.species.push_back(kVacancyName);
        out.counts.push_back(members.size() - atoms);
        vacancies += members.size() - atoms;
    }
    out.members = std::move(members);
    return out;
}

// The target of every pair of every sublattice, checked: a pair no
// swapped sublattice holds is an error, not a silent no-op.
Result<std::vector<ObjectiveTerms>> objective_terms(const std::vector<Sublattice>& sublattices,
                                                    const SqsRequest& request, const std::vector<double>& weights) {
    const std::size_t shells = request.shells;
    std::vector<ObjectiveTerms> terms;
    for (const Sublattice& sub : sublattices) {
        const std::size_t m = sub.species.size();
        terms.push_back({weights, std::vector<double>(shells * m * m, 0.0)});
    }
    for (const PairTarget& pair : request.target) {
        const std::string name = pair.first + "-" + pair.second;
        if (pair.alpha.size() != 1 && pair.alpha.size() != shells)
            return fail("target for " + name + " has " + std::to_string(pair.alpha.size()) + " values for " +
                        std::to_string(shells) + " shells");
        for (double value : pair.alpha)
            if (!std::isfinite(value)) return fail("target for " + name + " is not a finite number");
        bool found = false;
        for (std::size_t p = 0; p < sublattices.size(); ++p) {
            const std::vector<std::string>& species = sublattices[p].species;
            const auto a = std::find(species.begin(), species.end(), pair.first);
            const auto b = std::find(species.begin(), species.end(), pair.second);
            if (a == species.end() || b == species.end() || a == b) continue;
            found = true;
            const std::size_t m = species.size();
            const std::size_t x = a - species.begin(), y = b - species.begin();
            for (std::size_t s = 0; s < shells; ++s) {
                const double value = pair.alpha.size() == 1 ? pair.alpha[0] : pair.alpha[s];
                terms[p].target[(s * m + x) * m + y] = terms[p].target[(s * m + y) * m + x] = value;
            }
        }
        if (!found) {
            std::string pairs;
            for (const Sublattice& sub : sublattices)
                for (std::size_t x = 0; x < sub.species.size(); ++x)
                    for (std::size_t y = x + 1; y < sub.species.size(); ++y)
                        pairs += (pairs.empty() ? "" : ", ") + sub.species[x] + "-" + sub.species[y];
            return fail("target names the pair " + name + ", which no sublattice holds (pairs: " + pairs + ")");
        }
    }
    return terms;
}

// One pool of equivalent units as a sublattice: per copy its centre, and
// the alternatives its copies take (kNoAlternative for none) as species.
struct UnitSublattice {
    std::size_t pool;
    std::vector<std::uint32_t> alternatives;  // per species
    Sublattice as_sublattice;                 // members: each copy's first site
    std::vector<Vec3> centres;                // fractional, in the supercell
    std::vector<std::uint8_t> arranged;       // per copy, its species, once searched or dealt
    bool searched = false;
};

UnitSublattice unit_sublattice(const Structure& supercell, const expand::UnitMembersOf& members,
                               const expand::UnitPool& pool, std::size_t index) {
    UnitSublattice out{index, {}, {}, {}, {}, false};
    std::uint64_t taken = 0;
    for (std::size_t a = 0; a < pool.counts.size(); ++a) {
        taken += pool.counts[a];
        if (pool.counts[a] == 0) continue;
        out.alternatives.push_back(static_cast<std::uint32_t>(a));
        out.as_sublattice.species.push_back("alternative " + std::to_string(a));
        out.as_sublattice.counts.push_back(pool.counts[a]);
    }
    if (taken < pool.copies) {
        out.alternatives.push_back(expand::kNoAlternative);
        out.as_sublattice.species.push_back(kVacancyName);
        out.as_sublattice.counts.push_back(pool.copies - taken);
    }
    for (std::uint64_t t = 0; t < pool.copies; ++t) {
        const std::vector<UnitMember>& copy = members.supercell[pool.supercell_unit(t, members.source.size())];
        Vec3 centre{0.0, 0.0, 0.0};
        for (const UnitMember& m : copy)
            for (int axis = 0; axis < 3; ++axis) centre[axis] += supercell.sites()[m.site].frac[axis] + m.cell[axis];
        for (int axis = 0; axis < 3; ++axis) {
            centre[axis] /= static_cast<double>(copy.size());
            centre[axis] -= std::floor(centre[axis]);
        }
        out.centres.push_back(centre);
        out.as_sublattice.members.push_back(copy.front().site);
    }
    return out;
}

// The unit sublattice that is the k-th of those searched.
UnitSublattice& unit_sublattice_at(std::vector<UnitSublattice>& subs, std::size_t k) {
    for (UnitSublattice& sub : subs)
        if (sub.searched && k-- == 0) return sub;
    return subs.back();
}

}  // namespace

Result<SqsOutcome> make_sqs(const Structure& structure, const SqsRequest& request, ThreadPool* pool,
                            std::stop_token stop, AnnealProgress* progress) {
    if (Result<Ok> checked = expand::check_occupancies(structure); !checked) return checked.take_error();
    if (is_ordered(structure))
        return fail("the structure is ordered: every site holds one whole atom, so there is nothing to arrange");
    if (request.shells == 0) return fail("shells must be at least 1");
    Result<std::vector<double>> weights = shell_weights(request);
    if (!weights) return weights.take_error();
    Result<std::array<std::uint64_t, 3>> repeats = repeats_for(structure, request);
    if (!repeats) return repeats.take_error();
    Result<Structure> supercell = make_supercell(structure, (*repeats)[0], (*repeats)[1], (*repeats)[2], stop);
    if (!supercell) return supercell.take_error();
    const std::vector<Site>& sites = supercell->sites();

    SqsOutcome out{*supercell, *repeats, {}, *weights, 0.0, 0, 0.0, 0, {}, {}, {}, 0, {}};
    std::vector<std::string> absent;
    std::vector<Sublattice> swapped;
    std::vector<std::string> fixed_element(sites.size());  // for pools of one species only
    for (auto& [key, members] : expand::supercell_pools(structure, sites.size())) {
        Sublattice sub =
            sublattice_of(structure, sites[members.front()], members, out.occupancy_report, absent, out.n_vacancies);
        if (sub.species.size() >= 2) swapped.push_back(std::move(sub));
        else
            for (std::uint64_t k : sub.members) fixed_element[k] = sub.species.front();
    }
    if (!absent.empty()) {
        std::string names;
        for (const std::string& name : absent) names += (names.empty() ? "" : ", ") + name;
        out.warnings.push_back("no atoms could be placed for " + names + ": the occupancy is too small for a " +
                               repeats_text(*repeats) + " supercell, so these elements are absent");
    }
    // Each pool of equivalent units is a sublattice of its own: its copies,
    // at their centres, trade whole alternatives.
    const std::uint64_t images = (*repeats)[0] * (*repeats)[1] * (*repeats)[2];
    const std::vector<expand::UnitPool> unit_pools = expand::unit_pools(structure, images);
    const expand::UnitMembersOf unit_members_of = expand::members_of_units(structure, *supercell);
    const std::size_t site_sublattices = swapped.size();
    std::vector<UnitSublattice> unit_sublattices;
    std::uint64_t deal_state = request.anneal.seed;
    for (std::size_t p = 0; p < unit_pools.size(); ++p) {
        UnitSublattice sub = unit_sublattice(*supercell, unit_members_of, unit_pools[p], p);
        if (sub.alternatives.size() >= 2) {
            // Copies too few to tell a copy from its own image keep a
            // random deal, as the expansion would give them.
            sub.searched = neighbor_shells(supercell->lattice(), sub.centres, request.shells, request.tol, false).ok();
            if (sub.searched) swapped.push_back(sub.as_sublattice);
            else sub.arranged = random_fill(sub.as_sublattice.counts, deal_state);
        }
        unit_sublattices.push_back(std::move(sub));
    }
    if (swapped.empty()) return fail("no sublattice holds two species in a " + repeats_text(*repeats) + " supercell");
    Result<std::vector<ObjectiveTerms>> terms = objective_terms(swapped, request, *weights);
    if (!terms) return terms.take_error();
    std::vector<SublatticeProblem> problems;
    for (std::size_t p = 0; p < swapped.size(); ++p) {
        std::vector<Vec3> positions;
        if (p < site_sublattices)
            for (std::uint64_t k : swapped[p].members) positions.push_back(sites[k].frac);
        else positions = unit_sublattice_at(unit_sublattices, p - site_sublattices).centres;
        Result<NeighborShells> shells =
            neighbor_shells(supercell->lattice(), positions, request.shells, request.tol, false);
        if (!shells) return shells.take_error();
        problems.push_back({std::move(*shells), swapped[p].species.size(), swapped[p].counts, std::move((*terms)[p])});
    }

    Result<AnnealResult> found = anneal(problems, request.anneal, pool, stop, progress);
    if (!found) return found.take_error();

    // The written structure: supercell order, vacancies left out.
    std::vector<std::string> element = std::move(fixed_element);
    for (std::size_t p = 0; p < swapped.size(); ++p) {
        const std::vector<std::uint8_t>& species = found->species[p];
        if (p < site_sublattices)
            for (std::size_t i = 0; i < species.size(); ++i)
                element[swapped[p].members[i]] = swapped[p].species[species[i]];
        else unit_sublattice_at(unit_sublattices, p - site_sublattices).arranged = species;
        const PairCounts counts = count_pairs(problems[p].shells, species, problems[p].n_species);
        out.order.push_back(describe_order(swapped[p].members, swapped[p].species, problems[p].shells, counts));
    }
    std::vector<Site> placed;
    for (std::size_t k = 0; k < sites.size(); ++k) {
        if (site_is_ordered(sites[k])) placed.push_back(sites[k]);
        else if (!element[k].empty() && element[k] != kVacancyName)
            placed.push_back(Site{sites[k].frac, {{element[k], 1.0}}});
    }
    // Units of correlated disorder take whole alternatives as arranged (a
    // pool of one alternative takes it everywhere); mixed sites within them
    // are dealt as the expansion deals them (seeded).
    expand::ExpansionRng unit_rng(request.anneal.seed);
    expand::UnitPlacement by_unit;
    for (const UnitSublattice& sub : unit_sublattices) {
        std::vector<std::uint32_t> chosen(static_cast<std::size_t>(unit_pools[sub.pool].copies),
                                          sub.alternatives.empty() ? expand::kNoAlternative : sub.alternatives.front());
        for (std::size_t t = 0; t < sub.arranged.size(); ++t) chosen[t] = sub.alternatives[sub.arranged[t]];
        expand::place_chosen(structure, *supercell, unit_members_of, unit_pools[sub.pool], chosen, unit_rng, by_unit);
    }
    if (stop.stop_requested()) return fail("interrupted");
    out.n_vacancies += by_unit.vacancies;
    out.unit_report = std::move(by_unit.rows);
    placed.insert(placed.end(), std::make_move_iterator(by_unit.placed.begin()),
                  std::make_move_iterator(by_unit.placed.end()));
    if (placed.empty()) return fail("no sites remain: every site came out vacant");
    Result<Structure> ordered = make_structure(supercell->lattice(), std::move(placed));
    if (!ordered) return ordered.take_error();
    out.structure = std::move(*ordered);
    out.objective = found->objective;
    out.trials = found->trials;
    out.seconds = found->seconds;
    out.chains = found->chains;
    out.trace = std::move(found->trace);
    return out;
}

Result<SqsOutcome> sqs_with_threads(const Structure& structure, SqsRequest request, std::uint64_t n_threads,
                                    std::stop_token stop, AnnealProgress* progress) {
    if (n_threads == 0) {
        Result<ThreadPool*> pool = default_pool();
        if (!pool) return pool.take_error();
        request.anneal.chains = (*pool)->size();
        return make_sqs(structure, request, *pool, std::move(stop), progress);
    }
    const std::size_t workers = static_cast<std::size_t>(std::min<std::uint64_t>(n_threads, kMaxWorkers));
    Result<std::unique_ptr<ThreadPool>> pool = ThreadPool::start(workers, n_threads);
    if (!pool) return pool.take_error();
    request.anneal.chains = workers;
    Result<SqsOutcome> out = make_sqs(structure, request, pool->get(), std::move(stop), progress);
    pool->reset();
    return out;
}

}  // namespace kestrel::order
