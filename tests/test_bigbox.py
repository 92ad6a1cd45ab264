"""Big-box refinement: short-range order and bond lengths recovered from simulated G(r), a real
measured G(r) fitted better than the small-box fit, replicas that reproduce on any number of
threads and on a Dask cluster, and the messages for bad input."""

import os

import numpy as np
import pytest

import kestrel
from conftest import EXAMPLES, run_kestrel
from kestrel import Structure
from kestrel.bigbox import BigBoxData, BigBoxFit, refine_big_box

pytestmark = pytest.mark.filterwarnings("ignore::kestrel.CifReadWarning")


def fcc_positions(n):
    base = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    cells = np.array([[i, j, k] for i in range(n) for j in range(n) for k in range(n)])
    return ((cells[:, None, :] + base[None]) / n).reshape(-1, 3)


def neighbour_lists(frac, length, distance):
    d = frac[:, None, :] - frac[None]
    d -= np.round(d)
    dist = np.linalg.norm(d * length, axis=2)
    return [np.flatnonzero(np.abs(row - distance) < 0.01) for row in dist]


def swap_monte_carlo(species, neighbours, coupling, steps, rng):
    """Metropolis swaps with an energy of `coupling` per like nearest-neighbour pair (kT = 1):
    coupling > 0 makes unlike neighbours (alpha_1 < 0)."""
    s = species.copy()
    for _ in range(steps):
        i, j = rng.integers(len(s), size=2)
        if s[i] == s[j]:
            continue
        before = np.count_nonzero(s[neighbours[i]] == s[i]) + np.count_nonzero(s[neighbours[j]] == s[j])
        s[i], s[j] = s[j], s[i]
        after = np.count_nonzero(s[neighbours[i]] == s[i]) + np.count_nonzero(s[neighbours[j]] == s[j])
        rise = coupling * (after - before)
        if rise > 0 and rng.random() >= np.exp(-rise):
            s[i], s[j] = s[j], s[i]
    return s


def noisy(pdf, level, seed):
    rng = np.random.default_rng(seed)
    return pdf.r, pdf.g + rng.normal(0.0, level * np.abs(pdf.g).max(), len(pdf.g))


@pytest.fixture(scope="module")
def ordered_fcc():
    """A 6x6x6 fcc Cu-Au supercell with strong short-range order, made by the test's own Monte Carlo."""
    n, a = 6, 3.8
    frac = fcc_positions(n)
    rng = np.random.default_rng(1)
    species = np.arange(len(frac)) % 2
    rng.shuffle(species)
    species = swap_monte_carlo(species, neighbour_lists(frac, n * a, a / np.sqrt(2)), 0.6, 30000, rng)
    names = ("Cu", "Au")
    target = Structure(np.eye(3) * n * a, frac, [{names[t]: 1.0} for t in species])
    disordered = Structure(np.eye(3) * a, fcc_positions(1), [{"Cu": 0.5, "Au": 0.5}] * 4)
    return target, disordered


def test_short_range_order_recovered_from_a_noisy_xray_pdf(ordered_fcc, tmp_path):
    target, disordered = ordered_fcc
    truth = kestrel.warren_cowley(target, shells=2)
    assert truth.alpha[("Au", "Cu")][0] < -0.1  # the Monte Carlo made real order to find
    data = noisy(kestrel.compute_pdf(target, cutoff=10.0, bin_size=0.01, u_iso=0.005), 0.003, 2)
    fit = refine_big_box(
        disordered, data, supercell=6, rmax=10.0, u_iso=0.005, iterations=20000, replicas=2, seed=3, n_threads=2
    )
    assert isinstance(fit, BigBoxFit) and fit.rw < 0.05
    for shell in (0, 1):
        found = fit.sro.alpha("Au", "Cu")[shell]
        spread = fit.sro.alpha_std("Au", "Cu")[shell]
        # The replicas' spread, and what the noise and a finite cell leave (about 1/sqrt(N z)).
        assert abs(found - truth.alpha[("Au", "Cu")][shell]) <= 3 * spread + 0.02
    # A random start is far from the answer: the fit did the work.
    start = refine_big_box(disordered, data, supercell=6, rmax=10.0, u_iso=0.005, iterations=0, seed=3)
    assert abs(start.sro.alpha("Au", "Cu")[0] - truth.alpha[("Au", "Cu")][0]) > 0.08
    assert start.rw > 1.5 * fit.rw
    written = fit.save_plots(str(tmp_path))
    assert {os.path.basename(p) for p in written} >= {"fit.png", "sro.png", "partials.png", "rw.png", "sro.csv"}
    assert "Au-Cu" in fit.report() and repr(fit).startswith("BigBoxFit(Rw = ")


