"""refine_pdf: the measured nickel G(r) refined to the published agreement, simulated data refined back to
the parameters that made it, the symmetry constraints, the messages; and the reference program as oracle."""

import math
import os
import sys
import warnings

import numpy as np
import pytest

import kestrel
from conftest import EXAMPLES
from kestrel import Structure
from kestrel.scattering.gr_files import MeasuredPdf, header_settings, read_gr, write_gr
from kestrel.scattering.pdf import model_pdf
from kestrel.scattering.refine import refine_pdf

NI_CIF = str(EXAMPLES / "Ni.cif")
NI_DATA = str(EXAMPLES / "Ni-xray.gr")
RUTILE = str(EXAMPLES / "TiO2_rutile.cif")

pytestmark = pytest.mark.filterwarnings("ignore::kestrel.CifReadWarning")


@pytest.mark.parametrize(
    "vary, reference_rw, expected",
    [
        ("scale,lattice,uiso,qdamp", 0.0951, {"a": 3.5316, "U(Ni)": 0.00513, "qdamp": 0.069}),
        ("scale,lattice,uiso,qdamp,delta2", 0.0711, {"delta2": 2.21}),
    ],
)
def test_nickel_reaches_the_reference_agreement(vary, reference_rw, expected):
    fit = refine_pdf(NI_CIF, NI_DATA, vary=vary, rmin=1.5, rmax=20.0)
    assert fit.converged and not fit.at_bounds
    assert abs(fit.rw_unweighted - reference_rw) <= 0.002
    assert fit.weighted and abs(fit.rw - fit.rw_unweighted) < 0.002
    for name, value in expected.items():
        assert fit.values[name] == pytest.approx(value, rel=0.02)
    assert fit.settings["qmax"] == "40.0 (data header)"
    assert len(fit.r) == 1851 and fit.r[0] == pytest.approx(1.5) and fit.r[-1] == pytest.approx(20.0)
    np.testing.assert_allclose(fit.difference, fit.g_obs - fit.g_calc)
    assert set(fit.uncertainties) == set(fit.varied) and all(e > 0 for e in fit.uncertainties.values())
    np.testing.assert_allclose(np.diag(fit.correlations), 1.0)
    assert f"Rw = {fit.rw:.4f}" in fit.report() and repr(fit).startswith(f"PdfRefinement(rw={fit.rw:.4f}, scale=")


def rutile_truth():
    return {
        "scale": 0.8,
        "a": 4.61,
        "c": 2.95,
        "x(O2)": 0.3065,
        "U11(Ti0)": 0.0070,
        "U33(Ti0)": 0.0045,
        "U12(Ti0)": 0.0008,
        "U11(O2)": 0.0080,
        "U33(O2)": 0.0050,
        "U12(O2)": -0.0030,
        "qbroad": 0.015,
        "diameter": 35.0,
        "qdamp": 0.04,
    }


def noisy(r, g, level, seed):
    noise = np.random.default_rng(seed).normal(scale=level, size=len(r))
    return MeasuredPdf(r=r, g=g + noise, dg=np.full(len(r), level))


