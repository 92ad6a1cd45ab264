"""Occupancy expansion: multipliers, pools, counts, the seeded arrangement and the report."""

import math
import re

import numpy as np
import pytest

from kestrel import Structure

CUBE = [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]
MASK = (1 << 64) - 1
MULTIPLIER = 0x2545F4914F6CDD1D


# ---- an independent model of the generator and the fill -----------------------------


class Xorshift64Star:
    def __init__(self, seed):
        self.state = (seed * MULTIPLIER) & MASK or 1

    def next(self):
        s = self.state
        s ^= s >> 12
        s ^= (s << 25) & MASK
        s ^= s >> 27
        self.state = s
        return (s * MULTIPLIER) & MASK


def shuffled(entries, rng):
    entries = list(entries)
    for k in range(len(entries), 1, -1):
        j = rng.next() % k
        entries[k - 1], entries[j] = entries[j], entries[k - 1]
    return entries


def test_generator_model_matches_published_values():
    rng = Xorshift64Star(42)
    assert rng.state == 0x1D7A1FD707DC46C2
    assert [rng.next() for _ in range(3)] == [0x7D54F76D887069B8, 0x4DC965E9942C9875, 0xCBF0F4A726C551AD]
    assert Xorshift64Star(0).state == 1 and Xorshift64Star(0).next() == 0x47E4CE4B896CDD1D
    assert Xorshift64Star(1).state == MULTIPLIER
    assert shuffled("FFFFNNNN", Xorshift64Star(42)) == list("FNNFFNNF")
    assert shuffled("OOOOOO..", Xorshift64Star(42)) == list("OO.OOO.O")


def pool_key(species):
    return "|".join(sorted(f"{element}:{occupancy:.4f}" for element, occupancy in species.items()))


def is_ordered(species):
    return len(species) == 1 and abs(next(iter(species.values())) - 1) < 1e-6


def expected_sites(source, report, seed):
    """Sites the expansion must produce, given the counts it reported."""
    n = report["scale"][0]
    species = source.species  # stored order: the constructor sorts by element
    supercell = [
        ([(x + i) / n, (y + j) / n, (z + k) / n], s)
        for i in range(n)
        for j in range(n)
        for k in range(n)
        for (x, y, z), s in zip(source.frac_coords, species)
    ]
    ordered = [(frac, s) for frac, s in supercell if is_ordered(s)]
    pools = {}
    for index, (_, s) in enumerate(supercell):
        if not is_ordered(s):
            pools.setdefault(pool_key(s), []).append(index)
    rows = iter(report["occupancy_report"])
    rng = Xorshift64Star(seed)
    placed = []
    for key in sorted(pools, key=lambda text: text.encode()):
        members = pools[key]
        representative = supercell[members[0]][1]
        entries = []
        for element in representative:
            row = next(rows)
            assert (row["element"], row["sites_in_pool"]) == (element, len(members))
            entries += [element] * row["atoms_placed"]
        entries += [None] * (len(members) - len(entries))
        for site, entry in zip(members, shuffled(entries, rng)):
            if entry is not None:
                placed.append((supercell[site][0], {entry: 1.0}))
    return ordered + placed


def sites_of(structure):
    return list(zip(structure.frac_coords, structure.species))


# ---- worked examples -------------------------------------------------------------------


