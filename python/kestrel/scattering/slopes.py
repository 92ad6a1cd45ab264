"""How a phase's Gaussian peaks move with its parameters: the derivatives the fit's Jacobian is summed from.

A peak k adds w_k N(x; r_k, σ_k) / x to G. A parameter θ moves it through
its weight (scale of the pair's occupancies and of N <b>²), its centre
(lattice, positions) and its variance σ'² = σ² F(r) Q(r), where σ² is
U_a + U_b or the displacement tensors projected on the bond,
F = max(1 − δ1/r − δ2/r², SHARPENING_FLOOR) and Q = 1 + (qbroad r)². Each
of dw/dθ, dr/dθ and dσ'²/dθ is worked out here in closed form, per pair
group and then per peak; the core sums the Gaussians' derivatives from
them. The density line −4πρ₀x moves with the cell's volume and the
number of atoms, and is given as dρ₀/dθ.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Sequence

import numpy as np

from kestrel._kestrel import _gaussian_peak_slopes
from kestrel.scattering import constraints
from kestrel.scattering.pairs import HistogramPairs
from kestrel.scattering.peaks import GAUSSIAN_REACH, SHARPENING_FLOOR, density_line, radial_sums, sphere_envelope

# The column standing for qbroad, which is not one of a phase's own parameters.
QBROAD = -1


@dataclass
class PeakSlopes:
    """Per peak (rows) and parameter (columns): the derivatives of weight, centre and variance σ'²; and of ρ₀."""

    weight: np.ndarray
    centre: np.ndarray
    variance: np.ndarray
    density: np.ndarray


def metric_slope(lattice: constraints.LatticeFreedom, constants: Sequence[float], name: str) -> np.ndarray:
    """dG/dθ of the metric tensor for the free lattice constant ``name`` (and the constants that follow it)."""
    a, b, c, alpha, beta, gamma = constants
    cos = [math.cos(math.radians(v)) for v in (alpha, beta, gamma)]
    sin = [math.sin(math.radians(v)) for v in (alpha, beta, gamma)]
    degree = math.pi / 180.0
    own = constraints.LATTICE_NAMES.index(name)
    out = np.zeros((3, 3))
    for k, rule in enumerate(lattice.follows):
        if rule != own:
            continue
        slope = np.zeros((3, 3))
        if k == 0:
            slope[0, 0], slope[0, 1], slope[0, 2] = 2 * a, b * cos[2], c * cos[1]
        elif k == 1:
            slope[1, 1], slope[0, 1], slope[1, 2] = 2 * b, a * cos[2], c * cos[0]
        elif k == 2:
            slope[2, 2], slope[0, 2], slope[1, 2] = 2 * c, a * cos[1], b * cos[0]
        elif k == 3:
            slope[1, 2] = -b * c * sin[0] * degree
        elif k == 4:
            slope[0, 2] = -a * c * sin[1] * degree
        else:
            slope[0, 1] = -a * b * sin[2] * degree
        out += slope + np.triu(slope, 1).T
    return out


class _PhaseState:
    """What the derivatives are taken at: one phase's metric, pair vectors, distances and widths."""

    def __init__(self, phase, values, qbroad: float):
        self.phase = phase
        self.values = values
        self.metric = phase.metric(values)
        pairs = phase.pairs
        self.histogram = isinstance(pairs, HistogramPairs)
        if self.histogram:
            stretch = math.sqrt(float(np.trace(self.metric)) / float(np.trace(phase._histogram_metric)))
            self.distance = pairs.distances(stretch)
            components = [e for _, e in pairs.components]
            u = np.array([values[phase.u_element[e]] for e in components])
            self.raw_variance = u[pairs.peak_a] + u[pairs.peak_b]
        else:
            self.delta = pairs.vectors(phase.frac(values))
            self.group_distance = np.sqrt(np.einsum("ka,ab,kb->k", self.delta, self.metric, self.delta))
            self.distance = self.group_distance[pairs.peak_group]
            self.raw_variance = phase._pair_variances(values, self.metric, self.delta, self.group_distance)
        r = self.distance
        delta1, delta2 = values[phase.index["delta1"]], values[phase.index["delta2"]]
        factor = 1.0 - delta1 / r - delta2 / r**2
        self.sharpened = factor > SHARPENING_FLOOR
        self.sharpening = np.where(self.sharpened, factor, SHARPENING_FLOOR) if delta1 or delta2 else np.ones(len(r))
        self.broadening = 1.0 + (qbroad * r) ** 2
        self.qbroad = qbroad
        self.delta1, self.delta2 = delta1, delta2

    def variance_slope(self, raw_slope, distance_slope) -> np.ndarray:
        """dσ'²/dθ from dσ²/dθ and dr/dθ: σ'² = σ² F(r) Q(r)."""
        r = self.distance
        sharpening_slope = np.where(self.sharpened, self.delta1 / r**2 + 2.0 * self.delta2 / r**3, 0.0)
        if not (self.delta1 or self.delta2):
            sharpening_slope = np.zeros(len(r))
        broadening_slope = 2.0 * self.qbroad**2 * r
        return (
            raw_slope * self.sharpening * self.broadening
            + self.raw_variance
            * (sharpening_slope * self.broadening + self.sharpening * broadening_slope)
            * distance_slope
        )


