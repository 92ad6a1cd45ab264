"""Ordering ensembles: many expansions of one disordered structure."""

import numpy as np
import pytest

import kestrel
from kestrel import Structure


@pytest.fixture
def fe_ni():
    fcc = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    return Structure([[3.6, 0, 0], [0, 3.6, 0], [0, 0, 3.6]], fcc, [{"Fe": 0.5, "Ni": 0.5}] * 4)


def test_mean_and_spread_match_a_manual_loop(fe_ni):
    result = kestrel.ordering_ensemble(fe_ni, n_orderings=4, seed=10, max_sites=108, cutoff=6.0, bin_size=0.1)
    assert result.seeds == [10, 11, 12, 13]
    totals = []
    partials = []
    for seed in result.seeds:
        ordered, _ = fe_ni.expand_occupancies(max_sites=108, seed=seed)
        _, p, t = ordered.prdf(cutoff=6.0, bin_size=0.1)
        totals.append(t)
        partials.append(p[("Fe", "Ni")])
    np.testing.assert_allclose(result.mean_total, np.mean(totals, axis=0), rtol=1e-9)
    np.testing.assert_allclose(result.std_total, np.std(totals, axis=0), rtol=1e-9, atol=1e-15)
    np.testing.assert_allclose(result.mean_partials[("Fe", "Ni")], np.mean(partials, axis=0), rtol=1e-9)
    _, weighted, weighted_total = fe_ni.prdf(cutoff=6.0, bin_size=0.1)
    np.testing.assert_allclose(result.difference_total, result.mean_total - weighted_total, atol=1e-12)
    assert set(result.mean_partials) == set(weighted)


def test_orderings_of_a_substitutional_alloy_keep_the_lattice_peaks(fe_ni):
    result = kestrel.ordering_ensemble(fe_ni, n_orderings=3, max_sites=256, cutoff=5.0, bin_size=0.07)
    # Whatever the ordering, the total curve of an undistorted alloy is that of the lattice
    # (bins chosen so that no neighbour distance falls on an edge, where rounding decides).
    np.testing.assert_allclose(result.mean_total, result.disordered_total, rtol=1e-9, atol=1e-12)
    assert np.all(result.std_total < 1e-9)
    # The partials do vary with the ordering.
    assert result.std_partials[("Fe", "Ni")].max() > 0


def test_progress_callback_and_bad_count(fe_ni):
    seen = []
    kestrel.ordering_ensemble(fe_ni, n_orderings=2, max_sites=32, cutoff=4.0, progress=lambda d, t: seen.append((d, t)))
    assert seen == [(1, 2), (2, 2)]
    with pytest.raises(ValueError, match="n_orderings must be at least 1"):
        kestrel.ordering_ensemble(fe_ni, n_orderings=0)
