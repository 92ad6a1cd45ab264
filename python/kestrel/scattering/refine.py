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

import math
import os
import warnings
from typing import TYPE_CHECKING, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from kestrel._kestrel import Structure
from kestrel.scattering.gr_files import MeasuredPdf, header_settings, read_gr
from kestrel.scattering.model import TERMINATION_PERIODS
from kestrel.scattering.pairs import PEAK_REACH
from kestrel.scattering.pdf_model import CombinedModel, Parameter
from kestrel.scattering.phase import PhaseModel
from kestrel.scattering.tables import RADIATIONS

if TYPE_CHECKING:
    pass

__all__ = ["refine_pdf", "model_pdf", "VARY_NAMES"]

VARY_NAMES = (
    "scale",
    "lattice",
    "uiso",
    "uaniso",
    "delta1",
    "delta2",
    "qdamp",
    "qbroad",
    "diameter",
    "xyz",
    "occupancy",
)

# ---- the call ------------------------------------------------------------------------------------

StructureLike = Union[Structure, str, "os.PathLike[str]"]


def refine_pdf(
    structure: Union[StructureLike, Sequence[StructureLike]],
    data: Union[MeasuredPdf, str, "os.PathLike[str]"],
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
):
    """Refine a structure model against a measured G(r); returns a :class:`PdfRefinement`.

    ``structure``: a Structure or a structure file; a list of them refines
    several phases, each with its own scale and structural parameters
    (named "phase1.scale", "phase2.U(O)", ...) and shared qdamp and qbroad;
    with ``ensemble=True`` the list is the orderings of one disordered
    structure, the model their mean G(r), every parameter shared.

    ``data``: a ``.gr`` path or what :func:`read_gr` returns. ``radiation``,
    ``qmax`` and ``qdamp`` (the start value) default to what the file's
    header states (keys ``qmax``, ``qdamp``, ``stype``/``mode``/``radiation``,
    see :func:`header_settings`), else X-ray, no cut-off and 0; given here
    they win. ``rmin``/``rmax`` bound the fit range (default: all points).

    ``vary`` names what the fit varies (a list, or one comma-separated
    text): scale, lattice, uiso, uaniso, delta1, delta2, qdamp, qbroad,
    diameter, xyz, occupancy. The rest stay at their start values.
    ``u_iso`` is the start U (a number or {element: U}; default: a CIF's
    own, else 0.005 Å²); ``u_per="site"`` gives each orbit of
    symmetry-equivalent sites its own U instead of one per element.
    ``start`` and ``bounds`` set any parameter's start value and bounds by
    its name (the names are those of ``PdfRefinement.values``); ``fix``
    names parameters of the varied kinds to hold at their start values
    (one position along a polar axis, say, where the origin floats).
    """
    import time

    import numpy as np
    from scipy.optimize import least_squares

    began = time.perf_counter()
    measured = data if isinstance(data, MeasuredPdf) else read_gr(data)
    setup = dict(radiation=radiation, qmax=qmax, qdamp=qdamp, u_iso=u_iso, u_per=u_per, symprec=symprec)
    user = {"start": start, "bounds": bounds, "fix": fix}
    model, r_fit, g_obs, dg, settings = _build_model(
        structure, measured, vary, rmin, rmax, user, ensemble, n_threads, setup
    )

    free = [k for k, p in enumerate(model.parameters) if p.vary]
    values = np.array([p.value for p in model.parameters])
    weights = 1.0 / dg if dg is not None else np.ones(len(r_fit))
    evaluations = [0]

    def residuals(x):
        evaluations[0] += 1
        values[free] = x
        return (g_obs - model.evaluate(values)) * weights

    x0 = values[free].copy()
    lower = np.array([model.parameters[k].lower for k in free])
    upper = np.array([model.parameters[k].upper for k in free])
    solution = least_squares(
        residuals, x0, bounds=(lower, upper), x_scale="jac", method="trf", max_nfev=max_evaluations
    )
    values[free] = solution.x
    g_calc = model.evaluate(values)
    return _result(model, values, free, solution, r_fit, g_obs, g_calc, dg, weights, settings, evaluations, began)


