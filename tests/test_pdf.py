"""X-ray and neutron G(r): a brute-force reference, identities, measured data, the command."""

import csv
import importlib
import math
import sys

import numpy as np
import pytest

import kestrel
from conftest import run_kestrel
from kestrel import Structure
from kestrel.scattering import (
    average_u_iso,
    compute_pdf,
    fit_scale,
    fit_to_data,
    read_gr,
    write_gr,
)
from kestrel.scattering.pairs import HISTOGRAM_STEP
from kestrel.scattering.peaks import GAUSSIAN_REACH

periodictable = pytest.importorskip("periodictable")

TRICLINIC = [[4.1, 0.0, 0.0], [0.9, 3.8, 0.0], [-0.7, 0.6, 4.4]]
TRICLINIC_SITES = [[0.0, 0.0, 0.0], [0.37, 0.52, 0.18], [0.71, 0.23, 0.64]]
TRICLINIC_SPECIES = [{"Fe": 0.6, "Ni": 0.3}, {"O": 1.0}, {"Ni": 0.5, "C": 0.25}]
U_ISO = {"C": 0.012, "Fe": 0.004, "Ni": 0.006, "O": 0.009}


@pytest.fixture
def triclinic():
    return Structure(TRICLINIC, TRICLINIC_SITES, TRICLINIC_SPECIES)


def scattering(element, radiation):
    atom = periodictable.elements.symbol(element)
    return float(atom.number) if radiation == "xray" else float(atom.neutron.b_c)


# ---- the reference ------------------------------------------------------------------------


def reference_pdf(matrix, frac_coords, species, r, radiation, u_iso, qdamp=0.0, exact=False):
    """Every pair of every image within reach, one Gaussian each, summed at every point.

    Pairs sit at the centre of their HISTOGRAM_STEP bin, as kestrel documents
    (exact=True puts them at their true distance). Returns the total and the
    weighted contribution of each unordered pair.
    """
    m = np.asarray(matrix, dtype=float)
    frac = np.asarray(frac_coords, dtype=float)
    elements = sorted({e for site in species for e in site})
    n_atoms = sum(sum(site.values()) for site in species)
    c = {e: sum(site.get(e, 0.0) for site in species) / n_atoms for e in elements}
    b = {e: scattering(e, radiation) for e in elements}
    mean_b = sum(c[e] * b[e] for e in elements)
    rho0 = n_atoms / abs(np.linalg.det(m))
    reach = r[-1] + 10.0 * math.sqrt(2.0 * max(u_iso.values()))

    widths = abs(np.linalg.det(m)) / np.linalg.norm(np.cross(m[[1, 0, 0]], m[[2, 2, 1]]), axis=1)
    n = np.ceil(reach / widths).astype(int) + 1
    shifts = np.array(
        [[i, j, k] for i in range(-n[0], n[0] + 1) for j in range(-n[1], n[1] + 1) for k in range(-n[2], n[2] + 1)],
        dtype=float,
    )
    sums = {}
    for i, site_i in enumerate(species):
        for j, site_j in enumerate(species):
            d = np.linalg.norm((frac[j] - frac[i] + shifts) @ m, axis=1)
            d = d[(d > 1e-8) & (d <= reach)]
            centres = d if exact else (np.floor(d / HISTOGRAM_STEP) + 0.5) * HISTOGRAM_STEP
            for a, wa in site_i.items():
                for bb, wb in site_j.items():
                    key = tuple(sorted((a, bb)))
                    sigma = math.sqrt(u_iso[a] + u_iso[bb])
                    gauss = np.exp(-0.5 * ((r[:, None] - centres[None, :]) / sigma) ** 2).sum(axis=1)
                    gauss /= sigma * math.sqrt(2.0 * math.pi)
                    sums[key] = sums.get(key, 0.0) + wa * wb * b[a] * b[bb] * gauss
    partials = {}
    inverse_r = np.divide(1.0, r, out=np.zeros_like(r), where=r > 0)
    for ia, a in enumerate(elements):
        for bb in elements[ia:]:
            weight = c[a] * c[bb] * b[a] * b[bb] / mean_b**2 * (1 if a == bb else 2)
            curve = sums.get((a, bb), 0.0) * inverse_r / (n_atoms * mean_b**2) - 4 * math.pi * rho0 * weight * r
            partials[(a, bb)] = curve * np.exp(-0.5 * (qdamp * r) ** 2)
    return sum(partials.values()), partials


