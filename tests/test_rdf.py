"""prdf / total_rdf against a brute-force reference, the checks, the pools."""

import math
import os
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import kestrel
from kestrel import Structure

CUBIC10 = [[10.0, 0, 0], [0, 10.0, 0], [0, 0, 10.0]]
# A distance this close below a bin edge (relative) counts as on it.
EDGE_TOLERANCE = 1e-10


# ---- the reference ------------------------------------------------------------------


_REFERENCES = {}


def reference_prdf(matrix, frac_coords, species, cutoff, bin_size):
    """Every image of every site enumerated directly, binned and normalised
    as kestrel documents it: bins [e_k, e_k+1) with the last one closed, a
    distance within EDGE_TOLERANCE (relative) of an edge counted on it,
    weights w_A(i) * w_B(j) over ordered pairs, g_AB = H_AB / (N_A V_k) and
    g = sum H_AB / (N V_k). Computed once per case: the tests that check
    several thread counts against one case share it."""
    key = (
        np.asarray(matrix, dtype=float).tobytes(),
        np.asarray(frac_coords, dtype=float).tobytes(),
        repr(species),
        cutoff,
        bin_size,
    )
    if key not in _REFERENCES:
        _REFERENCES[key] = _enumerate_images(matrix, frac_coords, species, cutoff, bin_size)
    return _REFERENCES[key]


def _enumerate_images(matrix, frac_coords, species, cutoff, bin_size):
    m = np.asarray(matrix, dtype=float)
    frac = np.asarray(frac_coords, dtype=float)
    wrapped = frac - np.floor(frac)
    wrapped[wrapped >= 1.0] = 0.0
    elements = sorted({name for site in species for name in site})
    index = {name: i for i, name in enumerate(elements)}
    weights = np.zeros((len(frac), len(elements)))
    for s, site in enumerate(species):
        for name, occupancy in site.items():
            weights[s, index[name]] += occupancy

    n_edges = math.ceil((cutoff + bin_size) / bin_size)
    edges = np.arange(n_edges, dtype=float) * bin_size
    n_bins = n_edges - 1

    # Each partner starts from its image nearest the centre along every axis
    # (a fractional offset of at most a half), so an image within the cutoff
    # is at most cutoff / width + 1/2 cells further along an axis.
    volume = abs(np.linalg.det(m))
    widths = volume / np.linalg.norm(np.cross(m[[1, 0, 0]], m[[2, 2, 1]]), axis=1)
    reach = np.ceil(cutoff / widths + 0.5).astype(int)
    grids = np.meshgrid(*[np.arange(-n, n + 1) for n in reach], indexing="ij")
    shifts = np.stack([g.ravel() for g in grids], axis=1).astype(float) @ m

    n_el, n_sites = len(elements), len(frac)
    hist = np.zeros((n_el, n_el, n_bins))
    for i in range(n_sites):
        offset = wrapped - wrapped[i]
        nearest = (offset - np.round(offset)) @ m
        d = nearest[None, :, :] + shifts[:, None, :]
        r2 = np.einsum("sjx,sjx->sj", d, d)
        reach = cutoff * (1.0 + 2.0 * EDGE_TOLERANCE)
        image, j = np.nonzero(r2 <= reach * reach)
        r2 = r2[image, j]
        j, r = j[r2 > 1e-16], np.sqrt(r2[r2 > 1e-16]) * (1.0 + EDGE_TOLERANCE)
        k = np.searchsorted(edges, r, side="right") - 1
        k[(k == n_bins) & (r <= edges[-1] * (1.0 + 2.0 * EDGE_TOLERANCE))] = n_bins - 1
        keep = k < n_bins
        j, k = j[keep], k[keep]
        # Images of each partner site per bin, then weighted by element: the
        # same sums as pair by pair, in far fewer NumPy calls.
        images = np.bincount(j * n_bins + k, minlength=n_sites * n_bins).reshape(n_sites, n_bins)
        hist += weights[i][:, None, None] * (weights.T @ images)[None, :, :]

    shell = (edges[1:] ** 3 - edges[:-1] ** 3) * 4.1887902047863905
    n_a = weights.sum(axis=0)
    n_total = sum(sum(site.values()) for site in species)
    total = np.zeros(n_bins)
    partials = {}
    for a in range(n_el):
        for b in range(n_el):
            total += hist[a, b] / (shell * n_total)
            partials[(elements[a], elements[b])] = hist[a, b] / (n_a[a] * shell) if n_a[a] > 0 else np.zeros(n_bins)
    return edges[:-1], partials, total, hist


