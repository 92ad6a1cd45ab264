"""Units of correlated disorder: the exact pair weights against every configuration of a supercell, the
units the CIF reader finds, whole alternatives in the expansion, and the messages for bad input."""

import itertools
import warnings

import numpy as np
import pytest

from kestrel import CifReadWarning, Structure

CUTOFF = 4.9  # below half the width of the 2x2x2 supercell of a 10 A cell
BIN = 0.05


def cif(
    rows,
    *,
    cell=5.1373,
    angles=(90, 90, 90),
    operations=("x,y,z",),
    columns=("_atom_site_disorder_assembly", "_atom_site_disorder_group"),
):
    """A CIF, cubic unless told; each row is (label, element, x, y, z, occupancy, *codes)."""
    a, b, c = (cell, cell, cell) if np.isscalar(cell) else cell
    head = [
        "data_t",
        f"_cell_length_a {a}",
        f"_cell_length_b {b}",
        f"_cell_length_c {c}",
        f"_cell_angle_alpha {angles[0]}",
        f"_cell_angle_beta {angles[1]}",
        f"_cell_angle_gamma {angles[2]}",
        "loop_",
        "_symmetry_equiv_pos_as_xyz",
        *[f"'{op}'" for op in operations],
        "loop_",
        "_atom_site_label",
        "_atom_site_type_symbol",
        "_atom_site_fract_x",
        "_atom_site_fract_y",
        "_atom_site_fract_z",
        "_atom_site_occupancy",
        *columns,
    ]
    return "\n".join(head + [" ".join(str(v) for v in row) for row in rows]) + "\n"


def read(text):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        structure = Structure.from_cif_str(text)
    return structure, [str(w.message) for w in caught if issubclass(w.category, CifReadWarning)]


def choices_of_supercell(structure):
    """The 2x2x2 supercell as NumPy arrays, and its independent choices: per unit copy or independent partial
    site, a list of (probability, [(supercell entry index) present]) outcomes."""
    frac = np.array(structure.frac_coords, dtype=float)
    species = structure.species
    units = structure.units
    lattice = np.array(structure.lattice_matrix) * 2.0
    images = list(itertools.product(range(2), repeat=3))
    entries = []  # (site, image, element, occupancy)
    where = {}
    positions = []
    for t, image in enumerate(images):
        for s, sp in enumerate(species):
            for element, occupancy in sorted(sp.items()):
                where[(s, t, element)] = len(entries)
                entries.append((s, t, element, occupancy))
                positions.append((frac[s] + image) / 2.0)
    choices = []
    members = {}
    for s, place in enumerate(units):
        if place is not None:
            members.setdefault(place[0], []).append((s, place[1]))
    for s, sp in enumerate(species):
        if units[s] is not None:
            continue
        for t in range(len(images)):
            outcomes = [(occ, [where[(s, t, e)]]) for e, occ in sorted(sp.items())]
            rest = 1.0 - sum(sp.values())
            if rest > 1e-12 or len(outcomes) > 1 or outcomes[0][0] < 1.0:
                outcomes.append((rest, []))
            choices.append(outcomes)
    for sites in members.values():
        first = sites[0][0]
        alternatives = sorted({a for _, a in sites})
        for image in images:
            # Each member at its image nearest the unit's first site, as the unit is declared.
            anchor = (frac[first] + image) / 2.0
            picked = {}
            for s, a in sites:
                best = min(
                    range(len(images)),
                    key=lambda u: np.linalg.norm(
                        ((frac[s] + images[u]) / 2.0 - anchor - np.round((frac[s] + images[u]) / 2.0 - anchor))
                        @ lattice
                    ),
                )
                element, occ = next(iter(species[s].items()))
                picked.setdefault(a, []).append((where[(s, best, element)], occ))
            outcomes = []
            for a in alternatives:
                occ = max(o for _, o in picked[a])
                outcomes.append((occ, [i for i, _ in picked[a]]))
            rest = 1.0 - sum(p for p, _ in outcomes)
            outcomes.append((max(rest, 0.0), []))
            choices.append([o for o in outcomes if o[0] > 0.0])
    return entries, np.array(positions), lattice, choices


def shell_of(d, n_bins):
    """The bin the engine counts a distance in: the largest k with k * BIN <= d, the last edge closed."""
    k = int(d / BIN)
    if k * BIN > d:
        k -= 1
    elif (k + 1) * BIN <= d:
        k += 1
    return min(k, n_bins - 1)