def _build_model(structure, measured: MeasuredPdf, vary, rmin, rmax, user, ensemble, n_threads, setup):
    """The combined model of every phase over the fit range, with its parameters set up; and the data there."""
    vary_set = _vary_names(vary)
    found = header_settings(measured)
    settings: Dict[str, str] = {}
    radiation = _setting("radiation", setup["radiation"], found, "xray", settings)
    if radiation not in RADIATIONS:
        raise ValueError(f"radiation must be 'xray' or 'neutron', got '{radiation}'")
    qmax = _setting("qmax", setup["qmax"], found, None, settings)
    qdamp_start = _setting("qdamp", setup["qdamp"], found, None, settings)
    if qmax is not None and not (math.isfinite(qmax) and qmax > 0):
        raise ValueError(f"qmax must be a positive number, got {qmax!r}")
    r_fit, g_obs, dg = _fit_range(measured, rmin, rmax)
    u_per = setup["u_per"]
    if u_per not in ("element", "site"):
        raise ValueError(f"u_per must be 'element' or 'site', got '{u_per}'")

    structures, u_starts, paths = _phase_structures(structure, setup["u_iso"])
    if ensemble and len(structures) < 2:
        raise ValueError("ensemble=True needs a list of at least two orderings")
    instrument = {
        "qdamp": qdamp_start if qdamp_start is not None else (0.01 if "qdamp" in vary_set else 0.0),
        "qbroad": 0.01 if "qbroad" in vary_set else 0.0,
    }
    if qdamp_start is None:
        # A zero qdamp has zero slope, so a varied one starts a little above it.
        settings["qdamp"] = f"{instrument['qdamp']} (default start)"
    options = {
        "radiation": radiation,
        "n_threads": n_threads,
        "u_per": u_per,
        "symprec": setup["symprec"],
        "scale": 1.0,
    }
    reach = float(r_fit[-1]) + (TERMINATION_PERIODS * 2.0 * math.pi / qmax if qmax else 0.0)
    guess = reach + PEAK_REACH * math.sqrt(2.0 * _largest_u(u_starts) + (instrument["qbroad"] * reach) ** 2) + 1.0
    phases = []
    for k, (phase_structure, u_start) in enumerate(zip(structures, u_starts)):
        prefix = f"phase{k + 1}." if len(structures) > 1 and not ensemble else ""
        options["cif_path"] = paths[k]
        phases.append(PhaseModel(phase_structure, prefix, vary_set, options, u_start, guess))
    _check_vary_has_parameters(phases, vary_set)
    model = CombinedModel(phases, ensemble, qmax, r_fit, instrument, vary_set)
    if "diameter" in vary_set:
        for p in model.parameters:
            if p.name.endswith("diameter"):
                p.value = 4.0 * float(r_fit[-1])
    _apply_user_settings(model.parameters, user)
    return model, r_fit, g_obs, dg, settings


def model_pdf(
    structure: Union[StructureLike, Sequence[StructureLike]],
    r,
    values: Optional[Mapping[str, float]] = None,
    parameters: Union[str, Sequence[str]] = ("scale",),
    radiation: str = "xray",
    qmax: Optional[float] = None,
    u_iso=None,
    u_per: str = "element",
    ensemble: bool = False,
    symprec: float = 1e-3,
):
    """The model G(r) :func:`refine_pdf` fits, at the points ``r``, with the parameters set to ``values``.

    ``parameters`` names the kinds of parameter the model has (as ``vary``
    does: lattice, uaniso, xyz and occupancy exist only when named);
    ``values`` sets any of them by name, the rest keep their start values.
    For simulated data and for looking at a model before fitting it.
    """
    import numpy as np

    points = np.asarray(r, dtype=float)
    measured = MeasuredPdf(r=points, g=np.ones(len(points)))
    setup = dict(radiation=radiation, qmax=qmax, qdamp=0.0, u_iso=u_iso, u_per=u_per, symprec=symprec)
    model, *_ = _build_model(structure, measured, parameters, None, None, {"start": values}, ensemble, 0, setup)
    return model.evaluate(np.array([p.value for p in model.parameters]))


def _result(model, values, free, solution, r_fit, g_obs, g_calc, dg, weights, settings, evaluations, began):
    import time

    import numpy as np

    from kestrel.scattering.refinement import PdfRefinement

    difference = g_obs - g_calc
    n, p = len(r_fit), len(free)
    chi2 = float(np.sum((difference * weights) ** 2))
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
    weighted = not np.all(weights == 1.0)
    rw = math.sqrt(chi2 / float(np.sum((g_obs * weights) ** 2)))
    rw_plain = math.sqrt(float(np.sum(difference**2)) / float(np.sum(g_obs**2)))
    phase_curves, phase_names, fractions = [], [], None
    if len(model.phases) > 1:
        phase_curves = model.phase_curves(values)
        phase_names = [ph.prefix.rstrip(".") or f"ordering {k + 1}" for k, ph in enumerate(model.phases)]
        if not model.ensemble:
            shares = []
            for phase, mapping in zip(model.phases, model.maps):
                local = values[mapping]
                shares.append(local[phase._index("scale")] / phase.mean_power_squared(local))
            total = sum(shares)
            fractions = {name: share / total for name, share in zip(phase_names, shares)} if total > 0 else None
    return PdfRefinement(
        rw=rw,
        rw_unweighted=rw_plain,
        weighted=weighted,
        values={p.name: float(values[k]) for k, p in enumerate(model.parameters)},
        uncertainties={name: float(e) for name, e in zip(names, errors)},
        varied=names,
        correlations=correlations,
        r=r_fit,
        g_obs=g_obs,
        g_calc=g_calc,
        difference=difference,
        dg=dg,
        rmin=float(r_fit[0]),
        rmax=float(r_fit[-1]),
        reduced_chi2=reduced,
        converged=converged,
        message=str(solution.message),
        n_evaluations=evaluations[0],
        seconds=time.perf_counter() - began,
        at_bounds=at_bounds,
        warnings=warnings_found,
        settings=settings,
        phase_curves=phase_curves,
        phase_names=phase_names,
        phase_fractions=fractions,
        ensemble=model.ensemble,
        structures=[phase.refined_structure(values[m]) for phase, m in zip(model.phases, model.maps)],
    )