def test_simulated_rutile_is_refined_back_within_its_uncertainties():
    # Anisotropic U on two orbits, a free position, the lattice of a tetragonal cell, qbroad and a particle size.
    truth = rutile_truth()
    # Five points per Nyquist interval (pi / qmax = 0.105 A): finer sampling
    # adds no information about the model, only points to evaluate.
    r = np.arange(1.0, 12.0, 0.02)
    kinds = "scale,lattice,xyz,uaniso,qbroad,diameter,qdamp"
    g = model_pdf(RUTILE, r, values=truth, parameters=kinds, radiation="neutron", qmax=30.0)
    data = noisy(r, g, 0.01, seed=11)
    start = {"a": 4.59, "c": 2.96, "x(O2)": 0.304, "scale": 0.9, "diameter": 50.0, "qbroad": 0.01}
    fit = refine_pdf(RUTILE, data, radiation="neutron", qmax=30.0, vary=kinds, start=start)
    assert fit.converged, fit.report()
    assert sorted(fit.varied) == sorted(truth)
    for name, value in truth.items():
        assert abs(fit.values[name] - value) < 4.0 * fit.uncertainties[name], (name, fit.report())
    assert fit.reduced_chi2 == pytest.approx(1.0, abs=0.15)
    # The refined structure keeps the tetragonal cell and the O on (x, x, 0).
    refined = fit.structures[0]
    lattice = np.array(refined.lattice_matrix)
    lengths = np.linalg.norm(lattice, axis=1)
    assert lengths[0] == pytest.approx(lengths[1], rel=1e-12) and lengths[2] == pytest.approx(fit.values["c"])
    oxygen = [f for f, s in zip(refined.frac_coords, refined.species) if "O" in s]
    for x, y, _z in oxygen:
        assert abs(abs(x - 0.5) - abs(y - 0.5)) < 1e-9 or abs(x - y) < 1e-9
    import spglib

    cell = (lattice, np.mod(refined.frac_coords, 1.0), [0 if "Ti" in s else 1 for s in refined.species])
    assert spglib.get_symmetry_dataset(cell, symprec=1e-5).number == 136


@pytest.mark.parametrize("u_per", ["element", "site"])
def test_nickel_refines_on_site_pairs_as_on_histograms(u_per):
    # u_per="site" takes the pair enumeration by site; both roads give the same fit.
    by_element = refine_pdf(NI_CIF, NI_DATA, vary="scale,lattice,uiso,qdamp", rmin=1.5, rmax=20.0)
    fit = refine_pdf(NI_CIF, NI_DATA, vary="scale,lattice,uiso,qdamp", rmin=1.5, rmax=20.0, u_per=u_per)
    assert fit.rw == pytest.approx(by_element.rw, abs=2e-4)
    assert fit.values["a"] == pytest.approx(by_element.values["a"], abs=1e-4)


def test_occupancy_split_keeps_the_site_total():
    a = 4.2
    frac = [
        [0, 0, 0],
        [0, 0.5, 0.5],
        [0.5, 0, 0.5],
        [0.5, 0.5, 0],
        [0.5, 0.5, 0.5],
        [0.5, 0, 0],
        [0, 0.5, 0],
        [0, 0, 0.5],
    ]
    species = [{"Mn": 0.3, "Fe": 0.6}] * 4 + [{"O": 1.0}] * 4
    truth = Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], frac, species)
    r = np.arange(1.5, 12.0, 0.01)
    g = model_pdf(truth, r, values={"scale": 1.0}, parameters="scale", radiation="neutron", u_iso=0.006)
    start = Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], frac, [{"Mn": 0.45, "Fe": 0.45}] * 4 + [{"O": 1.0}] * 4)
    fit = refine_pdf(start, noisy(r, g, 0.005, seed=3), radiation="neutron", vary="scale,occupancy", u_iso=0.006)
    (name,) = fit.varied[1:]
    element = name[4:6]
    assert abs(fit.values[name] - truth.species[0][element]) < 4 * fit.uncertainties[name], fit.report()
    site = fit.structures[0].species[0]
    assert site["Mn"] + site["Fe"] == pytest.approx(0.9, abs=1e-12)


def test_two_phases_give_their_fractions():
    r = np.arange(1.5, 15.0, 0.01)
    rutile = model_pdf(RUTILE, r, values={"scale": 1.0}, radiation="neutron")
    nickel = model_pdf(NI_CIF, r, values={"scale": 1.0}, radiation="neutron")
    data = noisy(r, 0.3 * rutile + 0.5 * nickel, 0.01, seed=5)
    fit = refine_pdf([RUTILE, NI_CIF], data, radiation="neutron", vary="scale")
    assert fit.values["phase1.scale"] == pytest.approx(0.3, abs=4 * fit.uncertainties["phase1.scale"])
    assert fit.values["phase2.scale"] == pytest.approx(0.5, abs=4 * fit.uncertainties["phase2.scale"])
    assert sum(fit.phase_fractions.values()) == pytest.approx(1.0)
    assert len(fit.phase_curves) == 2
    np.testing.assert_allclose(fit.phase_curves[0] + fit.phase_curves[1], fit.g_calc, atol=1e-9)


