"""S(Q) of crystals against a brute-force sum over every reflection, and supercells against their cells."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrel import Structure
from kestrel._kestrel import _bragg_sums
from kestrel.scattering import compute_sq
from kestrel.scattering.form_factors import form_factors

pytest.importorskip("periodictable")

ELEMENTS = ["Fe", "Ni", "O"]


def random_cell(seed, n_sites=5, unit=True):
    """A triclinic cell with whole, partial and mixed sites and, if asked, one unit of two alternatives."""
    rng = np.random.default_rng(seed)
    matrix = np.diag(rng.uniform(3.5, 5.0, 3)) + rng.uniform(-0.6, 0.6, (3, 3))
    frac = rng.random((n_sites, 3))
    species = [{"Fe": 1.0}, {"Fe": 0.55, "Ni": 0.35}, {"O": 0.8}]
    species = [species[k % 3] for k in range(n_sites)]
    units = None
    if unit:
        # A split O: two positions 0.4 Å apart, one of them filled.
        frac = np.vstack([frac, frac[-1] + np.linalg.solve(matrix.T, [0.4, 0.0, 0.0])])
        species = species + [{"O": 0.5}]
        species[-2] = {"O": 0.5}
        units = [None] * (n_sites - 1) + [(0, 0), (0, 1)]
    return Structure(matrix.tolist(), frac.tolist(), species, units=units)


def brute_force_sq(structure, q, u, qdamp, radiation):
    """S(Q) reflection by reflection over the whole box of Miller indices, every ±G apart, with
    no line grouping, plus the self and unit terms written out site by site."""
    matrix = np.asarray(structure.lattice_matrix, dtype=float)
    frac = np.asarray(structure.frac_coords, dtype=float)
    elements = [e for e in ELEMENTS if structure.composition.get(e, 0) > 0]
    occ = np.array([[site.get(e, 0.0) for e in elements] for site in structure.species])
    n_atoms = occ.sum()
    volume = abs(np.linalg.det(matrix))
    reach = q.max() + 8 * qdamp
    reciprocal = 2 * math.pi * np.linalg.inv(matrix).T
    limits = [int(reach * np.linalg.norm(matrix[k]) / (2 * math.pi)) for k in range(3)]
    axes = [np.arange(-n, n + 1) for n in limits]
    hkl = np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, 3)
    g = np.linalg.norm(hkl @ reciprocal, axis=1)
    keep = (g > 0) & (g <= reach)
    hkl, g = hkl[keep], g[keep]
    factors = np.exp(2j * math.pi * hkl @ frac.T) @ occ  # (G, A)
    pair_u = np.add.outer([u] * len(elements), [u] * len(elements))
    n_el = len(elements)
    distinct = np.zeros((len(q), n_el, n_el))
    norm = 1 / (qdamp * math.sqrt(2 * math.pi))
    for a in range(n_el):
        for b in range(n_el):
            area = (
                (2 * math.pi) ** 3
                / (4 * math.pi * volume * n_atoms)
                * np.real(factors[:, a] * np.conj(factors[:, b]))
                / g
                * np.exp(-0.5 * pair_u[a, b] * g**2)
            )
            shape = norm * (
                np.exp(-0.5 * ((q[:, None] - g) / qdamp) ** 2) - np.exp(-0.5 * ((q[:, None] + g) / qdamp) ** 2)
            )
            distinct[:, a, b] = shape @ area / q
    damping = np.exp(-0.5 * q[:, None, None] ** 2 * pair_u)
    distinct -= (occ.T @ occ / n_atoms) * damping
    units = structure.units
    cart = frac @ matrix
    for i, place_i in enumerate(units):
        for j, place_j in enumerate(units):
            if i == j or place_i is None or place_j is None or place_i[0] != place_j[0]:
                continue
            shift = -np.rint(frac[j] - frac[i])
            r = np.linalg.norm((frac[j] + shift) @ matrix - cart[i])
            for a in range(n_el):
                for b in range(n_el):
                    oa, ob = occ[i, a], occ[j, b]
                    if oa == 0 or ob == 0:
                        continue
                    together = min(oa, ob) if place_i[1] == place_j[1] else 0.0
                    distinct[:, a, b] += (together - oa * ob) * np.sinc(q * r / math.pi) / n_atoms * damping[:, a, b]
    powers = form_factors(elements, radiation, q)
    f = np.stack([powers[e] for e in elements], axis=1)
    c = occ.sum(axis=0) / n_atoms
    mean = f @ c
    return 1 + np.einsum("qa,qb,qab->q", f, f, distinct) / mean**2


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("radiation", ["neutron", "xray"])
@pytest.mark.parametrize("unit", [False, True], ids=["independent", "unit"])
def test_sq_equals_a_brute_force_sum_over_every_reflection(seed, radiation, unit):
    structure = random_cell(seed, unit=unit)
    q = np.arange(0.05, 12.0, 0.01)
    ours = compute_sq(structure, q, radiation=radiation, u_iso=0.004, qdamp=0.05).sq
    reference = brute_force_sq(structure, q, 0.004, 0.05, radiation)
    assert np.max(np.abs(ours - reference)) <= 1e-9 * np.max(np.abs(reference))


def test_a_supercell_with_one_site_changed_is_summed_whole():
    """No smaller cell repeats it: every reflection of the supercell counts."""
    cell = random_cell(4, n_sites=3, unit=False)
    big = cell.make_supercell(2, 2, 1)
    species = big.species
    species[0] = {"Ni": 1.0}
    changed = Structure(big.lattice_matrix, big.frac_coords, species)
    q = np.arange(0.05, 6.0, 0.01)
    ours = compute_sq(changed, q, radiation="neutron", u_iso=0.004, qdamp=0.05).sq
    reference = brute_force_sq(changed, q, 0.004, 0.05, "neutron")
    assert np.max(np.abs(ours - reference)) <= 1e-9 * np.max(np.abs(reference))
    assert not np.allclose(ours, compute_sq(big, q, radiation="neutron", u_iso=0.004, qdamp=0.05).sq)


def core_arguments(structure):
    elements = sorted({e for site in structure.species for e in site})
    occ = [[site.get(e, 0.0) for e in elements] for site in structure.species]
    frac = np.asarray(structure.frac_coords, dtype=float).ravel()
    return structure.lattice_matrix, frac, np.ravel(occ), [0.005] * len(elements)


@pytest.mark.parametrize(
    ("make", "copies"),
    [
        (lambda: random_cell(5, unit=False), 1),
        (lambda: random_cell(5, unit=False).make_supercell(2, 3, 1), 6),
        # Conventional fcc rock salt holds four primitive cells.
        (
            lambda: Structure(
                np.eye(3) * 5.64,
                [
                    [0, 0, 0],
                    [0, 0.5, 0.5],
                    [0.5, 0, 0.5],
                    [0.5, 0.5, 0],
                    [0.5, 0.5, 0.5],
                    [0.5, 0, 0],
                    [0, 0.5, 0],
                    [0, 0, 0.5],
                ],
                [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4,
            ).make_supercell(2, 1, 3),
            24,
        ),
        # A mixed site with a vacancy share: only equal occupancies stand in for each other.
        (lambda: Structure(np.eye(3) * 3.0, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5}, {"Fe": 0.5}]), 2),
        (lambda: Structure(np.eye(3) * 3.0, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5}, {"Fe": 0.4}]), 1),
    ],
    ids=["triclinic", "triclinic-2x3x1", "rocksalt-2x1x3", "bcc-half", "bcc-unequal"],
)
def test_the_smallest_repeating_cell_is_summed(make, copies):
    lattice, frac, occ, u = core_arguments(make())
    _, _, found = _bragg_sums(lattice, frac, occ, u, [0.5, 1.0], qdamp=0.02)
    assert found == copies


@settings(max_examples=15, deadline=None)
@given(
    seed=st.integers(0, 10_000),
    repeats=st.tuples(st.integers(1, 3), st.integers(1, 3), st.integers(1, 2)),
    qdamp=st.sampled_from([0.0, 0.04]),
)
def test_a_supercell_gives_its_cells_curves(seed, repeats, qdamp):
    cell = random_cell(seed, n_sites=4)
    q = np.arange(0.0, 10.0, 0.01)
    small = compute_sq(cell, q, radiation="neutron", u_iso=0.006, qdamp=qdamp)
    big = compute_sq(cell.make_supercell(*repeats), q, radiation="neutron", u_iso=0.006, qdamp=qdamp)
    scale = np.max(np.abs(small.sq))
    assert np.max(np.abs(big.sq - small.sq)) <= 1e-9 * scale
    for pair, curve in small.partials.items():
        assert np.max(np.abs(big.partials[pair] - curve)) <= 1e-9 * np.max(np.abs(curve))


@pytest.mark.parametrize(
    ("change", "message"),
    [
        # u names the elements: a third one finds two occupancies per site too few.
        ({"u": [0.005] * 3}, "occupancy must hold one value per site and element"),
        ({"u": [0.005, -1.0]}, "u must hold positive numbers of Å²"),
        ({"occ": [1.0, 0.0, 0.0]}, "occupancy must hold one value per site and element"),
        ({"q": [1.0, -0.5]}, "q must hold finite values of at least 0; value 1 is -0.500000"),
        ({"qdamp": float("nan")}, "qdamp must be a non-negative number"),
        ({"frac": [0.0, 0.0, 0.0, 0.5, 0.5]}, "frac must hold three coordinates per site"),
        ({"lattice": [[1, 0, 0], [2, 0, 0], [0, 0, 1]]}, "singular"),
    ],
)
def test_the_core_refuses(change, message):
    arguments = {
        "lattice": np.eye(3) * 3.0,
        "frac": [0.0, 0.0, 0.0, 0.5, 0.5, 0.5],
        "occ": [1.0, 0.0, 0.0, 1.0],
        "u": [0.005, 0.005],
        "q": [1.0, 2.0],
        "qdamp": 0.0,
    }
    arguments.update(change)
    with pytest.raises(ValueError, match=message):
        _bragg_sums(
            arguments["lattice"],
            arguments["frac"],
            arguments["occ"],
            arguments["u"],
            arguments["q"],
            qdamp=arguments["qdamp"],
        )
