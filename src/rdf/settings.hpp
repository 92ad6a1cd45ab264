// What one RDF call is asked for. The binding reads prdf's and total_rdf's
// arguments straight into it, so a new setting is a field here, used below.
#pragma once

#include <cstdint>
#include <stop_token>

#include "rdf/bins.hpp"
#include "rdf/rdf.hpp"

namespace kestrel {

struct RdfSettings {
    double cutoff = kDefaultCutoff;     // Å
    double bin_size = kDefaultBinSize;  // Å
    std::uint64_t n_threads = 0;        // as rdf_with_threads takes it; 0: the default pool
};

// rdf_with_threads with these settings.
Result<RdfResult> rdf_with_settings(const Structure& structure, const RdfSettings& settings, std::stop_token stop = {});

// Whether the call is over in microseconds on the calling thread (see rdf_is_brief).
bool rdf_settings_are_brief(const Structure& structure, const RdfSettings& settings);

}  // namespace kestrel