def test_fe_ni_defaults():
    source = Structure(CUBE, [[0, 0, 0]], [{"Fe": 0.5, "Ni": 0.5}])
    result, report = source.expand_occupancies()
    half = [0.0, 0.5]
    assert result.frac_coords == [[x, y, z] for x in half for y in half for z in half]
    assert [next(iter(s)) for s in result.species] == ["Fe", "Ni", "Ni", "Fe", "Fe", "Ni", "Ni", "Fe"]
    assert result.is_ordered and result.lattice_matrix == [[8.0, 0, 0], [0, 8.0, 0], [0, 0, 8.0]]
    assert list(report) == ["scale", "n_vacancies", "warnings", "occupancy_report"]
    assert report == {
        "scale": [2, 2, 2],
        "n_vacancies": 0,
        "warnings": [],
        "occupancy_report": [
            {
                "site_index": 0,
                "frac_coords": [0.0, 0.0, 0.0],
                "element": "Fe",
                "target_occupancy": 0.5,
                "sites_in_pool": 8,
                "atoms_placed": 4,
                "actual_occupancy": 0.5,
            },
            {
                "site_index": 0,
                "frac_coords": [0.0, 0.0, 0.0],
                "element": "Ni",
                "target_occupancy": 0.5,
                "sites_in_pool": 8,
                "atoms_placed": 4,
                "actual_occupancy": 0.5,
            },
        ],
    }
    assert list(report["occupancy_report"][0]) == [
        "site_index",
        "frac_coords",
        "element",
        "target_occupancy",
        "sites_in_pool",
        "atoms_placed",
        "actual_occupancy",
    ]


def test_oxygen_with_vacancies():
    source = Structure(CUBE, [[0, 0, 0]], [{"O": 0.8}])
    result, report = source.expand_occupancies()
    assert report["scale"] == [5, 5, 5] and report["n_vacancies"] == 25 and report["warnings"] == []
    assert report["occupancy_report"] == [
        {
            "site_index": 0,
            "frac_coords": [0.0, 0.0, 0.0],
            "element": "O",
            "target_occupancy": 0.8,
            "sites_in_pool": 125,
            "atoms_placed": 100,
            "actual_occupancy": 0.8,
        }
    ]
    assert result.n_sites == 100 and result.composition == {"O": 100.0}

    # A 2x2x2 cell: six atoms, and with seed 42 the third and seventh sites stay empty.
    result, report = source.expand_occupancies(max_sites=8)
    half = [0.0, 0.5]
    cell = [[x, y, z] for x in half for y in half for z in half]
    assert result.frac_coords == [cell[t] for t in (0, 1, 3, 4, 5, 7)]
    assert report["n_vacancies"] == 2
    assert report["warnings"] == [
        "the occupancies would need a 5x5x5 supercell to come out exactly, but that exceeds the 8-site limit; "
        "2x2x2 was used and the occupancies are approximated (worst deviation 0.0500)"
    ]


def test_site_limit_too_small_for_one_atom_each():
    source = Structure(CUBE, [[0, 0, 0]], [{"Fe": 0.5, "Ni": 0.5}])
    result, report = source.expand_occupancies(max_sites=7)
    assert result.species == [{"Fe": 1.0}]
    assert [row["atoms_placed"] for row in report["occupancy_report"]] == [1, 0]
    assert report["warnings"] == [
        "no atoms could be placed for Ni: the occupancy is too small for a 1x1x1 supercell, "
        "so these elements are absent from the expanded structure",
        "the occupancies would need a 2x2x2 supercell to come out exactly, but that exceeds the 7-site limit; "
        "1x1x1 was used and the occupancies are approximated (worst deviation 0.5000)",
    ]


def test_single_site_with_three_elements():
    source = Structure(CUBE, [[0, 0, 0]], [{"Cu": 0.1, "Zn": 0.1, "Fe": 0.8}])
    result, report = source.expand_occupancies(max_sites=1)
    assert result.species == [{"Fe": 1.0}]
    assert [(r["element"], r["atoms_placed"]) for r in report["occupancy_report"]] == [("Cu", 0), ("Fe", 1), ("Zn", 0)]
    assert report["warnings"] == [
        "no atoms could be placed for Cu, Zn: the occupancy is too small for a 1x1x1 supercell, "
        "so these elements are absent from the expanded structure",
        "the occupancies would need a 10x10x10 supercell to come out exactly, but that exceeds the 1-site limit; "
        "1x1x1 was used and the occupancies are approximated (worst deviation 0.2000)",
    ]