@pytest.mark.parametrize("radiation", ["xray", "neutron"])
@pytest.mark.parametrize("qdamp", [0.0, 0.06])
def test_triclinic_mixed_occupancies_match_brute_force(triclinic, radiation, qdamp):
    result = compute_pdf(
        triclinic, cutoff=7.0, bin_size=0.01, radiation=radiation, u_iso=U_ISO, qdamp=qdamp, partials=True
    )
    total, partials = reference_pdf(TRICLINIC, TRICLINIC_SITES, TRICLINIC_SPECIES, result.r, radiation, U_ISO, qdamp)
    scale = np.abs(total).max()
    np.testing.assert_allclose(result.g, total, rtol=1e-9, atol=1e-9 * scale)
    assert set(result.partials) == set(partials)
    for pair, curve in partials.items():
        np.testing.assert_allclose(result.partials[pair], curve, rtol=1e-9, atol=1e-9 * scale)


def test_pairs_in_bins_stay_within_half_a_bin_of_the_exact_curve(triclinic):
    result = compute_pdf(triclinic, cutoff=7.0, radiation="neutron", u_iso=U_ISO)
    exact, _ = reference_pdf(TRICLINIC, TRICLINIC_SITES, TRICLINIC_SPECIES, result.r, "neutron", U_ISO, exact=True)
    # A shift of at most half a bin moves a Gaussian of width >= 0.09 Å by < 0.6 % of its height.
    assert np.abs(result.g - exact).max() < 6e-3 * np.abs(exact).max()


def test_explicit_points_in_any_order_match_the_grid(triclinic):
    grid = compute_pdf(triclinic, cutoff=6.0, bin_size=0.02, u_iso=U_ISO)
    points = grid.r[::-7]
    picked = compute_pdf(triclinic, r=points, u_iso=U_ISO)
    np.testing.assert_array_equal(picked.r, points)
    np.testing.assert_allclose(picked.g, grid.g[::-7], rtol=1e-12, atol=1e-12)


def test_peaks_past_the_cutoff_still_broaden_into_it():
    # One pair distance (the 4 Å cell edge) sits just past the cutoff.
    s = Structure([[4.0, 0, 0], [0, 4.0, 0], [0, 0, 4.0]], [[0, 0, 0]], [{"Cu": 1.0}])
    result = compute_pdf(s, cutoff=3.9, bin_size=0.01, u_iso=0.01)
    baseline = -4 * math.pi * result.density * result.r
    assert result.g[-1] - baseline[-1] > 0.1


# ---- identities ---------------------------------------------------------------------------------


def test_one_element_is_the_same_curve_for_xrays_and_neutrons():
    fcc = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    s = Structure([[3.6, 0, 0], [0, 3.6, 0], [0, 0, 3.6]], fcc, [{"Cu": 0.9}] * 4)
    xray = compute_pdf(s, cutoff=12.0, radiation="xray", qmax=22.0, qdamp=0.03)
    neutron = compute_pdf(s, cutoff=12.0, radiation="neutron", qmax=22.0, qdamp=0.03)
    np.testing.assert_allclose(xray.g, neutron.g, rtol=1e-12, atol=1e-12)
    assert xray.weights == {("Cu", "Cu"): 1.0}


def test_below_the_first_peak_g_is_the_density_line(rocksalt):
    result = compute_pdf(rocksalt, cutoff=6.0, u_iso=0.005)
    nearest = 5.64 / 2
    below = result.r < nearest - GAUSSIAN_REACH * math.sqrt(2 * 0.005)
    assert below.sum() == 202
    np.testing.assert_allclose(result.g[below], -4 * math.pi * result.density * result.r[below], rtol=1e-12, atol=1e-14)
    assert result.density == pytest.approx(8 / 5.64**3)