def test_ordering_ensemble_mean_is_refined_with_shared_parameters(tmp_path):
    disordered = kestrel.read_structure(str(EXAMPLES / "FeNi_disordered.cif"))
    orderings = [disordered.make_supercell(2, 2, 2).expand_occupancies(seed=seed)[0] for seed in range(4)]
    r = np.arange(1.5, 10.0, 0.01)
    truth = {"scale": 0.9, "U(Fe)": 0.006, "U(Ni)": 0.006, "delta2": 1.5}
    g = model_pdf(orderings, r, values=truth, parameters="scale,uiso,delta2", ensemble=True)
    fit = refine_pdf(orderings, noisy(r, g, 0.01, seed=2), vary="scale,uiso,delta2", ensemble=True)
    for name, value in truth.items():
        assert abs(fit.values[name] - value) < 4 * fit.uncertainties[name], fit.report()
    assert len(fit.phase_curves) == 4 and fit.phase_fractions is None
    np.testing.assert_allclose(np.mean(fit.phase_curves, axis=0), fit.g_calc, atol=1e-9)
    written = fit.save_plots(str(tmp_path))
    assert [os.path.basename(p) for p in written] == ["refinement.csv", "parameters.csv", "refinement.png"]


def test_pairs_are_found_once_while_widths_and_scale_change():
    from kestrel.scattering.parameters import Instrument, PhaseSettings, vary_names
    from kestrel.scattering.pdf import assemble_model

    r = np.arange(1.5, 20.0, 0.01)
    kinds = vary_names("scale,lattice,uiso,qdamp,delta2")
    model = assemble_model(NI_CIF, r, kinds, Instrument(40.0, 0.01), PhaseSettings(), None, False)
    pairs = model.phases[0].pairs
    values = model.start_values()
    for name, value in [("U(Ni)", 0.007), ("delta2", 2.0), ("qdamp", 0.05), ("scale", 0.7), ("a", 3.5)]:
        values[model.index[name]] = value
        model.evaluate(values)
        assert model.phases[0].pairs is pairs
    # A cell that shrinks below what the pairs cover makes them found again.
    values[model.index["a"]] = 3.0
    model.evaluate(values)
    assert model.phases[0].pairs is not pairs


def test_header_settings_and_options_that_override_them(tmp_path):
    path = tmp_path / "neutron.gr"
    r = np.arange(1.0, 10.0, 0.01)
    g = model_pdf(NI_CIF, r, radiation="neutron", qmax=25.0)
    write_gr(path, r, g, header=["stype=N  qmax=25.0  qdamp=0.02", "optqmax=99"])
    assert header_settings(read_gr(path)) == {"qmax": 25.0, "qdamp": 0.02, "radiation": "neutron"}
    fit = refine_pdf(NI_CIF, str(path), vary="scale")
    assert fit.settings == {
        "radiation": "neutron (data header)",
        "qmax": "25.0 (data header)",
        "qdamp": "0.02 (data header)",
    }
    assert fit.values["qdamp"] == 0.02 and not fit.weighted
    fit = refine_pdf(NI_CIF, str(path), vary="scale", radiation="xray", qmax=30.0)
    assert fit.settings["radiation"] == "xray (given)" and fit.settings["qmax"] == "30.0 (given)"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (
            {"vary": "scale,latice"},
            "unknown name 'latice' in vary: choose from scale, lattice, uiso, uaniso, delta1, delta2, qdamp, qbroad, diameter, xyz, occupancy",
        ),
        (
            {"vary": ""},
            "vary names nothing to refine: choose from scale, lattice, uiso, uaniso, delta1, delta2, qdamp, qbroad, diameter, xyz, occupancy",
        ),
        (
            {"vary": "scale", "start": {"U(Fe)": 0.01}},
            "unknown parameter 'U(Fe)': this model's parameters are scale, U(Ni), delta1, delta2, diameter, qdamp, qbroad",
        ),
        ({"vary": "scale", "bounds": {"scale": (2.0, 1.0)}}, "bounds of 'scale' must have lower < upper, got (2, 1)"),
        (
            {"vary": "scale", "bounds": {"scale": 1.0}},
            "bounds of 'scale' must be a pair of numbers (lower, upper), got 1.0",
        ),
        ({"vary": "scale", "start": {"scale": -1.0}}, "start value -1 of 'scale' lies outside its bounds [0, inf]"),
        ({"vary": "scale", "start": {"scale": "big"}}, "start value of 'scale' must be a number, got 'big'"),
        ({"vary": "xyz"}, "vary names xyz, but every site sits where its site symmetry fixes it: no position is free"),
        ({"vary": "occupancy"}, "vary names occupancy, but no site is shared by two or more elements"),
        ({"vary": "scale", "rmin": 5.0, "rmax": 2.0}, "rmin must be below rmax, got 5 and 2"),
        ({"vary": "scale", "rmin": 30.0, "rmax": 40.0}, "no data points between rmin = 30 and rmax = 40 Å"),
        ({"vary": "scale", "radiation": "electron"}, "radiation must be 'xray' or 'neutron', got 'electron'"),
        ({"vary": "scale", "qmax": -1.0}, "qmax must be a positive number, got -1.0"),
        ({"vary": "scale", "u_per": "atom"}, "u_per must be 'element' or 'site', got 'atom'"),
    ],
)
def test_bad_parameters_get_one_clear_message(kwargs, message):
    with pytest.raises(ValueError) as raised:
        refine_pdf(NI_CIF, NI_DATA, **kwargs)
    assert str(raised.value) == message


