"""refine_pdf against S(Q), F(Q) and I(Q): simulated data refined back to the values that made them, alone and
jointly with G(r), a nanoparticle's diameter through the Debye intensity, the file kinds and the messages."""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kestrel
from conftest import EXAMPLES
from kestrel import Structure
from kestrel.scattering.gr_files import MeasuredPdf, write_gr
from kestrel.scattering.particle_fit import particle_terms, soft_particle, surface_shell
from kestrel.scattering.pdf import model_pdf
from kestrel.scattering.q_files import MeasuredScattering
from kestrel.scattering.refine import refine_pdf

NI_CIF = str(EXAMPLES / "Ni.cif")
RUTILE = str(EXAMPLES / "TiO2_rutile.cif")

pytestmark = pytest.mark.filterwarnings("ignore::kestrel.CifReadWarning")


def nickel(a=None):
    start = Structure.from_cif(NI_CIF)
    if a is None:
        return start
    return Structure(np.eye(3) * a, start.frac_coords, start.species)


def rutile(a, c, x):
    frac = [[0, 0, 0], [0.5, 0.5, 0.5], [x, x, 0], [-x, -x, 0], [0.5 + x, 0.5 - x, 0.5], [0.5 - x, 0.5 + x, 0.5]]
    species = [{"Ti": 1.0}] * 2 + [{"O": 1.0}] * 4
    return Structure([[a, 0, 0], [0, a, 0], [0, 0, c]], frac, species)


def write_columns(path, x, y, header=()):
    with open(path, "w", encoding="utf-8") as handle:
        for line in header:
            handle.write(f"# {line}\n")
        for a, b in zip(x, y):
            handle.write(f"{float(a)!r} {float(b)!r}\n")
    return str(path)


@pytest.mark.parametrize(
    "case",
    [
        dict(
            kind="fq",
            radiation="neutron",
            truth=nickel(3.54),
            model=NI_CIF,
            u={"Ni": 0.006},
            qdamp=0.03,
            vary="scale,lattice,uiso,qdamp",
            scale=0.9,
            start={"a": 3.525, "U(Ni)": 0.004, "qdamp": 0.02},
            expected={"a": 3.54, "U(Ni)": 0.006, "qdamp": 0.03, "scale": 0.9},
        ),
        dict(
            kind="sq",
            radiation="xray",
            truth=rutile(4.60, 2.96, 0.3050),
            model=rutile(4.59, 2.96, 0.3050),
            u={"Ti": 0.005, "O": 0.008},
            qdamp=0.02,
            vary="scale,lattice,xyz,uiso",
            scale=1.1,
            start={"a": 4.58, "c": 2.975, "x(O2)": 0.3020, "U(Ti)": 0.004, "U(O)": 0.006},
            expected={"a": 4.60, "c": 2.96, "x(O2)": 0.3050, "U(Ti)": 0.005, "U(O)": 0.008, "scale": 1.1},
        ),
    ],
    ids=["nickel F(Q) neutron", "rutile S(Q) x-ray with a position"],
)
def test_simulated_q_data_are_refined_back_to_the_structure_that_made_them(case):
    q = np.arange(1.0, 18.0, 0.025)
    made = kestrel.compute_sq(case["truth"], q, radiation=case["radiation"], u_iso=case["u"], qdamp=case["qdamp"])
    # The scale multiplies F and S − 1, which the sine transform carries to G(r).
    values = case["scale"] * made.fq if case["kind"] == "fq" else 1.0 + case["scale"] * (made.sq - 1.0)
    data = MeasuredScattering(q=q, values=values, kind=case["kind"])
    fit = refine_pdf(
        case["model"],
        data,
        radiation=case["radiation"],
        qdamp=case["qdamp"],
        vary=case["vary"],
        u_iso=0.005,
        start=case["start"],
    )
    assert fit.converged and not fit.at_bounds
    for name, value in case["expected"].items():
        assert fit.values[name] == pytest.approx(value, rel=1e-6), name
    (only,) = fit.data_sets
    assert only.kind == case["kind"] and only.scale is None and fit.rw == only.rw < 1e-8
    assert len(fit.r) == 0 and math.isnan(fit.rmin)
    np.testing.assert_allclose(only.difference, only.observed - only.calculated)
    assert f"Rw = {fit.rw:.4f}" in fit.report() and repr(fit).startswith(f"PdfRefinement(rw={fit.rw:.4f}, scale=")


