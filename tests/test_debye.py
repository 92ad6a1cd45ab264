"""The Debye intensity of finite clusters: brute force, the grid's error, particles and peers."""

import numpy as np
import pytest

from kestrel import Structure
from kestrel._kestrel import _debye_sums
from kestrel.scattering import cut_particle, debye_intensity, debye_result, read_cluster
from kestrel.scattering.form_factors import form_factors
from kestrel.scattering.particles import as_cluster
from test_sq import copper, rocksalt

pytest.importorskip("periodictable")


def random_cluster(seed=0, n=240):
    """Two elements on whole, partial and mixed sites, and a unit of two alternatives, in a 14 Å box."""
    rng = np.random.default_rng(seed)
    edge = 14.0
    frac = rng.random((n, 3)) * 0.8 + 0.1
    species, units = [], []
    for i in range(n):
        kind = i % 4
        species.append(
            [{"Fe": 1.0}, {"O": 1.0}, {"Fe": 0.55, "O": 0.3}, {"O": 0.7}][kind]
            if i >= 6
            else [{"Fe": 0.6}, {"O": 0.6}, {"Fe": 0.3}, {"O": 0.4}, {"Fe": 0.5}, {"O": 0.35, "Fe": 0.05}][i]
        )
        units.append(None)
    # Unit 0: alternative 0 holds sites 0 and 1 (0.6 each), alternative 1 sites 2 and 3.
    units[0], units[1], units[2], units[3] = (0, 0), (0, 0), (0, 1), (0, 1)
    # Unit 1: one split atom, two alternatives.
    units[4], units[5] = (1, 0), (1, 1)
    frac[:6] = 0.5 + rng.normal(scale=0.03, size=(6, 3))
    return Structure(np.eye(3) * edge, frac, species, units=units)


def brute_force(structure, q, radiation):
    """I(Q) by a double loop over sites in NumPy, the weights written out."""
    cart = np.asarray(structure.cart_coords)
    species = structure.species
    units = structure.units
    f = form_factors(structure.elements, radiation, q)
    amplitude = [sum(o * f[e] for e, o in site.items()) for site in species]
    total = np.zeros(len(q))
    for i in range(len(cart)):
        total += sum(o * f[e] ** 2 for e, o in species[i].items())
        r = np.linalg.norm(cart - cart[i], axis=1)
        for j in range(len(cart)):
            if j == i:
                continue
            x = q * r[j]
            sinc = np.where(x == 0, 1.0, np.sin(x) / np.where(x == 0, 1.0, x))
            if units[i] is not None and units[j] is not None and units[i][0] == units[j][0]:
                if units[i][1] != units[j][1]:
                    continue
                weight = sum(min(oi, oj) * f[a] * f[b] for a, oi in species[i].items() for b, oj in species[j].items())
            else:
                weight = amplitude[i] * amplitude[j]
            total += weight * sinc
    return total


@pytest.mark.parametrize("radiation", ["xray", "neutron"])
def test_exact_sum_matches_a_double_loop(radiation):
    cluster = random_cluster()
    q = np.concatenate([[0.0], np.linspace(0.05, 30.0, 90)])
    expected = brute_force(cluster, q, radiation)
    exact = debye_intensity(cluster, q, radiation=radiation, exact=True)
    np.testing.assert_allclose(exact, expected, rtol=1e-9, atol=1e-9 * np.max(np.abs(expected)))
    binned = debye_intensity(cluster, q, radiation=radiation)
    assert np.max(np.abs(binned - expected)) <= 1e-4 * np.max(expected)


