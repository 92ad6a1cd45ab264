"""The site pairs a refinement sums over, from the core's neighbour query: the same pairs, shifts and
multiplicities as a brute-force search over lattice translations and a grouping by the space group's images."""

import math

import numpy as np
import pytest

from conftest import EXAMPLES
from kestrel import Structure
from kestrel._kestrel import _site_pairs
from kestrel.scattering.constraints import crystal_symmetry

RANKING = np.array([0.7548776662466927, 0.5698402909980532, 0.3141592653589793])

pytestmark = pytest.mark.filterwarnings("ignore::kestrel.CifReadWarning")


def brute_force_pairs(frac, metric, reach, centres):
    """Every (i, j, n), i among the centres, with 0 < |f_j + n - f_i| <= reach, over a box of translations."""
    inverse = np.linalg.inv(metric)
    # Wide enough for coordinates anywhere: the sphere's span plus how far apart the sites lie.
    spread = np.ptp(frac, axis=0)
    spans = [int(math.ceil(reach * math.sqrt(inverse[k, k]) + spread[k])) + 1 for k in range(3)]
    grid = np.stack(np.meshgrid(*[np.arange(-s, s + 1) for s in spans], indexing="ij"), axis=-1).reshape(-1, 3)
    rows = []
    for i in centres:
        delta = frac[None, :, :] - frac[i] + grid[:, None, :]
        d2 = np.einsum("tsa,ab,tsb->ts", delta, metric, delta)
        t, j = np.nonzero((d2 <= reach * reach) & (d2 > 1e-16))
        rows += [(int(i), int(jj), *grid[tt]) for tt, jj in zip(t, j)]
    return rows


def symmetry_key(i, j, n, frac, symmetry):
    """The representative and the image of the pair's vector lowest along a generic direction, in 1e-7 units."""
    wrapped = np.mod(frac, 1.0)
    rep = int(symmetry.orbit[i])
    images = wrapped[i] @ symmetry.rotations.transpose(0, 2, 1) + symmetry.translations
    offset = images - wrapped[rep]
    onto = symmetry.rotations[np.all(np.abs(offset - np.rint(offset)) < 1e-4, axis=1)]
    rotated = onto @ (frac[j] + np.asarray(n, dtype=float) - frac[i])
    best = rotated[np.argmin(np.round(rotated @ RANKING, 9))]
    return (rep, *np.rint(best * 1e7).astype(np.int64).tolist())


def random_triclinic(seed, n_sites):
    rng = np.random.default_rng(seed)
    lengths = rng.uniform(3.0, 6.0, 3)
    matrix = np.diag(lengths) + np.triu(rng.uniform(-1.5, 1.5, (3, 3)), 1)
    # Coordinates outside [0, 1): the shifts are between the positions as given, not wrapped ones.
    return matrix, rng.uniform(-1.2, 2.2, (n_sites, 3))


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("n_threads", [1, 3])
def test_pairs_on_random_triclinic_cells_are_the_brute_force_ones(seed, n_threads):
    matrix, frac = random_triclinic(seed, 1 + seed % 4)
    reach = 7.5
    i, j, shift, count = _site_pairs(matrix, frac, reach, n_threads=n_threads)
    expected = brute_force_pairs(frac, matrix @ matrix.T, reach, range(len(frac)))
    found = [(int(a), int(b), *map(int, n)) for a, b, n in zip(i, j, shift)]
    assert len(found) == len(set(found))
    assert set(found) == set(expected)
    assert np.all(count == 1.0)
    assert np.all(np.diff(i) >= 0)  # listed by first site


def wurtzite():
    a, c = 4.30, 7.01
    lattice = [[a, 0, 0], [-a / 2, a * math.sqrt(3) / 2, 0], [0, 0, c]]
    frac = [[1 / 3, 2 / 3, 0.0], [2 / 3, 1 / 3, 0.5], [1 / 3, 2 / 3, 0.377], [2 / 3, 1 / 3, 0.877]]
    return Structure(lattice, frac, [{"Cd": 1.0}] * 2 + [{"Se": 1.0}] * 2)


