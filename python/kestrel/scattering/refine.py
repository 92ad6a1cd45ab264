"""Refinement of structure models against a measured G(r) by least squares.

The model of one phase is the G(r) of :func:`kestrel.scattering.compute_pdf`,
with more freedom in each pair's Gaussian. A pair of atoms of elements A and B
at distance r contributes b_A b_B / (N <b>²) N(x; r, σ') / x, and

* σ² = U_A + U_B with isotropic U, or ûᵀ (U_A + U_B) û with anisotropic U:
  the displacement tensors projected on the unit vector û along the bond,
  so a peak is broadened by the motion along the bond only. Anisotropic U
  are the CIF's U_ij, in Å², on the axes of the reciprocal-length-scaled
  cell (U_cart = A N U Nᵀ Aᵀ, A the lattice vectors as columns,
  N = diag(a*, b*, c*));
* σ'² = σ² max(1 − δ1/r − δ2/r², SHARPENING_FLOOR) + qbroad² r²: correlated
  motion of near neighbours sharpens the near peaks (delta1, delta2), the
  instrument's Q resolution broadens the far ones (qbroad);
* G(r) of the phase is multiplied by the spherical-particle envelope
  1 − 3/2 (r/d) + 1/2 (r/d)³ (zero beyond the diameter d) and by its scale;
  the phases are added, the sum is cut off at qmax (the convolution with
  sin(qmax r)/(πr)) and damped by exp(−(qdamp r)²/2).

Lattice constants vary as the structure's space group allows (found by
spglib on the structure itself); positions move along the directions their
site symmetry leaves free, symmetry images moving with them; a mixed site's
occupancy split keeps its total. Rw is sqrt(Σ w (G_obs − G_calc)² / Σ w G_obs²)
over the fit range, with w = 1/dG² when the data give dG, else w = 1.
"""

from __future__ import annotations

import contextlib
import math
import time
import warnings
from dataclasses import dataclass
from typing import Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
from scipy.optimize import OptimizeResult, least_squares

from kestrel.scattering.fit_result import DataSetFit, PdfRefinement
from kestrel.scattering.gr_files import MeasuredPdf, header_settings
from kestrel.scattering.parameters import (
    VARY_NAMES,
    Instrument,
    PhaseSettings,
    UserChoices,
    check_fit_start,
    vary_names,
)
from kestrel.scattering.pdf import PdfModel, StructureLike, assemble_model, model_pdf
from kestrel.scattering.powers import check_radiation
from kestrel.scattering.q_fit import NO_GR_POINTS, QModel, add_q_parameters, check_q_model, normalisers, sort_data

__all__ = ["refine_pdf", "model_pdf", "VARY_NAMES"]

try:
    from threadpoolctl import threadpool_limits
except ImportError:  # without it the fit runs as fast, unless BLAS threads crowd a busy machine
    threadpool_limits = None


def _one_blas_thread():
    """The fit's linear algebra is on matrices of a few thousand numbers, where BLAS threads cost more than they
    save (and on a busy machine far more): one thread for it, where threadpoolctl can say so."""
    return threadpool_limits(limits=1, user_api="blas") if threadpool_limits is not None else contextlib.nullcontext()


@dataclass(frozen=True)
class FitData:
    """The measured points of the fit range, their uncertainties (or None) and the weights 1/dG (or 1)."""

    r: np.ndarray
    g: np.ndarray
    dg: Optional[np.ndarray]

    @property
    def weights(self) -> np.ndarray:
        return 1.0 / self.dg if self.dg is not None else np.ones(len(self.r))


@dataclass
class FitRun:
    """What a finished least-squares run leaves: the model, every value, the varied ones, the solver's answer."""

    model: PdfModel
    values: np.ndarray
    free: List[int]
    solution: OptimizeResult
    data: Optional[FitData]
    settings: Dict[str, str]
    n_evaluations: int
    origin_held: List[str]
    q_model: QModel
    gr_label: str = ""