def test_parts_add_up_and_thread_counts_agree():
    cluster = random_cluster(seed=3)
    q = np.linspace(0.0, 20.0, 200)
    result = debye_result(cluster, q, radiation="neutron")
    np.testing.assert_allclose(result.self_term + sum(result.partials.values()), result.iq, rtol=1e-12)
    assert set(result.partials) == {("Fe", "Fe"), ("Fe", "O"), ("O", "O")}
    assert result.site_pairs == len(cluster) * (len(cluster) - 1) // 2
    # At Q = 0 every pair counts whole: I(0) is the squared total scattering, less what disorder removes.
    for n_threads in (1, 2, 3):
        again = debye_intensity(cluster, q, radiation="neutron", n_threads=n_threads)
        np.testing.assert_allclose(again, result.iq, rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize(
    "make, diameter, radiation, coarse",
    [(copper, 16.0, "xray", None), (rocksalt, 22.0, "neutron", 0.05)],
    ids=["Cu-xray", "NaCl-neutron"],
)
def test_default_grid_stays_within_1e4_of_the_exact_maximum_up_to_q25(make, diameter, radiation, coarse):
    """A crystalline particle is the hard case: its pairs sit on few distances, so grid errors add up."""
    particle = cut_particle(make(), diameter)
    q = np.arange(0.1, 25.0 + 1e-9, 0.01)
    exact = debye_intensity(particle, q, radiation=radiation, exact=True)
    binned = debye_intensity(particle, q, radiation=radiation)
    assert np.max(np.abs(binned - exact)) <= 1e-5 * np.max(exact)
    assert np.max(np.abs(binned - exact)[q > 10] / exact[q > 10]) <= 2e-3
    if coarse is not None:
        # The bound is met by design, not by accident: a grid 25 times as coarse misses it.
        worse = debye_intensity(particle, q, radiation=radiation, bin_width=coarse)
        assert np.max(np.abs(worse - exact)) > 1e-4 * np.max(exact)


def test_cut_particle_keeps_sites_within_the_shape():
    crystal = Structure(np.eye(3) * 4.0, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.7, "Ni": 0.3}, {"Al": 0.5}])
    sphere = cut_particle(crystal, 20.0)
    cart = np.asarray(sphere.cart_coords)
    centre = cart.mean(axis=0)
    # Sites of a bcc lattice within 10 Å of the origin: counted directly.
    n = np.arange(-4, 5)
    grid = np.stack(np.meshgrid(n, n, n, indexing="ij"), -1).reshape(-1, 3) * 4.0
    expected = np.sum(np.linalg.norm(grid, axis=1) <= 10.0) + np.sum(np.linalg.norm(grid + 2.0, axis=1) <= 10.0)
    assert len(sphere) == expected
    assert np.max(np.linalg.norm(cart - centre, axis=1)) <= 10.0 + 1e-9
    assert {tuple(sorted(s.items())) for s in sphere.species} == {(("Fe", 0.7), ("Ni", 0.3)), (("Al", 0.5),)}
    # A cube of edge 7 around (2, 2, 2) Å spans -1.5 to 5.5 along each axis: corners at 0 and 4, one centre.
    cube = cut_particle(crystal, 7.0, shape="cube", center=[0.5, 0.5, 0.5])
    assert len(cube) == 2**3 + 1
    assert np.all(np.ptp(np.asarray(cube.cart_coords), axis=0) <= 7.0)


def test_cut_particle_keeps_units_per_image():
    crystal = Structure(
        np.eye(3) * 6.0,
        [[0.1, 0.1, 0.1], [0.15, 0.1, 0.1], [0.5, 0.5, 0.5]],
        [{"O": 0.6}, {"O": 0.4}, {"Ti": 1.0}],
        units=[(0, 0), (0, 1), None],
    )
    particle = cut_particle(crystal, 25.0)
    units = particle.units
    assert all((place is None) == ("Ti" in site) for place, site in zip(units, particle.species))
    # Each image is a unit of its own; inside the surface it holds both alternatives.
    by_unit = {}
    for place in units:
        if place is not None:
            by_unit.setdefault(place[0], set()).add(place[1])
    whole = sum(1 for alternatives in by_unit.values() if alternatives == {0, 1})
    assert whole >= 0.9 * len(by_unit) and len(by_unit) > 30
    # The two alternatives, 0.3 Å apart, are never paired.
    q = np.linspace(0.5, 20, 60)
    np.testing.assert_allclose(debye_intensity(particle, q, exact=True), brute_force(particle, q, "xray"), rtol=1e-9)


