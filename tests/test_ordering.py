"""Warren-Cowley parameters and special quasirandom structures (kestrel.ordering)."""

import itertools
from collections import Counter

import numpy as np
import pytest

from kestrel import Structure
from kestrel.ordering import ShortRangeOrder, sqs, warren_cowley

FCC = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
THIRD = 1.0 / 3.0


def fcc(species, a=3.6):
    return Structure(np.eye(3) * a, FCC, species)


def simple_cubic_checkerboard():
    """A 2x2x2 simple cubic block with Fe on even sites and vacancies (occupancy 0) on odd ones."""
    points = [[i / 2, j / 2, k / 2] for i, j, k in itertools.product(range(2), repeat=3)]
    species = [{"Fe": 1.0} if (2 * sum(p)) % 2 == 0 else {"Fe": 0.0} for p in points]
    return Structure(np.eye(3) * 5.0, points, species)


# Hand counts: neighbours of each kind per shell, divided by shell size and concentration.
HAND_COUNTED = {
    # CuAu: Au layers at z = 0 and Cu at z = 1/2. Shell 1: 4 Au + 8 Cu around Au;
    # shell 2: the 6 sites one edge away, all the same species; shell 3: 8 of 24 alike.
    "L1_0": (
        fcc([{"Au": 1}, {"Au": 1}, {"Cu": 1}, {"Cu": 1}]),
        {("Au", "Cu"): [-THIRD, 1, -THIRD], ("Au", "Au"): [THIRD, -1, THIRD], ("Cu", "Cu"): [THIRD, -1, THIRD]},
    ),
    # Cu3Au: Au has 12 Cu nearest neighbours, Cu has 4 Au and 8 Cu; second
    # neighbours lie on the same simple cubic sublattice.
    "L1_2": (
        fcc([{"Au": 1}, {"Cu": 1}, {"Cu": 1}, {"Cu": 1}]),
        {
            ("Au", "Cu"): [-THIRD, 1, -THIRD],
            ("Cu", "Au"): [-THIRD, 1, -THIRD],
            ("Au", "Au"): [1, -3, 1],
            ("Cu", "Cu"): [1 / 9, -THIRD, 1 / 9],
        },
    ),
    # CsCl-type FeAl: 8 unlike first neighbours, 6 and 12 like ones after.
    "B2": (
        Structure(np.eye(3) * 2.9, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 1}, {"Al": 1}]),
        {("Al", "Fe"): [-1, 1, 1], ("Fe", "Fe"): [1, -1, -1]},
    ),
    # Vacancies on a simple cubic checkerboard: first and third neighbours unlike.
    "vacancy checkerboard": (
        simple_cubic_checkerboard(),
        {("Fe", "Va"): [-1, 1, -1], ("Va", "Fe"): [-1, 1, -1], ("Va", "Va"): [1, -1, 1]},
    ),
}


@pytest.mark.parametrize("name", list(HAND_COUNTED))
@pytest.mark.parametrize("repeats", [1, 2])
def test_alpha_of_hand_countable_orderings(name, repeats):
    structure, expected = HAND_COUNTED[name]
    result = warren_cowley(structure.make_supercell(repeats, repeats, repeats), shells=3)
    for pair, values in expected.items():
        np.testing.assert_allclose(result.alpha[pair], values, rtol=0, atol=1e-14, err_msg=str(pair))


def test_shell_radii_and_coordination_of_fcc():
    result = warren_cowley(fcc([{"Au": 1}, {"Cu": 1}, {"Cu": 1}, {"Cu": 1}], a=4.0), shells=4)
    np.testing.assert_allclose(result.radii, 4.0 * np.sqrt([0.5, 1.0, 1.5, 2.0]), rtol=1e-12)
    np.testing.assert_array_equal(result.coordination, [12, 6, 24, 12])