def test_two_sublattices_keep_their_counts_and_their_own_order():
    """Rocksalt with Cu/Au on one sublattice (ordered by the test) and S/Se on the other (random)."""
    n, a = 4, 5.4
    cations = fcc_positions(n)
    anions = (cations + 0.5 / n) % 1.0
    rng = np.random.default_rng(5)
    species_c = np.arange(len(cations)) % 2
    rng.shuffle(species_c)
    species_c = swap_monte_carlo(species_c, neighbour_lists(cations, n * a, a / np.sqrt(2)), 0.8, 20000, rng)
    species_a = np.arange(len(anions)) % 2
    rng.shuffle(species_a)
    sites = [{("Cu", "Au")[t]: 1.0} for t in species_c] + [{("S", "Se")[t]: 1.0} for t in species_a]
    target = Structure(np.eye(3) * n * a, np.vstack([cations, anions]), sites)
    labels = [0] * len(cations) + [1] * len(anions)
    truth = kestrel.warren_cowley(target, shells=1, sublattices=labels)
    base = fcc_positions(1)
    cell = Structure(
        np.eye(3) * a,
        np.vstack([base, (base + 0.5) % 1.0]),
        [{"Cu": 0.5, "Au": 0.5}] * 4 + [{"S": 0.5, "Se": 0.5}] * 4,
    )
    data = kestrel.compute_pdf(target, cutoff=9.0, bin_size=0.01, u_iso=0.006)
    fit = refine_big_box(cell, (data.r, data.g), supercell=n, rmax=9.0, u_iso=0.006, iterations=15000, seed=4)
    assert fit.structure.composition == target.composition
    by_species = {tuple(sub.species): sub for sub in fit.sro.sublattices}
    assert set(by_species) == {("Au", "Cu"), ("S", "Se")}  # no swap crossed between the sublattices
    wanted = {tuple(sub.species): sub.alpha for sub in truth.sublattices}
    cation = by_species[("Au", "Cu")].alpha[("Au", "Cu")][0]
    assert abs(cation - wanted[("Au", "Cu")][("Au", "Cu")][0]) < 0.06


def test_replicas_reproduce_on_one_and_two_threads(ordered_fcc):
    target, disordered = ordered_fcc
    pdf = kestrel.compute_pdf(target, cutoff=6.0, bin_size=0.02, u_iso=0.005)
    runs = [
        refine_big_box(
            disordered,
            (pdf.r, pdf.g),
            supercell=4,
            rmax=6.0,
            moves=("swap", "displace"),
            iterations=1500,
            replicas=3,
            seed=11,
            n_threads=threads,
        )
        for threads in (1, 2)
    ]
    assert runs[0].structures == runs[1].structures
    assert runs[0].replica_rw == runs[1].replica_rw
    assert runs[0].moves_accepted == runs[1].moves_accepted
    assert len({s for s in runs[0].structures}) == 3  # the replicas differ from one another


def test_a_dask_cluster_gives_the_same_replicas(ordered_fcc, cluster):
    distributed = pytest.importorskip("distributed")
    target, disordered = ordered_fcc
    pdf = kestrel.compute_pdf(target, cutoff=6.0, bin_size=0.02, u_iso=0.005)
    settings = dict(supercell=3, rmax=6.0, iterations=800, replicas=3, seed=5)
    local = refine_big_box(disordered, (pdf.r, pdf.g), **settings)
    with distributed.Client(cluster) as client:
        remote = refine_big_box(disordered, (pdf.r, pdf.g), client=client, **settings)
    assert remote.structures == local.structures
    assert remote.replica_rw == local.replica_rw
    assert remote.sro.table() == local.sro.table()


