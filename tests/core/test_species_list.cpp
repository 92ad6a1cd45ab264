#include <doctest/doctest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "model/structure.hpp"

using namespace kestrel;

namespace {

using Reference = std::vector<std::pair<std::string, double>>;

// Names around the inline limit, with bytes a C string would stop at or
// sign-extend.
std::string random_name(std::mt19937_64& rng) {
    static const std::size_t lengths[] = {0, 1, 2, 3, 14, 15, 16, 17, 40};
    std::string name(lengths[rng() % std::size(lengths)], '\0');
    for (char& c : name) c = static_cast<char>("Fe\0\xff\x80zA"[rng() % 7]);
    return name;
}

void check_same(const SpeciesList& list, const Reference& reference) {
    REQUIRE(list.size() == reference.size());
    CHECK(list.empty() == reference.empty());
    CHECK(list.end() - list.begin() == static_cast<std::ptrdiff_t>(reference.size()));
    for (std::size_t i = 0; i < reference.size(); ++i) {
        CHECK(list[i].element.view() == reference[i].first);
        CHECK(list[i].element.size() == reference[i].first.size());
        CHECK(list[i].occupancy == reference[i].second);
    }
}

}  // namespace

TEST_CASE("an ordered site is one record of 48 bytes with nothing on the heap") {
    // The memory of a structure of millions of sites is this size times the
    // sites: a site costs its coordinates and one entry, no more.
    CHECK(sizeof(ElementName) == 16);
    CHECK(sizeof(SpeciesList) == 24);
    CHECK(sizeof(Site) == 48);
    const Site site{{0.1, 0.2, 0.3}, {{"Fe", 1.0}}};
    CHECK(site.species.heap_bytes() == 0);
    CHECK(site.species.front().element == "Fe");
    const Site labelled{{0, 0, 0}, {{"an 18-byte label!!", 1.0}}};
    CHECK(labelled.species.heap_bytes() == 18);
    const Site mixed{{0, 0, 0}, {{"Fe", 0.5}, {"Ni", 0.5}}};
    CHECK(mixed.species.heap_bytes() >= 2 * sizeof(SpeciesOccupancy));
}

TEST_CASE("element names compare and order byte-wise, as std::string does") {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 4000; ++trial) {
        const std::string x = random_name(rng), y = random_name(rng);
        const ElementName a(x), b(y);
        CHECK(a.view() == x);
        CHECK((a == b) == (x == y));
        CHECK((a < b) == (x < y));
        CHECK((a == y) == (x == y));
        CHECK((a == std::string_view(y)) == (x == y));
    }
    // A name with a trailing NUL is another name, inline or not.
    CHECK(ElementName(std::string("Fe\0", 3)) != ElementName("Fe"));
    CHECK(ElementName(std::string(16, '\0')) != ElementName(std::string(15, '\0')));
    CHECK(ElementName() == "");
    CHECK(ElementName("fe") != ElementName("Fe"));
}

TEST_CASE("element names copy, move and assign in either form") {
    for (const std::string& text :
         std::vector<std::string>{"O", std::string(15, 'x'), std::string(16, 'y'), std::string(300, 'z')}) {
        ElementName a(text);
        ElementName b = a;
        CHECK(b == a);
        ElementName c = std::move(a);
        CHECK(c.view() == text);
        CHECK(a.empty());  // NOLINT: the moved-from state is the empty name
        a = c;
        CHECK(a.view() == text);
        a = a;
        CHECK(a.view() == text);
        b = ElementName("Na");
        CHECK(b == "Na");
        b = std::move(c);
        CHECK(b.view() == text);
        CHECK(b.heap_bytes() == (text.size() > ElementName::kInlineCapacity ? text.size() : 0));
    }
}

TEST_CASE("a species list behaves as a vector under random appends, erases, copies and moves") {
    std::mt19937_64 rng(11);
    for (int run = 0; run < 300; ++run) {
        SpeciesList list;
        Reference reference;
        for (int step = 0; step < 40; ++step) {
            switch (rng() % 8) {
                case 0:
                case 1:
                case 2: {
                    const std::string name = random_name(rng);
                    const double occupancy = static_cast<double>(rng() % 1000) / 1000.0;
                    if (rng() % 2) list.push_back({name, occupancy});
                    else list.emplace_back(name, occupancy);
                    reference.emplace_back(name, occupancy);
                    break;
                }
                case 3:
                    // An entry of the list itself, appended as the list grows.
                    if (!reference.empty()) {
                        const std::size_t i = rng() % reference.size();
                        list.push_back(list[i]);
                        reference.push_back(reference[i]);
                    }
                    break;
                case 4: {
                    const std::size_t a = rng() % (reference.size() + 1), b = rng() % (reference.size() + 1);
                    const std::size_t from = std::min(a, b), to = std::max(a, b);
                    const auto at = list.erase(list.begin() + from, list.begin() + to);
                    CHECK(at == list.begin() + from);
                    reference.erase(reference.begin() + static_cast<std::ptrdiff_t>(from),
                                    reference.begin() + static_cast<std::ptrdiff_t>(to));
                    break;
                }
                case 5: {
                    SpeciesList copy(list);
                    check_same(copy, reference);
                    list = SpeciesList();
                    list = copy;
                    break;
                }
                case 6: {
                    SpeciesList moved(std::move(list));
                    check_same(list, {});  // NOLINT: moved-from lists are empty
                    list = std::move(moved);
                    check_same(moved, {});  // NOLINT
                    break;
                }
                default:
                    if (rng() % 4 == 0) {
                        list.clear();
                        reference.clear();
                    } else {
                        list.reserve(rng() % 6);
                    }
            }
            check_same(list, reference);
        }
    }
}

TEST_CASE("mixed sites keep their entries through the structure's equality and hash") {
    const Lattice lattice = make_lattice({{{3, 0, 0}, {0, 3, 0}, {0, 0, 3}}}).value();
    std::vector<Site> forward{{{0, 0, 0}, {{"Fe", 0.25}, {"Ni", 0.5}, {"a long label on one site", 0.25}}}};
    std::vector<Site> backward{{{0, 0, 0}, {{"a long label on one site", 0.25}, {"Ni", 0.5}, {"Fe", 0.25}}}};
    const Structure a = make_structure(lattice, forward).value(), b = make_structure(lattice, backward).value();
    CHECK(same_structure(a, b));
    CHECK(structure_hash(a) == structure_hash(b));
    backward[0].species[2].element = "Fe ";
    const Structure c = make_structure(lattice, backward).value();
    CHECK_FALSE(same_structure(a, c));
}
