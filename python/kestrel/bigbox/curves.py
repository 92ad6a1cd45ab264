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

from kestrel.scattering.form_factors import form_factors
from kestrel.scattering.gr_files import MeasuredPdf, read_gr
from kestrel.scattering.parameters import element_u
from kestrel.scattering.peaks import Termination, density_line, gaussian_peak_sums, resolution_envelope
from kestrel.scattering.powers import scattering_weights
from kestrel.scattering.q_files import Q_KINDS, MeasuredScattering, read_q_data

# The histogram's bins are at most this wide (Å): a few thousandths of an
# ångström keep the binning error far below a peak's width.
FINEST_BIN = 0.0025

# A peak profile reaches this many standard deviations out (exp(-18) of its height).
PROFILE_REACH = 6.0

# With a Q cut-off, the profile keeps this many ripple periods (2π/qmax)
# beyond the Gaussian's reach; farther ripples are left to the final model,
# which the engine computes whole.
RIPPLE_PERIODS = 2.0

# A curve in Q comes from the pairs out to the model's reach, tapered to
# zero over this last fraction of it so that the cut makes no ripples.
Q_TAPER = 1.0 / 3.0

# The kinds of data fitted: G(r), F(Q) = Q[S(Q) - 1] and S(Q).
KINDS = ("gr", "fq", "sq")

Pair = Tuple[str, str]
DataLike = Union[str, "os.PathLike[str]", MeasuredPdf, Tuple[Sequence[float], Sequence[float]], "BigBoxData"]


@dataclass
class BigBoxData:
    """One measured curve and how it enters a big-box fit.

    ``source``: a ``.gr`` path (G(r)), a ``.fq`` or ``.sq`` path (F(Q) or
    S(Q), read by :func:`kestrel.read_q_data`), what :func:`kestrel.read_gr`
    or :func:`kestrel.read_q_data` returns, or ``(x, y)`` arrays, G(r)
    unless ``kind`` says "fq" or "sq". ``radiation`` ("xray" or "neutron";
    default the refinement's), ``qmax`` and ``qdamp`` (default the
    refinement's) describe the measurement (``qmax`` is the cut-off of a
    G(r)); ``weight`` is the data set's share of the cost (the sum of
    weight · Rw² over the data sets, divided by the weights' sum).
    ``noise``: the data's uncertainty (one σ, or one per point of the
    source), for ``refine_big_box(resample=True)``; by default the file's
    error column where it has one.
    """

    source: Union[str, "os.PathLike[str]", MeasuredPdf, MeasuredScattering, Tuple[Sequence[float], Sequence[float]]]
    radiation: Optional[str] = None
    weight: float = 1.0
    qmax: Optional[float] = None
    qdamp: Optional[float] = None
    label: str = ""
    kind: Optional[str] = None
    noise: Union[None, float, Sequence[float]] = None


@dataclass
class FitCurve:
    """A data set on the uniform grid the refinement fits it on."""

    label: str
    radiation: str
    weight: float
    qmax: Optional[float]
    qdamp: float
    r: np.ndarray  # the points: r (Å) for G(r), Q (Å⁻¹) for F(Q) and S(Q)
    g: np.ndarray
    kind: str = "gr"
    noise: Optional[np.ndarray] = None  # σ per point, where known


def as_data_list(data) -> List[BigBoxData]:
    """Any accepted form of ``data`` as a list of BigBoxData."""
    if isinstance(data, (BigBoxData, MeasuredPdf, MeasuredScattering, str, os.PathLike)):
        items = [data]
    elif isinstance(data, tuple) and len(data) == 2 and np.ndim(data[0]) == 1 and np.ndim(data[1]) == 1:
        items = [data]
    else:
        items = list(data)
    if not items:
        raise ValueError("give at least one data set")
    return [item if isinstance(item, BigBoxData) else BigBoxData(item) for item in items]