def test_g_and_f_are_refined_jointly_each_with_its_own_scale_and_rw(tmp_path):
    truth = {"a": 3.54, "U(Ni)": 0.006, "qdamp": 0.03, "scale": 0.9}
    r = np.arange(1.5, 12.0, 0.02)
    g = model_pdf(NI_CIF, r, values=truth, parameters="scale,lattice,uiso,qdamp", radiation="neutron", qmax=20.0)
    q = np.arange(1.0, 20.0, 0.025)
    made = kestrel.compute_sq(nickel(3.54), q, radiation="neutron", u_iso=0.006, qdamp=0.03)
    gr = tmp_path / "ni.gr"
    write_gr(gr, r, g, header=["qmax = 20", "stype=N"])
    # F(Q) in other units and many more counts: the joint fit weighs each data set by its Rw.
    fq = write_columns(tmp_path / "ni.fq", q, 250.0 * made.fq)
    start = {"a": 3.525, "U(Ni)": 0.0045, "qdamp": 0.02}
    fit = refine_pdf(NI_CIF, [gr, fq], vary="scale,lattice,uiso,qdamp", start=start)
    assert fit.converged
    assert fit.settings["radiation"] == "neutron (data header)" and fit.settings["qmax"] == "20.0 (data header)"
    for name, value in truth.items():
        assert fit.values[name] == pytest.approx(value, rel=1e-5), name
    assert fit.values["scale(ni.fq)"] == pytest.approx(250.0 / 0.9, rel=1e-5)
    assert [(d.label, d.kind, d.scale) for d in fit.data_sets] == [
        ("ni.gr", "gr", None),
        ("ni.fq", "fq", "scale(ni.fq)"),
    ]
    assert fit.rw == pytest.approx(math.sqrt((fit.rw_of("ni.gr") ** 2 + fit.rw_of("ni.fq") ** 2) / 2))
    assert fit.rw_of("ni.gr") < 1e-5 and fit.rw_of("ni.fq") < 1e-5
    np.testing.assert_array_equal(fit.r, fit.data_sets[0].x)
    report = fit.report()
    assert "ni.gr (G(r)): Rw = " in report and "ni.fq (F(Q)): Rw = " in report and "joint Rw = " in report
    assert repr(fit).startswith(
        f"PdfRefinement(rw={fit.rw:.4f} (ni.gr {fit.rw_of('ni.gr'):.4f}, ni.fq {fit.rw_of('ni.fq'):.4f}), scale="
    )
    with pytest.raises(KeyError, match="no data set 'ni.sq': the data sets are ni.gr, ni.fq"):
        fit.rw_of("ni.sq")


def test_the_soft_particle_changes_smoothly_with_its_diameter():
    crystal = nickel(3.54)
    shell = surface_shell(crystal)
    assert shell == pytest.approx((3.54**3 / 4) ** (1 / 3))
    # The atom count grows as the sphere's volume, without the steps of a sharp cut.
    diameters = np.linspace(20.0, 21.0, 6)
    counts = np.array([soft_particle(crystal, d).n_atoms for d in diameters])
    volumes = 4 * np.pi / 3 * (diameters / 2) ** 3 / (3.54**3 / 4)
    np.testing.assert_allclose(counts, volumes, rtol=0.03)
    assert np.all(np.diff(counts) > 0)
    q = np.array([2.0, 3.0, 5.0])
    low = particle_terms(crystal, 24.0, q, "xray", {"Ni": 0.005})[1]
    high = particle_terms(crystal, 24.0 + 1e-6, q, "xray", {"Ni": 0.005})[1]
    np.testing.assert_allclose(high, low, rtol=1e-5)


