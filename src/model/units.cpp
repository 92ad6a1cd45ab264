#include "model/units.hpp"

#include <map>
#include <utility>

namespace kestrel {

const char* unit_source_name(UnitSource source) {
    switch (source) {
        case UnitSource::declared: return "declared";
        case UnitSource::groups: return "groups";
        case UnitSource::symmetry: return "symmetry";
        case UnitSource::distance: return "distance";
    }
    return "declared";
}

std::vector<std::vector<UnitMember>> unit_members(const Units& units) {
    std::vector<std::vector<UnitMember>> members(units.sources.size());
    for (std::size_t s = 0; s < units.sites.size(); ++s) {
        const SiteUnit& place = units.sites[s];
        if (place.in_unit())
            members[place.unit].push_back({static_cast<std::uint32_t>(s), place.alternative, place.cell});
    }
    return members;
}

void renumber_units(Units& units) {
    std::vector<std::uint32_t> renumber(units.sources.size(), kNoUnit);
    std::vector<UnitSource> sources;
    for (SiteUnit& place : units.sites) {
        if (!place.in_unit()) continue;
        if (renumber[place.unit] == kNoUnit) {
            renumber[place.unit] = static_cast<std::uint32_t>(sources.size());
            sources.push_back(units.sources[place.unit]);
        }
        place.unit = renumber[place.unit];
    }
    if (sources.empty()) {
        units = Units{};
        return;
    }
    std::vector<std::map<std::uint32_t, std::uint32_t>> alternatives(sources.size());
    for (SiteUnit& place : units.sites) {
        if (!place.in_unit()) continue;
        auto& numbers = alternatives[place.unit];
        place.alternative =
            numbers.try_emplace(place.alternative, static_cast<std::uint32_t>(numbers.size())).first->second;
    }
    units.sources = std::move(sources);
}

}  // namespace kestrel