def numpy_alpha(lattice, frac, names, labels, shells, tol=0.01, reach=2):
    """Warren-Cowley parameters by direct enumeration of all image pairs within `reach` cells."""
    lattice, frac = np.asarray(lattice, float), np.asarray(frac, float)
    images = np.array(list(itertools.product(range(-reach, reach + 1), repeat=3)), float)
    out = {}
    for label in sorted(set(labels)):
        members = [i for i, value in enumerate(labels) if value == label]
        f = frac[members]
        d = (f[None, :, None, :] - f[:, None, None, :] + images[None, None, :, :]) @ lattice
        r = np.linalg.norm(d, axis=-1)
        distances = np.sort(r[r > 1e-8])
        edges = []
        for value in distances:
            if not edges or value > edges[-1] + tol:
                edges.append(value)
        edges = edges[:shells]
        sub_names = [names[i] for i in members]
        species = sorted(set(sub_names))
        conc = {b: sub_names.count(b) / len(members) for b in species}
        counts = np.zeros((shells, len(species), len(species)))
        for s, edge in enumerate(edges):
            in_shell = (r > 1e-8) & (r >= edge - 1e-9) & (r <= edge + tol)
            for i, j, _ in zip(*np.nonzero(in_shell)):
                counts[s, species.index(sub_names[i]), species.index(sub_names[j])] += 1
        out[label] = {
            (a, b): np.array(
                [1 - counts[s, x, y] / counts[s, x].sum() / conc[b] for s in range(shells)],
            )
            for x, a in enumerate(species)
            for y, b in enumerate(species)
        }
    return out


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_alpha_agrees_with_a_numpy_count_on_random_orderings(seed):
    # A sheared cell of two interpenetrating sublattices (rock-salt-like),
    # each filled at random; a site is a neighbour only of its own sublattice.
    rng = np.random.default_rng(seed)
    lattice = np.array([[6.0, 0.0, 0.0], [1.3, 6.5, 0.0], [0.7, 0.9, 7.1]])
    grid = [[i / 3, j / 3, k / 3] for i, j, k in itertools.product(range(3), repeat=3)]
    frac = grid + [[x + 1 / 6, y + 1 / 6, z + 1 / 6] for x, y, z in grid]
    labels = [0] * len(grid) + [1] * len(grid)
    names = list(rng.choice(["Fe", "Ni", "Cr"], len(grid))) + list(rng.choice(["O", "Va"], len(grid)))
    species = [{name: 0.0} if name == "Va" else {name: 1.0} for name in names]
    structure = Structure(lattice, frac, species)
    result = warren_cowley(structure, shells=3, sublattices=labels)
    expected = numpy_alpha(lattice, frac, names, labels, shells=3)
    assert len(result.sublattices) == 2
    for sub, label in zip(result.sublattices, [0, 1]):
        assert set(sub.alpha) == set(expected[label])
        for pair, values in expected[label].items():
            np.testing.assert_allclose(sub.alpha[pair], values, rtol=0, atol=1e-12, err_msg=str(pair))


def test_table_names_every_pair():
    text = warren_cowley(HAND_COUNTED["L1_2"][0]).table()
    assert "α Au-Cu" in text and "α Cu-Cu" in text and "neighbours" in text
    assert repr(warren_cowley(HAND_COUNTED["L1_2"][0])) == text


def perovskite():
    """A cubic ABO3 cell: A mixed Sr/Ba, B mixed Ti/Zr/vacancy, O fully occupied."""
    return Structure(
        np.eye(3) * 4.0,
        [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]],
        [{"Sr": 0.5, "Ba": 0.5}, {"Ti": 0.625, "Zr": 0.25}, {"O": 1}, {"O": 1}, {"O": 1}],
    )