@pytest.mark.parametrize("sharp", [False, True], ids=["soft model", "sharp cut"])
def test_a_particles_diameter_lattice_and_u_are_refined_from_its_intensity(sharp):
    q = np.arange(0.8, 12.0, 0.02)
    crystal = nickel(3.54)
    if sharp:
        particle = kestrel.cut_particle(crystal, 25.0)
        per_atom = kestrel.debye_intensity(particle, q) / particle.n_atoms
        u_start, vary = 1e-5, "scale,lattice,diameter"
    else:
        per_atom = particle_terms(crystal, 25.0, q, "xray", {"Ni": 0.006})[1]
        u_start, vary = 0.004, "scale,lattice,uiso,diameter"
    data = MeasuredScattering(q=q, values=3.0 * per_atom, kind="iq", path="ni.iq")
    fit = refine_pdf(NI_CIF, data, vary=vary, u_iso=u_start, start={"diameter": 22.0, "a": 3.53})
    assert fit.converged
    if sharp:
        # A sharp cut's edge lies somewhere in the outer atomic layer: the diameter within one layer.
        assert abs(fit.values["diameter"] - 25.0) < surface_shell(crystal)
        assert fit.values["a"] == pytest.approx(3.54, rel=2e-4) and fit.rw < 0.05
    else:
        for name, value in {"diameter": 25.0, "a": 3.54, "U(Ni)": 0.006, "scale": 3.0}.items():
            assert fit.values[name] == pytest.approx(value, rel=1e-6), name


def test_file_kinds_come_from_the_suffix_or_kind(tmp_path):
    q = np.arange(1.0, 10.0, 0.05)
    made = kestrel.compute_sq(nickel(), q, radiation="xray", u_iso=0.005)
    paths = {
        "sq": write_columns(tmp_path / "a.sq", q, made.sq),
        "fq": write_columns(tmp_path / "b.FQ", q, made.fq),
        "iq": write_columns(tmp_path / "c.iq", q, made.iq),
        "dat": write_columns(tmp_path / "d.dat", q, made.fq),
    }
    fit = refine_pdf(
        NI_CIF, [paths["sq"], paths["fq"], paths["iq"], paths["dat"]], vary="scale", kind=[None, None, None, "fq"]
    )
    assert [(d.label, d.kind) for d in fit.data_sets] == [
        ("a.sq", "sq"),
        ("b.FQ", "fq"),
        ("c.iq", "iq"),
        ("d.dat", "fq"),
    ]
    assert fit.rw < 1e-9 and [d.scale for d in fit.data_sets] == [None, "scale(b.FQ)", "scale(c.iq)", "scale(d.dat)"]
    # A path of another suffix is a G(r), unless kind says otherwise; one kind may stand for every data set.
    fit = refine_pdf(NI_CIF, [paths["dat"]], vary="scale", kind="fq")
    assert fit.data_sets[0].kind == "fq"
    objects = [MeasuredScattering(q=q, values=made.fq, kind="fq"), MeasuredScattering(q=q, values=made.fq, kind="fq")]
    fit = refine_pdf(NI_CIF, objects, vary="scale", q_range=(2.0, 8.0))
    assert [d.label for d in fit.data_sets] == ["F(Q)", "F(Q) (2)"]
    assert fit.data_sets[0].x[0] >= 2.0 and fit.data_sets[0].x[-1] <= 8.0


def _q(kind="fq", errors=None):
    q = np.linspace(1.0, 5.0, 20)
    return MeasuredScattering(q=q, values=np.sin(q), kind=kind, errors=errors, path=f"x.{kind}")


GR = MeasuredPdf(r=np.linspace(1.0, 5.0, 20), g=np.ones(20), path="x.gr")