def refine_pdf(
    structure: Union[StructureLike, Sequence[StructureLike]],
    data,
    radiation: Optional[str] = None,
    vary: Union[str, Sequence[str]] = ("scale", "lattice", "uiso", "qdamp"),
    rmin: Optional[float] = None,
    rmax: Optional[float] = None,
    qmax: Optional[float] = None,
    qdamp: Optional[float] = None,
    u_iso=None,
    u_per: str = "element",
    start: Optional[Mapping[str, float]] = None,
    bounds: Optional[Mapping[str, Tuple[float, float]]] = None,
    fix: Union[str, Sequence[str]] = (),
    ensemble: bool = False,
    symprec: float = 1e-3,
    max_evaluations: Optional[int] = None,
    n_threads: int = 0,
    kind: Union[None, str, Sequence[Optional[str]]] = None,
    q_range: Optional[Tuple[float, float]] = None,
):
    """Refine a structure model against a measured G(r), S(Q), F(Q) or I(Q), or several at once; returns a
    :class:`PdfRefinement`.

    ``structure``: a Structure or a structure file; a list of them refines
    several phases, each with its own scale and structural parameters
    (named "phase1.scale", "phase2.U(O)", ...) and shared qdamp and qbroad;
    with ``ensemble=True`` the list is the orderings of one disordered
    structure, the model their mean G(r), every parameter shared.

    ``data``: a ``.gr`` path or what :func:`read_gr` returns; a ``.sq``,
    ``.fq`` or ``.iq`` path or what :func:`read_q_data` returns; or a list
    of them, fitted jointly (at most one G(r)). ``kind`` ("gr", "sq", "fq"
    or "iq", one for all or one per data set) says what a path holds where
    its suffix does not; other suffixes are read as G(r). ``radiation``,
    ``qmax`` and ``qdamp`` (the start value) default to what the header of
    the G(r) file (else of the first file in Q) states (keys ``qmax``,
    ``qdamp``, ``stype``/``mode``/``radiation``, see
    :func:`header_settings`), else X-ray, no cut-off and 0; given here
    they win. ``rmin``/``rmax`` bound the fit range in r, ``q_range``
    (qmin, qmax) in Q (default: all points).

    Data in Q are modelled from the same phases and values
    (``kestrel.scattering.q_fit``): :func:`compute_sq` of each phase's
    refined structure with its U per element and the shared qdamp, or the
    Debye intensity of a particle (``kestrel.scattering.particle_fit``)
    when the phase's diameter is finite. Each data set beside the G(r) (or
    beside the first in Q) has its own scale, ``scale(<file name>)``. Every
    data set gets its own Rw (``PdfRefinement.data_sets``); with several,
    each one's residuals are divided by sqrt(Σ w y_obs²) so that it counts
    by its Rw rather than by its points or units, and ``rw`` is the joint
    one, the root mean square of theirs.

    ``vary`` names what the fit varies (a list, or one comma-separated
    text): scale, lattice, uiso, uaniso, delta1, delta2, qdamp, qbroad,
    diameter, xyz, occupancy. The rest stay at their start values.
    ``u_iso`` is the start U (a number or {element: U}; default: a CIF's
    own, else 0.005 Å²); ``u_per="site"`` gives each orbit of
    symmetry-equivalent sites its own U instead of one per element.
    ``start`` and ``bounds`` set any parameter's start value and bounds by
    its name (the names are those of ``PdfRefinement.values``); ``fix``
    names parameters of the varied kinds to hold at their start values.
    Where the space group lets the origin slide (along the polar axis of
    P6₃mc, say, or any direction in P1), G(r) cannot fix the positions along
    that direction: the fit holds one position parameter along it, unless
    ``fix`` holds one already, and ``PdfRefinement.origin_held`` and the
    report say which.
    """
    began = time.perf_counter()
    given = sort_data(data, kind)
    kinds = vary_names(vary)
    found = header_settings(given.first)
    settings: Dict[str, str] = {}
    chosen_radiation = check_radiation(_setting("radiation", radiation, found, "xray", settings))
    chosen_qmax = _setting("qmax", qmax, found, None, settings) if given.gr is not None else qmax
    qdamp_start = _setting("qdamp", qdamp, found, None, settings)
    if chosen_qmax is not None and not (math.isfinite(chosen_qmax) and chosen_qmax > 0):
        raise ValueError(f"qmax must be a positive number, got {chosen_qmax!r}")
    fit_data = _fit_range(given.gr, rmin, rmax) if given.gr is not None else None
    if u_per not in ("element", "site"):
        raise ValueError(f"u_per must be 'element' or 'site', got '{u_per}'")
    if qdamp_start is None:
        # A zero qdamp has zero slope, so a varied one starts a little above it.
        qdamp_start = 0.01 if "qdamp" in kinds else 0.0
        settings["qdamp"] = f"{qdamp_start} (default start)"
    instrument = Instrument(chosen_qmax, qdamp_start, 0.01 if "qbroad" in kinds else 0.0)
    phase_settings = PhaseSettings(radiation=chosen_radiation, n_threads=n_threads, u_per=u_per, symprec=symprec)
    points = fit_data.r if fit_data is not None else NO_GR_POINTS
    model = assemble_model(structure, points, kinds, instrument, phase_settings, u_iso, ensemble)
    q_sets = add_q_parameters(model, given, q_range, kinds)
    if q_sets:
        check_q_model(model, kinds, fit_data is not None, dict(start or {}))
    UserChoices.of(start, bounds, fix).apply(model.parameters)
    origin_held = _hold_floating_origins(model)
    check_fit_start(model.parameters)
    q_model = QModel(model, q_sets, chosen_radiation, n_threads)

    free = [k for k, p in enumerate(model.parameters) if p.vary]
    values = model.start_values()
    q_model.start_scales(values, given=list(start or {}))
    observed = ([(fit_data.g, fit_data.weights)] if fit_data is not None else []) + [(d.y, d.weights) for d in q_sets]
    norms = normalisers(observed)
    evaluations = [0]

    def residuals(x):
        evaluations[0] += 1
        values[free] = x
        parts = []
        if fit_data is not None:
            parts.append((fit_data.g - model.evaluate(values)) * fit_data.weights)
        parts += [(d.y - curve) * d.weights for d, curve in zip(q_sets, q_model.curves(values))]
        return np.concatenate([part * norm for part, norm in zip(parts, norms)])

    def jacobian(x):
        # Rows stacked as the residuals are: G(r) in closed form, each Q data set by forward differences.
        values[free] = x
        blocks = [-model.jacobian(values, free) * fit_data.weights[:, None]] if fit_data is not None else []
        if q_sets:
            blocks += _q_differences(q_model, q_sets, values, free, upper)
        return np.vstack([block * norm for block, norm in zip(blocks, norms)])

    x0 = values[free].copy()
    lower = np.array([model.parameters[k].lower for k in free])
    upper = np.array([model.parameters[k].upper for k in free])
    with _one_blas_thread():
        solution = least_squares(
            residuals,
            x0,
            jac=jacobian if fit_data is not None and _closed_form_fits(model, free) else "2-point",
            bounds=(lower, upper),
            x_scale="jac",
            method="trf",
            max_nfev=max_evaluations,
        )
    values[free] = solution.x
    run = FitRun(
        model, values, free, solution, fit_data, settings, evaluations[0], origin_held, q_model, given.gr_label
    )
    return _result(run, began)