@pytest.mark.parametrize(
    "args, message",
    [
        ((1.0,), "a sphere of 1 Å around the centre holds no site of this structure"),
        ((-5.0,), "diameter must be a positive number"),
        ((10.0, "cylinder"), "shape must be one of sphere, cube"),
    ],
)
def test_cut_particle_refuses(args, message):
    crystal = Structure(np.eye(3) * 4.0, [[0.5, 0.5, 0.5]], [{"Fe": 1.0}])
    with pytest.raises(ValueError, match=message):
        cut_particle(crystal, *args)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"q": [1.0, -1.0]}, "q must hold finite values of at least 0; value 1 is -1"),
        ({"q": [1.0, float("nan")]}, "q must hold finite values of at least 0; value 1 is nan"),
        ({"q": [1.0], "bin_width": 0.0}, "bin_width must be a positive number of Å"),
        ({"q": [1.0], "radiation": "light"}, "radiation must be 'xray' or 'neutron', got 'light'"),
        ({"q": [[1.0]]}, r"q must be one-dimensional, got shape \(1, 1\)"),
    ],
)
def test_debye_refuses_bad_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        debye_intensity(random_cluster(n=20), **kwargs)


def test_an_xyz_file_without_a_lattice_and_other_cluster_forms(tmp_path):
    positions = np.array([[0.0, 0.0, 0.0], [0.0, 0.0, 1.1], [7.5, -3.0, 2.0]])
    path = tmp_path / "co.xyz"
    lines = [f"{e} {x} {y} {z}" for e, (x, y, z) in zip(["C", "O", "Ar"], positions)]
    path.write_text("3\nCO and an Ar\n" + "\n".join(lines) + "\n")
    cluster = read_cluster(path)
    q = np.linspace(0, 15, 40)
    from_file = debye_intensity(cluster, q, exact=True)
    from_tuple = debye_intensity((positions, ["C", "O", "Ar"]), q, exact=True)
    np.testing.assert_allclose(from_file, from_tuple, rtol=1e-12)
    ase = pytest.importorskip("ase")
    np.testing.assert_allclose(
        debye_intensity(ase.Atoms("COAr", positions=positions), q, exact=True), from_tuple, rtol=1e-12
    )
    expected = brute_force(cluster, q, "xray")
    np.testing.assert_allclose(from_file, expected, rtol=1e-10)


def test_against_ase_debye_calculator():
    """ASE's calculator with method=None and no damping is the plain Debye sum with f = Z."""
    pytest.importorskip("ase")
    from ase.cluster import Octahedron
    from ase.utils.xrdebye import XrDebye

    atoms = Octahedron("Cu", 5)
    atoms.symbols[::3] = "Au"
    q = np.linspace(0.5, 12.0, 30)
    calculator = XrDebye(atoms, wavelength=0.5, damping=0.0, method=None)
    theirs = np.array([calculator.get(value / (2 * np.pi)) for value in q])
    elements, self_weights, pairs, _ = _debye_sums(as_cluster(atoms, "test"), q, exact=True)
    z = {"Cu": 29.0, "Au": 79.0}
    ours = sum(w * z[e] ** 2 for e, w in zip(elements, self_weights))
    row = 0
    for a, first in enumerate(elements):
        for second in elements[a:]:
            ours = ours + pairs[row] * z[first] * z[second]
            row += 1
    np.testing.assert_allclose(ours, theirs, rtol=1e-9)


def test_command_cuts_a_particle_and_writes_debye_csv(tmp_path):
    import pandas

    from conftest import EXAMPLES, run_kestrel

    done = run_kestrel(
        "debye",
        EXAMPLES / "FeNi_disordered.cif",
        "--diameter",
        "12",
        "--q",
        "0.5:10:0.05",
        "--partials",
        "--out",
        tmp_path,
    )
    assert done.returncode == 0, done.stderr
    table = pandas.read_csv(tmp_path / "debye.csv", comment="#")
    pairs = [c for c in table.columns if c not in ("Q", "I", "self")]
    np.testing.assert_allclose(table["self"] + table[pairs].sum(axis=1), table["I"], rtol=1e-9)
    assert (tmp_path / "debye.png").stat().st_size > 0 and (tmp_path / "debye_partials.png").stat().st_size > 0
    refused = run_kestrel("debye", EXAMPLES / "FeNi_disordered.cif", "--diameter", "-3")
    assert refused.returncode != 0 and "--diameter must be a positive number of Å, got -3.0" in refused.stderr