@pytest.mark.parametrize("options", [{}, {"qdamp": 0.05}, {"qmax": 18.0}, {"qmax": 30.0, "qdamp": 0.02}])
def test_weighted_partials_add_up_to_the_total(triclinic, options):
    result = compute_pdf(triclinic, cutoff=8.0, radiation="xray", u_iso=U_ISO, partials=True, **options)
    np.testing.assert_allclose(sum(result.partials.values()), result.g, rtol=1e-12, atol=1e-12)
    assert sum(result.weights.values()) == pytest.approx(1.0, rel=1e-14)


@pytest.mark.parametrize("radiation", ["xray", "neutron"])
def test_first_shell_integrates_to_the_weighted_coordination_number(rocksalt, radiation):
    # R(r) = r G(r) + 4πρ₀r² is the weighted radial density; over the first
    # shell of rock salt (6 unlike neighbours at a / 2) it integrates to
    # 6 b_Na b_Cl / <b>², with <b> = (b_Na + b_Cl) / 2.
    # Narrow peaks (σ = 0.077 Å) keep the next shell, at 3.99 Å, out of the range.
    result = compute_pdf(rocksalt, cutoff=3.5, bin_size=0.001, radiation=radiation, u_iso=0.003)
    shell = (result.r > 2.1) & (result.r < 3.5)
    radial = result.r * result.g + 4 * math.pi * result.density * result.r**2
    b_na, b_cl = scattering("Na", radiation), scattering("Cl", radiation)
    expected = 6 * b_na * b_cl / ((b_na + b_cl) / 2) ** 2
    y, x = radial[shell], result.r[shell]
    integral = float(np.sum(0.5 * (y[1:] + y[:-1]) * np.diff(x)))
    assert integral == pytest.approx(expected, rel=1e-6)


def test_faber_ziman_weights_from_the_occupancy_weighted_composition(triclinic):
    result = compute_pdf(triclinic, cutoff=3.0, radiation="neutron", u_iso=U_ISO)
    composition = triclinic.composition
    n = sum(composition.values())
    b = {e: scattering(e, "neutron") for e in composition}
    mean_b = sum(composition[e] / n * b[e] for e in composition)
    assert result.mean_scattering == pytest.approx(mean_b, rel=1e-14)
    expected = composition["Fe"] / n * composition["Ni"] / n * b["Fe"] * b["Ni"] / mean_b**2 * 2
    assert result.weights[("Fe", "Ni")] == pytest.approx(expected, rel=1e-14)
    assert result.scattering["Fe"] == 9.45  # periodictable's b_c of natural iron, fm
    assert result.source == f"periodictable {periodictable.__version__}"


def test_ensemble_of_an_ordered_cell_gives_the_direct_curve(rocksalt):
    options = {"radiation": "neutron", "u_iso": {"Na": 0.01, "Cl": 0.008}, "qmax": 25.0}
    result = kestrel.ordering_ensemble(rocksalt, n_orderings=1, max_sites=64, cutoff=9.0, pdf=options)
    direct = compute_pdf(rocksalt, cutoff=9.0, **options)
    np.testing.assert_allclose(result.pdf.mean, direct.g, rtol=1e-9, atol=1e-9 * np.abs(direct.g).max())
    np.testing.assert_allclose(result.pdf.disordered, direct.g, rtol=1e-12, atol=1e-12)
    assert np.abs(result.pdf.std).max() < 1e-9 * np.abs(direct.g).max()