def _points(item: BigBoxData) -> Tuple[str, np.ndarray, np.ndarray, str, Optional[np.ndarray]]:
    """The data set's name, points, values, kind and uncertainties (None where unknown)."""
    source = item.source
    if item.kind is not None and item.kind not in KINDS + ("iq",):
        raise ValueError(f"kind must be 'gr', 'fq' or 'sq', got '{item.kind}'")
    if isinstance(source, (str, os.PathLike)):
        name = os.path.basename(os.fspath(source))
        suffix = os.path.splitext(name)[1].lstrip(".").lower()
        kind = item.kind or (suffix if suffix in Q_KINDS else "gr")
        if kind == "gr":
            measured = read_gr(source)
            return item.label or name, measured.r, measured.g, kind, measured.dg
        source = read_q_data(source, kind)
    if isinstance(source, MeasuredScattering):
        label = item.label or os.path.basename(source.path) or "data"
        if source.kind == "iq":
            raise ValueError(f"data set '{label}': I(Q) is not fitted; give S(Q) or F(Q)")
        return label, source.q, source.values, source.kind, source.errors
    if isinstance(source, MeasuredPdf):
        return item.label or os.path.basename(source.path) or "data", source.r, source.g, "gr", source.dg
    x, y = (np.asarray(v, dtype=float) for v in source)
    kind = item.kind or "gr"
    label = item.label or "data"
    if kind == "iq":
        raise ValueError(f"data set '{label}': I(Q) is not fitted; give S(Q) or F(Q)")
    if x.shape != y.shape or x.ndim != 1:
        raise ValueError("data arrays must be one-dimensional and of one length")
    if not (np.all(np.isfinite(x)) and np.all(np.isfinite(y))):
        raise ValueError("data arrays must hold finite numbers")
    if np.any(np.diff(x) <= 0):
        raise ValueError("the data's r or Q must increase")
    return label, x, y, kind, None


def fit_curve(item: BigBoxData, radiation: str, qmax, qdamp: float, rmin: float, rmax: float, bin_: float) -> FitCurve:
    """The data between rmin and rmax on points (first + j) · step, step a whole number of bins.

    Data already on such points is taken as it is; other points are
    interpolated linearly (a measured G(r) is sampled far finer than its peaks).
    """
    label, r, g, kind, errors = _points(item)
    if item.noise is not None:
        errors = np.broadcast_to(np.asarray(item.noise, dtype=float), r.shape)
        if not (np.all(np.isfinite(errors)) and np.all(errors >= 0)):
            raise ValueError(f"the noise of data set '{label}' must be finite and not negative")
    chosen_radiation = item.radiation or radiation
    if chosen_radiation not in ("xray", "neutron"):
        raise ValueError(f"radiation must be 'xray' or 'neutron', got '{chosen_radiation}'")
    if not (item.weight >= 0 and math.isfinite(item.weight)):
        raise ValueError(f"the weight of data set '{label}' must be a finite number, not negative")
    if kind != "gr":
        # Every point with Q > 0; the r range is the model's own.
        keep = r > 0
        if np.count_nonzero(keep) < 2:
            raise ValueError(f"data set '{label}' has fewer than two points with Q > 0")
        qdamp_q = float(item.qdamp if item.qdamp is not None else qdamp)
        noise = None if errors is None else np.asarray(errors, dtype=float)[keep]
        return FitCurve(label, chosen_radiation, float(item.weight), None, qdamp_q, r[keep], g[keep], kind, noise)
    keep = (r >= rmin - 1e-9) & (r <= rmax + 1e-9)
    if np.count_nonzero(keep) < 2:
        raise ValueError(f"data set '{label}' has fewer than two points between rmin = {rmin:g} and rmax = {rmax:g} Å")
    step_given = float(np.median(np.diff(r[keep])))
    step = bin_ * max(1, round(step_given / bin_))
    first = math.ceil(max(rmin, float(r[keep][0])) / step - 1e-9)
    last = math.floor(min(rmax, float(r[keep][-1])) / step + 1e-9)
    grid = np.arange(first, last + 1) * step
    values = np.interp(grid, r, g)
    return FitCurve(
        label,
        chosen_radiation,
        float(item.weight),
        item.qmax if item.qmax is not None else qmax,
        float(item.qdamp if item.qdamp is not None else qdamp),
        grid,
        values,
        noise=None if errors is None else np.interp(grid, r, np.asarray(errors, dtype=float)),
    )


@dataclass
class ModelFacts:
    """What every data set's curve needs of the model: its species codes' names, atom counts,
    volume (Å³), the peaks' displacement parameter (a number or {element: U}, Å²) and the bin (Å)."""

    elements: Sequence[str]
    counts: Mapping[str, int]
    volume: float
    u_iso: object
    bin: float

    def weights_and_u(self, radiation: str):
        """The scattering engine's weights for this composition, and U per element present."""
        weights = scattering_weights({e: self.counts[e] for e in self.elements}, radiation)
        return weights, element_u(self.u_iso, list(weights.elements))