def enumerated_prdf(structure):
    """Every configuration of the 2x2x2 supercell, weighted by its probability: pair counts summed with NumPy."""
    entries, positions, lattice, choices = choices_of_supercell(structure)
    n = len(entries)
    # One row per configuration, the outcome it takes of each choice: which
    # entries it holds, and how likely it is.
    picked = np.indices([len(outcomes) for outcomes in choices]).reshape(len(choices), -1).T
    present = np.zeros((len(picked), n))
    probability = np.ones(len(picked))
    for k, outcomes in enumerate(choices):
        for o, (p, indices) in enumerate(outcomes):
            taken = np.flatnonzero(picked[:, k] == o)
            probability[taken] *= p
            if indices:
                present[np.ix_(taken, indices)] = 1.0
    # The probability that entries i and j are both there, summed over configurations.
    joint = present.T @ (probability[:, None] * present)
    delta = positions[None, :, :] - positions[:, None, :]
    delta -= np.round(delta)
    distance = np.linalg.norm(delta @ lattice, axis=-1)
    n_bins = int(np.ceil((CUTOFF + BIN) / BIN)) - 1
    elements = sorted({e for _, _, e, _ in entries})
    expected_count = {a: sum(occ for _, _, e, occ in entries if e == a) for a in elements}
    edges = np.arange(n_bins + 1) * BIN
    shell = 4.0 / 3.0 * np.pi * (edges[1:] ** 3 - edges[:-1] ** 3)
    partials = {}
    for a in elements:
        for b in elements:
            counts = np.zeros(n_bins)
            rows = [i for i, en in enumerate(entries) if en[2] == a]
            cols = [j for j, en in enumerate(entries) if en[2] == b]
            for i in rows:
                for j in cols:
                    d = distance[i, j]
                    if i == j or d <= 1e-8 or d > CUTOFF:
                        continue
                    counts[shell_of(d, n_bins)] += joint[i, j]
            partials[(a, b)] = counts / (expected_count[a] * shell)
    return partials


def assert_matches_enumeration(structure):
    _, partials, _ = structure.prdf(cutoff=CUTOFF, bin_size=BIN)
    reference = enumerated_prdf(structure)
    assert set(partials) == set(reference)
    for key in reference:
        np.testing.assert_allclose(partials[key], reference[key], rtol=0, atol=1e-9, err_msg=str(key))


ASSEMBLY_TWO_GROUPS = cif(
    [
        ("Na1", "Na", 0.513, 0.488, 0.507, 1, ".", "."),
        ("C1", "C", 0.10, 0.10, 0.10, 0.5, "A", 1),
        ("O1", "O", 0.32, 0.12, 0.10, 0.5, "A", 1),
        ("C2", "C", 0.12, 0.08, 0.14, 0.3, "A", 2),
        ("O2", "O", 0.12, 0.30, 0.14, 0.3, "A", 2),
    ]
)
GROUP_WITHOUT_ASSEMBLY = cif(
    [
        ("Na1", "Na", 0.5, 0.5, 0.5, 1, "."),
        ("C1", "C", 0.10, 0.10, 0.10, 0.7, 1),
        ("C2", "C", 0.30, 0.10, 0.10, 0.7, 1),
        ("N1", "N", 0.12, 0.14, 0.10, 0.3, 2),
        ("N2", "N", 0.12, 0.34, 0.12, 0.3, 2),
    ],
    columns=("_atom_site_disorder_group",),
)
ACROSS_INVERSION = cif(
    [
        ("Na1", "Na", 0.25, 0.5, 0.5, 1, ".", "."),
        ("C1", "C", 0.05, 0.02, 0.0, 0.5, ".", -1),
        ("O1", "O", 0.25, 0.06, 0.03, 0.5, ".", -1),
    ],
    operations=("x,y,z", "-x,-y,-z"),
)
SPLIT_WITHOUT_CODES = cif(
    [
        ("Na1", "Na", 0.5, 0.5, 0.5, 1),
        ("O1", "O", 0.10, 0.10, 0.10, 0.6),
        ("O1'", "O", 0.16, 0.10, 0.12, 0.4),
    ],
    columns=(),
)
INDEPENDENT = cif(
    [
        ("Na1", "Na", 0.5, 0.5, 0.5, 0.8),
        ("O1", "O", 0.10, 0.10, 0.10, 0.6),
    ],
    columns=(),
)