@pytest.mark.parametrize(
    "data, options, error, message",
    [
        ([], {}, ValueError, "data is empty: give a G(r), S(Q), F(Q) or I(Q) data set"),
        (_q(), {"kind": "xq"}, ValueError, "kind must be 'gr', 'sq', 'fq' or 'iq', got 'xq'"),
        ([_q(), _q()], {"kind": ["fq"]}, ValueError, "kind names 1 kinds for 2 data sets"),
        (GR, {"kind": "fq"}, ValueError, "kind='fq' was given for a MeasuredPdf, which holds a G(r)"),
        (_q(), {"kind": "sq"}, ValueError, "kind='sq' was given for a MeasuredScattering of kind 'fq'"),
        ([GR, GR, _q()], {}, ValueError, "refine_pdf fits at most one G(r) data set (beside any in Q), got 2"),
        (3, {}, TypeError, "a data set must be a path, a MeasuredPdf or a MeasuredScattering, got int"),
        (
            MeasuredScattering(q=np.arange(3.0), values=np.ones(2), kind="sq", path="x.sq"),
            {},
            ValueError,
            "x.sq: Q and the values must be one-dimensional and of one length, got (3,) and (2,)",
        ),
        (
            MeasuredScattering(q=np.arange(3.0), values=np.array([1.0, np.nan, 1.0]), kind="sq", path="x.sq"),
            {},
            ValueError,
            "x.sq: Q and the values must be finite numbers",
        ),
        (
            MeasuredScattering(q=np.arange(-1.0, 3.0), values=np.ones(4), kind="sq", path="x.sq"),
            {},
            ValueError,
            "x.sq: Q must be at least 0, found -1 Å⁻¹",
        ),
        (_q(), {"q_range": (5.0, 2.0)}, ValueError, "q_range must have qmin below qmax, got (5, 2)"),
        (_q(), {"q_range": "all"}, ValueError, "q_range must be a pair of numbers (qmin, qmax), got 'all'"),
        (_q(), {"q_range": (6.0, 9.0)}, ValueError, "x.fq: no data points between Q = 6 and 9 Å⁻¹"),
        (
            _q(errors=np.r_[np.ones(19), -1.0]),
            {},
            ValueError,
            "x.fq: the uncertainty column holds values that are not positive; they cannot weigh the fit",
        ),
        (
            _q(),
            {"u_per": "site", "vary": "scale,uiso"},
            ValueError,
            "S(Q), F(Q) and I(Q) are modelled with one U per element: fit them with u_per='element' and without uaniso",
        ),
        (
            _q(),
            {"vary": "scale,delta2"},
            ValueError,
            "delta2 shapes only the G(r) peaks: with S(Q), F(Q) or I(Q) data alone it cannot be refined",
        ),
        (
            _q(),
            {"vary": "scale,diameter"},
            ValueError,
            "refining 'diameter' against S(Q), F(Q) or I(Q) alone needs its start value (Å): start={'diameter': ...}",
        ),
        (
            _q("iq"),
            {"vary": "scale,qdamp", "start": {"diameter": 30.0}},
            ValueError,
            "qdamp is not applied to a particle's Debye intensity: with S(Q), F(Q) or I(Q) data of particles alone "
            "it cannot be refined",
        ),
        (
            _q(),
            {"fix": "scale(x.fq)"},
            ValueError,
            "unknown parameter 'scale(x.fq)'",
        ),
    ],
)
def test_bad_data_and_options_are_refused_with_one_message(data, options, error, message):
    with pytest.raises(error) as caught:
        refine_pdf(NI_CIF, data, **options)
    assert str(caught.value).startswith(message)


def test_an_unknown_suffix_on_a_q_reader_names_the_file(tmp_path):
    path = write_columns(tmp_path / "x.chi", [1.0, 2.0], [1.0, 2.0])
    with pytest.raises(ValueError, match="kind must be 'gr', 'sq', 'fq' or 'iq', got 'chi'"):
        refine_pdf(NI_CIF, path, kind="chi")


# ---- the command line ---------------------------------------------------------------------------


def _simulated_files(folder):
    truth = {"a": 3.54, "U(Ni)": 0.006, "qdamp": 0.03, "scale": 0.9}
    r = np.arange(1.5, 10.0, 0.02)
    g = model_pdf(NI_CIF, r, values=truth, parameters="scale,lattice,uiso,qdamp", radiation="neutron", qmax=20.0)
    write_gr(folder / "ni.gr", r, g, header=["qmax = 20", "stype=N"])
    q = np.arange(1.0, 15.0, 0.025)
    made = kestrel.compute_sq(nickel(3.54), q, radiation="neutron", u_iso=0.006, qdamp=0.03)
    return str(folder / "ni.gr"), write_columns(folder / "ni.fq", q, 0.9 * made.fq, header=["stype=N"])