def test_dilute_dopant_among_ordered_sites():
    coords = [[i / 99, 0.5, 0.5] for i in range(99)] + [[0, 0, 0]]
    source = Structure(CUBE, coords, [{"Si": 1.0}] * 99 + [{"Cu": 0.1, "Zn": 0.1}])
    result, report = source.expand_occupancies()
    assert report["scale"] == [3, 3, 3]
    assert [(r["element"], r["sites_in_pool"], r["atoms_placed"]) for r in report["occupancy_report"]] == [
        ("Cu", 27, 3),
        ("Zn", 27, 2),
    ]
    assert report["n_vacancies"] == 22
    assert report["warnings"] == [
        "the occupancies would need a 10x10x10 supercell to come out exactly, but that exceeds the 4096-site limit; "
        "3x3x3 was used and the occupancies are approximated (worst deviation 0.0259)"
    ]
    assert result.n_sites == 99 * 27 + 5
    # Ordered sites open the list in supercell order; the placed atoms follow.
    assert sites_of(result) == [(list(map(float, f)), s) for f, s in expected_sites(source, report, 42)]


def test_largest_remainder_tie_goes_to_the_earlier_species():
    source = Structure(CUBE, [[0, 0, 0]], [{"A": 0.3, "B": 0.3, "C": 0.4}])
    _, report = source.expand_occupancies(max_sites=8)
    assert [r["atoms_placed"] for r in report["occupancy_report"]] == [3, 2, 3]
    assert report["n_vacancies"] == 0


@pytest.mark.parametrize(
    ("occupancy", "max_denominator", "denominator"),
    [
        (0.5, 16, 2),
        (1 / 3, 16, 3),
        (0.333, 16, 3),
        (0.25, 16, 4),
        (0.8, 16, 5),
        (0.125, 16, 8),
        (0.1, 16, 10),
        (0.35, 16, 14),
        (0.95, 16, 16),
        (0.97, 16, 1),
        (0.999, 16, 1),
        (0.8, 4, 4),
        (0.6, 4, 3),
        (0.125, 4, 1),
        (0.5, 1, 1),
    ],
)
def test_best_denominator_sets_the_scale(occupancy, max_denominator, denominator):
    # One disordered site, so the exact multiplier is its denominator; 2 x 16^3 sites fit.
    source = Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": occupancy}, {"Si": 1.0}])
    _, report = source.expand_occupancies(max_sites=8192, max_denominator=max_denominator)
    assert report["scale"] == [denominator] * 3


# ---- pools -----------------------------------------------------------------------------


def test_ordered_structure_comes_back_unchanged(rocksalt):
    result, report = rocksalt.expand_occupancies()
    assert sites_of(result) == sites_of(rocksalt)
    assert result.lattice_matrix == rocksalt.lattice_matrix
    assert report == {"scale": [1, 1, 1], "n_vacancies": 0, "warnings": [], "occupancy_report": []}


def test_nearly_one_is_kept_as_stored():
    source = Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Si": 0.9999995}, {"Fe": 0.5, "Ni": 0.5}])
    result, _ = source.expand_occupancies()
    assert result.species[:8] == [{"Si": 0.9999995}] * 8


def test_equal_compositions_share_one_pool():
    # Four decimals decide; the lower site's exact occupancy drives the counts.
    source = Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.50001}, {"Fe": 0.50004}])
    _, report = source.expand_occupancies()
    assert report["occupancy_report"] == [
        {
            "site_index": 0,
            "frac_coords": [0.0, 0.0, 0.0],
            "element": "Fe",
            "target_occupancy": 0.50001,
            "sites_in_pool": 16,
            "atoms_placed": 8,
            "actual_occupancy": 0.5,
        }
    ]