def test_ensemble_of_a_disordered_alloy_spreads_around_the_weighted_curve():
    fcc = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    s = Structure([[3.6, 0, 0], [0, 3.6, 0], [0, 0, 3.6]], fcc, [{"Fe": 0.5, "Ni": 0.5}] * 4)
    result = kestrel.ordering_ensemble(s, n_orderings=3, max_sites=256, cutoff=8.0, pdf={"radiation": "neutron"})
    assert result.pdf.r[-1] == pytest.approx(8.0)
    assert result.pdf.std.max() > 0
    np.testing.assert_allclose(result.pdf.difference, result.pdf.mean - result.pdf.disordered, atol=1e-12)
    assert kestrel.ordering_ensemble(s, n_orderings=1, max_sites=32, cutoff=4.0).pdf is None


# ---- termination --------------------------------------------------------------------------------


def test_termination_is_the_sinc_convolution_of_the_odd_extension(triclinic):
    qmax = 20.0
    terminated = compute_pdf(triclinic, cutoff=8.0, bin_size=0.05, u_iso=U_ISO, qmax=qmax)
    # Direct quadrature of ∫ G(t) [K(r - t) - K(r + t)] dt, K(x) = sin(qmax x) / (π x), on a long fine
    # grid; kestrel's curve stops 40 ripple periods past the cutoff, so far peaks leak in a little less.
    fine = compute_pdf(triclinic, cutoff=50.0, bin_size=0.004, u_iso=U_ISO)
    t, g = fine.r, fine.g

    def kernel(x):
        return qmax / math.pi * np.sinc(qmax * x / math.pi)

    step = t[1] - t[0]
    expected = np.array([(g * (kernel(r - t) - kernel(r + t))).sum() * step for r in terminated.r])
    scale = np.abs(expected).max()
    assert np.abs(terminated.g - expected).max() < 4e-3 * scale
    # Termination visibly changes the curve: the ripples are real.
    plain = compute_pdf(triclinic, cutoff=8.0, bin_size=0.05, u_iso=U_ISO)
    assert np.abs(terminated.g - plain.g).max() > 0.05 * scale


def test_a_high_qmax_leaves_the_curve_alone(triclinic):
    plain = compute_pdf(triclinic, cutoff=6.0, u_iso=U_ISO)
    wide = compute_pdf(triclinic, cutoff=6.0, u_iso=U_ISO, qmax=120.0)
    assert np.abs(wide.g - plain.g).max() < 2e-3 * np.abs(plain.g).max()


# ---- bad arguments ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"radiation": "electron"}, ValueError, "radiation must be 'xray' or 'neutron', got 'electron'"),
        ({"u_iso": {"Fe": 0.01}}, ValueError, "u_iso has no value for element 'C'"),
        ({"u_iso": -0.01}, ValueError, "u_iso must be a positive number of Å², got -0.01 for 'C'"),
        ({"u_iso": 0.0}, ValueError, "u_iso must be a positive number of Å², got 0.0 for 'C'"),
        ({"u_iso": "big"}, TypeError, "u_iso of 'C' must be a number, got 'big'"),
        ({"qmax": 0.0}, ValueError, "qmax must be a positive number, got 0.0"),
        ({"qdamp": -1.0}, ValueError, "qdamp must be a non-negative number, got -1.0"),
        ({"cutoff": -2.0}, ValueError, "cutoff must be a positive number, got -2.0"),
        ({"bin_size": 8.0, "cutoff": 4.0}, ValueError, "bin_size must be positive and no larger than the cutoff"),
        ({"r": [1.0, float("nan")]}, ValueError, "r must hold finite, non-negative distances"),
    ],
)
def test_bad_arguments_are_refused_with_one_message(triclinic, options, error, message):
    with pytest.raises(error) as caught:
        compute_pdf(triclinic, **options)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "species, message",
    [
        ([{"Xx": 1.0}], "no scattering data for element 'Xx': it is not a chemical element symbol"),
        ([{"Fe": 0.0}], "the structure holds no atoms: every occupancy is zero"),
        # Titanium's negative scattering length cancels nickel's at this ratio: a null-scattering alloy.
        (
            [{"Ti": 10.3 / 13.67, "Ni": 3.37 / 13.67}],
            "the average neutron scattering power of this composition is zero, so the Faber-Ziman weights are undefined",
        ),
    ],
)
def test_compositions_without_weights_are_refused(species, message):
    s = Structure([[3.0, 0, 0], [0, 3.0, 0], [0, 0, 3.0]], [[0, 0, 0]], species)
    with pytest.raises(ValueError) as caught:
        compute_pdf(s, cutoff=5.0, radiation="neutron")
    assert str(caught.value) == message