def test_a_dg_column_of_zeros_leaves_the_fit_unweighted_and_a_mixed_one_is_refused(tmp_path):
    r = np.arange(1.5, 10.0, 0.01)
    g = model_pdf(NI_CIF, r)
    write_gr(tmp_path / "zeros.gr", r, g, dg=np.zeros(len(r)))
    assert not refine_pdf(NI_CIF, str(tmp_path / "zeros.gr"), vary="scale").weighted
    dg = np.full(len(r), 0.01)
    dg[5] = -0.01
    with pytest.raises(
        ValueError, match="^the data's dG column holds values that are not positive; they cannot weigh the fit$"
    ):
        refine_pdf(NI_CIF, MeasuredPdf(r=r, g=g, dg=dg), vary="scale")


@pytest.mark.parametrize(
    "text, message",
    [
        ("# header\n1.0 2.0\n1.5 abc\n", "bad.gr, line 3: expected numbers, found '1.5 abc'"),
        ("1.0 2.0\n1.0 3.0\n", "bad.gr, line 2: r = 1 does not increase (the previous row has r = 1)"),
        ("# only a header\n", "bad.gr: no rows of numbers found in 1 lines"),
    ],
)
def test_unreadable_data_is_refused_with_the_readers_message(tmp_path, monkeypatch, text, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "bad.gr").write_text(text)
    with pytest.raises(ValueError) as raised:
        refine_pdf(NI_CIF, "bad.gr", vary="scale")
    assert str(raised.value) == message


def test_fit_that_stops_early_or_at_a_bound_says_so():
    with pytest.warns(RuntimeWarning, match="did not converge"):
        fit = refine_pdf(NI_CIF, NI_DATA, vary="scale,lattice,uiso", rmin=1.5, rmax=20.0, max_evaluations=2)
    assert not fit.converged and "NOT converged" in fit.report() and "NOT converged" in repr(fit)
    with pytest.warns(RuntimeWarning, match="'U\\(Ni\\)' ran to its upper bound 0.004"):
        fit = refine_pdf(
            NI_CIF,
            NI_DATA,
            vary="scale,uiso",
            rmin=1.5,
            rmax=20.0,
            start={"U(Ni)": 0.003},
            bounds={"U(Ni)": (0.001, 0.004)},
        )
    assert fit.at_bounds == ["U(Ni)"] and "(at a bound)" in fit.report()


