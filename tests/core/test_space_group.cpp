// The space-group table and the Hall-symbol interpreter on groups checked by
// hand against the International Tables.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <tuple>

#include "symmetry/space_group.hpp"

using namespace kestrel;

namespace {

// An operation as exact integers: rotation entries and translations in 24ths.
using Key = std::array<int, 12>;

Key key_of(const SymmetryOperation& op) {
    Key key{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) key[3 * i + j] = static_cast<int>(std::lround(op.rotation[i][j]));
        key[9 + i] = static_cast<int>(std::lround(op.translation[i] * 24)) % 24;
    }
    return key;
}

std::set<Key> keys_of(const std::vector<SymmetryOperation>& ops) {
    std::set<Key> keys;
    for (const SymmetryOperation& op : ops) keys.insert(key_of(op));
    return keys;
}

std::vector<SymmetryOperation> ops_of(std::string_view hm) {
    const SpaceGroupSetting* setting = find_setting_by_hermann_mauguin(hm);
    REQUIRE_MESSAGE(setting != nullptr, std::string(hm));
    return setting_operations(*setting);
}

bool has(const std::vector<SymmetryOperation>& ops, const SymmetryOperation& wanted) {
    return keys_of(ops).count(key_of(wanted)) == 1;
}

SymmetryOperation op(const char* text) {
    return parse_symmetry_operation(text).value();
}

std::string hall_error(std::string_view hall) {
    auto result = operations_from_hall(hall);
    return result.ok() ? "(ok)" : result.error().message;
}

}  // namespace