def test_ion_labels_scatter_as_neutral_atoms():
    s = Structure([[4.2, 0, 0], [0, 4.2, 0], [0, 0, 4.2]], [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Mg2+": 1.0}, {"O2-": 1.0}])
    assert compute_pdf(s, cutoff=4.0).scattering == {"Mg2+": 12.0, "O2-": 8.0}


# ---- displacement parameters per element -------------------------------------------------------


def test_site_values_are_averaged_per_element_with_occupancy_weights(triclinic):
    u, warnings = average_u_iso(triclinic, [0.01, None, 0.02], default=0.005)
    assert u["Fe"] == pytest.approx(0.01)
    assert u["Ni"] == pytest.approx((0.3 * 0.01 + 0.5 * 0.02) / 0.8)
    assert u["O"] == pytest.approx(0.005)
    assert warnings == ["1 of 3 sites have no displacement parameter and take u_iso = 0.005 Å² (sites 1)"]
    with pytest.raises(ValueError, match="site 1 has no displacement parameter and no default was given"):
        average_u_iso(triclinic, [0.01, None, 0.02])


# ---- measured data ------------------------------------------------------------------------------


def test_noisy_model_round_trips_through_a_gr_file(tmp_path, triclinic):
    model = compute_pdf(triclinic, cutoff=15.0, radiation="xray", u_iso=U_ISO, qmax=24.0, qdamp=0.02)
    noise = np.random.default_rng(7).normal(0.0, 0.02, len(model.r))
    observed = 0.73 * model.g + noise
    path = tmp_path / "measured.gr"
    write_gr(path, model.r, observed, dg=np.full(len(model.r), 0.02), header=["synthetic", "qmax = 24"])
    data = read_gr(path)
    np.testing.assert_array_equal(data.r, model.r)
    np.testing.assert_array_equal(data.g, observed)
    np.testing.assert_array_equal(data.dg, 0.02)
    fit = fit_to_data(triclinic, data, rmin=1.0, rmax=15.0, radiation="xray", u_iso=U_ISO, qmax=24.0, qdamp=0.02)
    assert fit.scale == pytest.approx(0.73, rel=2e-3)
    in_range = (model.r >= 1.0) & (model.r <= 15.0)
    noise_level = math.sqrt(np.sum(noise[in_range] ** 2) / np.sum(observed[in_range] ** 2))
    assert fit.rw == pytest.approx(noise_level, rel=0.02)
    assert fit.r[0] == 1.0 and fit.r[-1] == pytest.approx(15.0)


def test_scale_and_rw_by_hand():
    fit = fit_scale([1.0, 2.0, 3.0, 4.0], [2.0, 4.0, 6.0, 9.0], [1.0, 2.0, 3.0, 4.0], rmin=1.5, rmax=3.5)
    assert fit.scale == 2.0
    assert fit.rw == 0.0
    assert list(fit.r) == [2.0, 3.0]
    fit = fit_scale([1.0, 2.0], [1.0, 0.0], [1.0, 1.0])
    assert fit.scale == 0.5 and fit.rw == pytest.approx(math.sqrt(0.5))


def test_reads_a_reduction_program_header_and_four_columns(tmp_path):
    path = tmp_path / "nickel.gr"
    path.write_text(
        "[DEFAULT]\nversion = 2.1\n\n# input and output settings\ndataformat = QA\nqmaxinst = 25.0\n"
        "composition = Ni\n#### start data\n#S 1 - PDF from the reduction program\n"
        "#L r($\\AA$)  G($\\AA^{-2}$)  dr  dG\n"
        "0.01 0.002 0 0.05\n0.02 0.004 0 0.05\n\n0.03 -0.1 0 0.06  # trailing note\n",
        encoding="utf-8",
    )
    data = read_gr(path)
    np.testing.assert_array_equal(data.r, [0.01, 0.02, 0.03])
    np.testing.assert_array_equal(data.g, [0.002, 0.004, -0.1])
    np.testing.assert_array_equal(data.dg, [0.05, 0.05, 0.06])
    assert "qmaxinst = 25.0" in data.header


def test_two_columns_without_a_marker(tmp_path):
    path = tmp_path / "plain.gr"
    path.write_text("r G\nsample: nickel\n1.0 0.5\n1.1 0.7\n", encoding="utf-8")
    data = read_gr(path)
    assert data.dg is None and list(data.g) == [0.5, 0.7] and data.header == ["r G", "sample: nickel"]


@pytest.mark.parametrize(
    "text, message",
    [
        ("# header only\nqmax = 25\n", "bad.gr: no rows of numbers found in 2 lines"),
        ("", "bad.gr: no rows of numbers found in 0 lines"),
        ("header\n1.0\n1.1\n", "bad.gr, line 2: expected at least two columns (r and G), found one"),
        ("1.0 0.2\n1.1 0.3\n1.1 0.4\n", "bad.gr, line 3: r = 1.1 does not increase (the previous row has r = 1.1)"),
        ("1.0 0.2\n0.9 0.3\n", "bad.gr, line 2: r = 0.9 does not increase (the previous row has r = 1)"),
        ("1.0 0.2\n1.1 oops\n", "bad.gr, line 2: expected numbers, found '1.1 oops'"),
        ("1.0 0.2 0.1\n1.1 0.3\n", "bad.gr, line 2: expected 3 columns like the first data row (line 1), found 2"),
        ("1.0 0.2\n1.1 nan\n", "bad.gr, line 2: '1.1 nan' holds a value that is not a finite number"),
    ],
)
def test_bad_data_files_name_the_line(tmp_path, monkeypatch, text, message):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "bad.gr"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError) as caught:
        read_gr("bad.gr")
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "rmin, rmax, message",
    [
        (5.0, 2.0, "rmin must be below rmax, got 5 and 2"),
        (30.0, 40.0, "no data points between rmin = 30 and rmax = 40 Å"),
    ],
)
def test_empty_fit_ranges_are_refused(rmin, rmax, message):
    with pytest.raises(ValueError) as caught:
        fit_scale([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], [1.0, 1.0, 1.0], rmin=rmin, rmax=rmax)
    assert str(caught.value) == message