def test_element_in_two_pools():
    source = Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Ni": 0.9, "Fe": 0.1}, {"Co": 0.9, "Fe": 0.1}])
    result, report = source.expand_occupancies(max_sites=2)
    assert [(r["element"], r["atoms_placed"]) for r in report["occupancy_report"]] == [
        ("Co", 1),
        ("Fe", 0),
        ("Fe", 0),
        ("Ni", 1),
    ]
    assert report["warnings"][0].startswith("no atoms could be placed for Fe: ")
    assert result.species == [{"Co": 1.0}, {"Ni": 1.0}]
    # The two Fe rows are told apart by their pool's site.
    assert [(r["site_index"], r["frac_coords"]) for r in report["occupancy_report"]] == [
        (1, [0.5, 0.5, 0.5]),
        (1, [0.5, 0.5, 0.5]),
        (0, [0.0, 0.0, 0.0]),
        (0, [0.0, 0.0, 0.0]),
    ]


def test_zero_occupancy_is_reported_but_not_warned_about():
    source = Structure(CUBE, [[0, 0, 0]], [{"Fe": 1.0, "Ni": 0.0}])
    result, report = source.expand_occupancies()
    assert result.species == [{"Fe": 1.0}]
    assert report["scale"] == [1, 1, 1] and report["warnings"] == []
    assert report["occupancy_report"][1] == {
        "site_index": 0,
        "frac_coords": [0.0, 0.0, 0.0],
        "element": "Ni",
        "target_occupancy": 0.0,
        "sites_in_pool": 1,
        "atoms_placed": 0,
        "actual_occupancy": 0.0,
    }


def test_no_denominator_search():
    source = Structure(CUBE, [[0, 0, 0]], [{"Fe": 0.6, "Ni": 0.4}])
    result, report = source.expand_occupancies(max_denominator=0)
    # L = 1 = n: an absent element is named, but no approximation is claimed.
    assert report["scale"] == [1, 1, 1] and len(report["warnings"]) == 1
    assert report["warnings"][0].startswith("no atoms could be placed for Ni: ")
    assert result.species == [{"Fe": 1.0}]


# ---- seeds -----------------------------------------------------------------------------


def mixed_structure():
    coords = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5], [0.25, 0.25, 0.25]]
    species = [{"Fe": 0.5, "Ni": 0.5}, {"O": 0.8}, {"Ni": 0.5, "Fe": 0.5}, {"Si": 1.0}, {"Al": 0.25, "Mg": 0.5}]
    return Structure(CUBE, coords, species)


@pytest.mark.parametrize("seed", [0, 1, 7, 42, 2**64 - 1])
def test_arrangement_follows_the_generator(seed):
    source = mixed_structure()
    result, report = source.expand_occupancies(max_sites=1000, seed=seed)
    assert sites_of(result) == expected_sites(source, report, seed)
    again, again_report = source.expand_occupancies(max_sites=1000, seed=seed)
    assert sites_of(again) == sites_of(result) and again_report == report


def test_seed_changes_only_the_arrangement():
    source = mixed_structure()
    before = sites_of(source)
    first, first_report = source.expand_occupancies(seed=42)
    other, other_report = source.expand_occupancies(seed=7)
    assert other_report == first_report
    assert other.composition == first.composition and other.n_sites == first.n_sites
    assert sites_of(other) != sites_of(first)
    assert sites_of(source) == before


# ---- limits and bad input ------------------------------------------------------------


@pytest.mark.parametrize(("n_sites", "max_sites"), [(5000, 4096), (1, 0), (3, 2)])
def test_source_above_the_site_limit(n_sites, max_sites):
    source = Structure(CUBE, [[i / n_sites, 0, 0] for i in range(n_sites)], [{"Si": 1.0}] * n_sites)
    message = f"even a 1x1x1 cell holds {n_sites} sites, above the limit of {max_sites}"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        source.expand_occupancies(max_sites=max_sites)


def test_nothing_left_to_place():
    source = Structure(CUBE, [[0, 0, 0]], [{"O": 0.2}])
    with pytest.raises(ValueError, match=r"^no sites remain after expansion; check the occupancies$"):
        source.expand_occupancies(max_sites=1)