def assert_matches_reference(matrix, coords, species, cutoff, bin_size, n_threads=0):
    r, partials, total = Structure(matrix, coords, species).prdf(cutoff, bin_size, n_threads)
    ref_r, ref_partials, ref_total, _ = reference_prdf(matrix, coords, species, cutoff, bin_size)
    np.testing.assert_array_equal(r, ref_r)
    assert list(partials) == list(ref_partials)
    for key in ref_partials:
        np.testing.assert_allclose(partials[key], ref_partials[key], rtol=1e-9, atol=0, err_msg=str(key))
    np.testing.assert_allclose(total, ref_total, rtol=1e-9, atol=0)
    return r, partials, total


def random_case(seed):
    """A triclinic cell, sites with mixed and partial occupancies, coordinates
    well outside [0, 1), a few coinciding sites and a cutoff several times
    the cell."""
    rng = np.random.default_rng(seed)
    lengths = rng.uniform(2.5, 6.0, size=3)
    matrix = np.diag(lengths)
    matrix[1, 0] = rng.uniform(-0.4, 0.4) * lengths[1]
    matrix[2, :2] = rng.uniform(-0.4, 0.4, size=2) * lengths[2]
    n_sites = int(rng.integers(1, 9))
    coords = rng.uniform(-2.5, 3.5, size=(n_sites, 3))
    if n_sites > 2:
        coords[1] = coords[0]  # the same position
        coords[2] = coords[0] + rng.integers(-2, 3, size=3)  # the same after wrapping
    names = ["Fe", "Ni", "O", "Li"]
    species = []
    for _ in range(n_sites):
        chosen = rng.choice(names, size=int(rng.integers(1, 4)), replace=False)
        occupancies = rng.dirichlet(np.ones(len(chosen))) * rng.choice([1.0, rng.uniform(0.2, 1.0)])
        species.append({str(name): float(w) for name, w in zip(chosen, occupancies)})
    cutoff = float(rng.uniform(1.0, 3.0) * lengths.max())
    bin_size = float(cutoff / rng.integers(5, 60))
    return matrix.tolist(), coords.tolist(), species, cutoff, bin_size


# ---- agreement with the reference ------------------------------------------------------


@pytest.mark.parametrize("seed", range(12))
def test_random_disordered_cells_match_reference(seed):
    assert_matches_reference(*random_case(seed))


@pytest.mark.parametrize("n_threads", [1, 2, 8])
def test_many_sites_match_reference_on_every_thread_count(n_threads):
    rng = np.random.default_rng(99)
    matrix = [[9.0, 0, 0], [1.5, 8.0, 0], [-1.0, 2.0, 10.0]]
    coords = rng.uniform(0, 1, size=(120, 3)).tolist()
    species = [{"Si": 1.0} if k % 3 else {"O": 0.7, "Ge": 0.2} for k in range(120)]
    assert_matches_reference(matrix, coords, species, 6.0, 0.25, n_threads)


def test_pairs_on_bin_edges_count_in_the_upper_bin():
    # One site in a 2 A cube: 6 images at 2, 12 at 2.83, 8 at 3.46, 6 at 4.
    # 2 is an inner edge, so [2, 3) holds 18; 4 is the last edge, which is closed.
    matrix = [[2.0, 0, 0], [0, 2.0, 0], [0, 0, 2.0]]
    _, _, _, hist = reference_prdf(matrix, [[0, 0, 0]], [{"X": 1.0}], 4.0, 1.0)
    assert hist[0, 0].tolist() == [0, 0, 18, 14]
    r, partials, total = assert_matches_reference(matrix, [[0, 0, 0]], [{"X": 1.0}], 4.0, 1.0)
    shells = (np.arange(1, 5.0) ** 3 - np.arange(4.0) ** 3) * 4.1887902047863905
    np.testing.assert_allclose(total * shells, [0, 0, 18, 14], rtol=1e-12)


def test_exact_distances_in_a_cubic_cell_match_reference():
    matrix = [[4.0, 0, 0], [0, 4.0, 0], [0, 0, 4.0]]
    coords = [[0, 0, 0], [0.5, 0, 0], [0, 0.25, 0], [1.0, -0.75, 0.5]]
    species = [{"A": 1.0}, {"B": 0.5}, {"A": 0.25, "B": 0.75}, {"B": 1.0}]
    assert_matches_reference(matrix, coords, species, 8.0, 0.5)