def test_command_line_refines_f_of_q_alone_and_jointly_with_g(tmp_path, capsys):
    from kestrel.cli import main

    gr, fq = _simulated_files(tmp_path)
    alone = tmp_path / "alone"
    assert (
        main(
            ["pdf", NI_CIF, "--data", fq, "--refine", "scale,lattice,uiso", "--q-range", "1.5:14", "--out", str(alone)]
        )
        == 0
    )
    printed = capsys.readouterr().out
    assert "settings: radiation neutron (data header)" in printed and " points of ni.fq (F(Q)) over 1.5" in printed
    assert sorted(os.listdir(alone)) == ["parameters.csv", "refinement.png", "refinement_fq.csv"]
    rows = (alone / "refinement_fq.csv").read_text().splitlines()
    assert rows[0].startswith("# ni.fq: F(Q), Rw ") and rows[1] == "Q,F_obs,F_calc,difference"
    assert float(rows[2].split(",")[0]) >= 1.5
    joint = tmp_path / "joint"
    code = main(
        [
            "pdf",
            NI_CIF,
            "--data",
            gr,
            "--data",
            fq,
            "--refine",
            "scale,lattice,uiso,qdamp",
            "--start",
            "a=3.53",
            "--out",
            str(joint),
        ]
    )
    printed = capsys.readouterr().out
    assert code == 0 and "joint Rw = " in printed and "ni.gr (G(r)): Rw = " in printed
    assert sorted(os.listdir(joint)) == ["parameters.csv", "refinement.csv", "refinement.png", "refinement_fq.csv"]
    parameters = (joint / "parameters.csv").read_text()
    assert "scale(ni.fq)," in parameters and "Rw(ni.gr)," in parameters and "Rw(ni.fq)," in parameters


@pytest.mark.parametrize(
    "extra, message",
    [
        (
            ["--data", "{fq}"],
            "comparing with S(Q), F(Q) or I(Q) data, or with several --data, is a refinement: add --refine",
        ),
        (["--data", "{gr}", "--data", "{fq}"], "comparing with S(Q), F(Q) or I(Q) data, or with several --data"),
        (["--data", "{gr}", "--refine", "scale", "--kind", "xq"], "kind must be 'gr', 'sq', 'fq' or 'iq', got 'xq'"),
        (
            ["--data", "{gr}", "--data", "{fq}", "--refine", "scale", "--kind", "gr,fq,fq"],
            "--kind names 3 kinds for 2 --data files; give one, or one per file",
        ),
        (
            ["--data", "{fq}", "--refine", "scale", "--q-range", "2"],
            "--q-range: expected QMIN:QMAX in Å⁻¹, such as 1.5:25, found '2'",
        ),
        (
            ["--data", "{fq}", "--refine", "scale", "--start", "a:3"],
            "--start: expected NAME=VALUE, such as diameter=30, found 'a:3'",
        ),
        (["--refine", "scale"], "--refine needs --data: the measured G(r), S(Q), F(Q) or I(Q) to refine against"),
    ],
)
def test_command_line_refuses_with_one_line(tmp_path, capsys, extra, message):
    from kestrel.cli import main

    gr, fq = _simulated_files(tmp_path)
    assert main(["pdf", NI_CIF] + [part.format(gr=gr, fq=fq) for part in extra]) == 1
    assert capsys.readouterr().err.startswith(f"kestrel: error: {message}")


def test_units_of_correlated_disorder_keep_their_weights_in_the_model_in_q():
    # fcc Fe-Ni with vacancies and an O split over two places 0.33 Å apart, as one unit: never both.
    frac = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0.59]]
    species = [{"Fe": 0.5, "Ni": 0.45}] * 4 + [{"O": 0.5}, {"O": 0.5}]
    cell = Structure(np.eye(3) * 3.6, frac, species, units=[None] * 4 + [(0, 0), (0, 1)])
    q = np.arange(1.0, 12.0, 0.05)
    made = kestrel.compute_sq(cell, q, radiation="neutron", u_iso=0.005)
    data = MeasuredScattering(q=q, values=made.fq, kind="fq")
    fit = refine_pdf(cell, data, radiation="neutron", vary="scale,uiso", u_iso=0.004)
    assert fit.rw < 1e-8 and fit.values["U(O)"] == pytest.approx(0.005, rel=1e-6)


