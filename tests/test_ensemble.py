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


def run_python(code):
    import os
    import subprocess
    import sys

    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=300,
        env=dict(os.environ, MPLBACKEND="svg"),
    )


def test_saving_figures_leaves_the_matplotlib_backend_alone(tmp_path):
    pytest.importorskip("matplotlib")
    result = run_python(
        "import sys, matplotlib, kestrel\n"
        "from kestrel.plotting import save_ensemble_plots\n"
        "fcc = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]\n"
        "s = kestrel.Structure([[3.6, 0, 0], [0, 3.6, 0], [0, 0, 3.6]], fcc, [{'Fe': 0.5, 'Ni': 0.5}] * 4)\n"
        "before = matplotlib.get_backend()\n"
        "result = kestrel.ordering_ensemble(s, n_orderings=2, max_sites=32, cutoff=4.0)\n"
        f"print(save_ensemble_plots(result, {str(tmp_path)!r}))\n"
        "print(before, matplotlib.get_backend(), 'matplotlib.pyplot' in sys.modules)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "svg svg False"
    assert (tmp_path / "ensemble.png").read_bytes()[:4] == b"\x89PNG"


def test_ensemble_csv_columns_and_conventions(tmp_path, fe_ni):
    pytest.importorskip("matplotlib")
    from kestrel.plotting import save_ensemble_plots

    result = kestrel.ordering_ensemble(fe_ni, n_orderings=2, max_sites=32, cutoff=4.0, bin_size=0.1)
    save_ensemble_plots(result, str(tmp_path))
    lines = (tmp_path / "ensemble.csv").read_text(encoding="utf-8").splitlines()
    assert lines[0].startswith("# r: lower bin edge")
    header = next(line for line in lines if not line.startswith("#")).split(",")
    assert header[:5] == ["r", "r_centre", "total_weighted", "total_mean", "total_std"]
    assert "Fe-Ni_std" in header


def test_ordered_input_runs_one_ordering_with_a_warning(rocksalt):
    with pytest.warns(UserWarning, match="the structure is ordered .* needs no ensemble"):
        result = kestrel.ordering_ensemble(rocksalt, n_orderings=5, cutoff=4.0)
    assert result.seeds == [42]
    assert np.all(result.std_total == 0)


def test_repr_is_one_short_line(fe_ni):
    result = kestrel.ordering_ensemble(fe_ni, n_orderings=3, seed=5, max_sites=108, cutoff=6.0)
    text = repr(result)
    assert "\n" not in text and len(text) < 250
    assert text.startswith("EnsembleResult(3 orderings, seeds 5 to 7, 2x2x2 supercell, 4 partials of 60 bins")
    label, difference, spread, peak = result.deviations()[0]
    assert label == "total" and peak == pytest.approx(float(result.disordered_total.max()))
    assert difference == pytest.approx(float(abs(result.difference_total).max()))


def test_foreign_structures_are_converted_or_refused(fe_ni):
    pymatgen_core = pytest.importorskip("pymatgen.core")
    converted = pymatgen_core.Structure(pymatgen_core.Lattice(fe_ni.lattice_matrix), fe_ni.species, fe_ni.frac_coords)
    ours = kestrel.ordering_ensemble(fe_ni, n_orderings=2, max_sites=32, cutoff=4.0)
    theirs = kestrel.ordering_ensemble(converted, n_orderings=2, max_sites=32, cutoff=4.0)
    np.testing.assert_allclose(theirs.mean_total, ours.mean_total, atol=1e-12)
    with pytest.raises(
        TypeError,
        match="ordering_ensemble\\(\\) needs a kestrel.Structure, an ase.Atoms or a "
        "pymatgen Structure, got builtins.list",
    ):
        kestrel.ordering_ensemble([fe_ni])


def test_sro_orderings_sit_beside_random_fills_of_the_same_cell():
    five = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    structure = Structure(np.eye(3) * 3.6, five, [{"Co": 0.2, "Cr": 0.2, "Fe": 0.2, "Mn": 0.2, "Ni": 0.2}] * 4)
    result = kestrel.ordering_ensemble(
        structure,
        n_orderings=3,
        max_sites=256,
        cutoff=5.0,
        bin_size=0.07,
        sro="random",
        sro_options={"iterations": 100_000, "n_threads": 1},
    )
    assert [report["scale"] for report in result.reports] == [[4, 4, 4]] * 3
    random_fills = [
        kestrel.sqs(structure, max_sites=256, iterations=0, time_limit=None, n_threads=1, seed=s)[1]
        for s in result.seeds
    ]
    searched = result.sro.objectives()
    assert all(sqs < fill.objective / 2 for sqs, fill in zip(searched, random_fills))
    # A searched ordering sits closer to the weighted curves in the first shell than a random fill.
    first = np.searchsorted(result.r, 2.4), np.searchsorted(result.r, 2.7)

    def rms(mean, std, pair):
        return np.hypot(mean[pair] - result.disordered_partials[pair], std[pair])[first[0] : first[1]].max()

    pairs = [pair for pair in result.mean_partials if pair[0] != pair[1]]
    assert np.mean([rms(result.sro.mean_partials, result.sro.std_partials, p) for p in pairs]) < np.mean(
        [rms(result.mean_partials, result.std_partials, p) for p in pairs]
    )


def test_sro_orderings_get_their_own_figure_and_columns(tmp_path):
    pytest.importorskip("matplotlib")
    # Three elements give a grid of pairs in rows and columns, at a third of
    # the drawing a five-element alloy costs.
    three = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    structure = Structure(np.eye(3) * 3.6, three, [{"Co": 1 / 3, "Cr": 1 / 3, "Fe": 1 / 3}] * 4)
    result = kestrel.ordering_ensemble(
        structure, n_orderings=2, max_sites=108, cutoff=5.0, bin_size=0.07, sro="random", sro_options={"n_threads": 1}
    )
    written = kestrel.plotting.save_ensemble_plots(result, str(tmp_path))
    assert [p.rsplit("/", 1)[1] for p in written] == ["ensemble.csv", "ensemble.png", "sro.png"]
    assert all(open(p, "rb").read(4) == b"\x89PNG" for p in written[1:])
    header = [line for line in open(written[0]) if not line.startswith("#")][0].strip().split(",")
    assert {"Co-Cr_SQS_mean", "Cr-Fe_SQS_mean", "Fe-Fe_SQS_mean"} <= set(header)


def test_sro_must_be_random_a_target_or_none(fe_ni):
    with pytest.raises(ValueError, match="sro must be 'random', a target or None, got 'sqs'"):
        kestrel.ordering_ensemble(fe_ni, n_orderings=1, sro="sqs")