def test_sqs_keeps_exact_counts_and_fixed_sites():
    source = perovskite()
    ordered, report = sqs(source, supercell=4, shells=2, iterations=20000, time_limit=None, n_threads=1)
    supercell = source.make_supercell(4, 4, 4)
    placed = Counter(name for site in ordered.species for name in site)
    rows = {row["element"]: row["atoms_placed"] for row in report.occupancy_report}
    assert rows == {"Sr": 32, "Ba": 32, "Ti": 40, "Zr": 16}
    assert placed == Counter({"Sr": 32, "Ba": 32, "Ti": 40, "Zr": 16, "O": 192})
    assert report.n_vacancies == 8 and ordered.n_sites == supercell.n_sites - 8
    # Every written atom sits on a site of its own pool; the O sites are the supercell's own.
    where = {tuple(np.round(np.mod(f, 1.0), 6)): s for f, s in zip(supercell.frac_coords, supercell.species)}
    for f, site in zip(ordered.frac_coords, ordered.species):
        (element,) = site
        assert element in where[tuple(np.round(np.mod(f, 1.0), 6))]
    o_in = sorted(tuple(np.round(f, 9)) for f, s in zip(supercell.frac_coords, supercell.species) if "O" in s)
    o_out = sorted(tuple(np.round(f, 9)) for f, s in zip(ordered.frac_coords, ordered.species) if "O" in s)
    assert o_in == o_out
    # Two sublattices, each with its own species; the vacancy counts as one.
    species = sorted(sub.species for sub in report.order.sublattices)
    assert species == [("Ba", "Sr"), ("Ti", "Zr", "Va")]


def test_reported_alpha_and_objective_match_a_fresh_count():
    # Without vacancies the written structure is the whole arrangement, so
    # its measured alpha must equal the one the per-swap updates arrived at.
    source = fcc([{"Co": 0.2, "Cr": 0.2, "Fe": 0.2, "Mn": 0.2, "Ni": 0.2}] * 4)
    ordered, report = sqs(source, supercell=(4, 4, 3), shells=3, iterations=30000, time_limit=None, n_threads=2)
    measured = warren_cowley(ordered, shells=3)
    sub = report.order.sublattices[0]
    for pair in sub.alpha:
        np.testing.assert_allclose(measured.alpha[pair], sub.alpha[pair], rtol=0, atol=1e-12)
    objective = sum(w * abs(sub.alpha[p][s]) for s, w in enumerate(report.weights) for p in sub.pairs())
    assert report.objective == pytest.approx(objective, abs=1e-12)
    np.testing.assert_allclose(report.weights, [1, 1 / 2, 1 / 3])
    assert report.trace[-1, 2] == pytest.approx(report.objective)


def test_binary_fcc_reaches_zero():
    ordered, report = sqs(fcc([{"Fe": 0.5, "Ni": 0.5}] * 4), supercell=4, iterations=2_000_000, time_limit=None)
    assert report.objective < 1e-12
    np.testing.assert_allclose(report.order.alpha[("Fe", "Ni")], 0.0, atol=1e-12)
    assert ordered.composition == {"Fe": 128.0, "Ni": 128.0}


def test_targets_are_met_as_far_as_whole_bonds_allow():
    source = fcc([{"Fe": 0.5, "Ni": 0.5}] * 4)
    # Mild Fe-Ni attraction in the first shell only: 768 is the alpha step of
    # one bond in this cell, and -0.1 lies between two steps.
    _, mild = sqs(source, supercell=4, target={"Fe-Ni": [-0.1, 0, 0]}, iterations=300_000, time_limit=None)
    np.testing.assert_allclose(mild.order.alpha[("Fe", "Ni")], [-76 / 768, 0, 0], atol=1e-12)
    # The order of L1_0 itself, given as a pair key tuple and found exactly.
    _, l10 = sqs(source, supercell=4, target={("Ni", "Fe"): [-THIRD, 1, -THIRD]}, iterations=300_000, time_limit=None)
    assert l10.objective < 1e-12
    # A ShortRangeOrder works as a target too: that of Cu3Au, found in a 3x3x3 cell.
    l12 = warren_cowley(HAND_COUNTED["L1_2"][0])
    _, copied = sqs(fcc([{"Cu": 0.75, "Au": 0.25}] * 4), supercell=3, target=l12, iterations=200_000, time_limit=None)
    for pair, values in l12.alpha.items():
        np.testing.assert_allclose(copied.order.alpha[pair], values, atol=1e-12)