def _result(run: FitRun, began: float) -> PdfRefinement:
    model, values, free, solution, data = run.model, run.values, run.free, run.solution, run.data
    data_sets = _data_set_fits(run)
    norms = normalisers([(d.observed, _weights(d)) for d in data_sets])
    n, p = sum(len(d.x) for d in data_sets), len(free)
    chi2 = sum(float(np.sum((d.difference * _weights(d)) ** 2)) * f * f for d, f in zip(data_sets, norms))
    reduced = chi2 / max(n - p, 1)
    names = [model.parameters[k].name for k in free]
    warnings_found: List[str] = []
    jac = np.asarray(solution.jac)
    try:
        covariance = np.linalg.inv(jac.T @ jac) * reduced
    except np.linalg.LinAlgError:
        covariance = np.linalg.pinv(jac.T @ jac) * reduced
        warnings_found.append("the parameters are not all independent: the Jacobian is singular")
    errors = np.sqrt(np.maximum(np.diag(covariance), 0.0))
    with np.errstate(invalid="ignore", divide="ignore"):
        correlations = covariance / np.outer(errors, errors)
    correlations = np.nan_to_num(correlations)
    at_bounds = []
    for k, name in zip(free, names):
        parameter = model.parameters[k]
        span = parameter.upper - parameter.lower if math.isfinite(parameter.upper - parameter.lower) else 1.0
        closeness = 1e-6 * max(span, abs(values[k]), 1e-12)
        for side, bound in (("lower", parameter.lower), ("upper", parameter.upper)):
            if math.isfinite(bound) and abs(values[k] - bound) <= closeness:
                at_bounds.append(name)
                warnings_found.append(f"'{name}' ran to its {side} bound {bound:g}")
    converged = bool(solution.status > 0)
    if not converged:
        warnings_found.append(f"the fit did not converge: {solution.message}")
    for text in warnings_found:
        warnings.warn(text, RuntimeWarning, stacklevel=3)
    # One data set: its Rw; several: the root mean square of theirs, which the fit minimised.
    rw = math.sqrt(sum(d.rw**2 for d in data_sets) / len(data_sets))
    rw_plain = math.sqrt(sum(d.rw_unweighted**2 for d in data_sets) / len(data_sets))
    gr = data_sets[0] if data is not None else None
    empty = np.zeros(0)
    phase_curves, phase_names, fractions = [], [], None
    if len(model.phases) > 1 and data is not None:
        phase_curves = model.phase_curves(values)
        phase_names = [ph.prefix.rstrip(".") or f"ordering {k + 1}" for k, ph in enumerate(model.phases)]
        if not model.ensemble:
            shares = []
            for phase, mapping in zip(model.phases, model.maps):
                local = values[mapping]
                shares.append(local[phase.index["scale"]] / phase.mean_power_squared(local))
            total = sum(shares)
            fractions = {name: share / total for name, share in zip(phase_names, shares)} if total > 0 else None
    return PdfRefinement(
        rw=rw,
        rw_unweighted=rw_plain,
        weighted=any(d.weighted for d in data_sets),
        values={p.name: float(values[k]) for k, p in enumerate(model.parameters)},
        uncertainties={name: float(e) for name, e in zip(names, errors)},
        varied=names,
        correlations=correlations,
        r=gr.x if gr else empty,
        g_obs=gr.observed if gr else empty,
        g_calc=gr.calculated if gr else empty,
        difference=gr.difference if gr else empty,
        dg=gr.uncertainties if gr else None,
        rmin=float(gr.x[0]) if gr else math.nan,
        rmax=float(gr.x[-1]) if gr else math.nan,
        reduced_chi2=reduced,
        converged=converged,
        message=str(solution.message),
        n_evaluations=run.n_evaluations,
        seconds=time.perf_counter() - began,
        at_bounds=at_bounds,
        warnings=warnings_found,
        settings=run.settings,
        phase_curves=phase_curves,
        phase_names=phase_names,
        phase_fractions=fractions,
        ensemble=model.ensemble,
        structures=[phase.refined_structure(values[m]) for phase, m in zip(model.phases, model.maps)],
        origin_held=run.origin_held,
        data_sets=data_sets,
    )