def test_several_phases_and_an_ensembles_orderings_add_up_in_q_as_in_g():
    q = np.arange(1.0, 10.0, 0.05)
    salt = Structure.from_cif(str(EXAMPLES / "NaCl.cif"))
    ni = nickel()
    f_ni = kestrel.compute_sq(ni, q, radiation="neutron", u_iso=0.005).fq
    f_salt = kestrel.compute_sq(salt, q, radiation="neutron", u_iso=0.005).fq
    data = MeasuredScattering(q=q, values=0.6 * f_ni + 0.3 * f_salt, kind="fq")
    fit = refine_pdf([ni, salt], data, radiation="neutron", vary="scale")
    assert fit.values["phase1.scale"] == pytest.approx(0.6, rel=1e-6)
    assert fit.values["phase2.scale"] == pytest.approx(0.3, rel=1e-6) and fit.rw < 1e-9
    # Two orderings of fcc FeNi: the model is the mean of theirs, under one scale.
    frac = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    orderings = [
        Structure(np.eye(3) * 3.58, frac, [{"Fe": 1.0}, {"Ni": 1.0}, {"Ni": 1.0}, {"Ni": 1.0}]),
        Structure(np.eye(3) * 3.58, frac, [{"Fe": 1.0}, {"Fe": 1.0}, {"Ni": 1.0}, {"Ni": 1.0}]),
    ]
    curves = [kestrel.compute_sq(o, q, radiation="neutron", u_iso=0.005).sq for o in orderings]
    data = MeasuredScattering(q=q, values=1.0 + 0.8 * (np.mean(curves, axis=0) - 1.0), kind="sq")
    fit = refine_pdf(orderings, data, radiation="neutron", vary="scale", ensemble=True)
    assert fit.values["scale"] == pytest.approx(0.8, rel=1e-6) and fit.rw < 1e-9


@settings(max_examples=5, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(factor=st.floats(1e-3, 1e3))
def test_a_joint_fit_does_not_depend_on_the_units_of_a_data_set(factor):
    # Noisy data, so that the optimum is a balance between the two data sets, not an exact match.
    rng = np.random.default_rng(7)
    r = np.arange(1.5, 10.0, 0.02)
    g = model_pdf(NI_CIF, r, values={"a": 3.54, "U(Ni)": 0.006}, parameters="scale,lattice,uiso", radiation="neutron")
    gr = MeasuredPdf(r=r, g=g + rng.normal(0.0, 0.3, len(r)), path="ni.gr")
    q = np.arange(1.0, 12.0, 0.025)
    made = kestrel.compute_sq(nickel(3.545), q, radiation="neutron", u_iso=0.0055)
    fq = made.fq + rng.normal(0.0, 0.3, len(q))
    options = dict(radiation="neutron", vary="scale,lattice,uiso", start={"a": 3.53})
    one = refine_pdf(NI_CIF, [gr, MeasuredScattering(q=q, values=fq, kind="fq", path="ni.fq")], **options)
    other = refine_pdf(NI_CIF, [gr, MeasuredScattering(q=q, values=factor * fq, kind="fq", path="ni.fq")], **options)
    for name in ("a", "U(Ni)", "scale"):
        assert other.values[name] == pytest.approx(one.values[name], rel=1e-4), name
    assert other.values["scale(ni.fq)"] == pytest.approx(factor * one.values["scale(ni.fq)"], rel=1e-4)
    assert other.rw_of("ni.fq") == pytest.approx(one.rw_of("ni.fq"), rel=1e-4)
    # The two data sets pull a apart; the joint answer lies between their own.
    assert 3.54 - 1e-3 < one.values["a"] < 3.545 + 1e-3