def test_command_line_refinement_prints_the_table_and_writes_the_figure(tmp_path, capsys):
    from kestrel.cli import main

    out = tmp_path / "fit"
    code = main(
        [
            "pdf",
            NI_CIF,
            "--data",
            NI_DATA,
            "--refine",
            "scale,lattice,uiso,qdamp,delta2",
            "--rmin",
            "1.5",
            "--rmax",
            "20",
            "--out",
            str(out),
        ]
    )
    printed = capsys.readouterr().out
    assert code == 0
    assert (
        "delta2" in printed
        and "Rw = 0.071" in printed
        and "settings: radiation xray (default), qmax 40.0 (data header)" in printed
    )
    assert sorted(os.listdir(out)) == ["parameters.csv", "refinement.csv", "refinement.png"]
    rows = (out / "parameters.csv").read_text().splitlines()
    assert rows[0] == "parameter,value,uncertainty,varied" and rows[-2].startswith("Rw,0.071")


# ---- the reference program as oracle ------------------------------------------------------------

# diffpy-pdffit2 builds from source against libgsl-dev; it may live in a folder of its own
# (pip install --target DIR diffpy.pdffit2), named here, put after the rest of the path.
EXTRA = os.environ.get("KESTREL_PDFFIT2_DIR", "/tmp/pdf-extra")


def _pdffit2():
    if os.path.isdir(EXTRA) and EXTRA not in sys.path:
        sys.path.append(EXTRA)
    pdffit2 = pytest.importorskip("diffpy.pdffit2")
    structure = pytest.importorskip("diffpy.structure")
    pdffit2.redirect_stdout(open(os.devnull, "w"))
    return pdffit2, structure


@pytest.mark.parametrize(
    "path, theirs, ours, radiation",
    [
        (NI_CIF, {}, {}, "X"),
        (NI_CIF, {"delta1": 0.5}, {"delta1": 0.5}, "X"),
        (NI_CIF, {"delta2": 2.0}, {"delta2": 2.0}, "X"),
        (NI_CIF, {"qbroad": 0.02}, {"qbroad": 0.02}, "X"),
        (NI_CIF, {"spdiameter": 40.0}, {"diameter": 40.0}, "X"),
        (RUTILE, {}, {}, "N"),
    ],
)
def test_model_matches_the_reference_program(path, theirs, ours, radiation):
    pdffit2, structure = _pdffit2()
    fitter = pdffit2.PdfFit()
    fitter.add_structure(structure.loadStructure(path))
    fitter.alloc(radiation, 0.0, 0.03, 1.5, 15.0, 1351)
    for name, value in theirs.items():
        fitter.setvar(name, value)
    fitter.calc()
    r, g = np.array(fitter.getR()), np.array(fitter.getpdf_fit())
    kinds = "scale,uaniso" if path == RUTILE else "scale"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        mine = model_pdf(path, r, values=ours, parameters=kinds, radiation={"X": "xray", "N": "neutron"}[radiation])
    # The damping qdamp = 0.03 is applied alike; the rest is the reference program's own sampling of each peak.
    mine *= np.exp(-0.5 * (0.03 * r) ** 2)
    assert np.max(np.abs(mine - g)) < 0.006 * np.max(np.abs(g))
    assert math.isfinite(float(np.sum(mine)))


# ---- the pieces under the refinement ------------------------------------------------------------


def _cell(a, b, c, alpha, beta, gamma):
    from kestrel.scattering.constraints import cholesky_lattice, metric_from_constants

    return cholesky_lattice(metric_from_constants((a, b, c, alpha, beta, gamma))).tolist()