def test_bin_size_equal_to_cutoff_gives_one_closed_bin():
    r, total = Structure([[2.0, 0, 0], [0, 2.0, 0], [0, 0, 2.0]], [[0, 0, 0]], [{"X": 1.0}]).total_rdf(2.0, 2.0)
    assert r.tolist() == [0.0]
    assert total[0] * 8 * 4.1887902047863905 == pytest.approx(6.0)


def test_bins_past_the_cutoff_keep_the_full_last_shell():
    # Edges 0, 3, 6, 9, 12: pairs between 10 and 12 are not counted, yet the
    # last bin is normalised over the whole 9-12 shell.
    s = Structure([[4.0, 0, 0], [0, 4.0, 0], [0, 0, 4.0]], [[0, 0, 0]], [{"X": 1.0}])
    r, total = s.total_rdf(10, 3)
    assert r.tolist() == [0.0, 3.0, 6.0, 9.0]
    _, _, ref_total, hist = reference_prdf(s.lattice_matrix, [[0, 0, 0]], [{"X": 1.0}], 10.0, 3.0)
    np.testing.assert_allclose(total, ref_total, rtol=1e-12)
    images_9_to_10 = sum(
        1 for i in range(-3, 4) for j in range(-3, 4) for k in range(-3, 4) if 81 <= 16 * (i * i + j * j + k * k) <= 100
    )
    assert hist[0, 0, 3] == images_9_to_10


@pytest.mark.parametrize("cutoff, bin_size", [(10, 3), (10, 0.3), (5, 0.07), (6, 0.05), (2, 2), (10, 0.1)])
def test_rdf_bins_is_the_rule_the_curves_follow_and_warns_about_a_short_last_bin(cutoff, bin_size):
    s = Structure([[4.0, 0, 0], [0, 4.0, 0], [0, 0, 4.0]], [[0, 0, 0]], [{"X": 1.0}])
    bins = kestrel.rdf_bins(cutoff, bin_size)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for call in (s.prdf, s.total_rdf):
            r = call(cutoff, bin_size)[0]
            assert r.tolist() == bins["edges"][:-1] and bins["n_bins"] == len(r)
    short = bins["edges"][-1] > cutoff * (1 + 1e-12)
    assert [str(w.message) for w in caught] == [bins["short_last_bin"]] * 2 * short
    assert all(w.category is kestrel.ShortLastBinWarning and issubclass(w.category, UserWarning) for w in caught)
    if short:
        last = bins["edges"][-2]
        assert bins["short_last_bin"] == (
            f"the cutoff {cutoff:g} Å is not a whole number of {bin_size:g} Å bins; the last bin ({last:g} to "
            f"{last + bin_size:g} Å) counts pairs only up to {cutoff:g} Å but is divided by its whole shell, so it reads low"
        )
    else:
        assert bins["short_last_bin"] is None


def test_rdf_bins_refuses_what_the_engine_refuses():
    assert kestrel.rdf_bins() == kestrel.rdf_bins(10.0, 0.1)
    for cutoff, bin_size, message in [
        (0.0, 0.1, "cutoff must be positive"),
        (1.0, 2.0, "bin_size must be positive and no larger than the cutoff"),
    ]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            kestrel.rdf_bins(cutoff, bin_size)


def test_default_bins():
    r, total = Structure(CUBIC10, [[0, 0, 0]], [{"X": 1.0}]).total_rdf()
    assert len(r) == len(total) == 100
    assert r.tolist() == [k * 0.1 for k in range(100)]


# ---- documented consequences ------------------------------------------------------------


def test_one_element_partial_equals_total(rocksalt):
    s = Structure(rocksalt.lattice_matrix, rocksalt.frac_coords, [{"Na": 1.0}] * 8)
    r, partials, total = s.prdf(6.0, 0.1, 1)
    assert list(partials) == [("Na", "Na")]
    np.testing.assert_array_equal(partials[("Na", "Na")], total)


def test_half_and_half_site_splits_the_total_evenly(cubic4):
    r, partials, total = Structure(cubic4, [[0, 0, 0]], [{"A": 0.5, "B": 0.5}]).prdf(9.0, 0.5)
    assert list(partials) == [("A", "A"), ("A", "B"), ("B", "A"), ("B", "B")]
    for curve in partials.values():
        np.testing.assert_allclose(curve, total / 2, rtol=1e-12)