@pytest.mark.parametrize("n_threads", [1, 2])
def test_seeds_reproduce(n_threads):
    source = perovskite()
    runs = [
        sqs(source, supercell=3, shells=2, iterations=5000, time_limit=None, n_threads=n_threads, seed=seed)
        for seed in (7, 7, 8)
    ]
    first, again, other = [(s.frac_coords, s.species, r.objective) for s, r in runs]
    assert first[1] == again[1] and first[2] == again[2]
    assert first[1] != other[1]


def test_progress_is_called_while_the_search_runs():
    calls = []
    sqs(
        fcc([{"Co": 0.2, "Cr": 0.2, "Fe": 0.2, "Mn": 0.2, "Ni": 0.2}] * 4),
        supercell=4,
        time_limit=0.3,
        n_threads=1,
        progress=lambda seconds, best, trials: calls.append((seconds, best, trials)),
    )
    assert calls and calls[-1][1] < 1.0
    bests = [best for _, best, _ in calls]
    assert bests == sorted(bests, reverse=True)  # the best so far only falls (inf before a chain starts)


def test_a_failing_progress_callable_stops_the_search():
    def fail(*_):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        sqs(
            fcc([{"Co": 0.2, "Cr": 0.2, "Fe": 0.2, "Mn": 0.2, "Ni": 0.2}] * 4),
            supercell=4,
            time_limit=30,
            progress=fail,
        )


BINARY = fcc([{"Fe": 0.5, "Ni": 0.5}] * 4)


@pytest.mark.parametrize(
    "structure, options, message",
    [
        (
            HAND_COUNTED["L1_0"][0],
            {"supercell": 2},
            "the structure is ordered: every site holds one whole atom, so there is nothing to arrange",
        ),
        (
            BINARY,
            {"supercell": 1, "shells": 3},
            "the supercell is too small for 3 shells: a site meets its own image at 3.6000 A, within shell 2; "
            "use a larger supercell",
        ),
        (
            BINARY,
            {"supercell": 2, "target": {"Fe-Co": 0.1}},
            "target names the pair Fe-Co, which no sublattice holds (pairs: Fe-Ni)",
        ),
        (
            BINARY,
            {"supercell": 2, "weights": [1.0, -0.5, 0.2]},
            "weights must be finite and not negative; shell 2 has -0.5000",
        ),
        (BINARY, {"supercell": 2, "weights": [1.0, 0.5]}, "weights has 2 values for 3 shells"),
        (BINARY, {"supercell": 2, "target": {"Fe-Ni": [0.1, 0.2]}}, "target for Fe-Ni has 2 values for 3 shells"),
        (BINARY, {}, "give either supercell or max_sites"),
        (BINARY, {"supercell": 2, "time_limit": None}, "give a time limit or a number of iterations"),
    ],
)
def test_bad_input_gets_one_clear_error(structure, options, message):
    with pytest.raises(ValueError) as caught:
        sqs(structure, **options)
    assert str(caught.value) == message


def test_warren_cowley_refuses_partly_occupied_sites():
    with pytest.raises(ValueError, match="^site 0 is partly occupied: the short-range order is defined"):
        warren_cowley(BINARY)


def test_max_sites_takes_the_largest_cube_within_the_limit():
    _, report = sqs(BINARY, max_sites=500, iterations=1000, time_limit=None)
    assert report.scale == (4, 4, 4)