def relaxed_alloy(n, seed):
    """A random fcc Cu-Au cell relaxed with nearest-neighbour springs of rest lengths 2.45 (Cu-Cu),
    2.70 (Cu-Au) and 2.95 Å (Au-Au); returns it, the same atoms on the ideal sites, and the mean
    nearest-neighbour distance of each pair."""
    rest = {(0, 0): 2.45, (1, 1): 2.95, (0, 1): 2.70, (1, 0): 2.70}
    a = 2.70 * np.sqrt(2)
    length = a * n
    rng = np.random.default_rng(seed)
    frac = fcc_positions(n)
    s = np.arange(len(frac)) % 2
    rng.shuffle(s)
    lists = neighbour_lists(frac, length, a / np.sqrt(2))
    i = np.repeat(np.arange(len(frac)), [len(x) for x in lists])
    j = np.concatenate(lists)
    rest_length = np.array([rest[(s[x], s[y])] for x, y in zip(i, j)])
    x = frac * length
    for _ in range(1000):
        v = x[j] - x[i]
        v -= np.round(v / length) * length
        r = np.linalg.norm(v, axis=1)
        force = np.zeros_like(x)
        np.add.at(force, i, ((r - rest_length) / r)[:, None] * v)
        x += 0.2 * force
    v = x[j] - x[i]
    v -= np.round(v / length) * length
    r = np.linalg.norm(v, axis=1)
    names = ("Cu", "Au")
    truth = {(names[p], names[q]): float(r[(s[i] == p) & (s[j] == q)].mean()) for p, q in ((1, 1), (1, 0), (0, 0))}
    relaxed = Structure(np.eye(3) * length, x / length, [{names[t]: 1.0} for t in s])
    ideal = Structure(np.eye(3) * length, frac, [{names[t]: 1.0} for t in s])
    return relaxed, ideal, truth


def test_displacements_recover_the_bond_lengths_of_each_pair():
    relaxed, ideal, truth = relaxed_alloy(5, 1)
    assert truth[("Au", "Au")] - truth[("Cu", "Cu")] > 0.1
    xray = kestrel.compute_pdf(relaxed, cutoff=8.0, bin_size=0.01, u_iso=0.002)
    neutron = kestrel.compute_pdf(relaxed, cutoff=8.0, bin_size=0.01, u_iso=0.002, radiation="neutron")
    cell = Structure(np.eye(3) * 2.70 * np.sqrt(2), fcc_positions(1), [{"Cu": 0.5, "Au": 0.5}] * 4)
    fit = refine_big_box(
        cell,
        [(xray.r, xray.g), BigBoxData((neutron.r, neutron.g), radiation="neutron", label="neutron")],
        supercell=5,
        start=ideal,
        moves="displace",
        rmax=8.0,
        max_step=0.05,
        iterations=60000,
        seed=1,
    )
    assert fit.labels[1] == "neutron" and len(fit.rw_per_data) == 2
    # Each pair's first-neighbour distance moves from the common 2.70 Å of the start towards its
    # own; the total scattering of two radiations does not pin the three partials down to 0.01 Å
    # (the fit leaves them about 0.02 Å towards their mean), so the test holds them to 0.03 Å.
    found = [fit.bond_lengths[pair] for pair in (("Cu", "Cu"), ("Au", "Cu"), ("Au", "Au"))]
    assert found == sorted(found) and found[2] - found[0] > 0.05
    for pair, distance in truth.items():
        assert fit.bond_lengths[pair] == pytest.approx(distance, abs=0.03)


def test_measured_nickel_fitted_with_displacements_beats_the_small_box_fit():
    data = EXAMPLES / "Ni-xray.gr"
    small = kestrel.refine_pdf(
        EXAMPLES / "Ni.cif", data, rmin=1.5, rmax=20.0, vary=("scale", "lattice", "uiso", "qdamp")
    )
    fit = refine_big_box(
        small.structures[0],
        data,
        supercell=4,
        moves="displace",
        instrument=small,
        rmin=1.5,
        rmax=20.0,
        max_step=0.05,
        iterations=12000,
        seed=1,
    )
    assert fit.settings["qmax"] == pytest.approx(40.0) and fit.settings["qdamp"] == pytest.approx(small.values["qdamp"])
    assert fit.rw <= small.rw_unweighted
    assert fit.r[0][0] >= 1.5 and fit.r[0][-1] <= 20.0
    np.testing.assert_allclose(fit.difference[0], fit.data[0] - fit.model[0])
    assert fit.bond_lengths[("Ni", "Ni")] == pytest.approx(small.values["a"] / np.sqrt(2), abs=0.02)


