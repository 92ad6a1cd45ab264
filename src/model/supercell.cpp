#include "model/supercell.hpp"

#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace kestrel {
namespace {

// a * b into `product`; false when the product does not fit in 64 bits.
bool checked_multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return false;
    product = a * b;
    return true;
}

// Installed physical memory in bytes, or 0 when the platform does not say.
std::uint64_t physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        std::uint64_t bytes = 0;
        if (checked_multiply(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size), bytes))
            return bytes;
        return std::numeric_limits<std::uint64_t>::max();
    }
#endif
    return 0;
}

// Heap bytes one image of the source costs: the Site records and what each
// species list holds outside its record (a mixed site's block, long names).
// Malloc overhead is counted as one pointer pair per entry of a site that
// holds anything outside, an upper bound on its allocations.
std::uint64_t bytes_per_image(const Structure& structure) {
    constexpr std::uint64_t kOverhead = 16;
    std::uint64_t bytes = 0;
    for (const Site& site : structure.sites()) {
        bytes += sizeof(Site);
        if (const std::size_t held = site.species.heap_bytes(); held > 0)
            bytes += held + kOverhead * site.species.size();
    }
    return bytes;
}

std::int64_t floor_div(std::int64_t a, std::int64_t n) {
    return a >= 0 ? a / n : -((-a + n - 1) / n);
}

// The units of the supercell: copy T of source unit u holds, for each member
// site s taking part at frac_s + c_s, the image (c_s + T) mod n of s, which
// takes part at its own position plus floor((c_s + T) / n) supercell cells.
Units supercell_units(const Structure& structure, const std::uint64_t counts[3]) {
    const Units& source = structure.units();
    if (source.empty()) return {};
    const std::uint64_t n_source = structure.n_sites();
    const std::uint64_t images = counts[0] * counts[1] * counts[2];
    const std::vector<std::vector<UnitMember>> members = unit_members(source);
    Units units;
    units.sites.resize(static_cast<std::size_t>(images * n_source));
    units.sources.reserve(static_cast<std::size_t>(images * members.size()));
    for (std::uint64_t i = 0; i < counts[0]; ++i)
        for (std::uint64_t j = 0; j < counts[1]; ++j)
            for (std::uint64_t k = 0; k < counts[2]; ++k) {
                const std::int64_t copy[3] = {static_cast<std::int64_t>(i), static_cast<std::int64_t>(j),
                                              static_cast<std::int64_t>(k)};
                for (std::size_t u = 0; u < members.size(); ++u) {
                    const auto unit = static_cast<std::uint32_t>(units.sources.size());
                    units.sources.push_back(source.sources[u]);
                    for (const UnitMember& member : members[u]) {
                        std::uint64_t image = 0;
                        SiteUnit place{unit, member.alternative, {0, 0, 0}};
                        for (int axis = 0; axis < 3; ++axis) {
                            const auto n = static_cast<std::int64_t>(counts[axis]);
                            const std::int64_t at = copy[axis] + member.cell[axis];
                            const std::int64_t wraps = floor_div(at, n);
                            image = image * counts[axis] + static_cast<std::uint64_t>(at - wraps * n);
                            place.cell[axis] = static_cast<std::int32_t>(wraps);
                        }
                        units.sites[static_cast<std::size_t>(image * n_source + member.site)] = place;
                    }
                }
            }
    return units;
}

std::string dimensions(std::uint64_t na, std::uint64_t nb, std::uint64_t nc) {
    return std::to_string(na) + "x" + std::to_string(nb) + "x" + std::to_string(nc);
}

}  // namespace

Result<Structure> make_supercell(const Structure& structure, std::uint64_t na, std::uint64_t nb, std::uint64_t nc,
                                 std::stop_token stop) {
    if (na == 0 || nb == 0 || nc == 0) return fail("supercell dimensions must be at least 1");

    const std::uint64_t n_source = structure.n_sites();
    std::uint64_t images = 0, total = 0;
    if (!checked_multiply(na, nb, images) || !checked_multiply(images, nc, images) ||
        !checked_multiply(images, n_source, total) || total > kMaxSupercellSites)
        return fail_limit("a " + dimensions(na, nb, nc) + " supercell of a " + std::to_string(n_source) +
                          "-site structure would exceed the limit of " + std::to_string(kMaxSupercellSites) + " sites");

    // Refuse up front what cannot fit: with overcommitting allocators the
    // reservation below may succeed and the process be killed while filling.
    const std::uint64_t memory = physical_memory();
    std::uint64_t needed = 0;
    if (memory != 0 && (!checked_multiply(images, bytes_per_image(structure), needed) || needed > memory))
        return fail_limit("a " + dimensions(na, nb, nc) + " supercell of " + std::to_string(total) +
                          " sites needs more memory than this machine has");

    const std::uint64_t counts[3] = {na, nb, nc};
    const Mat3& source = structure.lattice().matrix();
    const double scale[3] = {static_cast<double>(na), static_cast<double>(nb), static_cast<double>(nc)};
    Mat3 matrix;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column) matrix[row][column] = source[row][column] * scale[row];
    Result<Lattice> lattice = make_lattice(matrix);
    if (!lattice) return lattice.take_error();

    std::vector<Site> sites;
    bool out_of_memory = false;
    try {
        sites.reserve(static_cast<std::size_t>(total));
        for (std::uint64_t i = 0; i < na; ++i)
            for (std::uint64_t j = 0; j < nb; ++j)
                for (std::uint64_t k = 0; k < nc; ++k) {
                    if (stop.stop_requested()) return fail("interrupted");
                    for (const Site& site : structure.sites()) {
                        const Vec3 frac{(site.frac[0] + static_cast<double>(i)) / scale[0],
                                        (site.frac[1] + static_cast<double>(j)) / scale[1],
                                        (site.frac[2] + static_cast<double>(k)) / scale[2]};
                        sites.push_back(Site{frac, site.species});
                    }
                }
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::length_error&) {
        out_of_memory = true;
    }
    if (out_of_memory) {
        // The sites made so far go first: the message needs memory too.
        std::vector<Site>().swap(sites);
        return fail_limit("a " + dimensions(na, nb, nc) + " supercell of " + std::to_string(total) +
                          " sites needs more memory than is available");
    }
    return make_structure(std::move(*lattice), std::move(sites), supercell_units(structure, counts));
}

}  // namespace kestrel