@pytest.mark.parametrize(
    ("text", "n_units", "found_by"),
    [
        (ASSEMBLY_TWO_GROUPS, 1, "groups"),
        (GROUP_WITHOUT_ASSEMBLY, 1, "groups"),
        (ACROSS_INVERSION, 1, "symmetry"),
        (SPLIT_WITHOUT_CODES, 1, "distance"),
        (INDEPENDENT, 0, None),
    ],
    ids=["assembly", "group-only", "inversion", "split", "independent"],
)
def test_prdf_equals_every_configuration_of_the_supercell(text, n_units, found_by):
    structure, _ = read(text)
    assert sum(1 for _ in {u for u, _ in filter(None, structure.units)}) == n_units
    if found_by:
        assert {e["unit_found_by"] for e in structure.disorder_summary() if e["unit"] is not None} == {found_by}
    assert_matches_enumeration(structure)


def test_declared_units_match_every_configuration_on_a_triclinic_cell():
    matrix = [[5.1, 0.0, 0.0], [0.7, 5.3, 0.0], [-0.4, 0.6, 5.2]]
    frac = [[0.05, 0.1, 0.9], [0.95, 0.12, 0.93], [0.1, 0.3, 0.2], [0.6, 0.5, 0.5], [0.62, 0.55, 0.45]]
    species = [{"C": 0.55}, {"O": 0.55}, {"C": 0.45}, {"Na": 0.7}, {"Cl": 0.3}]
    # Unit 7 straddles the cell face along a; unit 3 is two atoms split 0.3 A apart.
    units = [(7, 0), (7, 0), (7, 1), (3, 0), (3, 1)]
    structure = Structure(matrix, frac, species, units=units)
    assert structure.units == [(0, 0), (0, 0), (0, 1), (1, 0), (1, 1)]
    assert repr(structure).endswith(", disordered, 2 units)")
    assert_matches_enumeration(structure)


def test_two_alternatives_never_meet_and_one_alternative_keeps_together():
    structure, _ = read(ASSEMBLY_TWO_GROUPS)
    r, partials, _ = structure.prdf(cutoff=CUTOFF, bin_size=BIN)
    plain = Structure(structure.lattice_matrix, structure.frac_coords, structure.species)
    _, independent, _ = plain.prdf(cutoff=CUTOFF, bin_size=BIN)
    short = r < 0.7
    # C1-C2 lie 0.22 A apart: only the independent weights put a pair there.
    assert independent[("C", "C")][short].sum() > 0 and partials[("C", "C")][short].sum() == 0
    # C1-O1 and C2-O2 (both 1.13 A) come together at 0.5 and 0.3, not 0.5 * 0.5 and 0.3 * 0.3.
    k = int(1.13 / BIN)
    assert partials[("C", "O")][k] == pytest.approx(independent[("C", "O")][k] * 0.8 / 0.34, rel=1e-12)


def test_structures_without_units_compute_and_print_as_before(rocksalt):
    partial = Structure(rocksalt.lattice_matrix, rocksalt.frac_coords, [{"Na": 0.5}] * 4 + [{"Cl": 1.0}] * 4)
    declared_none = Structure(rocksalt.lattice_matrix, rocksalt.frac_coords, partial.species, units=[None] * 8)
    assert partial.units == [None] * 8 and declared_none.units == [None] * 8
    assert repr(partial) == repr(declared_none) == "Structure(8 sites, Cl4 Na2, disordered)"
    assert list(partial.disorder_summary()[0]) == [
        "site_index",
        "frac_coords",
        "occupancies",
        "total_occupancy",
        "vacancy",
    ]
    _, first, total = partial.prdf(cutoff=6.0, bin_size=0.1)
    _, second, again = declared_none.prdf(cutoff=6.0, bin_size=0.1)
    assert all(np.array_equal(first[k], second[k]) for k in first) and np.array_equal(total, again)
    _, report = partial.expand_occupancies()
    assert "unit_report" not in report


