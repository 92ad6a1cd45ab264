#include "model/units.hpp"

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

}  // namespace kestrel