def test_min_distance_windows_hold_during_displacements(ordered_fcc):
    target, disordered = ordered_fcc
    pdf = kestrel.compute_pdf(target, cutoff=6.0, bin_size=0.02, u_iso=0.02)
    fit = refine_big_box(
        disordered,
        (pdf.r, pdf.g),
        supercell=3,
        rmax=6.0,
        moves="displace",
        u_iso=0.001,
        max_step=0.4,
        min_distance={"Cu-Au": 2.5, "Au-Au": 2.5, "Cu-Cu": 2.5},
        iterations=3000,
        seed=2,
    )
    assert fit.moves_tried["displace"] > fit.moves_accepted["displace"] > 0
    for pair in (("Cu", "Cu"), ("Au", "Cu"), ("Au", "Au")):
        below = fit.partial_r < 2.5 - 0.02
        assert not np.any(fit.partials[pair][below])


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(moves=("rotate",)), "moves may be 'swap' and 'displace', got 'rotate'"),
        (dict(supercell=2, max_sites=100), "give either supercell or max_sites"),
        (dict(supercell=(2, 2)), "supercell must be three whole numbers of at least 1"),
        (dict(replicas=0), "replicas must be a whole number of at least 1, got 0"),
        (dict(rmin=5.0, rmax=4.0), "rmin must be below rmax, got 5 and 4"),
        (dict(start="best"), "start must be 'random', 'sqs' or a Structure, got 'best'"),
        (dict(radiation="electron"), "radiation must be 'xray' or 'neutron', got 'electron'"),
        (dict(time_limit=None), "give a time limit or a number of iterations"),
        (dict(min_distance={"Cu-Fe": 2.0}), "min_distance names the pair Cu-Fe, but the model holds Au, Cu"),
        (dict(u_iso=-1.0), "u_iso must be a positive number of Å², got -1.0 for 'Au'"),
        (
            dict(resample=True),
            "resample needs the uncertainties of data set 'data': a file with an error column, or BigBoxData(noise=σ)",
        ),
    ],
)
def test_bad_arguments_are_refused(ordered_fcc, change, message):
    _, disordered = ordered_fcc
    r = np.arange(0.0, 6.0, 0.02)
    arguments = dict(supercell=2, rmax=6.0, time_limit=1.0)
    arguments.update(change)
    if arguments.get("time_limit") is None:
        arguments["iterations"] = None
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
        refine_big_box(disordered, (r, np.sin(r)), **arguments)


def test_an_ordered_structure_swaps_only_within_the_sublattices_given(ordered_fcc):
    target, _ = ordered_fcc
    pdf = kestrel.compute_pdf(target, cutoff=6.0, bin_size=0.02, u_iso=0.005)
    with pytest.raises(ValueError, match="^nothing can be swapped: every site holds one whole atom"):
        refine_big_box(target, (pdf.r, pdf.g), supercell=1, rmax=6.0, iterations=10)
    fit = refine_big_box(target, (pdf.r, pdf.g), supercell=1, rmax=6.0, iterations=500, sublattices=[0] * 864)
    assert fit.structure.composition == target.composition and fit.moves_tried["swap"] == 500