def test_partials_keyed_a_major_and_weighted_by_element_totals(rocksalt):
    s = Structure(rocksalt.lattice_matrix, rocksalt.frac_coords, [{"Na": 1.0}] * 4 + [{"Cl": 0.5}] * 4)
    r, partials, total = s.prdf(7.0, 0.1, 1)
    assert list(partials) == [("Cl", "Cl"), ("Cl", "Na"), ("Na", "Cl"), ("Na", "Na")]
    # N_A g_AB = N_B g_BA, and they differ when N_A != N_B.
    np.testing.assert_allclose(2.0 * partials[("Cl", "Na")], 4.0 * partials[("Na", "Cl")], rtol=1e-12)
    assert not np.allclose(partials[("Cl", "Na")], partials[("Na", "Cl")])


def test_element_with_zero_occupancy_has_zero_curves(cubic4):
    r, partials, total = Structure(cubic4, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"O": 1, "C": 0}, {"O": 1}]).prdf(6.0)
    assert set(partials) == {("C", "C"), ("C", "O"), ("O", "C"), ("O", "O")}
    for key in [("C", "C"), ("C", "O"), ("O", "C")]:
        assert not partials[key].any()
    assert total.any()


def test_all_occupancies_zero_give_nan_total_and_zero_partials(cubic4):
    r, partials, total = Structure(cubic4, [[0, 0, 0]], [{"Fe": 0.0}]).prdf(6.0)
    assert np.isnan(total).all()
    assert not partials[("Fe", "Fe")].any()


def test_prdf_and_total_rdf_agree(rocksalt):
    r1, _, total1 = rocksalt.prdf(8.0, 0.05, n_threads=1)
    r2, total2 = rocksalt.total_rdf(8.0, 0.05, n_threads=1)
    np.testing.assert_array_equal(r1, r2)
    np.testing.assert_array_equal(total1, total2)


@pytest.mark.parametrize("n_threads", [0, 1, 2, 8])
def test_thread_counts_agree_up_to_summation_order(n_threads):
    matrix, coords, species, _, _ = random_case(5)
    big = Structure(matrix, coords, species)
    r0, p0, t0 = big.prdf(15.0, 0.1, 1)
    r, p, t = big.prdf(15.0, 0.1, n_threads)
    np.testing.assert_array_equal(r, r0)
    assert list(p) == list(p0)
    np.testing.assert_allclose(t, t0, rtol=1e-12)
    for key in p0:
        np.testing.assert_allclose(p[key], p0[key], rtol=1e-12)


# ---- results as NumPy arrays -----------------------------------------------------------


def test_curves_are_writable_float64_arrays_over_our_buffers(rocksalt):
    r, partials, total = rocksalt.prdf(5.0, 0.5)
    for array in [r, total, *partials.values()]:
        assert isinstance(array, np.ndarray)
        assert array.dtype == np.float64 and array.ndim == 1 and len(array) == 10
        assert array.flags.writeable and not array.flags.owndata
        assert type(array.base).__name__ == "_CurveBuffer"
    r[0] = 42.0
    assert r[0] == 42.0
    del partials, total
    assert r.sum() > 42.0  # the buffer lives as long as the array


def test_curve_buffers_cannot_be_made_from_python(rocksalt):
    r, _ = rocksalt.total_rdf(5.0, 0.5)
    with pytest.raises(TypeError):
        type(r.base)()


