"""The fit's Jacobian in closed form: every parameter's column against a central difference of the model, on
random triclinic cells (each site its own orbit) and on crystals whose space group ties the parameters."""

import math

import numpy as np
import pytest

from conftest import EXAMPLES
from kestrel import Structure
from kestrel._kestrel import _gaussian_peak_slopes, _gaussian_peak_sums
from kestrel.scattering.parameters import Instrument, PhaseSettings, vary_names
from kestrel.scattering.pdf import assemble_model

pytestmark = pytest.mark.filterwarnings("ignore::kestrel.CifReadWarning")

R = np.arange(1.2, 11.0, 0.02)


def random_triclinic(seed):
    rng = np.random.default_rng(seed)
    matrix = np.diag(rng.uniform(3.8, 5.2, 3)) + np.triu(rng.uniform(-1.0, 1.0, (3, 3)), 1)
    frac = rng.uniform(0.0, 1.0, (3, 3))
    species = [{"Fe": 0.7, "Ni": 0.3}, {"O": 1.0}, {"Ni": 0.6, "Co": 0.4}]
    return Structure(matrix.tolist(), frac.tolist(), species)


def wurtzite():
    a, c = 4.30, 7.01
    lattice = [[a, 0, 0], [-a / 2, a * math.sqrt(3) / 2, 0], [0, 0, c]]
    frac = [[1 / 3, 2 / 3, 0.0], [2 / 3, 1 / 3, 0.5], [1 / 3, 2 / 3, 0.377], [2 / 3, 1 / 3, 0.877]]
    return Structure(lattice, frac, [{"Cd": 1.0}] * 2 + [{"Se": 1.0}] * 2)


# (structure, vary, instrument, settings, start values away from zero slopes)
CASES = {
    "triclinic aniso": (
        lambda: random_triclinic(1),
        "scale,lattice,uaniso,xyz,occupancy,delta1,delta2,qdamp,qbroad,diameter",
        Instrument(22.0, 0.03, 0.01),
        PhaseSettings(),
        {"delta1": 0.2, "delta2": 1.0, "diameter": 25.0},
    ),
    "triclinic iso per site": (
        lambda: random_triclinic(2),
        "scale,lattice,uiso,xyz,occupancy,delta2",
        Instrument(None),
        PhaseSettings(radiation="neutron", u_per="site"),
        {"delta2": 1.5},
    ),
    "triclinic iso per element": (
        lambda: random_triclinic(3),
        "scale,lattice,uiso,qbroad",
        Instrument(25.0, 0.0, 0.02),
        PhaseSettings(),
        {},
    ),
    "wurtzite positions": (
        wurtzite,
        "scale,lattice,uiso,xyz,delta2,qdamp",
        Instrument(25.0, 0.03),
        PhaseSettings(),
        {},
    ),
    "rutile aniso": (
        lambda: str(EXAMPLES / "TiO2_rutile.cif"),
        "scale,lattice,uaniso,xyz,delta2",
        Instrument(25.0, 0.03),
        PhaseSettings(radiation="neutron"),
        {"delta2": 1.0},
    ),
    "nickel histogram": (
        lambda: str(EXAMPLES / "Ni.cif"),
        "scale,lattice,uiso,delta1,qdamp,diameter",
        Instrument(25.0, 0.05),
        PhaseSettings(),
        {"delta1": 0.5, "diameter": 30.0},
    ),
    "disordered alloy": (
        lambda: str(EXAMPLES / "FeNi_disordered.cif"),
        "scale,lattice,uiso,occupancy",
        Instrument(None),
        PhaseSettings(radiation="neutron", u_per="site"),
        {},
    ),
}


def central_difference(model, values, k):
    step = 1e-6 * max(1.0, abs(values[k]))
    up, down = values.copy(), values.copy()
    up[k] += step
    down[k] -= step
    return (model.evaluate(up) - model.evaluate(down)) / (2.0 * step)


@pytest.mark.parametrize("case", list(CASES))
def test_every_column_is_the_central_difference(case):
    structure, vary, instrument, settings, start = CASES[case]
    model = assemble_model(structure(), R, vary_names(vary), instrument, settings, 0.008, False)
    values = model.start_values()
    for name, value in start.items():
        values[model.index[name]] = value
    free = [k for k, p in enumerate(model.parameters) if p.vary]
    jacobian = model.jacobian(values, free)
    assert jacobian.shape == (len(R), len(free))
    for column, k in enumerate(free):
        expected = central_difference(model, values, k)
        size = float(np.max(np.abs(expected)))
        assert size > 0.0, model.parameters[k].name
        error = float(np.max(np.abs(jacobian[:, column] - expected)))
        assert error <= 1e-6 * size, (model.parameters[k].name, error, size)