def contribution_slopes(phase, values, x: np.ndarray, peaks, qbroad: float, columns: List[int]) -> np.ndarray:
    """d/dθ of the phase's scale × envelope × G(r) at the points x, one row per column of ``columns``.

    ``columns`` are local parameter indices, or QBROAD; ``peaks`` are the
    phase's peaks at these values (``PhaseModel.peaks``).
    """
    scale = values[phase.index["scale"]]
    diameter = values[phase.index["diameter"]]
    envelope = sphere_envelope(x, diameter) if math.isfinite(diameter) else np.ones(len(x))
    rows = np.zeros((len(columns), len(x)))
    on_peaks = [
        k for k, local in enumerate(columns) if local == QBROAD or phase.parameters[local].kind not in _ON_CURVE
    ]
    if on_peaks:
        slopes = phase_slopes(phase, values, qbroad, [columns[k] for k in on_peaks])
        sums = np.zeros((len(on_peaks), len(x)))
        if len(peaks.distance) and len(x):
            sums = _gaussian_peak_slopes(
                peaks.distance,
                peaks.weight,
                peaks.sigma,
                slopes.weight,
                slopes.centre,
                slopes.variance,
                x,
                GAUSSIAN_REACH,
                phase.n_threads,
            )
        radial = np.divide(sums, x, out=np.zeros_like(sums), where=x > 0)
        rows[on_peaks] = scale * envelope * (radial + density_line(x, 1.0)[None, :] * slopes.density[:, None])
    curve_kinds = {k: phase.parameters[local].kind for k, local in enumerate(columns) if k not in on_peaks}
    if curve_kinds:
        g = radial_sums(peaks.distance, peaks.weight, peaks.sigma, x) + density_line(x, peaks.density)
        for k, kind in curve_kinds.items():
            rows[k] = envelope * g if kind == "scale" else scale * _envelope_slope(x, diameter) * g
    return rows


# Parameters that scale or cut the whole curve rather than move its peaks.
_ON_CURVE = ("scale", "diameter")


def _envelope_slope(x: np.ndarray, diameter: float) -> np.ndarray:
    """d/dd of the sphere envelope 1 − 3/2 x/d + 1/2 (x/d)³ (zero beyond d)."""
    if not math.isfinite(diameter):
        return np.zeros(len(x))
    ratio = x / diameter
    return np.where(ratio < 1.0, (1.5 * ratio - 1.5 * ratio**3) / diameter, 0.0)


def phase_slopes(phase, values, qbroad: float, columns: List[int]) -> PeakSlopes:
    """The peaks' derivatives with respect to the phase's parameters ``columns`` (local indices, or QBROAD)."""
    state = _PhaseState(phase, values, qbroad)
    n_peaks = len(state.distance)
    weight = np.zeros((n_peaks, len(columns)))
    centre = np.zeros((n_peaks, len(columns)))
    variance = np.zeros((n_peaks, len(columns)))
    density = np.zeros(len(columns))
    volume = math.sqrt(float(np.linalg.det(state.metric)))
    n_atoms = phase._scattering_weights(phase.occupancies(values)).n_atoms
    for column, local in enumerate(columns):
        raw = np.zeros(n_peaks)
        moves = np.zeros(n_peaks)
        kind = "qbroad" if local == QBROAD else phase.parameters[local].kind
        if kind == "qbroad":
            variance[:, column] = state.raw_variance * state.sharpening * 2.0 * qbroad * state.distance**2
            continue
        if kind in ("delta1", "delta2"):
            power = 1 if kind == "delta1" else 2
            slope = np.where(state.sharpened, -1.0 / state.distance**power, 0.0)
            variance[:, column] = state.raw_variance * slope * state.broadening
            continue
        if kind == "uiso":
            raw = _uiso_slope(phase, local)
        elif kind == "uaniso":
            raw = _uaniso_slope(state, local)
        elif kind == "lattice":
            moves, raw, density[column] = _lattice_slope(state, local, n_atoms / volume)
        elif kind == "xyz":
            moves, raw = _position_slope(state, local)
        elif kind == "occupancy":
            weight[:, column], density[column] = _occupancy_slope(phase, values, local, volume)
        centre[:, column] = moves
        variance[:, column] = state.variance_slope(raw, moves)
    return PeakSlopes(weight, centre, variance, density)