# ---- the command and its figures -----------------------------------------------------------------


def test_command_fits_data_and_writes_csv_and_figures(tmp_path, rocksalt):
    pytest.importorskip("matplotlib")
    structure_path = tmp_path / "NaCl.xyz"
    kestrel.write_xyz(rocksalt, structure_path)
    model = compute_pdf(rocksalt, cutoff=12.0, radiation="neutron", u_iso={"Na": 0.01, "Cl": 0.008}, qmax=25.0)
    write_gr(tmp_path / "nacl.gr", model.r[1:], 1.5 * model.g[1:])
    out = tmp_path / "out"
    result = run_kestrel(
        "pdf",
        structure_path,
        "--radiation",
        "neutron",
        "--u-iso",
        "0.008,Na=0.01",
        "--qmax",
        25,
        "--data",
        tmp_path / "nacl.gr",
        "--rmin",
        1,
        "--rmax",
        12,
        "--out",
        out,
    )
    assert result.returncode == 0, result.stderr
    assert "scale 1.5, Rw 0.0000" in result.stdout, result.stdout
    # The Na-Cl distance a / 2 = 2.82 Å; the 1/r of G(r) pulls the maximum in by σ²/r.
    assert "1          2.810" in result.stdout
    with open(out / "pdf.csv", newline="", encoding="utf-8") as handle:
        lines = handle.read().splitlines()
    notes = [line for line in lines if line.startswith("#")]
    assert notes[1] == f"# structure: {structure_path}"
    assert "# u_iso (A^2, from --u-iso): Cl 0.008, Na 0.01" in notes
    rows = list(csv.reader(line for line in lines if not line.startswith("#")))
    assert rows[0] == ["r", "G_calc", "Cl-Cl", "Cl-Na", "Na-Na", "G_obs", "scale_times_G_calc", "difference"]
    table = np.array(rows[1:], dtype=float)
    np.testing.assert_allclose(table[:, 5], table[:, 6], atol=1e-9)
    for name in ("pdf.png", "pdf_partials.png"):
        assert (out / name).read_bytes().startswith(b"\x89PNG")