def test_a_start_structure_must_sit_on_the_model_sites(ordered_fcc):
    target, disordered = ordered_fcc
    pdf = kestrel.compute_pdf(target, cutoff=6.0, bin_size=0.02, u_iso=0.005)
    fit = refine_big_box(disordered, (pdf.r, pdf.g), supercell=6, rmax=6.0, iterations=0, start=target)
    assert fit.structure == target  # taken as it is: no move was made
    moved = Structure(target.lattice_matrix, np.asarray(target.frac_coords) + 0.1, [dict(s) for s in target.species])
    with pytest.raises(ValueError, match="^the start structure has atoms more than 0.5 Å from every site"):
        refine_big_box(disordered, (pdf.r, pdf.g), supercell=6, rmax=6.0, iterations=0, start=moved)
    with pytest.raises(ValueError, match="^the start structure's lattice differs from the model's supercell$"):
        refine_big_box(disordered, (pdf.r, pdf.g), supercell=5, rmax=6.0, iterations=0, start=target)


def run_rmc(data, *more):
    """``kestrel rmc`` of the nickel cell against one data file: 300 displacements on 3 x 3 x 3."""
    settings = ("--supercell", "3x3x3", "--moves", "displace", "--time", "0", "--iterations", "300")
    return run_kestrel("rmc", EXAMPLES / "Ni.cif", "--data", data, *settings, *more)


def test_the_rmc_command_writes_the_fit_its_figures_and_curves(tmp_path):
    done = run_rmc(EXAMPLES / "Ni-xray.gr", "--rmax", "8", "-o", tmp_path / "fitted.cif", "--out", tmp_path / "fit")
    assert done.returncode == 0, done.stderr
    assert "Rw = " in done.stdout and "Ni-xray.gr: Rw = " in done.stdout
    assert kestrel.read_structure(tmp_path / "fitted.cif").n_sites == 108
    assert {"fit.png", "partials.png", "rw.png", "fit_Ni_xray.csv", "partials.csv"} <= set(os.listdir(tmp_path / "fit"))


def test_the_rmc_command_fits_f_of_q_and_refuses_intensities(tmp_path):
    q = np.arange(0.5, 12.0, 0.05)
    (tmp_path / "x.iq").write_text("".join(f"{x} 1.0\n" for x in q))
    done = run_kestrel(
        "rmc", EXAMPLES / "Ni.cif", "--data", tmp_path / "x.iq", "--supercell", "2x2x2", "--moves", "displace"
    )
    assert done.returncode != 0
    assert "data set 'x.iq': I(Q) is not fitted; give S(Q) or F(Q)" in done.stderr
    (tmp_path / "x.fq").write_text("".join(f"{x} {np.sin(3 * x)}\n" for x in q))
    done = run_rmc(tmp_path / "x.fq", "--out", tmp_path / "fit")
    assert done.returncode == 0, done.stderr
    assert "x.fq: Rw = " in done.stdout
    with open(tmp_path / "fit" / "fit_x.csv") as handle:
        assert handle.readline().strip() == "q,f_obs,f_calc,difference"


def model_in_q(cell, target, q, kind, radiation="xray", u_iso=0.005):
    """The refinement's own model curve in Q of `target` (no move made)."""
    n = round(target.n_sites / cell.n_sites) ** (1 / 3)
    probe = refine_big_box(
        cell,
        BigBoxData((q, 1.0 + q), kind=kind, radiation=radiation),
        supercell=round(n),
        start=target,
        iterations=0,
        u_iso=u_iso,
    )
    return probe.model[0] / probe.scale[0]


@pytest.mark.parametrize("kinds", [("fq",), ("sq",), ("gr", "fq")])
def test_short_range_order_recovered_from_data_in_q_alone_and_with_g_of_r(ordered_fcc, kinds):
    target, disordered = ordered_fcc  # 6 x 6 x 6: pairs out to 11.4 A
    truth = kestrel.warren_cowley(target, shells=2).alpha[("Au", "Cu")]
    q = np.arange(0.4, 18.0, 0.02)
    data = []
    for kind in kinds:
        if kind == "gr":
            pdf = kestrel.compute_pdf(target, cutoff=10.0, bin_size=0.01, u_iso=0.005)
            data.append(BigBoxData((pdf.r, pdf.g)))
        else:
            data.append(BigBoxData((q, model_in_q(disordered, target, q, kind)), kind=kind, label=kind))
    fit = refine_big_box(disordered, data, supercell=6, rmax=10.0, u_iso=0.005, iterations=12000, seed=3)
    assert fit.kinds == list(kinds) and len(fit.q) == len(kinds)
    for k, kind in enumerate(kinds):
        assert (fit.q[k] is None) == (kind == "gr")
    np.testing.assert_allclose(fit.q[-1], q)
    assert fit.rw < 0.02
    found = fit.sro.alpha("Au", "Cu")
    assert abs(found[0] - truth[0]) < 0.03 and abs(found[1] - truth[1]) < 0.03