def _uiso_slope(phase, local: int) -> np.ndarray:
    """dσ²/dU: how many of the pair's two atoms have this U."""
    pairs = phase.pairs
    if phase.u_site:
        rep = next(r for r, k in phase.u_site.items() if k == local)
        has = np.array([int(phase.orbit[s]) == rep for s, _ in pairs.components], dtype=float)
    else:
        element = next(e for e, k in phase.u_element.items() if k == local)
        has = np.array([e == element for _, e in pairs.components], dtype=float)
    return has[pairs.peak_a] + has[pairs.peak_b]


def _site_tensors(phase, metric, rep: int, tensor: np.ndarray) -> np.ndarray:
    """R N U N Rᵀ (fractional) of every site, for U given at the representative ``rep`` and zero elsewhere."""
    scaling = phase._reciprocal_lengths(metric)
    w = np.diag(scaling) @ tensor @ np.diag(scaling)
    return _carried(phase, rep, w)


def _carried(phase, rep: int, w: np.ndarray) -> np.ndarray:
    out = np.zeros((phase.structure.n_sites, 3, 3))
    members = np.flatnonzero(phase.orbit == rep)
    rotations = phase.symmetry.rotations[phase.symmetry.carrier[members]]
    out[members] = rotations @ w @ rotations.transpose(0, 2, 1)
    return out


def _projected(state: _PhaseState, per_site: np.ndarray) -> np.ndarray:
    """vᵀ (W_i + W_j) v / r² per peak, v = G Δ: fractional tensors W projected on each bond."""
    pairs = state.phase.pairs
    v = state.delta @ state.metric
    both = per_site[pairs.site_i] + per_site[pairs.site_j]
    per_group = np.einsum("ka,kab,kb->k", v, both, v) / state.group_distance**2
    return per_group[pairs.peak_group]


def _aniso_owner(phase, local: int):
    for rep, (basis, indices) in phase.u_aniso.items():
        if local in indices:
            return rep, basis, indices
    raise KeyError(local)


def _uaniso_slope(state: _PhaseState, local: int) -> np.ndarray:
    phase = state.phase
    rep, basis, indices = _aniso_owner(phase, local)
    tensor = constraints.tensor_from_components(basis[indices.index(local)])
    return _projected(state, _site_tensors(phase, state.metric, rep, tensor))


def _fractional_tensors(state: _PhaseState) -> np.ndarray:
    """W = R N U N Rᵀ of every site at the state's values (zero where U is isotropic)."""
    phase = state.phase
    out = np.zeros((phase.structure.n_sites, 3, 3))
    for rep, (basis, indices) in phase.u_aniso.items():
        u_cif = constraints.tensor_from_components(np.array([state.values[i] for i in indices]) @ basis)
        out += _site_tensors(phase, state.metric, rep, u_cif)
    return out


