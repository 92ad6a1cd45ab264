// CIF text to a Structure: the asymmetric unit expanded by the file's
// symmetry operations, coinciding positions merged into (possibly mixed) sites.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/error.hpp"
#include "model/structure.hpp"

namespace kestrel {

// More positions than this (atom-site rows times symmetry operations) are
// refused before any is made: no real cell comes near it, and a crafted
// file must not run the machine out of memory.
inline constexpr std::uint64_t kMaxCifPositions = 20'000'000;

Result<Structure> read_cif(std::string_view text, double symprec);

}  // namespace kestrel