def test_the_model_f_of_q_transforms_back_to_the_pairs_of_the_model():
    """F(Q) summed from the pair counts (neutron weights, Debye-Waller damping, density term)
    against a brute-force G(r) of the same atoms: each pair a Gaussian in space of width
    sqrt(U_A + U_B) about its distance, whose sine transform is sin(Q d)/d exp(-(U_A + U_B) Q²/2)."""
    from kestrel.bigbox.curves import model_reach, q_taper
    from kestrel.scattering.powers import scattering_powers

    cell = Structure(np.eye(3) * 3.6, fcc_positions(1), [{"Ni": 0.7, "Fe": 0.3}] * 4)
    alloy = cell.expand_occupancies(max_sites=500, seed=4)[0]
    length = float(alloy.lattice_matrix[0][0])
    q = np.arange(0.001, 45.0, 0.002)
    fq = model_in_q(cell, alloy, q, "fq", radiation="neutron", u_iso=0.006)
    reach = model_reach(alloy.lattice_matrix)
    short = 2.0 / 3.0 * reach - 0.5
    assert short > 4.0 and q_taper(np.array([short, reach]), reach, 0.0) == pytest.approx([1.0, 0.0])
    # Short of the taper, where a pair's peak sees one weight across its width.
    r = np.arange(1.5, short, 0.02)
    back = 2.0 / np.pi * np.sin(np.outer(r, q)) @ fq * (q[1] - q[0])

    x = np.asarray(alloy.cart_coords)
    powers = scattering_powers(["Ni", "Fe"], "neutron")
    b = np.array([powers[next(iter(s))] for s in alloy.species])
    v = x[:, None] - x[None]
    v -= length * np.round(v / length)
    d = np.linalg.norm(v, axis=2)
    near = (d > 0) & (d < short + 1.0)
    d, bb = d[near], np.outer(b, b)[near]
    sigma = np.sqrt(0.012)

    def gauss(z):
        return np.exp(-0.5 * (z / sigma) ** 2) / (sigma * np.sqrt(2 * np.pi))

    pairs = np.array([np.sum(bb / d * (gauss(x - d) - gauss(x + d))) for x in r]) / (len(b) * b.mean() ** 2)
    expected = pairs - 4 * np.pi * len(b) / length**3 * r
    # What is left is the fine bins' width (0.0025 Å) against peaks 0.11 Å wide.
    assert np.max(np.abs(back - expected)) < 0.01 * np.max(np.abs(expected))


def test_replicas_fitted_to_resampled_noise_spread_as_the_noise_does(ordered_fcc):
    target, disordered = ordered_fcc
    truth = kestrel.warren_cowley(target, shells=1).alpha[("Au", "Cu")][0]
    pdf = kestrel.compute_pdf(target, cutoff=8.0, bin_size=0.01, u_iso=0.005)
    sigma = 0.02 * np.abs(pdf.g).max()
    r, g = noisy(pdf, 0.02, 7)
    settings = dict(supercell=6, rmax=8.0, u_iso=0.005, iterations=8000, replicas=4, seed=3, n_threads=2)
    shared = refine_big_box(disordered, BigBoxData((r, g), noise=sigma), **settings)
    drawn = refine_big_box(disordered, BigBoxData((r, g), noise=sigma), resample=True, **settings)
    assert drawn.settings["resample"] and not shared.settings["resample"]
    # One data set: the replicas differ only by their searches. Each its own draw: by the noise too.
    assert drawn.sro.alpha_std("Au", "Cu")[0] > 1.5 * shared.sro.alpha_std("Au", "Cu")[0]
    assert abs(drawn.sro.alpha("Au", "Cu")[0] - truth) < 3 * drawn.sro.alpha_std("Au", "Cu")[0] + 0.01