@pytest.mark.parametrize(
    ("units", "error", "message"),
    [
        ([(0, 0)], ValueError, "units must have one entry per site"),
        ([(0, 0), "ab"], TypeError, "units[1] must be None or a pair (unit, alternative)"),
        ([(0, 0), (0, -1)], OverflowError, None),
        (
            [(0, 0), (0, 1)],
            ValueError,
            "the alternatives of unit 0 have occupancies summing to 1.2000, which exceeds 1",
        ),
        ([None, (0, 0)], ValueError, "site 1 is fully occupied and cannot be an alternative of a unit"),
    ],
)
def test_declared_units_are_checked(units, error, message):
    species = [{"C": 0.6}, {"C": 0.6}] if "1.2000" in str(message) else [{"C": 0.6}, {"O": 1.0}]
    with pytest.raises((error, TypeError, ValueError)) as raised:
        Structure([[5, 0, 0], [0, 5, 0], [0, 0, 5]], [[0, 0, 0], [0.1, 0, 0]], species, units=units)
    if message:
        assert str(raised.value) == message


def test_expansion_places_whole_alternatives():
    structure, _ = read(ASSEMBLY_TWO_GROUPS)
    ordered, report = structure.expand_occupancies(max_sites=2000, seed=3)
    rows = report["unit_report"]
    copies = rows[0]["units_in_pool"]
    assert [(r["alternative"], r["target_occupancy"]) for r in rows] == [(0, 0.5), (1, 0.3)]
    # Largest remainders, as for pools of sites: each within one copy of its share, the total rounded.
    assert all(abs(r["copies_placed"] - r["target_occupancy"] * copies) < 1 for r in rows)
    assert sum(r["copies_placed"] for r in rows) == round(0.8 * copies)
    # Whole alternatives: every C has its O at 1.1 A of the same orientation, and no pair is short.
    frac = np.array(ordered.frac_coords)
    lattice = np.array(ordered.lattice_matrix)
    delta = frac[None] - frac[:, None]
    delta -= np.round(delta)
    distance = np.linalg.norm(delta @ lattice, axis=-1) + np.eye(len(frac)) * 99
    assert distance.min() > 0.7
    assert ordered.composition["C"] == ordered.composition["O"] == round(0.8 * copies)


def test_expanded_structure_of_a_unit_straddling_the_cell_face_keeps_molecules_whole():
    matrix = [[4.0, 0, 0], [0, 4.0, 0], [0, 0, 4.0]]
    # Two orientations of a C-O pair across the a face; each pair 1.2 A long.
    frac = [[0.95, 0.5, 0.5], [0.05 + 0.2, 0.5, 0.5], [0.97, 0.52, 0.5], [0.97, 0.52 + 0.3, 0.5]]
    species = [{"C": 0.5}, {"O": 0.5}, {"C": 0.5}, {"O": 0.5}]
    structure = Structure(matrix, frac, species, units=[(0, 0), (0, 0), (0, 1), (0, 1)])
    ordered, report = structure.expand_occupancies(max_sites=1000)
    r, partials, _ = ordered.prdf(cutoff=1.5, bin_size=0.1)
    co = partials[("C", "O")]
    assert co[r < 1.1].sum() == 0 and co[(r >= 1.1) & (r < 1.3)].sum() > 0
    assert partials[("C", "C")][r < 1.5].sum() == 0


def test_supercell_keeps_units():
    structure, _ = read(ASSEMBLY_TWO_GROUPS)
    big = structure.make_supercell(2, 1, 1)
    assert repr(big).endswith("2 units)")
    _, small_partials, _ = structure.prdf(cutoff=4.0, bin_size=0.1)
    _, big_partials, _ = big.prdf(cutoff=4.0, bin_size=0.1)
    for key in small_partials:
        np.testing.assert_allclose(big_partials[key], small_partials[key], atol=1e-12)