def test_numpy_is_imported_on_first_use_only():
    script = (
        "import sys, kestrel\n"
        "assert 'numpy' not in sys.modules\n"
        "s = kestrel.Structure([[3,0,0],[0,3,0],[0,0,3]], [[0,0,0]], [{'X': 1}])\n"
        "r, g = s.total_rdf(4.0, 1.0)\n"
        "assert type(r).__module__ == 'numpy' and 'numpy' in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, env=os.environ.copy())


# ---- checks and argument handling --------------------------------------------------------


@pytest.mark.parametrize(
    "cutoff, bin_size, message",
    [
        (0.0, 0.1, "cutoff must be positive"),
        (-1.0, 0.1, "cutoff must be positive"),
        (float("nan"), 0.1, "cutoff must be positive"),
        (10.0, 0.0, "bin_size must be positive and no larger than the cutoff"),
        (10.0, -0.1, "bin_size must be positive and no larger than the cutoff"),
        (10.0, 10.5, "bin_size must be positive and no larger than the cutoff"),
        (10.0, float("nan"), "bin_size must be positive and no larger than the cutoff"),
        (-1.0, -1.0, "cutoff must be positive"),
    ],
)
def test_parameter_checks(rocksalt, cutoff, bin_size, message):
    for call in (rocksalt.prdf, rocksalt.total_rdf):
        with pytest.raises(ValueError) as caught:
            call(cutoff, bin_size)
        assert str(caught.value) == message


@pytest.mark.parametrize("cutoff, bin_size", [(10.0, 1e-12), (float("inf"), 1.0), (1e300, 1e-300)])
def test_binnings_too_fine_to_allocate_are_refused(rocksalt, cutoff, bin_size):
    with pytest.raises(ValueError, match=r"^cutoff and bin_size give \d+ bins, too many for 2 elements on \d+ worker"):
        rocksalt.prdf(cutoff, bin_size, n_threads=2)


def test_infinite_cutoff_and_bin_give_no_bins(rocksalt):
    with pytest.raises(ValueError, match="^cutoff and bin_size give no bins$"):
        rocksalt.total_rdf(float("inf"), float("inf"))


def test_argument_conversions(rocksalt):
    r, total = rocksalt.total_rdf(5, 1)  # ints are numbers
    assert len(r) == 5
    assert rocksalt.prdf(5.0, 1.0, 0, None, None)[0].tolist() == r.tolist()
    with pytest.raises(OverflowError):
        rocksalt.prdf(n_threads=-1)
    with pytest.raises(TypeError, match=r"^argument 'n_threads': "):
        rocksalt.prdf(n_threads=None)
    with pytest.raises(TypeError, match=r"^argument 'cutoff': "):
        rocksalt.total_rdf("10")
    with pytest.raises(TypeError, match=r"^argument 'save_plots': 'int' object cannot be converted to 'PyString'$"):
        rocksalt.prdf(save_plots=3)
    with pytest.raises(TypeError, match=r"^argument 'title': 'bytes' object cannot be converted to 'PyString'$"):
        rocksalt.prdf(title=b"x")


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        (
            "prdf",
            (1, 0.1, 0, None, None, 1),
            {},
            "Structure.prdf() takes from 0 to 5 positional arguments but 6 were given",
        ),
        ("prdf", (), {"cut": 1}, "Structure.prdf() got an unexpected keyword argument 'cut'"),
        ("prdf", (5.0,), {"cutoff": 5.0}, "Structure.prdf() got multiple values for argument 'cutoff'"),
        ("total_rdf", (), {"save_plots": "x"}, "Structure.total_rdf() got an unexpected keyword argument 'save_plots'"),
        (
            "total_rdf",
            (1, 2, 3, 4),
            {},
            "Structure.total_rdf() takes from 0 to 3 positional arguments but 4 were given",
        ),
    ],
)
def test_argument_matching(rocksalt, method, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(rocksalt, method)(*args, **kwargs)
    assert str(caught.value) == message


# ---- pools --------------------------------------------------------------------------------


def thread_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_dedicated_pools_leave_no_threads_behind(rocksalt):
    Structure.available_threads()  # the default pool's workers stay for good
    rocksalt.total_rdf(6.0)
    baseline = thread_count()
    for n in (1, 3, 8):
        rocksalt.total_rdf(6.0, n_threads=n)
    assert thread_count() == baseline


def test_available_threads_is_the_default_pool_size(rocksalt):
    expected = Structure.available_threads()
    rocksalt.total_rdf(6.0, n_threads=8)
    assert rocksalt.available_threads() == expected
    if not {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"} & set(os.environ):
        assert expected == os.cpu_count()


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3),
        ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, os.cpu_count()),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "0"}, os.cpu_count()),
    ],
)
def test_default_pool_size_from_the_environment(env, expected):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    script = (
        "import kestrel\n"
        "s = kestrel.Structure([[3,0,0],[0,3,0],[0,0,3]], [[0,0,0]], [{'X': 1}])\n"
        "s.total_rdf(4.0, 1.0)\n"
        "print(kestrel.Structure.available_threads())\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script], env={**clean, **env}, check=True, capture_output=True, text=True
    )
    assert int(out.stdout) == expected


def test_thread_start_failure_reports_the_requested_count():
    # With the address space capped, thread stacks cannot be mapped long
    # before 65535 workers exist.
    script = (
        "import resource, kestrel\n"
        "s = kestrel.Structure([[3,0,0],[0,3,0],[0,0,3]], [[0,0,0]], [{'X': 1}])\n"
        "s.total_rdf(4.0, 1.0, n_threads=1)\n"
        "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))\n"
        "try:\n"
        "    s.prdf(4.0, 1.0, n_threads=100000)\n"
        "except ValueError as error:\n"
        "    print(error)\n"
        "print(s.total_rdf(4.0, 1.0, n_threads=2)[1].any())\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script], check=True, capture_output=True, text=True, env=os.environ.copy()
    )
    lines = out.stdout.splitlines()
    assert lines[0].startswith("could not start 100000 worker threads: ")
    assert len(lines[0]) > len("could not start 100000 worker threads: ")
    assert lines[1] == "True"  # the failed start left a usable process