def test_single_sublattice_shortcuts_refuse_several():
    _, report = sqs(perovskite(), supercell=3, shells=2, iterations=1000, time_limit=None)
    assert isinstance(report.order, ShortRangeOrder)
    with pytest.raises(ValueError, match="the structure has 2 sublattices"):
        _ = report.order.alpha
    assert set(report.order.as_target()) == {"Ba-Sr", "Ti-Zr", "Ti-Va", "Zr-Va"}


def test_updates_hold_where_sites_of_one_pool_differ_in_coordination():
    # Pool members at irregular positions: each shell holds a different
    # number of neighbours per site, so swaps move the rows of alpha too.
    rng = np.random.default_rng(5)
    frac = rng.random((6, 3))
    source = Structure(np.eye(3) * 4.0, frac, [{"Fe": 0.5, "Ni": 0.25, "Cr": 0.25}] * 6)
    ordered, report = sqs(source, supercell=2, shells=3, tol=0.3, iterations=20000, time_limit=None, n_threads=1)
    sub = report.order.sublattices[0]
    assert len(set(np.round(sub.coordination, 6))) > 1 or sub.coordination[0] != round(sub.coordination[0])
    measured = warren_cowley(ordered, shells=3, tol=0.3)
    for pair in sub.alpha:
        np.testing.assert_allclose(measured.alpha[pair], sub.alpha[pair], rtol=0, atol=1e-12)
    objective = sum(w * abs(sub.alpha[p][s]) for s, w in enumerate(report.weights) for p in sub.pairs())
    assert report.objective == pytest.approx(objective, abs=1e-12)


def test_units_trade_whole_alternatives_and_have_statistics_of_their_own():
    # An fcc alloy with a split interstitial: O at one of two close positions.
    frac = FCC + [[0.5, 0.5, 0.45], [0.5, 0.5, 0.55]]
    species = [{"Fe": 0.5, "Ni": 0.5}] * 4 + [{"O": 0.5}, {"O": 0.5}]
    source = Structure(np.eye(3) * 3.6, frac, species, units=[None] * 4 + [(0, 0), (0, 1)])
    ordered, report = sqs(source, supercell=3, iterations=20000, time_limit=None, n_threads=1)
    oxygen = np.array([f for f, s in zip(ordered.frac_coords, ordered.species) if "O" in s]) * 3.0
    assert len(oxygen) == 27 == sum(row["copies_placed"] for row in report.unit_report)
    # No copy holds both alternatives: the closest O-O distance is a whole cell edge apart.
    d = oxygen[:, None, :] - oxygen[None, :, :]
    d -= np.round(d / 3.0) * 3.0
    r = np.linalg.norm(d, axis=-1) * 3.6
    assert r[~np.eye(len(r), dtype=bool)].min() > 3.0
    assert report.n_vacancies == 27
    # The unit copies are a sublattice of their own, whose species are the alternatives.
    alloy, units = report.order.sublattices
    assert alloy.species == ("Fe", "Ni") and units.species == ("alternative 0", "alternative 1")
    assert sorted(units.counts.values()) == [13, 14]
    first_shell = units.alpha[("alternative 0", "alternative 1")][0]
    assert abs(first_shell) < 0.1


def test_units_too_few_to_tell_from_their_images_are_dealt_instead_of_refused():
    # A 4x1x1 supercell: each unit copy meets its own image one cell along b.
    frac = FCC + [[0.5, 0.5, 0.45], [0.5, 0.5, 0.55]]
    species = [{"Fe": 0.5, "Ni": 0.5}] * 4 + [{"O": 0.5}, {"O": 0.5}]
    source = Structure(np.eye(3) * 3.6, frac, species, units=[None] * 4 + [(0, 0), (0, 1)])
    ordered, report = sqs(source, supercell=(4, 1, 1), shells=1, iterations=2000, time_limit=None, n_threads=1)
    assert sum(row["copies_placed"] for row in report.unit_report) == 4
    assert [sub.species for sub in report.order.sublattices] == [("Fe", "Ni")]
    assert ordered.composition["O"] == 4
