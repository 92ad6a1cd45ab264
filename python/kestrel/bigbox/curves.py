"""The curves a big-box model is fitted to, and the linear map from its pair histograms to each.

A model's G(r) is linear in its pair histograms: every ordered pair at distance
d adds the same peak around d, scaled by the pair's Faber-Ziman weight and by
1/r. The refinement's inner loop therefore needs, per data set, one peak profile
per species pair (the pair's weight times its broadened, band-limited peak),
the factor each point multiplies by (1/r and the qdamp envelope) and the
baseline (-4πρ₀r); a move then changes the model by a few shifted profiles.
Weights, peak shapes, the qdamp envelope and the qmax cut-off are the
scattering engine's own (kestrel.scattering.powers and .peaks), never worked
out here; a peak with the cut-off keeps its ripples only near the peak, the
rest is left to the final model, which the engine computes whole.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from kestrel.scattering.gr_files import MeasuredPdf, read_gr
from kestrel.scattering.parameters import element_u
from kestrel.scattering.peaks import Termination, density_line, gaussian_peak_sums, resolution_envelope
from kestrel.scattering.powers import scattering_weights

# The histogram's bins are at most this wide (Å): a few thousandths of an
# ångström keep the binning error far below a peak's width.
FINEST_BIN = 0.0025

# A peak profile reaches this many standard deviations out (exp(-18) of its height).
PROFILE_REACH = 6.0

# With a Q cut-off, the profile keeps this many ripple periods (2π/qmax)
# beyond the Gaussian's reach; farther ripples are left to the final model,
# which the engine computes whole.
RIPPLE_PERIODS = 2.0

Pair = Tuple[str, str]
DataLike = Union[str, "os.PathLike[str]", MeasuredPdf, Tuple[Sequence[float], Sequence[float]], "BigBoxData"]


@dataclass
class BigBoxData:
    """One measured G(r) and how it enters a big-box fit.

    ``source``: a ``.gr`` path, what :func:`kestrel.read_gr` returns, or
    ``(r, G)`` arrays. ``radiation`` ("xray" or "neutron"; default the
    refinement's), ``qmax`` and ``qdamp`` (default the refinement's) describe
    the measurement; ``weight`` is the data set's share of the cost (the sum
    of weight · Rw² over the data sets, divided by the weights' sum).
    """

    source: Union[str, "os.PathLike[str]", MeasuredPdf, Tuple[Sequence[float], Sequence[float]]]
    radiation: Optional[str] = None
    weight: float = 1.0
    qmax: Optional[float] = None
    qdamp: Optional[float] = None
    label: str = ""


@dataclass
class FitCurve:
    """A data set on the uniform grid the refinement fits it on."""

    label: str
    radiation: str
    weight: float
    qmax: Optional[float]
    qdamp: float
    r: np.ndarray
    g: np.ndarray


def as_data_list(data) -> List[BigBoxData]:
    """Any accepted form of ``data`` as a list of BigBoxData."""
    if isinstance(data, (BigBoxData, MeasuredPdf, str, os.PathLike)):
        items = [data]
    elif isinstance(data, tuple) and len(data) == 2 and np.ndim(data[0]) == 1 and np.ndim(data[1]) == 1:
        items = [data]
    else:
        items = list(data)
    if not items:
        raise ValueError("give at least one data set")
    return [item if isinstance(item, BigBoxData) else BigBoxData(item) for item in items]


def _points(item: BigBoxData) -> Tuple[str, np.ndarray, np.ndarray]:
    source = item.source
    if isinstance(source, (str, os.PathLike)):
        measured = read_gr(source)
        return item.label or os.path.basename(os.fspath(source)), measured.r, measured.g
    if isinstance(source, MeasuredPdf):
        return item.label or os.path.basename(source.path) or "data", source.r, source.g
    r, g = (np.asarray(v, dtype=float) for v in source)
    if r.shape != g.shape or r.ndim != 1:
        raise ValueError("data arrays r and G must be one-dimensional and of one length")
    if not (np.all(np.isfinite(r)) and np.all(np.isfinite(g))):
        raise ValueError("data arrays must hold finite numbers")
    if np.any(np.diff(r) <= 0):
        raise ValueError("the data's r must increase")
    return item.label or "data", r, g


def fit_curve(item: BigBoxData, radiation: str, qmax, qdamp: float, rmin: float, rmax: float, bin_: float) -> FitCurve:
    """The data between rmin and rmax on points (first + j) · step, step a whole number of bins.

    Data already on such points is taken as it is; other points are
    interpolated linearly (a measured G(r) is sampled far finer than its peaks).
    """
    label, r, g = _points(item)
    keep = (r >= rmin - 1e-9) & (r <= rmax + 1e-9)
    if np.count_nonzero(keep) < 2:
        raise ValueError(f"data set '{label}' has fewer than two points between rmin = {rmin:g} and rmax = {rmax:g} Å")
    step_given = float(np.median(np.diff(r[keep])))
    step = bin_ * max(1, round(step_given / bin_))
    first = math.ceil(max(rmin, float(r[keep][0])) / step - 1e-9)
    last = math.floor(min(rmax, float(r[keep][-1])) / step + 1e-9)
    grid = np.arange(first, last + 1) * step
    values = np.interp(grid, r, g)
    chosen_radiation = item.radiation or radiation
    if chosen_radiation not in ("xray", "neutron"):
        raise ValueError(f"radiation must be 'xray' or 'neutron', got '{chosen_radiation}'")
    if not (item.weight >= 0 and math.isfinite(item.weight)):
        raise ValueError(f"the weight of data set '{label}' must be a finite number, not negative")
    return FitCurve(
        label,
        chosen_radiation,
        float(item.weight),
        item.qmax if item.qmax is not None else qmax,
        float(item.qdamp if item.qdamp is not None else qdamp),
        grid,
        values,
    )


def curve_spec(
    curve: FitCurve,
    elements: Sequence[str],
    counts: Mapping[str, int],
    volume: float,
    u_iso,
    bin_: float,
) -> Tuple[dict, float]:
    """The dict the compiled refinement takes for one data set, and how far its profiles reach (Å).

    ``u_iso``: the peaks' displacement parameter, a number or {element: U} (Å²).
    """
    weights = scattering_weights({e: counts[e] for e in elements}, curve.radiation)
    present = list(weights.elements)
    u = element_u(u_iso, present)
    sigma = {(a, b): math.sqrt(u[a] + u[b]) for a in present for b in present}
    widest = max(sigma.values())
    reach = PROFILE_REACH * widest
    if curve.qmax is not None:
        reach += RIPPLE_PERIODS * 2.0 * math.pi / curve.qmax
    centre = int(math.ceil(reach / bin_))
    offsets = (np.arange(2 * centre + 1) - centre - 0.5) * bin_
    # A peak far from r = 0, where the cut-off's odd extension does not reach it.
    far = reach + 10.0
    density = weights.n_atoms / volume
    termination = Termination(far + offsets, curve.qmax) if curve.qmax is not None else None
    profiles = []
    for i, a in enumerate(elements):
        for b in elements[i:]:
            if a not in u or b not in u:
                profiles.append(np.zeros(len(offsets)))
                continue
            # One ordered pair of the model adds b_a b_b / (N <b>²) of a peak.
            per_pair = weights.powers[a] * weights.powers[b] / (weights.n_atoms * weights.mean**2)
            width = np.array([sigma[(a, b)]])
            if termination is None:
                peak = gaussian_peak_sums(np.array([far]), np.ones(1), width, far + offsets)
            else:
                samples = termination.samples_for(sigma[(a, b)])
                peak = termination.apply([gaussian_peak_sums(np.array([far]), np.ones(1), width, samples)])[0]
            profiles.append(per_pair * peak)
    envelope = resolution_envelope(curve.r, curve.qdamp)
    baseline = density_line(curve.r, density) * envelope
    if curve.qmax is not None:
        line = Termination(curve.r, curve.qmax)
        samples = line.samples_for(min(sigma.values()))
        baseline = line.apply([density_line(samples, density) * resolution_envelope(samples, curve.qdamp)])[0]
    step = float(curve.r[1] - curve.r[0])
    spec = {
        "first": round(float(curve.r[0]) / step),
        "step": step,
        "oversample": max(1, round(step / bin_)),
        "data": curve.g,
        "weight": np.ones(len(curve.r)),
        "factor": envelope / curve.r,
        "baseline": baseline,
        "profile": profiles,
        "centre": centre,
        "importance": curve.weight,
    }
    return spec, reach


def choose_bin(steps: Sequence[float]) -> float:
    """A bin that divides the first data set's step, at most FINEST_BIN wide."""
    step = float(steps[0])
    return step / math.ceil(step / FINEST_BIN - 1e-9)