@pytest.mark.parametrize(
    "lattice, frac, free",
    [
        (_cell(4, 4, 4, 90, 90, 90), [[0, 0, 0], [0.5, 0.5, 0.5]], ["a"]),
        (_cell(4, 4, 6, 90, 90, 90), [[0, 0, 0], [0.5, 0.5, 0.5]], ["a", "c"]),
        (_cell(3, 3, 5, 90, 90, 120), [[0, 0, 0], [1 / 3, 2 / 3, 0.5]], ["a", "c"]),
        (_cell(3, 4, 5, 90, 90, 90), [[0, 0, 0], [0.5, 0.5, 0.5]], ["a", "b", "c"]),
        (_cell(3, 4, 5, 90, 100, 90), [[0, 0, 0], [0.5, 0.5, 0.5]], ["a", "b", "c", "beta"]),
        (_cell(5, 5, 5, 70, 70, 70), [[0, 0, 0]], ["a", "alpha"]),
        (_cell(3, 4, 5, 80, 95, 105), [[0, 0, 0], [0.3, 0.2, 0.1]], ["a", "b", "c", "alpha", "beta", "gamma"]),
        # A cubic metric whose atoms are only tetragonal: the atoms, not the metric, decide.
        (_cell(4, 4, 4, 90, 90, 90), [[0, 0, 0], [0.5, 0.5, 0.3]], ["a", "c"]),
    ],
)
def test_lattice_freedom_follows_the_crystal_system(lattice, frac, free):
    from kestrel.scattering.constraints import crystal_symmetry, lattice_freedom

    structure = Structure(lattice, frac, [{"Si": 1.0}, {"O": 1.0}][: len(frac)])
    assert lattice_freedom(structure, crystal_symmetry(structure, with_orbits=False)).free == free


@pytest.mark.parametrize("widths", ["each its own", "three shared"])
@pytest.mark.parametrize("spacing", ["even", "uneven"])
def test_peak_sums_equal_the_direct_sum(widths, spacing):
    from kestrel.scattering.peaks import gaussian_peak_sums

    rng = np.random.default_rng(1)
    centres, weights = rng.uniform(0, 10, 3000), rng.uniform(-2, 2, 3000)
    sigmas = rng.uniform(0.02, 0.3, 3000) if widths == "each its own" else rng.choice([0.011, 0.07, 0.2], 3000)
    x = 0.5 + 0.01 * np.arange(900) if spacing == "even" else np.sort(rng.uniform(0.5, 9.5, 900))
    direct = np.sum(
        weights / (sigmas * math.sqrt(2 * math.pi)) * np.exp(-0.5 * ((x[:, None] - centres) / sigmas) ** 2), axis=1
    )
    found = gaussian_peak_sums(centres, weights, sigmas, x)
    np.testing.assert_allclose(found, direct, rtol=0, atol=1e-12 * np.max(np.abs(direct)))


@pytest.mark.parametrize("qmax", [None, 20.0])
@pytest.mark.parametrize("points", ["grid", "scattered"])
def test_model_pdf_is_compute_pdf_to_rounding(qmax, points):
    # One engine: the refinement's model at given values is compute_pdf's curve, on any points.
    s = Structure.from_cif(NI_CIF)
    r = np.arange(1.0, 15.0, 0.01)
    if points == "scattered":
        r = np.random.default_rng(3).uniform(0.0, 15.0, 400)
    expected = kestrel.compute_pdf(s, r=r, qmax=qmax, u_iso=0.006).g
    mine = model_pdf(s, r, qmax=qmax, values={"U(Ni)": 0.006})
    assert np.max(np.abs(mine - expected)) <= 1e-12 * np.max(np.abs(expected))


@pytest.mark.parametrize("seed", range(20))
def test_header_settings_never_fail_on_any_text(seed):
    rng = np.random.default_rng(seed)
    alphabet = list("qmaxdp=stypeNXmoderadiation0123456789.-+e ,#\t")
    lines = ["".join(rng.choice(alphabet, size=rng.integers(0, 60))) for _ in range(8)]
    lines += ["qmax=" + "".join(rng.choice(list("0123456789.eE+-"), size=6)), "stype = " + rng.choice(["X", "N", "Q"])]
    found = header_settings(MeasuredPdf(r=np.zeros(1), g=np.zeros(1), header=lines))
    assert set(found) <= {"qmax", "qdamp", "radiation"}
    assert found.get("radiation", "xray") in ("xray", "neutron")
    assert all(isinstance(found[k], float) for k in ("qmax", "qdamp") if k in found)


