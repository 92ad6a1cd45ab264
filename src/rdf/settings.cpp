#include "rdf/settings.hpp"

#include <utility>

namespace kestrel {

Result<RdfResult> rdf_with_settings(const Structure& structure, const RdfSettings& settings, std::stop_token stop) {
    return rdf_with_threads(structure, settings.cutoff, settings.bin_size, settings.n_threads, std::move(stop));
}

bool rdf_settings_are_brief(const Structure& structure, const RdfSettings& settings) {
    // More than one worker is a pool started for the call: never brief.
    return settings.n_threads <= 1 && rdf_is_brief(structure, settings.cutoff, settings.bin_size);
}

}  // namespace kestrel
