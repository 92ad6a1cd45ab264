// Places that the disorder finder found apart but that overlap: two units (or
// a unit and a partly occupied atom of no unit) whose atoms lie closer than
// kSplitDistance, and partly occupied atoms on top of fully occupied ones.
// Each overlapping set becomes one unit whose alternatives exclude one
// another, so that no two atoms closer than any bond are ever counted as a
// pair or placed together.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/cif/notices.hpp"
#include "model/structure.hpp"

namespace kestrel {

struct ResolvedOverlaps {
    std::vector<Site> sites;  // fully occupied atoms taken into a unit carry what its alternatives leave
    Units units;
};

// Every overlapping set of `structure`, merged where its occupancies allow:
//   - units and free partly occupied atoms that overlap: one unit whose
//     alternatives are all of theirs, when those add up to at most 1;
//   - with fully occupied atoms among them: those atoms are one more
//     alternative, holding what the others leave (1 minus their sum), since
//     a full atom cannot be there together with one on top of it.
// Sets that cannot be merged (the occupancies add up to more than 1, or a
// unit meets its own copy one cell over) are left as they are. Sites marked
// in `left_alone` (already reported as left out of every unit) are not
// looked at. Each finding is a notice naming the two atoms by `label`.
// Nothing to merge: nothing returned.
std::optional<ResolvedOverlaps> resolve_overlapping_units(const Structure& structure,
                                                          const std::vector<bool>& left_alone,
                                                          const std::function<std::string(std::uint32_t)>& label,
                                                          CifNotices& notices);

}  // namespace kestrel