def test_disordered_structure_is_refined_on_its_weighted_model():
    disordered = kestrel.read_structure(str(EXAMPLES / "FeNi_disordered.cif"))
    r = np.arange(1.5, 12.0, 0.01)
    truth = {"scale": 0.7, "U(Fe)": 0.007, "U(Ni)": 0.005}
    g = model_pdf(disordered, r, values=truth, parameters="scale,uiso", radiation="neutron")
    # Fe and Ni share the site and scatter neutrons alike, so swapping their U about gives a second minimum
    # almost as deep; the fit starts on the truth's side of the ridge between them, not on it.
    start = {"U(Fe)": 0.006, "U(Ni)": 0.005}
    fit = refine_pdf(disordered, noisy(r, g, 0.01, seed=9), radiation="neutron", vary="scale,uiso,lattice", start=start)
    for name, value in truth.items():
        assert abs(fit.values[name] - value) < 4 * fit.uncertainties[name], fit.report()


@pytest.mark.parametrize(
    "fix, held_by_kestrel, varied_z",
    [
        ((), ["z(Zn0) held at 0: space group P6_3mc (186) leaves the origin free along c"], ["z(O2)"]),
        ("z(Zn0)", [], ["z(O2)"]),
        ("z(O2)", [], ["z(Zn0)"]),
    ],
)
def test_hexagonal_wurtzite_gets_its_floating_origin_held(fix, held_by_kestrel, varied_z):
    # P6_3mc: a and c free, the z of Zn and O both free, and only their difference seen by G(r):
    # kestrel holds one z unless the user holds one already.
    u = 0.382
    frac = [[1 / 3, 2 / 3, 0.0], [2 / 3, 1 / 3, 0.5], [1 / 3, 2 / 3, u], [2 / 3, 1 / 3, 0.5 + u]]
    cell = _cell(3.25, 3.25, 5.21, 90, 90, 120)
    zno = Structure(cell, frac, [{"Zn": 1.0}] * 2 + [{"O": 1.0}] * 2)
    r = np.arange(1.5, 12.0, 0.01)
    kinds = "scale,lattice,xyz,uiso"
    truth = {"a": 3.26, "c": 5.20, "z(O2)": 0.379, "U(Zn)": 0.006, "U(O)": 0.009, "scale": 1.0}
    # X-rays: with neutrons Zn and O scatter almost alike, and their two hcp sublattices, being the same,
    # would let U(Zn) and U(O) trade places.
    g = model_pdf(zno, r, values=truth, parameters=kinds)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # no singular Jacobian, no bound
        fit = refine_pdf(zno, noisy(r, g, 0.01, seed=4), vary=kinds, fix=fix)
    assert fit.origin_held == held_by_kestrel
    assert fit.varied == ["scale", "a", "c", *varied_z, "U(O)", "U(Zn)"]
    assert all(f"origin: {text}" in fit.report() for text in held_by_kestrel)
    # The bond, not the origin, is what G(r) fixes.
    assert abs((fit.values["z(O2)"] - fit.values["z(Zn0)"]) - (0.379 - 0.0)) < 4 * max(
        fit.uncertainties.get("z(O2)", 0.0), fit.uncertainties.get("z(Zn0)", 0.0)
    )
    for name in ("a", "c", "U(Zn)", "U(O)", "scale"):
        assert abs(fit.values[name] - truth[name]) < 4 * fit.uncertainties[name], fit.report()


@pytest.mark.parametrize(
    "path, frac, held",
    [
        (None, [[0.0, 0.0, 0.0], [0.37, 0.52, 0.18], [0.71, 0.23, 0.64]], ["x(Fe0)", "y(Fe0)", "z(Fe0)"]),
        (RUTILE, None, []),
    ],
)
def test_only_directions_the_space_group_leaves_free_are_held(path, frac, held):
    # P1 lets the whole structure slide in every direction; rutile (P4_2/mnm) in none.
    structure = (
        Structure(_cell(4.1, 3.9, 4.4, 80, 95, 105), frac, [{"Fe": 1.0}, {"O": 1.0}, {"Ni": 1.0}])
        if path is None
        else kestrel.read_structure(path)
    )
    r = np.arange(1.5, 8.0, 0.02)
    g = model_pdf(structure, r, parameters="scale,xyz")
    fit = refine_pdf(structure, MeasuredPdf(r=r, g=g), vary="scale,xyz")
    assert [text.split(" ")[0] for text in fit.origin_held] == held
    assert not set(held) & set(fit.varied)