TEST_SUITE("space groups") {
    TEST_CASE("the table holds 530 settings by number, each number's default first") {
        const auto& settings = space_group_settings();
        REQUIRE(settings.size() == 530);
        CHECK(std::is_sorted(settings.begin(), settings.end(),
                             [](const auto& a, const auto& b) { return a.number < b.number; }));
        for (int number = 1; number <= 230; ++number) {
            const SpaceGroupSetting* first = find_setting_by_number(number);
            REQUIRE(first != nullptr);
            CHECK(first->number == number);
            CHECK(std::find_if(settings.begin(), settings.end(), [&](const auto& s) { return s.number == number; }) ==
                  settings.begin() + (first - settings.data()));
        }
        CHECK(find_setting_by_number(0) == nullptr);
        CHECK(find_setting_by_number(231) == nullptr);
    }

    TEST_CASE("every tabulated Hall symbol reads, identity first, translations in [0, 1), no repeats") {
        for (const SpaceGroupSetting& s : space_group_settings()) {
            CAPTURE(s.hall);
            auto ops = operations_from_hall(s.hall);
            REQUIRE(ops.ok());
            CHECK(key_of(ops->front()) == key_of(identity_operation()));
            CHECK(keys_of(*ops).size() == ops->size());
            for (const SymmetryOperation& o : *ops)
                for (double t : o.translation) CHECK((t >= 0.0 && t < 1.0));
            CHECK(find_setting_by_hall(s.hall)->number == s.number);
        }
    }

    TEST_CASE("P 21/c: four operations with the screw along b and the glide along c") {
        const auto ops = ops_of("P 21/c");
        CHECK(ops.size() == 4);
        CHECK(keys_of(ops) == keys_of({op("x,y,z"), op("-x,y+1/2,-z+1/2"), op("-x,-y,-z"), op("x,-y+1/2,z+1/2")}));
    }

    TEST_CASE("F m -3 m: 48 rotations times 4 centrings") {
        const auto ops = ops_of("F m -3 m");
        CHECK(ops.size() == 192);
        CHECK(has(ops, op("z,x,y")));
        CHECK(has(ops, op("-y,x,z")));
        CHECK(has(ops, op("-x,-y,-z")));
        CHECK(has(ops, op("x,y+1/2,z+1/2")));
        CHECK(has(ops, op("-y+1/2,x+1/2,z")));
    }

    TEST_CASE("R -3 m on hexagonal axes has the obverse centring, on rhombohedral axes none") {
        const auto hexagonal = ops_of("R -3 m :H");
        CHECK(hexagonal.size() == 36);
        CHECK(has(hexagonal, op("x+2/3,y+1/3,z+1/3")));
        CHECK(has(hexagonal, op("-y,x-y,z")));
        CHECK(has(hexagonal, op("y,x,-z")));
        CHECK(keys_of(ops_of("R -3 m")) == keys_of(hexagonal));
        const auto rhombohedral = ops_of("R -3 m :R");
        CHECK(rhombohedral.size() == 12);
        CHECK(has(rhombohedral, op("z,x,y")));
        CHECK(has(rhombohedral, op("-y,-x,-z")));
    }

    TEST_CASE("F d -3 m: origin choice 2 by default, origin choice 1 on request, the two differ") {
        const auto origin2 = ops_of("F d -3 m");
        const auto origin1 = ops_of("F d -3 m :1");
        CHECK(origin2.size() == 192);
        CHECK(origin1.size() == 192);
        CHECK(keys_of(origin2) == keys_of(ops_of("Fd-3m:2")));
        // Origin 2 sits on the centre of inversion; origin 1 on -43m, with the inversion at 1/8, 1/8, 1/8.
        CHECK(has(origin2, op("-x,-y,-z")));
        CHECK(has(origin1, op("-x+1/4,-y+1/4,-z+1/4")));
        CHECK_FALSE(has(origin1, op("-x,-y,-z")));
        CHECK(has(origin2, op("-y+1/2,x+3/4,z+1/4")));
        CHECK(has(origin2, op("-x+3/4,-y+1/4,z+1/2")));
        CHECK(has(origin1, op("-y+3/4,x+3/4,z+1/4")));
        CHECK(has(origin1, op("-y+1/4,-x+1/4,-z+1/4")));
    }

    TEST_CASE("I a -3 d: 96 operations, written old-style or new") {
        const auto ops = ops_of("I a -3 d");
        CHECK(ops.size() == 96);
        CHECK(has(ops, op("x+1/2,y+1/2,z+1/2")));
        CHECK(has(ops, op("-x+1/2,-y,z+1/2")));
        CHECK(has(ops, op("y+3/4,x+1/4,-z+1/4")));
        CHECK(keys_of(ops_of("Ia3d")) == keys_of(ops));
        CHECK(find_setting_by_hermann_mauguin("Ia3d")->number == 230);
    }

    TEST_CASE("symbol forms name the same setting") {
        using Form = std::tuple<const char*, int, const char*>;
        for (const Form& form :
             {Form{"P21/c", 14, "b1"}, Form{"P 1 21/c 1", 14, "b1"}, Form{"p2_1/C", 14, "b1"}, Form{"P 21/n", 14, "b2"},
              Form{"Fm3m", 225, ""}, Form{"F m -3 m", 225, ""}, Form{"F 4/m -3 2/m", 225, ""}, Form{"R-3m", 166, "H"},
              Form{"R -3 m H", 166, "H"}, Form{"R -3 m R", 166, "R"}, Form{"F d -3 m Z", 227, "2"},
              Form{"F d -3 m S", 227, "1"}, Form{"Fd-3m origin choice 1", 227, "1"}, Form{"C m c a", 64, ""},
              Form{"P n m a", 62, ""}}) {
            // Named, not structured bindings: some compilers cannot capture those in CAPTURE's lambda.
            const char* symbol = std::get<0>(form);
            CAPTURE(symbol);
            const SpaceGroupSetting* s = find_setting_by_hermann_mauguin(symbol);
            REQUIRE(s != nullptr);
            CHECK(s->number == std::get<1>(form));
            CHECK(s->extension == std::get<2>(form));
        }
        for (const char* symbol : {"", "P 5", "F m -3 m :R", "Fd-3m:3", "C -1", "Q 1"}) {
            CAPTURE(symbol);
            CHECK(find_setting_by_hermann_mauguin(symbol) == nullptr);
        }
    }

    TEST_CASE("Hall symbols: spelling, an equivalent set of generators, an origin shift") {
        CHECK(find_setting_by_hall(" -p   2ybc ")->hermann_mauguin == "P 1 21/c 1");
        CHECK(find_setting_by_hall("C 2 2 -1bc")->number == 68);
        CHECK(find_setting_by_hall("P 32")->number == 145);
        CHECK(find_setting_by_hall("P 3 2")->number == 149);
        CHECK(find_setting_by_hall("P 7") == nullptr);
        // Origin 1 of P n -3 n is origin 2 shifted by a quarter along each axis.
        auto shifted = operations_from_hall("-P 4a 2bc 3 (3 3 3)");
        REQUIRE(shifted.ok());
        CHECK(keys_of(*shifted) == keys_of(ops_of("P n -3 n :1")));
    }

    TEST_CASE("an unreadable Hall symbol fails with a message naming it") {
        CHECK(hall_error("") == "cannot read Hall symbol '': it is empty");
        CHECK(hall_error("Q 2") == "cannot read Hall symbol 'Q 2': unknown lattice letter 'Q'");
        CHECK(hall_error("P 2 4") == "cannot read Hall symbol 'P 2 4': no axis given or implied for '4'");
        CHECK(hall_error("P 6 4x") ==
              "cannot read Hall symbol 'P 6 4x': the generators do not close into a space group");
        CHECK(hall_error("P 2 (1 1 x)") ==
              "cannot read Hall symbol 'P 2 (1 1 x)': the origin shift counts whole twelfths, not 'x'");
    }

}  // TEST_SUITE