def test_huge_limit_picks_the_multiplier_directly():
    # lcm(16, 9, 5, 7, 11, 13) = 720720; the cube root of the limit is larger.
    occupancies = [1 / 16, 1 / 9, 1 / 5, 1 / 7, 1 / 11, 1 / 13]
    source = Structure(CUBE, [[i / 6, 0, 0] for i in range(6)], [{"Fe": x} for x in occupancies])
    message = "a 720720x720720x720720 supercell of a 6-site structure would exceed the limit of 2147483647 sites"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        source.expand_occupancies(max_sites=2**64 - 1)
    _, report = source.expand_occupancies(max_sites=6 * 60**3)
    assert report["scale"] == [60, 60, 60]


def test_multiplier_beyond_64_bits_saturates():
    primes = [997, 991, 983, 977, 971, 967, 953]
    species = [{"Fe": 1 / p} for p in primes] + [{"Co": 0.3}, {"Si": 1.0}]
    source = Structure(CUBE, [[i / 9, 0, 0] for i in range(9)], species)
    assert math.lcm(*primes, 10) > 2**64
    _, report = source.expand_occupancies(max_sites=9, max_denominator=1000)
    edge = 2**64 - 1
    assert report["scale"] == [1, 1, 1]
    assert report["warnings"][1] == (
        f"the occupancies would need a {edge}x{edge}x{edge} supercell to come out exactly, but that exceeds "
        "the 9-site limit; 1x1x1 was used and the occupancies are approximated (worst deviation 0.3000)"
    )


@pytest.mark.parametrize(
    ("species", "value"),
    [
        ({"Fe": math.nan}, "Fe nan"),
        ({"Fe": -math.inf}, "Fe -inf"),
        ({"Fe": math.inf, "Ni": -math.inf}, "Fe inf"),
        ({"Fe": 1e300, "Ni": -1e300}, "Ni -" + f"{1e300:.4f}"),
        ({"Fe": 5.0, "Ni": -4.5}, "Ni -4.5000"),
        ({"Fe": 0.75, "Ni": -0.25}, "Ni -0.2500"),
    ],
)
def test_unusable_occupancies_never_reach_the_expansion(species, value):
    message = f"occupancies must be finite and not negative; site 2 has {value}"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Si": 1.0}, species])


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((None,), {}, TypeError, "argument 'max_sites': 'NoneType' object cannot be interpreted as an integer"),
        ((), {"seed": 1.5}, TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
        (
            (),
            {"max_denominator": "16"},
            TypeError,
            "argument 'max_denominator': 'str' object cannot be interpreted as an integer",
        ),
        (
            (1, 2, 3, 4),
            {},
            TypeError,
            "Structure.expand_occupancies() takes from 0 to 3 positional arguments but 4 were given",
        ),
        ((), {"sites": 1}, TypeError, "Structure.expand_occupancies() got an unexpected keyword argument 'sites'"),
        (
            (10,),
            {"max_sites": 10},
            TypeError,
            "Structure.expand_occupancies() got multiple values for argument 'max_sites'",
        ),
        ((), {"seed": -1}, OverflowError, None),
        ((2**64,), {}, OverflowError, None),
    ],
)
def test_bad_arguments(args, kwargs, error, message):
    source = Structure(CUBE, [[0, 0, 0]], [{"Fe": 0.5, "Ni": 0.5}])
    with pytest.raises(error) as raised:
        source.expand_occupancies(*args, **kwargs)
    if message is not None:
        assert str(raised.value) == message


def test_integer_like_arguments():
    source = Structure(CUBE, [[0, 0, 0]], [{"Fe": 0.5, "Ni": 0.5}])
    by_numpy, _ = source.expand_occupancies(np.int64(4096), seed=np.uint64(42), max_denominator=True)
    plain, _ = source.expand_occupancies(4096, 42, 1)
    assert sites_of(by_numpy) == sites_of(plain)