@pytest.mark.parametrize("path", [RUTILE, NI_CIF])
def test_any_parameter_values_keep_the_space_group(path):
    # The constraints are the parametrisation itself: random values of every lattice and position
    # parameter give a cell and positions with the start's space group.
    import spglib

    from kestrel.scattering.parameters import PhaseSettings
    from kestrel.scattering.phases import PhaseModel

    structure = kestrel.read_structure(path)
    vary = frozenset({"lattice", "xyz"} if path == RUTILE else {"lattice"})
    phase = PhaseModel(structure, "", vary, PhaseSettings(), 0.005, 10.0)
    rng = np.random.default_rng(8)
    for _ in range(5):
        values = np.array([p.value * (1 + rng.uniform(-0.05, 0.05)) if p.vary else p.value for p in phase.parameters])
        metric = phase.metric(values)
        for rotation in phase.symmetry.point_rotations():
            np.testing.assert_allclose(rotation.T @ metric @ rotation, metric, atol=1e-10)
        refined = phase.refined_structure(values)
        types = [["Ti", "O", "Ni"].index(next(iter(s))) for s in refined.species]
        cell = (np.array(refined.lattice_matrix), np.mod(refined.frac_coords, 1.0), types)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            found = spglib.get_symmetry_dataset(cell, symprec=1e-6).number
        assert found == (136 if path == RUTILE else 225)


@pytest.mark.parametrize("shrink", [0.8, 1.0])
def test_a_site_moved_away_and_back_gives_the_start_curve(shrink):
    # A cell that shrinks while a site is away makes the pairs be found again at the moved positions;
    # when the site returns, its vectors must be those of its start, not of the geometry it left.
    from kestrel.scattering.parameters import Instrument, PhaseSettings, vary_names
    from kestrel.scattering.pdf import assemble_model

    r = np.arange(1.0, 8.0, 0.01)
    kinds = vary_names("scale,lattice,xyz")
    model = assemble_model(RUTILE, r, kinds, Instrument(), PhaseSettings(radiation="neutron"), 0.005, False)
    start = model.start_values()
    before = model.evaluate(start)
    pairs = model.phases[0].pairs
    away = start.copy()
    away[model.index["x(O2)"]] += 0.03
    away[model.index["a"]] *= shrink
    moved = model.evaluate(away)
    assert (model.phases[0].pairs is not pairs) == (shrink < 1.0)
    assert np.max(np.abs(moved - before)) > 0.05 * np.max(np.abs(before))
    back = model.evaluate(start)
    np.testing.assert_allclose(back, before, rtol=0, atol=1e-12 * np.max(np.abs(before)))


@pytest.mark.parametrize("n_threads", [1, 3])
def test_peak_sums_are_the_same_on_any_number_of_threads(n_threads):
    from kestrel.scattering.peaks import gaussian_peak_sums

    rng = np.random.default_rng(5)
    centres, weights, sigmas = rng.uniform(0, 30, 40_000), rng.uniform(0, 1, 40_000), rng.uniform(0.05, 0.2, 40_000)
    x = np.arange(0.0, 30.0, 0.01)
    alone = gaussian_peak_sums(centres, weights, sigmas, x, n_threads=0)
    np.testing.assert_allclose(gaussian_peak_sums(centres, weights, sigmas, x, n_threads=n_threads), alone, rtol=1e-12)


@pytest.mark.parametrize(
    "sigmas, x, message",
    [
        ([0.1, 0.0], [1.0, 2.0], "every sigma must be a positive number"),
        ([0.1, float("nan")], [1.0, 2.0], "every sigma must be a positive number"),
        ([0.1], [1.0, 2.0], "centres, weights and sigmas must have the same length"),
        ([0.1, 0.1], [[1.0, 2.0]], "x must be one-dimensional"),
    ],
)
def test_peak_sums_refuse_what_they_cannot_sum(sigmas, x, message):
    from kestrel._kestrel import _gaussian_peak_sums

    with pytest.raises(ValueError, match=f"^{message}$"):
        _gaussian_peak_sums([1.0, 2.0], [1.0, 1.0], sigmas, x)