def _weights(data: DataSetFit) -> np.ndarray:
    return 1.0 / data.uncertainties if data.uncertainties is not None else np.ones(len(data.x))


def _data_set_fits(run: FitRun) -> List[DataSetFit]:
    """Every data set with the model at the solution and its Rw, the G(r) first."""
    raw = []
    if run.data is not None:
        raw.append((run.gr_label, "gr", run.data.r, run.data.g, run.model.evaluate(run.values), run.data.dg, None))
    q_model = run.q_model
    for data, curve in zip(q_model.sets, q_model.curves(run.values)):
        raw.append((data.label, data.kind, data.q, data.y, curve, data.dy, data.scale))
    out = []
    for label, kind, x, observed, calculated, uncertainties, scale in raw:
        difference = observed - calculated
        w = 1.0 / uncertainties if uncertainties is not None else 1.0
        rw = math.sqrt(float(np.sum((difference * w) ** 2)) / float(np.sum((observed * w) ** 2)))
        rw_plain = math.sqrt(float(np.sum(difference**2)) / float(np.sum(observed**2)))
        out.append(DataSetFit(label, kind, x, observed, calculated, difference, uncertainties, rw, rw_plain, scale))
    return out


# The closed-form Jacobian holds three numbers per peak and parameter; beyond
# this many (about 400 MB each) the fit takes it by finite differences.
_SLOPE_ENTRIES = 50_000_000


