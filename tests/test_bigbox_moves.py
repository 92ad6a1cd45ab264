"""Big-box moves: the pair counts a refinement keeps up to date move by move equal a fresh count of
the structure it ends with, for random skewed cells, species, vacancies and kinds of move."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrel._kestrel import _big_box_refine


def curve_spec(n_pairs):
    """A data set that any counts change: the moves are what is under test, not the fit."""
    points = 40
    return {
        "first": 10,
        "step": 0.1,
        "oversample": 4,
        "data": np.sin(np.arange(points)) + 2.0,
        "weight": np.ones(points),
        "factor": np.ones(points),
        "baseline": np.zeros(points),
        "profile": [np.linspace(0.5 + p, 1.0, 9) for p in range(n_pairs)],
        "centre": 4,
        "importance": 1.0,
    }


@st.composite
def models(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    lattice = np.diag(rng.uniform(4.0, 7.0, 3)) + np.triu(rng.uniform(-1.5, 1.5, (3, 3)), 1)
    n_sites = draw(st.integers(4, 24))
    n_species = draw(st.integers(1, 3))
    species = rng.integers(-1, n_species, n_sites)
    species[:2] = [0, n_species - 1 if n_species > 1 else -1]  # something to swap
    return {
        "lattice": lattice.ravel().tolist(),
        "frac": rng.uniform(0.0, 1.0, (n_sites, 3)).ravel(),
        "species": species.astype(float),
        "elements": ["Cu", "Au", "O"][:n_species],
        "pools": [list(range(n_sites))],
        "units": [],
    }


@given(
    model=models(),
    moves=st.sampled_from([(True, False), (False, True), (True, True)]),
    windows=st.booleans(),
    seed=st.integers(0, 1000),
    reach_bins=st.integers(100, 400),
)
def test_random_moves_and_swaps_keep_counts_equal_to_a_recount(model, moves, windows, seed, reach_bins):
    swap, displace = moves
    m = len(model["elements"])
    settings = dict(
        swap=swap,
        displace=displace,
        max_step=0.7,
        bin=0.025,  # a reach of 2.5 to 10 Å, wider than the cell at times
        n_bins=reach_bins,
        min_distance=[0.3] * (m * m) if windows else None,
        seed=seed,
    )
    spec = [curve_spec(m * (m + 1) // 2)]
    moved = _big_box_refine(model, spec, iterations=300, **settings)[0]
    recount = _big_box_refine(
        dict(model, frac=moved["frac"], species=moved["species"]), spec, iterations=0, **settings
    )[0]
    assert sum(moved["accepted"]) > 0
    np.testing.assert_array_equal(moved["counts"], recount["counts"])


@pytest.mark.parametrize("threads", [1, 2])
def test_swaps_of_replicas_share_no_state(threads):
    """Replicas copy one listed state; each must count its own swaps only."""
    rng = np.random.default_rng(3)
    n_sites = 32
    model = {
        "lattice": (np.eye(3) * 8.0).ravel().tolist(),
        "frac": rng.uniform(0, 1, (n_sites, 3)).ravel(),
        "species": (np.arange(n_sites) % 2).astype(float),
        "elements": ["Cu", "Au"],
        "pools": [list(range(n_sites))],
        "units": [],
    }
    spec = [curve_spec(3)]
    runs = _big_box_refine(model, spec, bin=0.02, n_bins=300, iterations=400, replicas=[0, 1, 2], n_threads=threads)
    for run in runs:
        recount = _big_box_refine(dict(model, species=run["species"]), spec, bin=0.02, n_bins=300, iterations=0)[0]
        np.testing.assert_array_equal(run["counts"], recount["counts"])