def _vary_names(vary) -> frozenset:
    if isinstance(vary, str):
        vary = [v.strip() for v in vary.split(",") if v.strip()]
    names = list(vary)
    for name in names:
        if name not in VARY_NAMES:
            raise ValueError(f"unknown name '{name}' in vary: choose from {', '.join(VARY_NAMES)}")
    if not names:
        raise ValueError(f"vary names nothing to refine: choose from {', '.join(VARY_NAMES)}")
    return frozenset(names)


def _setting(key: str, given, found: dict, default, settings: Dict[str, str]):
    if given is not None:
        settings[key] = f"{given} (given)"
        return given
    if key in found:
        settings[key] = f"{found[key]} (data header)"
        return found[key]
    settings[key] = f"{default} (default)"
    return default


def _fit_range(measured: MeasuredPdf, rmin, rmax):
    import numpy as np

    low = float(measured.r[0]) if rmin is None else float(rmin)
    high = float(measured.r[-1]) if rmax is None else float(rmax)
    if not low < high:
        raise ValueError(f"rmin must be below rmax, got {low:g} and {high:g}")
    keep = (measured.r >= low) & (measured.r <= high)
    if np.count_nonzero(keep) < 2:
        raise ValueError(f"no data points between rmin = {low:g} and rmax = {high:g} Å")
    dg = None
    if measured.dg is not None:
        dg = np.asarray(measured.dg[keep], dtype=float)
        # Reduction programs write a column of zeros when they have no uncertainties.
        if np.all(dg == 0):
            return np.asarray(measured.r[keep], dtype=float), np.asarray(measured.g[keep], dtype=float), None
        if not np.all(dg > 0):
            raise ValueError("the data's dG column holds values that are not positive; they cannot weigh the fit")
    return np.asarray(measured.r[keep], dtype=float), np.asarray(measured.g[keep], dtype=float), dg


def _phase_structures(structure, u_iso):
    from kestrel.io.readers import read_structure
    from kestrel.scattering.displacements import DEFAULT_U_ISO, cif_u_iso

    given = list(structure) if isinstance(structure, (list, tuple)) else [structure]
    structures, u_starts, cif_paths = [], [], []
    for item in given:
        if isinstance(item, Structure):
            cif_paths.append(None)
            structures.append(item)
            u_starts.append(DEFAULT_U_ISO if u_iso is None else u_iso)
            continue
        path = os.fspath(item)
        loaded = read_structure(path)
        cif_paths.append(path if path.lower().endswith(".cif") else None)
        structures.append(loaded)
        if u_iso is None and path.lower().endswith(".cif"):
            u_starts.append(cif_u_iso(path, loaded)[0])
        else:
            u_starts.append(DEFAULT_U_ISO if u_iso is None else u_iso)
    return structures, u_starts, cif_paths


def _largest_u(u_starts) -> float:
    largest = 0.0
    for u in u_starts:
        largest = max(largest, max(u.values()) if isinstance(u, Mapping) else float(u))
    return largest


def _check_vary_has_parameters(phases: List[PhaseModel], vary: frozenset) -> None:
    if "xyz" in vary and not any(p.position_parameters for p in phases):
        raise ValueError("vary names xyz, but every site sits where its site symmetry fixes it: no position is free")
    if "occupancy" in vary and not any(p.occupancy_parameters for p in phases):
        raise ValueError("vary names occupancy, but no site is shared by two or more elements")


def _apply_user_settings(parameters: List[Parameter], user: Mapping) -> None:
    by_name = {p.name: p for p in parameters}
    start, bounds, fix = user.get("start"), user.get("bounds"), user.get("fix") or ()

    def find(name: str) -> Parameter:
        if name not in by_name:
            raise ValueError(f"unknown parameter '{name}': this model's parameters are {', '.join(by_name)}")
        return by_name[name]

    for name, limits in (bounds or {}).items():
        parameter = find(name)
        try:
            low, high = (float(v) for v in limits)
        except (TypeError, ValueError):
            raise ValueError(f"bounds of '{name}' must be a pair of numbers (lower, upper), got {limits!r}") from None
        if not low < high:
            raise ValueError(f"bounds of '{name}' must have lower < upper, got ({low:g}, {high:g})")
        parameter.lower, parameter.upper = low, high
    for name, value in (start or {}).items():
        parameter = find(name)
        try:
            parameter.value = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"start value of '{name}' must be a number, got {value!r}") from None
    for name in [f.strip() for f in fix.split(",") if f.strip()] if isinstance(fix, str) else fix:
        find(name).vary = False
    if not any(p.vary for p in parameters):
        raise ValueError("every parameter is fixed: nothing is left to refine")
    for parameter in parameters:
        if parameter.vary and not parameter.lower <= parameter.value <= parameter.upper:
            raise ValueError(
                f"start value {parameter.value:g} of '{parameter.name}' lies outside its bounds "
                f"[{parameter.lower:g}, {parameter.upper:g}]"
            )
