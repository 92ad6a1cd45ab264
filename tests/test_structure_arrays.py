"""Structure.from_arrays and to_arrays against the list-based constructor."""

import pickle

import numpy as np
import pytest

from kestrel import Structure

LATTICE = np.array([[5.0, 0.0, 0.0], [1.0, 6.0, 0.0], [0.5, -0.5, 7.0]])


def random_sites(n, seed=0):
    rng = np.random.default_rng(seed)
    return rng.uniform(-0.5, 1.5, (n, 3)), rng.choice([8, 26, 11], n)


@pytest.mark.parametrize(
    "species",
    [
        lambda z: z,  # atomic numbers
        lambda z: z.astype(np.int32),
        lambda z: np.array([{8: "O", 26: "Fe", 11: "Na"}[v] for v in z]),  # NumPy str array
        lambda z: [{8: "O", 26: "Fe", 11: "Na"}[v] for v in z],  # a list of str
        lambda z: np.array([{8: "O", 26: "Fe", 11: "Na"}[v] for v in z], dtype=object),
    ],
)
def test_from_arrays_builds_what_the_constructor_builds(species):
    frac, z = random_sites(50)
    symbols = [{8: "O", 26: "Fe", 11: "Na"}[v] for v in z]
    built = Structure.from_arrays(LATTICE, frac, species(z))
    reference = Structure(LATTICE.tolist(), frac.tolist(), [{s: 1.0} for s in symbols])
    assert built.frac_coords == reference.frac_coords
    assert built.species == reference.species
    assert built.lattice_matrix == reference.lattice_matrix


def test_cartesian_positions_and_occupancies():
    frac, z = random_sites(20, seed=1)
    occupancies = np.linspace(0.1, 1.0, 20)
    built = Structure.from_arrays(LATTICE.T.T, frac @ LATTICE, z, occupancies=occupancies, cartesian=True)
    np.testing.assert_allclose(built.frac_coords, frac, atol=1e-13)
    assert [next(iter(s.values())) for s in built.species] == occupancies.tolist()
    assert not built.is_ordered


def test_round_trip_through_to_arrays():
    frac, z = random_sites(30, seed=2)
    built = Structure.from_arrays(LATTICE, frac, z, occupancies=np.full(30, 0.75))
    lattice, positions, symbols, occupancies = built.to_arrays()
    assert positions.shape == (30, 3) and lattice.shape == (3, 3) and symbols.shape == (30,)
    np.testing.assert_array_equal(lattice, LATTICE)
    np.testing.assert_array_equal(positions, frac)
    assert symbols.tolist() == [{8: "O", 26: "Fe", 11: "Na"}[v] for v in z]
    np.testing.assert_array_equal(occupancies, 0.75)
    again = Structure.from_arrays(lattice, positions, symbols, occupancies)
    assert again.species == built.species and again.frac_coords == built.frac_coords
    positions[0, 0] = 99.0  # the arrays are the caller's own
    assert built.frac_coords[0][0] == frac[0, 0]


# Names are kept inline up to 15 UTF-8 bytes and on the heap beyond: either
# side of that edge, in bytes that are not characters, and far beyond it.
@pytest.mark.parametrize("name", ["Fe", "x" * 15, "x" * 16, "é" * 7 + "x", "é" * 8, "a label longer than any symbol"])
def test_names_of_any_length_survive_every_way_in_and_out(name):
    frac, z = random_sites(12, seed=3)
    names = [name if v == 8 else "Na" for v in z]
    # An object array: a list would become a NumPy str array, which must be ASCII.
    built = Structure.from_arrays(LATTICE, frac, np.array(names, dtype=object))
    reference = Structure(LATTICE.tolist(), frac.tolist(), [{s: 1.0} for s in names])
    assert built == reference and hash(built) == hash(reference)
    assert pickle.loads(pickle.dumps(built)) == built
    assert Structure.from_dict(built.to_dict()) == built
    assert built.to_arrays()[2].tolist() == names
    assert built.elements == sorted({name, "Na"}, key=str.encode)
    mixed = Structure(
        LATTICE.tolist(), [[0, 0, 0], [0.5, 0.5, 0.5]], [{name: 0.5, "Na": 0.25}, {"Na": 1.0, name + "2": 0.0}]
    )
    assert mixed.species == [{name: 0.5, "Na": 0.25}, {"Na": 1.0, name + "2": 0.0}]
    assert mixed.composition == {name: 0.5, "Na": 1.25, name + "2": 0.0}
    assert set(mixed.prdf(cutoff=4.0)[1]) == {(a, b) for a in mixed.elements for b in mixed.elements}


def test_rdf_of_arrays_equals_rdf_of_lists(rocksalt):
    lattice, positions, symbols, _ = rocksalt.to_arrays()
    built = Structure.from_arrays(lattice, positions, symbols)
    for got, want in zip(built.total_rdf(6.0, n_threads=1), rocksalt.total_rdf(6.0, n_threads=1)):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((np.eye(2), [[0, 0, 0]], [1]), {}, ValueError, "lattice must be 3x3"),
        ((LATTICE, [[0, 0]], [1]), {}, ValueError, "positions must have shape (n, 3)"),
        (
            (LATTICE, [[0, 0, 0]], [1, 2]),
            {},
            ValueError,
            "numbers_or_symbols must hold one atomic number or symbol per position",
        ),
        (
            (LATTICE, [[0, 0, 0], [0.5, 0.5, 0.5]], [1, 119]),
            {},
            ValueError,
            "atomic number 119 at position 1 is not an element (1 to 118)",
        ),
        ((LATTICE, [[0, 0, 0]], [0]), {}, ValueError, "atomic number 0 at position 0 is not an element (1 to 118)"),
        (
            (LATTICE, [[0, 0, 0]], [1]),
            {"occupancies": [1, 1]},
            ValueError,
            "occupancies must hold one number per position",
        ),
        ((LATTICE, [[0, 0, 0]], [1]), {"occupancies": [1.5]}, ValueError, None),
        ((np.zeros((3, 3)), [[0, 0, 0]], [1]), {}, ValueError, "cell matrix is singular (zero volume)"),
        ((LATTICE, np.zeros((0, 3)), []), {}, ValueError, "structure has no sites"),
        ((LATTICE, [[0, 0, 0]], [None]), {}, TypeError, None),
        ((LATTICE, [["a", 0, 0]], [1]), {}, ValueError, None),
    ],
)
def test_from_arrays_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Structure.from_arrays(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_to_arrays_refuses_mixed_sites():
    mixed = Structure(LATTICE.tolist(), [[0, 0, 0], [0.5, 0.5, 0.5]], [{"O": 1.0}, {"Fe": 0.5, "Ni": 0.5}])
    with pytest.raises(ValueError, match="^to_arrays needs one element per site; site 1 holds 2$"):
        mixed.to_arrays()


def test_to_arrays_refuses_units_of_correlated_disorder():
    species = [{"C": 0.5}, {"O": 0.5}, {"C": 0.5}, {"O": 0.5}]
    frac = [[0.95, 0.5, 0.5], [0.25, 0.5, 0.5], [0.97, 0.52, 0.5], [0.97, 0.82, 0.5]]
    with_units = Structure(LATTICE.tolist(), frac, species, units=[(0, 0), (0, 0), (0, 1), (0, 1)])
    with pytest.raises(
        ValueError, match="^to_arrays cannot carry units of correlated disorder; the structure has 1 unit$"
    ):
        with_units.to_arrays()