def test_concurrent_callers_share_the_default_pool():
    matrix, coords, species, _, _ = random_case(3)
    s = Structure(matrix, coords, species)
    expected = s.total_rdf(12.0, 0.1, n_threads=1)[1]
    results = [None] * 6

    def work(slot):
        results[slot] = s.total_rdf(12.0, 0.1, n_threads=slot % 3)[1]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for result in results:
        np.testing.assert_allclose(result, expected, rtol=1e-12)


# ---- the plot hand-off ----------------------------------------------------------------------


@pytest.fixture
def captured_plots(monkeypatch):
    import kestrel.plotting

    calls = []
    monkeypatch.setattr(kestrel.plotting, "save_prdf_plots", lambda *a, **k: calls.append((a, k)) or "ignored")
    return calls


def test_save_plots_hands_the_returned_objects_over(captured_plots):
    s = Structure(CUBIC10, [[0, 0, 0], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]], [{"Fe": 1.0}] * 4)
    folder = "some/folder"
    result = s.prdf(8.0, 0.25, save_plots=folder)
    ((args, kwargs),) = captured_plots
    assert len(args) == 4 and all(a is b for a, b in zip(args, result))
    assert args[3] is folder
    assert list(kwargs) == ["bin_size", "title", "density"]
    assert kwargs["bin_size"] == 0.25 and kwargs["title"] is None
    assert kwargs["density"] == pytest.approx(0.004)


def test_save_plots_title_and_half_occupied_density(captured_plots):
    s = Structure(CUBIC10, [[0, 0, 0], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]], [{"Fe": 0.5}] * 4)
    title = "half iron"
    s.prdf(8.0, save_plots="out", title=title)
    ((_, kwargs),) = captured_plots
    assert kwargs["title"] is title and kwargs["density"] == pytest.approx(0.002)


def test_plotting_errors_pass_through(monkeypatch, rocksalt):
    import kestrel.plotting

    def broken(*args, **kwargs):
        raise KeyError("from the plotter")

    monkeypatch.setattr(kestrel.plotting, "save_prdf_plots", broken)
    with pytest.raises(KeyError, match="from the plotter"):
        rocksalt.prdf(5.0, save_plots="out")
    monkeypatch.delattr(kestrel.plotting, "save_prdf_plots")
    with pytest.raises(AttributeError):
        rocksalt.prdf(5.0, save_plots="out")


def test_plotting_module_is_imported_only_when_saving(monkeypatch, rocksalt):
    monkeypatch.setitem(sys.modules, "kestrel.plotting", None)
    rocksalt.prdf(5.0)
    rocksalt.prdf(5.0, save_plots=None, title="ignored")
    with pytest.raises(ImportError):
        rocksalt.prdf(5.0, save_plots="out")


@pytest.mark.parametrize("bad, text", [(float("nan"), "nan"), (float("inf"), "inf")])
def test_non_finite_coordinates_never_reach_the_pair_loop(bad, text):
    with pytest.raises(ValueError) as info:
        Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0], [0.5, bad, 0.5]], [{"A": 1}, {"B": 1}])
    assert str(info.value) == f"coordinates must be finite; site 2 has (0.5000, {text}, 0.5000)"


@pytest.mark.parametrize("n_threads", [1, 2])
def test_large_triclinic_cell_with_many_grid_cells_matches_reference(n_threads):
    # Several grid cells per axis: stencil rows merged along c, wrapping in
    # the middle of a row, rows whose lengths leave partial vector steps,
    # and (on 2 threads) pieces that start in the middle of a grid cell.
    rng = np.random.default_rng(7)
    matrix = [[19.0, 0, 0], [3.0, 18.0, 0], [-2.0, 2.5, 20.0]]
    coords = rng.uniform(-0.5, 1.5, size=(400, 3)).tolist()
    species = [{"Si": 1.0} if k % 4 else {"O": 0.6, "Ge": 0.4} for k in range(400)]
    assert_matches_reference(matrix, coords, species, 5.3, 0.1, n_threads)


def slanted(angle_deg, lengths=(6.0, 6.0, 7.0)):
    """A cell whose a and b meet at a small angle, c tilted over both."""
    t = math.radians(angle_deg)
    a, b, c = lengths
    return [[a, 0, 0], [b * math.cos(t), b * math.sin(t), 0], [0.9 * a, 0.3 * b, c]]