def inversion_pairs(seed):
    """A random triclinic cell with a centre of symmetry (P-1): sites and their inverses."""
    matrix, half = random_triclinic(seed, 3)
    frac = np.concatenate([half, -half + 0.37])
    return Structure(matrix.tolist(), frac.tolist(), [{"Fe": 1.0}, {"O": 1.0}, {"Ni": 1.0}] * 2)


STRUCTURES = {
    "rutile": lambda: Structure.from_cif(str(EXAMPLES / "TiO2_rutile.cif")),
    "nickel": lambda: Structure.from_cif(str(EXAMPLES / "Ni.cif")),
    "rock salt": lambda: Structure.from_cif(str(EXAMPLES / "NaCl.cif")),
    "wurtzite": wurtzite,
    "wurtzite 2x2x1": lambda: wurtzite().make_supercell(2, 2, 1),
    "P-1 seed 0": lambda: inversion_pairs(0),
    "P-1 seed 1": lambda: inversion_pairs(1),
}


@pytest.mark.parametrize("name", list(STRUCTURES))
def test_pairs_grouped_by_the_space_group_are_the_brute_force_groups(name):
    structure = STRUCTURES[name]()
    symmetry = crystal_symmetry(structure)
    matrix = np.asarray(structure.lattice_matrix)
    frac = np.asarray(structure.frac_coords)
    reach = 9.0
    i, j, shift, count = _site_pairs(matrix, frac, reach, symmetry.rotations, symmetry.translations, symmetry.orbit)

    # Every pair of the structure, grouped by its key: the groups and their sizes.
    expected = {}
    for pair in brute_force_pairs(frac, matrix @ matrix.T, reach, range(len(frac))):
        key = symmetry_key(pair[0], pair[1], pair[2:], frac, symmetry)
        expected[key] = expected.get(key, 0) + 1
    found = {}
    for a, b, n, c in zip(i, j, shift, count):
        assert symmetry.orbit[a] == a  # pairs start on a representative
        key = symmetry_key(int(a), int(b), n, frac, symmetry)
        assert key not in found
        found[key] = c
    assert found == pytest.approx(expected, rel=0, abs=0)
    # The multiplicities count every pair once.
    assert np.sum(count) == len(brute_force_pairs(frac, matrix @ matrix.T, reach, range(len(frac))))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m, f: _site_pairs(m, f, -1.0), "the reach must be a positive number"),
        (lambda m, f: _site_pairs(m, f, math.nan), "the reach must be a positive number"),
        (lambda m, f: _site_pairs(m[:2], f, 3.0), "lattice must have shape (3, 3)"),
        (lambda m, f: _site_pairs(m, f[:, :2], 3.0), "frac must have shape (n, 3)"),
        (lambda m, f: _site_pairs(m, f * np.nan, 3.0), "every fractional coordinate must be a finite number"),
        (lambda m, f: _site_pairs(np.zeros((3, 3)), f, 3.0), "singular"),
        (lambda m, f: _site_pairs(m, f, 3.0, np.eye(3)[None]), "give rotations, translations and orbit together"),
        (
            lambda m, f: _site_pairs(m, f, 3.0, np.eye(3)[None], np.zeros((1, 3)), [0]),
            "orbit must give one representative per site",
        ),
        (
            lambda m, f: _site_pairs(m, f, 3.0, np.eye(3)[None], np.zeros((1, 3)), [1, 0]),
            "every site's representative must be a site that represents itself",
        ),
        (
            lambda m, f: _site_pairs(m, f, 3.0, np.eye(3)[None], np.zeros((2, 3)), [0, 0]),
            "rotations and translations must list the same operations",
        ),
    ],
)
def test_site_pairs_refuse_what_they_cannot_search(call, message):
    matrix = np.diag([3.0, 4.0, 5.0])
    frac = np.array([[0.0, 0.0, 0.0], [0.5, 0.5, 0.5]])
    with pytest.raises(ValueError) as raised:
        call(matrix, frac)
    assert message in str(raised.value)