def _lattice_slope(state: _PhaseState, local: int, density: float):
    """dr/dθ, dσ²/dθ and dρ₀/dθ for a lattice constant."""
    phase = state.phase
    named = {p.local: state.values[k] for k, p in enumerate(phase.parameters)}
    slope = metric_slope(phase.lattice, phase.lattice.constants(named), phase.parameters[local].local)
    metric = state.metric
    inverse = np.linalg.inv(metric)
    density_slope = -density * 0.5 * float(np.trace(inverse @ slope))
    pairs = phase.pairs
    if state.histogram:
        moves = state.distance * float(np.trace(slope)) / (2.0 * float(np.trace(metric)))
        return moves, np.zeros(len(moves)), density_slope
    stretch = np.einsum("ka,ab,kb->k", state.delta, slope, state.delta)
    moves = (stretch / (2.0 * state.group_distance))[pairs.peak_group]
    if not phase.u_aniso:
        return moves, np.zeros(len(moves)), density_slope
    # σ² = vᵀ W v / r², v = G Δ, W = R N U N Rᵀ with N = diag(sqrt(G⁻¹_kk)).
    tensors = _fractional_tensors(state)
    scaling = phase._reciprocal_lengths(metric)
    inverse_slope = -inverse @ slope @ inverse
    scaling_slope = np.diag(inverse_slope) / (2.0 * scaling)
    tensor_slopes = np.zeros_like(tensors)
    for rep, (basis, indices) in phase.u_aniso.items():
        u_cif = constraints.tensor_from_components(np.array([state.values[i] for i in indices]) @ basis)
        w = np.diag(scaling_slope) @ u_cif @ np.diag(scaling) + np.diag(scaling) @ u_cif @ np.diag(scaling_slope)
        tensor_slopes += _carried(phase, rep, w)
    v = state.delta @ metric
    moved_v = state.delta @ slope
    both = tensors[pairs.site_i] + tensors[pairs.site_j]
    both_slope = tensor_slopes[pairs.site_i] + tensor_slopes[pairs.site_j]
    r2 = state.group_distance**2
    sigma2 = np.einsum("ka,kab,kb->k", v, both, v) / r2
    raw = (
        2.0 * np.einsum("ka,kab,kb->k", moved_v, both, v)
        + np.einsum("ka,kab,kb->k", v, both_slope, v)
        - sigma2 * stretch
    ) / r2
    return moves, raw[pairs.peak_group], density_slope


def _position_slope(state: _PhaseState, local: int):
    """dr/dθ and dσ²/dθ for a position parameter: its orbit's sites move, turned by their operations."""
    phase = state.phase
    rep, direction = next((r, d) for r, d, _, k in phase.position_parameters if k == local)
    members = np.flatnonzero(phase.orbit == rep)
    site_moves = np.zeros((phase.structure.n_sites, 3))
    site_moves[members] = phase.symmetry.rotations[phase.symmetry.carrier[members]] @ direction
    pairs = phase.pairs
    moved = site_moves[pairs.site_j] - site_moves[pairs.site_i]
    v = state.delta @ state.metric
    along = np.einsum("ka,ka->k", v, moved)
    moves = (along / state.group_distance)[pairs.peak_group]
    if not phase.u_aniso:
        return moves, np.zeros(len(moves))
    tensors = _fractional_tensors(state)
    both = tensors[pairs.site_i] + tensors[pairs.site_j]
    r2 = state.group_distance**2
    sigma2 = np.einsum("ka,kab,kb->k", v, both, v) / r2
    raw = (2.0 * np.einsum("ka,kab,kb->k", moved @ state.metric, both, v) - 2.0 * sigma2 * along) / r2
    return moves, raw[pairs.peak_group]


def _occupancy_slope(phase, values, local: int, volume: float):
    """dw/dθ and dρ₀/dθ for an occupancy: w = count o_a o_b b_a b_b N / B², B = Σ o b, N = Σ o."""
    pairs = phase.pairs
    occupancy = phase.occupancies(values)
    rep, element = next(key for key, k in phase.occupancy_parameters.items() if k == local)
    rest, total = phase.occupancy_rest[rep]
    given = sum(values[i] for (r, _), i in phase.occupancy_parameters.items() if r == rep)
    change = np.zeros(len(pairs.components))
    for c, (site, e) in enumerate(pairs.components):
        if int(phase.orbit[site]) != rep:
            continue
        if e == element:
            change[c] = 1.0
        elif e == rest and total - given > 0.0:
            change[c] = -1.0
    weights = phase._scattering_weights(occupancy)
    powers = np.array([weights.powers[e] for _, e in pairs.components])
    n_atoms = float(np.sum(occupancy))
    power_sum = float(np.sum(occupancy * powers))
    scale = n_atoms / power_sum**2
    scale_slope = float(np.sum(change * (scale / n_atoms - 2.0 * scale * powers / power_sum)))
    a, b = pairs.peak_a, pairs.peak_b
    products = occupancy[a] * occupancy[b]
    product_slope = change[a] * occupancy[b] + occupancy[a] * change[b]
    weight = pairs.counts * powers[a] * powers[b] * (product_slope * scale + products * scale_slope)
    return weight, float(np.sum(change)) / volume