# Cells the search handles in a reduced basis or with long, trimmed
# stencil rows: small angles, a needle, a sliver, and a dense liquid-like
# cell whose grid is subdivided (home cells inside and at the edges).
SHAPED_CELLS = {
    "10 degrees": (slanted(10.0), 30, 9.0),
    # Lengths that are no multiple of the bin size: a site and its image
    # exactly on a bin edge may fall on either side of it once the distance
    # is computed in another basis (the last bit differs).
    "3 degrees, long cutoff": (slanted(3.0, (3.1, 3.7, 4.3)), 6, 13.7),
    "needle": ([[1.2, 0, 0], [0, 1.1, 0], [0, 0, 30.0]], 20, 7.0),
    # The fuzzer's 0.13 A^3 cell; the reference takes it in a reduced basis
    # (rows a - 20 b + 1020 c, b - 51 c, c), as enumerating its own images
    # would need millions of shifts.
    "sliver": ([[4.0, 0.64, 0], [0.2, 0, 51.0], [0, 0, 1.0]], 2, 6.0),
    "subdivided cube": ([[14.0, 0, 0], [0, 14.0, 0], [0, 0, 14.0]], 600, 6.5),
    "subdivided and slanted": (slanted(12.0, (14.0, 14.0, 12.0)), 500, 6.5),
}


@pytest.mark.parametrize("name", list(SHAPED_CELLS))
def test_thin_and_slanted_cells_match_reference(name):
    matrix, n_sites, cutoff = SHAPED_CELLS[name]
    rng = np.random.default_rng(len(name))
    coords = rng.uniform(-1.0, 2.0, size=(n_sites, 3))
    species = [{"Fe": 1.0} if k % 3 else {"Ni": 0.5, "O": 0.25} for k in range(n_sites)]
    if name == "sliver":
        basis = np.array([[1, -20, 1020], [0, 1, -51], [0, 0, 1]]) @ np.array(matrix)
        reduced = coords @ np.array(matrix) @ np.linalg.inv(basis)
        _, ref_partials, ref_total, _ = reference_prdf(basis, reduced, species, cutoff, cutoff / 40)
    else:
        _, ref_partials, ref_total, _ = reference_prdf(matrix, coords, species, cutoff, cutoff / 40)
    # One reference, computed once, for both thread counts.
    for n_threads in (1, 2):
        _, partials, total = Structure(matrix, coords.tolist(), species).prdf(cutoff, cutoff / 40, n_threads)
        np.testing.assert_allclose(total, ref_total, rtol=1e-9, atol=0)
        for key in ref_partials:
            np.testing.assert_allclose(partials[key], ref_partials[key], rtol=1e-9, atol=0)


def test_a_slanted_cell_gives_the_curves_of_its_reduced_twin():
    # The same lattice and atoms written in a 10-degree basis and in a
    # nearly orthogonal one: the same pairs, so the same curves.
    t = math.radians(10.0)
    slant = np.array([[5.0, 0, 0], [5.0 * math.cos(t), 5.0 * math.sin(t), 0], [0, 0, 6.0]])
    unimodular = np.array([[1, 0, 0], [-1, 1, 0], [0, 0, 1]])
    square = unimodular @ slant
    rng = np.random.default_rng(5)
    cart = rng.uniform(0, 1, size=(40, 3)) @ slant
    species = [{"Cu": 1.0}] * 20 + [{"Au": 1.0}] * 20
    curves = [
        Structure(m.tolist(), (cart @ np.linalg.inv(m)).tolist(), species).prdf(8.0, 0.05) for m in (slant, square)
    ]
    for key in curves[0][1]:
        np.testing.assert_allclose(curves[0][1][key], curves[1][1][key], rtol=1e-12, atol=0)


# ---- one crystal, one curve --------------------------------------------------------------

FCC = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
ROCK_SALT = FCC + [[0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]]