@pytest.mark.parametrize(
    ("rows", "columns", "message"),
    [
        (
            [("C1", "C", 0.1, 0.1, 0.1, 1, "A", 1), ("C2", "C", 0.3, 0.1, 0.1, 0.5, "A", 2)],
            None,
            "ignored the disorder group of 1 fully occupied row (C1)",
        ),
        (
            [("C1", "C", 0.1, 0.1, 0.1, 0.5, "A", 1), ("C2", "C", 0.3, 0.1, 0.1, 0.5, "A", 1)],
            None,
            "1 disorder assembly has a single group: its atoms are taken to come and go together (assembly A, group 1)",
        ),
        (
            [
                ("C1", "C", 0.1, 0.1, 0.1, 0.5, ".", 1),
                ("C2", "C", 0.3, 0.1, 0.1, 0.4, ".", 1),
                ("N1", "N", 0.1, 0.14, 0.1, 0.5, ".", 2),
            ],
            None,
            "1 disorder group holds rows of different occupancies: the group's pairs are weighed by the smaller "
            "(group 1: C2)",
        ),
        (
            [("C1", "C", 0.1, 0.1, 0.1, 0.7, ".", 1), ("N1", "N", 0.12, 0.1, 0.1, 0.6, ".", 2)],
            None,
            "the disorder groups of 1 place add up to an occupancy above 1: their sites were left independent "
            "(unit of site 0: 1.3000)",
        ),
        (
            [("O1", "O", 0.1, 0.1, 0.1, 0.6), ("O2", "O", 0.12, 0.1, 0.1, 0.5)],
            (),
            "left 1 set of partly occupied positions closer than 0.7 angstrom independent: their occupancies add "
            "up to more than 1 (sites 0/1: 1.1000)",
        ),
        (
            [("O1", "O", 0.1, 0.1, 0.1, 0.6), ("O2", "O", 0.12, 0.1, 0.1, 0.4)],
            (),
            "took 1 set of partly occupied positions closer than 0.7 angstrom, which cannot be occupied together, "
            "as alternatives of one place (sites 0/1)",
        ),
        (
            # 0.027 O at 0.53 A from a full O, 0.5 Ca at 0.61 A from a full Ca (each pair once, images aside)
            [
                ("O1", "O", 0.1, 0.1, 0.1, 1),
                ("O5", "O", 0.1, 0.1, 0.1 + 0.53 / 5.1373, 0.027),
                ("Ca1", "Ca", 0.5, 0.5, 0.5, 1),
                ("Ca2", "Ca", 0.5, 0.5 + 0.61 / 5.1373, 0.5, 0.5),
            ],
            (),
            "the file is inconsistent: 2 partly occupied atoms lie closer than 0.7 angstrom to a fully occupied "
            "atom; each was taken as an alternative of that atom, which keeps the occupancy the alternatives leave, "
            "so the two are never counted as a pair (O5 0.53 from O1, Ca2 0.61 from Ca1)",
        ),
        (
            # Two partly occupied O on either side of a full one, 1 A apart from each other, adding to 1.1
            [
                ("O1", "O", 0.1, 0.1, 0.1, 1),
                ("O5", "O", 0.1, 0.1, 0.1 + 0.5 / 5.1373, 0.6),
                ("O6", "O", 0.1, 0.1, 0.1 - 0.5 / 5.1373, 0.5),
            ],
            (),
            "the file is inconsistent: 2 partly occupied atoms lie closer than 0.7 angstrom to a fully occupied "
            "atom, and the occupancies there add up to 1 or more; their pairs are counted as the file gives them "
            "(O5 0.50 from O1, O6 0.50 from O1)",
        ),
        (
            [("H1", "H", 0.1, 0.1, 0.1, 0.5, "A", 1), ("C1", "C", 0.1 + 0.23 / 5.1373, 0.1, 0.1, 0.5, "B", 1)],
            None,
            "took 1 pair of atoms closer than 0.7 angstrom in different units of disorder as alternatives: their "
            "units were merged into one (H1 0.23 from C1)",
        ),
        (
            [("H1", "H", 0.1, 0.1, 0.1, 0.6, "A", 1), ("C1", "C", 0.1 + 0.23 / 5.1373, 0.1, 0.1, 0.6, "B", 1)],
            None,
            "left 1 pair of atoms closer than 0.7 angstrom in different units of disorder apart: their occupancies "
            "add up to more than 1, or a unit meets its own copy; their pairs are counted as the file gives them "
            "(H1 0.23 from C1)",
        ),
    ],
    ids=[
        "full-row",
        "single-group",
        "uneven-group",
        "overfull-groups",
        "overfull-split",
        "split-found",
        "partial-beside-full",
        "partial-beside-full-kept",
        "overlapping-units",
        "overlapping-units-kept",
    ],
)
def test_disorder_columns_give_clear_warnings(rows, columns, message):
    kwargs = {} if columns is None else {"columns": columns}
    _, messages = read(cif(rows, **kwargs))
    assert message in messages