def _closed_form_fits(model: PdfModel, free: List[int]) -> bool:
    peaks = sum(len(phase.pairs.counts) for phase in model.phases)
    return peaks * len(free) <= _SLOPE_ENTRIES


def _q_differences(q_model, q_sets, values, free: List[int], upper: np.ndarray) -> List[np.ndarray]:
    """d(residual)/dθ of each Q data set by forward differences, steps as least_squares takes them."""
    base = q_model.curves(values)
    blocks = [np.empty((len(d.y), len(free))) for d in q_sets]
    for column, k in enumerate(free):
        start = values[k]
        step = math.sqrt(np.finfo(float).eps) * max(1.0, abs(start))
        if start + step > upper[column]:
            step = -step
        values[k] = start + step
        moved = q_model.curves(values)
        values[k] = start
        for block, data, before, after in zip(blocks, q_sets, base, moved):
            block[:, column] = -(after - before) / step * data.weights
    return blocks


def _hold_floating_origins(model: PdfModel) -> List[str]:
    """Hold one position parameter along each direction the origin may slide along; say which and why.

    G(r) sees only distances, so where the space group leaves the origin
    free (a polar axis) the positions along it can all move together
    without changing the model, and the fit would have no unique answer.
    A direction along which the user already holds a position is left as
    it is.
    """
    notes = []
    for phase in model.phases:
        for axis in phase.floating_axes:
            along = [model.parameters[model.index[phase.parameters[k].name]] for k in axis.parameters]
            if not all(p.vary for p in along):
                continue
            along[0].vary = False
            notes.append(
                f"{along[0].name} held at {along[0].value:g}: space group {phase.symmetry.space_group} "
                f"leaves the origin free along {axis.direction}"
            )
    return notes


def _setting(key: str, given, found: dict, default, settings: Dict[str, str]):
    if given is not None:
        settings[key] = f"{given} (given)"
        return given
    if key in found:
        settings[key] = f"{found[key]} (data header)"
        return found[key]
    settings[key] = f"{default} (default)"
    return default


def _fit_range(measured: MeasuredPdf, rmin, rmax) -> FitData:
    low = float(measured.r[0]) if rmin is None else float(rmin)
    high = float(measured.r[-1]) if rmax is None else float(rmax)
    if not low < high:
        raise ValueError(f"rmin must be below rmax, got {low:g} and {high:g}")
    keep = (measured.r >= low) & (measured.r <= high)
    if np.count_nonzero(keep) < 2:
        raise ValueError(f"no data points between rmin = {low:g} and rmax = {high:g} Å")
    r, g = np.asarray(measured.r[keep], dtype=float), np.asarray(measured.g[keep], dtype=float)
    if measured.dg is None:
        return FitData(r, g, None)
    dg = np.asarray(measured.dg[keep], dtype=float)
    # Reduction programs write a column of zeros when they have no uncertainties.
    if np.all(dg == 0):
        return FitData(r, g, None)
    if not np.all(dg > 0):
        raise ValueError("the data's dG column holds values that are not positive; they cannot weigh the fit")
    return FitData(r, g, dg)