def test_command_reports_a_bad_data_file_in_one_line(tmp_path, rocksalt):
    structure_path = tmp_path / "NaCl.xyz"
    kestrel.write_xyz(rocksalt, structure_path)
    (tmp_path / "bad.gr").write_text("1.0 0.1\n0.5 0.2\n", encoding="utf-8")
    result = run_kestrel("pdf", structure_path, "--data", "bad.gr", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.strip() == (
        "kestrel: error: bad.gr, line 2: r = 0.5 does not increase (the previous row has r = 1)"
    )
    # The path as given, folder and all: a data file that is not one names where it lies.
    (tmp_path / "bad").mkdir()
    (tmp_path / "bad" / "binary.cif").write_bytes(b"data_x\n_cell_length_a 4\n\x00\x01\xff\n")
    result = run_kestrel("pdf", structure_path, "--data", "bad/binary.cif", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.strip() == "kestrel: error: bad/binary.cif: no rows of numbers found in 3 lines"
    result = run_kestrel("pdf", structure_path, "--data", tmp_path / "bad.gr")
    assert result.stderr.strip().startswith(f"kestrel: error: {tmp_path / 'bad.gr'}, line 2: ")
    result = run_kestrel("pdf", structure_path, "--u-iso", "Na=x")
    assert result.stderr.strip() == "kestrel: error: --u-iso: expected a number or ELEMENT=NUMBER, found 'Na=x'"


def test_mangled_files_fail_only_with_value_errors(tmp_path):
    # Seeded mutations of a valid file: every outcome is a table or one ValueError.
    valid = "# header\nqmax = 25\n#### start data\n" + "".join(
        f"{0.01 * k:.2f} {math.sin(k):.5f}\n" for k in range(1, 40)
    )
    rng = np.random.default_rng(11)
    alphabet = list("0123456789.-+eE#,; \t\nnaif=") + ["\r\n", "\x00", "é"]
    path = tmp_path / "mangled.gr"
    outcomes = set()
    for _ in range(300):
        text = list(valid)
        for _ in range(rng.integers(1, 6)):
            text[rng.integers(len(text))] = alphabet[rng.integers(len(alphabet))]
        path.write_text("".join(text), encoding="utf-8")
        try:
            data = read_gr(path)
        except ValueError as error:
            assert str(error).startswith(str(path))
            outcomes.add("error")
        else:
            assert np.all(np.diff(data.r) > 0) and np.all(np.isfinite(data.g))
            outcomes.add("table")
    assert outcomes == {"error", "table"}


@pytest.mark.parametrize(
    "old, name, new",
    [
        ("model", "compute_pdf", "pdf"),
        ("pdf_model", "PdfModel", "pdf"),
        ("phase", "PhaseModel", "phases"),
        ("tables", "scattering_powers", "powers"),
        ("fitting", "fit_to_data", "agreement"),
        ("fitting", "EnsemblePdf", "orderings"),
        ("refinement", "PdfRefinement", "fit_result"),
    ],
)
def test_old_module_paths_still_import_with_a_deprecation_warning(old, name, new):
    sys.modules.pop(f"kestrel.scattering.{old}", None)
    with pytest.warns(DeprecationWarning, match=f"^kestrel.scattering.{old} is deprecated; import from "):
        module = importlib.import_module(f"kestrel.scattering.{old}")
    assert getattr(module, name) is getattr(importlib.import_module(f"kestrel.scattering.{new}"), name)