def curve_spec(curve: FitCurve, facts: ModelFacts) -> Tuple[dict, float]:
    """The dict the compiled refinement takes for one G(r), and how far its profiles reach (Å)."""
    elements, volume, bin_ = facts.elements, facts.volume, facts.bin
    weights, u = facts.weights_and_u(curve.radiation)
    present = list(weights.elements)
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


def model_reach(lattice) -> float:
    """Half the supercell's smallest width between opposite faces (Å): how far its pairs tell of the sample."""
    m = np.asarray(lattice, dtype=float)
    volume = abs(float(np.linalg.det(m)))
    widths = [volume / float(np.linalg.norm(np.cross(m[(k + 1) % 3], m[(k + 2) % 3]))) for k in range(3)]
    return 0.5 * min(widths)


def q_taper(r: np.ndarray, reach: float, qdamp: float) -> np.ndarray:
    """The window a curve in Q sums the pairs with: 1, then a cosine to 0 over the last Q_TAPER of the reach."""
    start = (1.0 - Q_TAPER) * reach
    x = np.clip((r - start) / (reach - start), 0.0, 1.0)
    return 0.5 * (1.0 + np.cos(math.pi * x)) * resolution_envelope(r, qdamp)


def reciprocal_model(curve: FitCurve, spec: dict, counts: np.ndarray) -> np.ndarray:
    """The model curve in Q from ordered pair counts [pair][bin], as the refinement sums it."""
    q = curve.r
    table = np.asarray(counts, dtype=float).reshape(len(spec["pair_q"]), -1)
    n_bins = table.shape[1]
    r = (np.arange(n_bins) + 0.5) * spec["bin"]
    taper = np.asarray(spec["taper"])
    used = np.flatnonzero(taper > 0)
    out = np.array(spec["baseline"], dtype=float)
    for chunk in np.array_split(used, max(1, len(used) // 2000)):
        sines = np.sin(np.multiply.outer(r[chunk], q))
        per_bin = table[:, chunk] * (taper[chunk] / r[chunk])
        out += np.einsum("pq,pb,bq->q", np.asarray(spec["pair_q"]), per_bin, sines)
    return out


def q_spec(curve: FitCurve, facts: ModelFacts, n_bins: int, reach: float) -> dict:
    """The dict the compiled refinement takes for one data set in Q.

    F(Q) = 1/(N <f>²) Σ_pairs f_A f_B exp(-(U_A + U_B) Q²/2) sin(Q r)/r w(r)
    - 4πρ Σ_bins r w(r) sin(Q r) Δr, over ordered pairs and the fine bins out
    to ``reach``, w the taper (and the qdamp envelope); S(Q) = 1 + F(Q)/Q.
    The form factors and weights are the scattering engine's.
    """
    elements, counts, volume, bin_ = facts.elements, facts.counts, facts.volume, facts.bin
    weights, u = facts.weights_and_u(curve.radiation)
    present = list(weights.elements)
    q = curve.r
    powers = form_factors(present, curve.radiation, q)
    n_atoms = weights.n_atoms
    mean = sum(counts[e] / n_atoms * powers[e] for e in present)
    r = (np.arange(n_bins) + 0.5) * bin_
    taper = q_taper(r, reach, curve.qdamp)
    pair_q = []
    for i, a in enumerate(elements):
        for b in elements[i:]:
            if a not in u or b not in u:
                pair_q.append(np.zeros(len(q)))
                continue
            pair_q.append(powers[a] * powers[b] / (n_atoms * mean**2) * np.exp(-0.5 * (u[a] + u[b]) * q**2))
    used = np.flatnonzero(taper > 0)
    density = n_atoms / volume
    baseline = -4.0 * math.pi * density * (np.sin(np.multiply.outer(q, r[used])) @ (r[used] * bin_ * taper[used]))
    if curve.kind == "sq":
        pair_q = [w / q for w in pair_q]
        baseline = 1.0 + baseline / q
    return {
        "q": q,
        "data": curve.g,
        "weight": np.ones(len(q)),
        "baseline": baseline,
        "pair_q": pair_q,
        "taper": taper,
        "bin": bin_,
        "importance": curve.weight,
    }