@pytest.mark.parametrize(
    ("operations", "warned"),
    [(("x,y,z", "-x,-y,-z"), False), (("x,y,z",), True)],
    ids=["images-overlap", "no-images"],
)
def test_single_negative_group_is_warned_only_where_no_image_overlaps_it(operations, warned):
    rows = [("C1", "C", 0.05, 0.02, 0.0, 0.5, "A", -1), ("O1", "O", 0.25, 0.06, 0.03, 0.5, "A", -1)]
    _, messages = read(cif(rows, operations=operations))
    single = [m for m in messages if "a single group" in m]
    assert single == (
        ["1 disorder assembly has a single group: its atoms are taken to come and go together (assembly A, group -1)"]
        if warned
        else []
    )


def test_every_user_of_pairs_takes_the_unit_weights(tmp_path):
    import kestrel

    structure, _ = read(ASSEMBLY_TWO_GROUPS)
    plain = Structure(structure.lattice_matrix, structure.frac_coords, structure.species)
    _, partials, total = structure.prdf(cutoff=3.0, bin_size=0.1)
    # The batch table reads the file itself.
    path = tmp_path / "assembly.cif"
    path.write_text(ASSEMBLY_TWO_GROUPS)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        [row] = kestrel.rdf_table([str(path)], cutoff=3.0, bin_size=0.1, workers=1).to_pylist()
    assert np.array_equal(row["total"], total)
    assert all(np.array_equal(p["g"], partials[(p["a"], p["b"])]) for p in row["partials"])
    # The ensemble's weighted curves are the unit weights, and its orderings hold whole alternatives.
    result = kestrel.ordering_ensemble(structure, n_orderings=3, max_sites=400, cutoff=3.0, bin_size=0.1)
    assert np.array_equal(result.disordered_total, total)
    assert result.mean_partials[("C", "C")][result.r < 0.7].sum() == 0.0
    # G(r) is built from the same pair counts: the C-C pair 0.22 A apart is in the plain one only.
    pytest.importorskip("periodictable")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with_units = kestrel.compute_pdf(structure, cutoff=4.0, partials=True)
        without = kestrel.compute_pdf(plain, cutoff=4.0, partials=True)
    near = (with_units.r > 0.1) & (with_units.r < 0.35)
    # With the units only the straight -4 pi r rho_0 baseline is left there; without, a peak stands on it.
    assert np.abs(np.diff(with_units.partials[("C", "C")][near], 2)).max() < 1e-9
    assert np.abs(np.diff(without.partials[("C", "C")][near], 2)).max() > 1e-6


def test_pymatgen_keeps_the_units():
    pytest.importorskip("pymatgen.core")
    import kestrel

    structure, _ = read(ACROSS_INVERSION)
    back = kestrel.from_pymatgen(kestrel.to_pymatgen(structure))
    assert back.units == structure.units and repr(back) == repr(structure)
    assert np.array_equal(back.total_rdf(cutoff=4.0)[1], structure.total_rdf(cutoff=4.0)[1])
    plain = Structure(structure.lattice_matrix, structure.frac_coords, structure.species)
    assert "disorder_unit" not in kestrel.to_pymatgen(plain).site_properties


def test_kestrel_info_lists_the_units_and_how_they_were_found(tmp_path):
    from conftest import run_kestrel

    path = tmp_path / "split.cif"
    path.write_text(SPLIT_WITHOUT_CODES)
    result = run_kestrel("info", path)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "units: 1 places holding one of their alternatives, or nothing (1 from positions closer than 0.7 Å)" in out
    assert f"warning: {path}: took 1 set of partly occupied positions closer than 0.7 angstrom" in out
    rows = [line.split() for line in out.splitlines() if line.strip().startswith(("1 ", "2 "))]
    assert [row[-3:] for row in rows] == [["0", "0", "distance"], ["0", "1", "distance"]]


@pytest.mark.parametrize(
    "text", [ASSEMBLY_TWO_GROUPS, ACROSS_INVERSION, SPLIT_WITHOUT_CODES], ids=["groups", "inversion", "split"]
)
def test_written_cif_reads_back_with_the_same_units(tmp_path, text):
    import kestrel

    structure, _ = read(text)
    path = tmp_path / "units.cif"
    kestrel.write_cif(structure, str(path))
    back, messages = read(path.read_text())
    assert messages == []
    assert back.units == structure.units
    _, first, _ = structure.prdf(cutoff=CUTOFF, bin_size=BIN)
    _, second, _ = back.prdf(cutoff=CUTOFF, bin_size=BIN)
    for key in first:
        np.testing.assert_allclose(second[key], first[key], rtol=0, atol=1e-9)


