"""Structure as a value: exact equality and hashing, len, copies, the dict form, pickling across
real processes (multiprocessing and a Dask LocalCluster)."""

import copy
import json
import multiprocessing
import pickle
import random

import pytest

from kestrel import Structure

CUBE = [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]


def random_structure(seed: int) -> Structure:
    """A triclinic cell with mixed, partly occupied sites and coordinates outside [0, 1)."""
    rng = random.Random(seed)
    matrix = [[rng.uniform(-1, 1) + (6.0 if i == j else 0.0) for j in range(3)] for i in range(3)]
    frac = [[rng.uniform(-0.5, 1.5) for _ in range(3)] for _ in range(rng.randint(1, 12))]
    species = []
    for _ in frac:
        names = rng.sample(["Fe", "Ni", "O", "C", "Zr"], rng.randint(1, 3))
        weights = [rng.random() for _ in names]
        total = sum(weights) / rng.uniform(0.3, 1.0)
        species.append({name: w / total for name, w in zip(names, weights)})
    return Structure(matrix, frac, species)


@pytest.mark.parametrize("seed", range(6))
def test_equal_copies_and_the_dict_form_round_trip_exactly(seed):
    s = random_structure(seed)
    data = s.to_dict()
    assert list(data) == ["lattice_matrix", "frac_coords", "species"]
    for again in (
        s.copy(),
        copy.copy(s),
        copy.deepcopy(s),
        Structure.from_dict(data),
        Structure.from_dict(json.loads(json.dumps(data))),
        pickle.loads(pickle.dumps(s)),
        Structure(s.lattice_matrix, s.frac_coords, s.species),
    ):
        assert again == s and not (again != s)
        assert hash(again) == hash(s)
        assert again is not s
        assert again.to_dict() == data
    assert len(s) == s.n_sites
    assert len({s, s.copy(), Structure.from_dict(data)}) == 1


def test_equality_is_exact():
    s = Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Ni": 0.5}, {"O": 1.0}])
    assert s == Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Ni": 0.5, "Fe": 0.5}, {"O": 1.0}])
    assert s == Structure(CUBE, [[-0.0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Ni": 0.5}, {"O": 1.0}])
    different = [
        Structure(CUBE, [[1e-16, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Ni": 0.5}, {"O": 1.0}]),
        Structure(CUBE, [[1, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Ni": 0.5}, {"O": 1.0}]),  # an image is not equal
        Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Ni": 0.4999999999}, {"O": 1.0}]),
        Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Co": 0.5}, {"O": 1.0}]),
        Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5}, {"O": 1.0}]),
        Structure(CUBE, [[0.5, 0.5, 0.5], [0, 0, 0]], [{"O": 1.0}, {"Fe": 0.5, "Ni": 0.5}]),  # order counts
        Structure(CUBE, [[0, 0, 0]], [{"Fe": 0.5, "Ni": 0.5}]),
        Structure([[4.0, 0, 0], [0, 4.0, 0], [0, 0, 4.000000000001]], s.frac_coords, s.species),
    ]
    for other in different:
        assert s != other and not (s == other)
    assert s != "Structure" and s != None  # noqa: E711 - comparing with other types is simply unequal
    with pytest.raises(TypeError):
        s < s.copy()  # noqa: B015 - no ordering


@pytest.mark.parametrize(
    "data, error, message",
    [
        (
            {"lattice_matrix": CUBE, "frac_coords": [[0, 0, 0]]},
            ValueError,
            "Structure.from_dict() needs the key 'species'",
        ),
        (
            {"lattice_matrix": CUBE, "frac_coords": [[0, 0, 0]], "species": [{"Si": 1}], "spin": [0]},
            ValueError,
            "Structure.from_dict() got an unknown key 'spin'",
        ),
        (
            {"lattice_matrix": CUBE, "frac_coords": [[0, 0, 0]], "species": [{}]},
            ValueError,
            "every site needs at least one species",
        ),
        ([CUBE], TypeError, "argument 'data': 'list' object cannot be converted to 'PyDict'"),
    ],
)
def test_from_dict_refuses_what_it_cannot_rebuild(data, error, message):
    with pytest.raises(error) as info:
        Structure.from_dict(data)
    assert str(info.value) == message


def _describe(structure):
    # Runs in the child: the structure arrived by pickle.
    return structure.to_dict(), repr(structure), structure.n_atoms


def test_structures_cross_a_real_process_boundary():
    structures = [random_structure(seed) for seed in range(4)]
    context = multiprocessing.get_context("spawn")  # a fresh interpreter, nothing inherited
    with context.Pool(2) as pool:
        results = pool.map(_describe, structures)
        echoed = pool.map(copy.copy, structures)
    for s, (data, text, n_atoms), back in zip(structures, results, echoed):
        assert data == s.to_dict() and text == repr(s) and n_atoms == s.n_atoms
        assert back == s


def test_structures_travel_through_a_dask_cluster():
    distributed = pytest.importorskip("distributed")
    structures = [random_structure(seed) for seed in range(3)]
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            futures = client.map(lambda s: s.make_supercell(1, 1, 2), structures)
            doubled = client.gather(futures)
    for s, d in zip(structures, doubled):
        assert d == s.make_supercell(1, 1, 2)


def test_units_of_correlated_disorder_travel_with_the_structure():
    sites = [[0, 0, 0], [0.1, 0, 0], [0.5, 0.5, 0.5]]
    species = [{"Fe": 0.5}, {"Fe": 0.5}, {"O": 1.0}]
    s = Structure(CUBE, sites, species, units=[(0, 0), (0, 1), None])
    data = s.to_dict()
    assert data["units"] == [(0, 0), (0, 1), None]
    for again in (pickle.loads(pickle.dumps(s)), Structure.from_dict(json.loads(json.dumps(data))), copy.deepcopy(s)):
        assert again == s and again.units == s.units and hash(again) == hash(s)
    # The same sites without the units are another structure: their pairs weigh differently.
    assert s != Structure(CUBE, sites, species)
    assert "units" not in Structure(CUBE, sites, species).to_dict()


def test_files_with_units_pickle_to_equal_structures(corpus_dir):
    import warnings

    checked = 0
    for path in sorted(corpus_dir.glob("*.cif")):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                s = Structure.from_cif(path)
            except ValueError:
                continue
        if any(unit is not None for unit in s.units):
            assert pickle.loads(pickle.dumps(s)) == s, path
            checked += 1
    assert checked > 0