def test_two_phases_and_an_ensemble_add_their_columns():
    r = np.arange(1.5, 9.0, 0.02)
    for ensemble, structures in ((False, [wurtzite(), random_triclinic(4)]), (True, [wurtzite(), wurtzite()])):
        model = assemble_model(
            structures,
            r,
            vary_names("scale,lattice,uiso,qdamp,qbroad"),
            Instrument(20.0, 0.02, 0.01),
            PhaseSettings(),
            0.006,
            ensemble,
        )
        values = model.start_values()
        free = [k for k, p in enumerate(model.parameters) if p.vary]
        jacobian = model.jacobian(values, free)
        for column, k in enumerate(free):
            expected = central_difference(model, values, k)
            assert np.max(np.abs(jacobian[:, column] - expected)) <= 1e-6 * np.max(np.abs(expected))


@pytest.mark.parametrize("spacing", ["even", "uneven"])
@pytest.mark.parametrize("n_threads", [1, 3])
def test_peak_slopes_are_the_derivatives_of_the_peak_sums(spacing, n_threads):
    rng = np.random.default_rng(5)
    n = 20_000  # enough peaks for the pool to share them
    centres, weights, sigmas = rng.uniform(1, 9, n), rng.uniform(-1, 2, n), rng.uniform(0.05, 0.3, n)
    x = np.linspace(0, 10, 1001) if spacing == "even" else np.sort(rng.uniform(0, 10, 900))
    # Parameter 0 moves weights, 1 centres, 2 variances, 3 all three.
    slopes = np.zeros((3, n, 4))
    for kind in range(3):
        slopes[kind, :, kind] = slopes[kind, :, 3] = rng.uniform(-1, 1, n)
    rows = _gaussian_peak_slopes(centres, weights, sigmas, *slopes, x, 8.0, n_threads)
    step = 1e-6
    for p in range(4):
        up = [
            centres + step * slopes[1, :, p],
            weights + step * slopes[0, :, p],
            np.sqrt(sigmas**2 + step * slopes[2, :, p]),
        ]
        down = [
            centres - step * slopes[1, :, p],
            weights - step * slopes[0, :, p],
            np.sqrt(sigmas**2 - step * slopes[2, :, p]),
        ]
        expected = (_gaussian_peak_sums(*up, x) - _gaussian_peak_sums(*down, x)) / (2 * step)
        assert np.max(np.abs(rows[p] - expected)) <= 1e-6 * np.max(np.abs(expected))


@pytest.mark.parametrize(
    "shape, message",
    [
        ((5, 2), "the slopes must have one row per peak and one column per parameter"),
        ((4,), "weight_slopes must have shape (n, -1)"),
    ],
)
def test_peak_slopes_refuse_slopes_that_do_not_fit_the_peaks(shape, message):
    peaks = (np.ones(4), np.ones(4), np.full(4, 0.1))
    slopes = np.zeros(shape)
    with pytest.raises(ValueError) as raised:
        _gaussian_peak_slopes(*peaks, slopes, slopes, slopes, np.linspace(0, 2, 5))
    assert message in str(raised.value)


def test_a_joint_fit_in_g_and_q_stacks_its_jacobian_as_its_residuals(monkeypatch):
    """The closed-form rows of G(r) and the differenced rows of F(Q), weighted and normalised as the residuals
    are, give the uncertainties a wholly differenced Jacobian gives."""
    import kestrel
    from kestrel.scattering import refine as refine_module
    from kestrel.scattering.gr_files import MeasuredPdf
    from kestrel.scattering.pdf import model_pdf
    from kestrel.scattering.q_files import MeasuredScattering

    nickel = str(EXAMPLES / "Ni.cif")
    truth = {"a": 3.54, "U(Ni)": 0.006, "qdamp": 0.03, "scale": 0.9}
    r = np.arange(1.5, 12.0, 0.02)
    rng = np.random.default_rng(2)
    g = model_pdf(nickel, r, values=truth, parameters="scale,lattice,uiso,qdamp", radiation="neutron", qmax=20.0)
    q = np.arange(1.0, 20.0, 0.025)
    cell = Structure.from_cif(nickel)
    made = kestrel.compute_sq(
        Structure(np.eye(3) * 3.54, cell.frac_coords, cell.species), q, radiation="neutron", u_iso=0.006, qdamp=0.03
    )
    data = [
        MeasuredPdf(r=r, g=g + rng.normal(scale=0.02, size=len(r))),
        MeasuredScattering(q=q, values=250.0 * made.fq + rng.normal(scale=0.5, size=len(q)), kind="fq"),
    ]
    options = dict(radiation="neutron", qmax=20.0, vary="scale,lattice,uiso,qdamp", start={"a": 3.53})
    closed = refine_module.refine_pdf(nickel, data, **options)
    monkeypatch.setattr(refine_module, "_SLOPE_ENTRIES", 0)
    differenced = refine_module.refine_pdf(nickel, data, **options)
    for name in closed.varied:
        assert closed.values[name] == pytest.approx(differenced.values[name], rel=1e-6), name
        assert closed.uncertainties[name] == pytest.approx(differenced.uncertainties[name], rel=1e-3), name