def test_a_unit_across_the_cell_face_is_written_whole(tmp_path):
    import kestrel

    matrix = [[4.0, 0, 0], [0, 4.0, 0], [0, 0, 4.0]]
    frac = [[0.95, 0.5, 0.5], [0.25, 0.5, 0.5], [0.97, 0.52, 0.5], [0.97, 0.82, 0.5]]
    species = [{"C": 0.5}, {"O": 0.5}, {"C": 0.5}, {"O": 0.5}]
    structure = Structure(matrix, frac, species, units=[(0, 0), (0, 0), (0, 1), (0, 1)])
    text = kestrel.io.cif_writer.cif_text(structure)
    assert "O1 O 1.25 0.5 0.5 0.5 U0 1" in text
    back, _ = read(text)
    assert back.units == structure.units


def test_refinement_over_site_pairs_says_it_weighs_units_independently():
    from kestrel.scattering import model_pdf

    structure, _ = read(ASSEMBLY_TWO_GROUPS)
    r = np.arange(1.0, 6.0, 0.05)
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        by_histogram = model_pdf(structure, r, parameters=("scale",))
    with pytest.warns(UserWarning, match="weigh the pairs within a unit of correlated disorder by occupancy products"):
        by_sites = model_pdf(structure, r, parameters=("scale", "xyz"))
    assert by_histogram.shape == by_sites.shape


OVERLAPPING_ASSEMBLIES = cif(
    [
        ("Na1", "Na", 0.5, 0.5, 0.5, 1, ".", "."),
        ("H1", "H", 0.1, 0.1, 0.1, 0.5, "A", 1),
        ("C1", "C", 0.1 + 0.23 / 5.1373, 0.1, 0.1, 0.5, "B", 1),
    ]
)
# Two assemblies of two groups each; O2 of the first lies 0.40 A from O3 of the second.
OVERLAPPING_GROUPS = cif(
    [
        ("Na1", "Na", 0.5, 0.5, 0.5, 1, ".", "."),
        ("O1", "O", 0.10, 0.10, 0.10, 1 / 6, "A", 1),
        ("O2", "O", 0.10, 0.10 + 0.45 / 5.1373, 0.10, 1 / 6, "A", 2),
        ("O3", "O", 0.10, 0.10 + 0.85 / 5.1373, 0.10, 1 / 6, "B", 1),
        ("O4", "O", 0.10, 0.10 + 1.3 / 5.1373, 0.10, 1 / 6, "B", 2),
    ]
)
PARTIAL_ON_FULL = cif(
    [
        ("Na1", "Na", 0.5, 0.5, 0.5, 1),
        ("O1", "O", 0.1, 0.1, 0.1, 1),
        ("O5", "O", 0.1, 0.1, 0.1 + 0.53 / 5.1373, 0.027),
    ],
    columns=(),
)


def short_pairs(lattice, frac, below=0.7):
    """Pairs of sites closer than `below` over the 27 nearest cells, each unordered pair once."""
    frac = np.asarray(frac, dtype=float)
    lattice = np.asarray(lattice, dtype=float)
    found = []
    for shift in itertools.product((-1, 0, 1), repeat=3):
        delta = frac[None, :, :] + np.array(shift) - frac[:, None, :]
        distance = np.linalg.norm(delta @ lattice, axis=-1)
        i, j = np.nonzero(distance < below)
        found += [(a, b) for a, b in zip(i, j) if a < b or (a == b and any(shift))]
    return found


@pytest.mark.parametrize(
    ("text", "alternatives", "occupancies"),
    [
        (OVERLAPPING_ASSEMBLIES, 2, {"H": 0.5, "C": 0.5, "Na": 1.0}),
        (OVERLAPPING_GROUPS, 4, {"O": 4 / 6, "Na": 1.0}),
        (PARTIAL_ON_FULL, 2, {"O": 1.0, "Na": 1.0}),
    ],
    ids=["assemblies", "groups", "partial-on-full"],
)
def test_overlapping_units_become_one_and_never_pair_or_meet(text, alternatives, occupancies):
    structure, _ = read(text)
    units = [u for u in structure.units if u is not None]
    assert {u for u, _ in units} == {0} and len({a for _, a in units}) == alternatives
    assert structure.composition == pytest.approx(occupancies)
    assert_matches_enumeration(structure)
    r, total = structure.total_rdf(cutoff=2.0, bin_size=0.05)
    assert np.all(total[r < 0.7] == 0.0)
    for seed in range(5):
        ordered, _ = structure.expand_occupancies(max_sites=2000, seed=seed)
        assert short_pairs(ordered.lattice_matrix, ordered.frac_coords) == []