# Lattice constants whose shells of pairs lie exactly on bin edges of 0.05
# and 0.1 Å (3.6, 7.2; 2.8, 5.6, 8.4), and one whose do not.
EDGE_CRYSTALS = {
    "fcc 3.6": (3.6, FCC, [{"Cu": 1.0}] * 4),
    "rock salt 5.6": (5.6, ROCK_SALT, [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4),
    "mixed rock salt 5.6": (5.6, ROCK_SALT, [{"Fe": 0.6, "Ni": 0.4}] * 4 + [{"O": 0.9}] * 4),
    "fcc 4.0": (4.0, FCC, [{"Cu": 1.0}] * 4),
}

# Other descriptions of the same crystal: supercells, and other bases of the
# lattice (rows: the new vectors in the old ones, determinant 1).
OTHER_CELLS = {
    "2x2x2": np.diag([2, 2, 2]),
    "3x3x3": np.diag([3, 3, 3]),
    "4x4x4": np.diag([4, 4, 4]),
    "sheared": np.array([[1, 1, 0], [0, 1, 0], [0, 0, 1]]),
    "skewed": np.array([[1, 0, 0], [1, 1, 0], [-1, 2, 1]]),
    "skewed twice": np.array([[1, 1, 1], [0, 1, 1], [0, 0, 1]]) @ np.array([[2, 1, 0], [1, 1, 0], [0, 0, 1]]),
}


def same_crystal_in(transform, a, frac, species):
    """The crystal of the cubic cell (a, frac, species) in the cell whose
    rows are transform @ the cubic cell's: every lattice point of the new
    cell's repeat, mapped back into it."""
    cell = np.eye(3) * a
    new = transform @ cell
    n = int(round(abs(np.linalg.det(transform))))
    reach = int(np.abs(transform).sum(axis=0).max())
    shifts = np.array(
        [
            [i, j, k]
            for i in range(-reach, reach + 1)
            for j in range(-reach, reach + 1)
            for k in range(-reach, reach + 1)
        ]
    )
    coords, kinds = [], []
    for f, site in zip(np.asarray(frac, dtype=float), species):
        inside = (f + shifts) @ cell @ np.linalg.inv(new)
        keep = np.all((inside > -1e-9) & (inside < 1 - 1e-9), axis=1)
        coords += inside[keep].tolist()
        kinds += [site] * int(keep.sum())
    assert len(coords) == n * len(frac)
    return Structure(new.tolist(), coords, kinds)


@pytest.mark.parametrize("bin_size", [0.05, 0.1])
@pytest.mark.parametrize("crystal", list(EDGE_CRYSTALS))
def test_one_crystal_gives_one_curve_in_any_cell(crystal, bin_size):
    # Whole shells of pairs sit on bin edges; each cell computes their
    # distances with its own rounding, and every one must bin them alike.
    a, frac, species = EDGE_CRYSTALS[crystal]
    cell = Structure(np.diag([a] * 3).tolist(), frac, species)
    r, partials, total = cell.prdf(9.0, bin_size)
    for name, transform in OTHER_CELLS.items():
        other = same_crystal_in(transform, a, frac, species)
        r2, partials2, total2 = other.prdf(9.0, bin_size)
        np.testing.assert_array_equal(r, r2)
        np.testing.assert_allclose(total2, total, rtol=1e-12, atol=0, err_msg=name)
        assert list(partials2) == list(partials)
        for key in partials:
            np.testing.assert_allclose(partials2[key], partials[key], rtol=1e-12, atol=0, err_msg=f"{name} {key}")


def test_a_shell_on_the_cutoff_counts_in_the_last_bin_from_every_cell():
    # fcc 3.6 has pairs at exactly 7.2 Å: with the cutoff there, they belong
    # to the closed last bin in the cell and in each of its supercells.
    a, frac, species = EDGE_CRYSTALS["fcc 3.6"]
    cell = Structure(np.diag([a] * 3).tolist(), frac, species)
    _, total = cell.total_rdf(7.2, 0.1)
    assert total[-1] > 0
    for n in (2, 3, 4):
        _, bigger = cell.make_supercell(n, n, n).total_rdf(7.2, 0.1)
        np.testing.assert_allclose(bigger, total, rtol=1e-12, atol=0)


@pytest.mark.parametrize("n", [2, 3, 4])
def test_pairs_within_a_unit_on_a_bin_edge_bin_alike_in_a_supercell(n):
    # Two alternatives of one unit, each a pair 1.8 Å apart (an edge of
    # 0.1 Å bins): the correlated weights are added by the unit correction,
    # which must bin their distance as the pair loop does.
    cell = Structure(
        np.diag([3.6] * 3).tolist(),
        [[0, 0, 0], [0.5, 0, 0], [0, 0.5, 0], [0.5, 0.5, 0.5]],
        [{"Cu": 0.5}, {"Cu": 0.5}, {"O": 0.5}, {"O": 0.5}],
        units=[(0, 0), (0, 0), (0, 1), (0, 1)],
    )
    _, partials, total = cell.prdf(9.0, 0.1)
    _, partials2, total2 = cell.make_supercell(n, n, n).prdf(9.0, 0.1)
    np.testing.assert_allclose(total2, total, rtol=1e-12, atol=0)
    for key in partials:
        np.testing.assert_allclose(partials2[key], partials[key], rtol=1e-12, atol=0, err_msg=str(key))