def test_full_atom_with_a_partial_one_on_top_keeps_what_the_partial_leaves():
    structure, messages = read(PARTIAL_ON_FULL)
    assert [sp for sp in structure.species if "O" in sp] == [{"O": pytest.approx(0.973)}, {"O": 0.027}]
    assert any(m.startswith("the file is inconsistent") for m in messages)


def _place_atoms(draw, st, place, centre, cell_lengths):
    """Two or three atoms of one place: a first at `centre`, the rest 0.2-0.6 A from it, each its own alternative
    (a free partly occupied atom, a group of its own assembly, or at most one fully occupied atom)."""
    rows = []
    full_taken = False
    for k in range(draw(st.integers(2, 3))):
        offset = np.zeros(3)
        if k:
            direction = np.array([draw(st.floats(-1, 1)) for _ in range(3)])
            norm = np.linalg.norm(direction)
            direction = direction / norm if norm > 0.1 else np.array([1.0, 0.0, 0.0])
            offset = direction * draw(st.floats(0.2, 0.6)) / np.asarray(cell_lengths)
        kind = draw(st.sampled_from(["free", "group", "full"] if not full_taken else ["free", "group"]))
        full_taken = full_taken or kind == "full"
        occupancy = 1 if kind == "full" else round(draw(st.floats(0.05, 0.45)), 3)
        codes = (f"P{place}K{k}", 1) if kind == "group" else (".", ".")
        x, y, z = (np.asarray(centre) + offset) % 1.0
        rows.append((f"O{place}{k}", "O", round(x, 5), round(y, 5), round(z, 5), occupancy, *codes))
    return rows


try:
    from hypothesis import given
    from hypothesis import strategies as st
except ImportError:  # pragma: no cover
    st = None

if st is not None:

    @st.composite
    def overlapping_places(draw):
        lengths = tuple(round(draw(st.floats(6.0, 8.0)), 3) for _ in range(3))
        angles = tuple(round(draw(st.floats(75.0, 105.0)), 2) for _ in range(3))
        # Places far apart: corners of a 2x2x2 grid of the cell, jittered.
        corners = draw(
            st.lists(
                st.sampled_from(list(itertools.product((0.2, 0.7), repeat=3))), min_size=1, max_size=3, unique=True
            )
        )
        rows = []
        for place, corner in enumerate(corners):
            centre = [c + draw(st.floats(-0.03, 0.03)) for c in corner]
            rows += _place_atoms(draw, st, place, centre, lengths)
        return cif(rows, cell=lengths, angles=angles)

    @given(overlapping_places())
    def test_overlapping_places_in_a_triclinic_cell_never_pair_or_meet(text):
        structure, messages = read(text)
        left = [m for m in messages if "pairs are counted as the file gives them" in m or "independent" in m]
        r, total = structure.total_rdf(cutoff=2.0, bin_size=0.05)
        ordered, _ = structure.expand_occupancies(max_sites=600, seed=1)
        if left:
            return
        assert np.all(np.abs(total[r < 0.7]) < 1e-12)
        assert short_pairs(ordered.lattice_matrix, ordered.frac_coords) == []


@pytest.mark.parametrize("seed", [1, 7, 42])
def test_mixed_site_of_a_unit_keeps_its_element_split_in_the_expansion(seed):
    matrix = [[4.0, 0, 0], [0.3, 4.2, 0], [0.1, -0.2, 4.1]]
    # Alternative 0 is a site shared 3:2 by Fe and Ni, alternative 1 an O 0.3 A away.
    species = [{"Fe": 0.3, "Ni": 0.2}, {"O": 0.5}]
    structure = Structure(matrix, [[0.1, 0.1, 0.1], [0.17, 0.1, 0.1]], species, units=[(0, 0), (0, 1)])
    ordered, report = structure.expand_occupancies(max_sites=2000, seed=seed)
    copies = report["scale"][0] ** 3
    composition = ordered.composition
    assert composition["Fe"] + composition["Ni"] == composition["O"] == copies // 2
    assert composition["Fe"] == round(0.6 * copies // 2)
    assert short_pairs(ordered.lattice_matrix, ordered.frac_coords) == []
