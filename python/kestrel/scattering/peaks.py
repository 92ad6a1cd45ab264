"""Gaussian peaks of G(r) at a set of points, their widths, and what a finite Q range and the instrument do.

Every G(r) kestrel computes (``compute_pdf``, the refined model, the
orderings of an ensemble) is a sum of one Gaussian per pair peak,

    G(x) = Σ_k w_k N(x; r_k, σ_k) / x − 4π ρ₀ x,

damped by the instrument's resolution, exp(−(qdamp x)² / 2), and cut off
at qmax. This module holds each of those steps once.
"""

from __future__ import annotations

import math
from typing import Optional, Sequence

import numpy as np

# A Gaussian is summed out to this many standard deviations (exp(-32), about
# 1e-14 of its height), and pairs that far beyond the last point still count.
GAUSSIAN_REACH = 8.0

# Termination ripples from cutting the model off at its last point decay as
# 1 / (qmax x); the model is computed this many ripple periods (2 pi / qmax)
# beyond the last point asked for, so that they fade before it.
TERMINATION_PERIODS = 40.0

# Sharpening never narrows a peak below a fifth of its width (σ'² >= 0.04 σ²),
# so a large delta at short r gives a narrow peak, not a negative variance.
SHARPENING_FLOOR = 0.04

# (peak, point) terms evaluated in one vectorised step (memory, not speed).
_TERMS_AT_ONCE = 2_000_000

# Termination kernels up to this many entries are kept between evaluations
# (160 MB); larger ones are rebuilt a block at a time on every call.
_KERNEL_ENTRIES_KEPT = 20_000_000

_FOUR_PI = 4.0 * math.pi


def gaussian_peak_sums(centres, weights, sigmas, x) -> np.ndarray:
    """Σ_k weights[k] N(x; centres[k], sigmas[k]) at the ascending points x.

    Peaks that share one width, on points evenly spaced no wider than it,
    are summed as a few convolutions (:func:`_equal_width_sums`); the rest
    peak by peak. Both equal the direct sum to rounding.
    """
    x = np.asarray(x, dtype=float)
    out = np.zeros(len(x))
    centres = np.asarray(centres, dtype=float)
    if len(centres) == 0 or len(x) == 0:
        return out
    weights = np.broadcast_to(np.asarray(weights, dtype=float), centres.shape)
    sigmas = np.broadcast_to(np.asarray(sigmas, dtype=float), centres.shape)
    step = _uniform_step(x)
    widths, group = np.unique(sigmas, return_inverse=True)
    if step is None or len(widths) * 64 > len(centres):
        return _direct_sums(centres, weights, sigmas, x)
    rest = np.zeros(len(centres), dtype=bool)
    for k, width in enumerate(widths):
        mine = group.ravel() == k
        if width >= step:
            out += _equal_width_sums(centres[mine], weights[mine], float(width), float(x[0]), step, len(x))
        else:
            rest |= mine
    if np.any(rest):
        out += _direct_sums(centres[rest], weights[rest], sigmas[rest], x)
    return out


def _uniform_step(x) -> Optional[float]:
    """The step of x when its points lie on x[0] + i * step (to 1e-9 of a step), else None."""
    if len(x) < 2:
        return None
    step = (float(x[-1]) - float(x[0])) / (len(x) - 1)
    if not step > 0:
        return None
    ideal = x[0] + np.arange(len(x)) * step
    return step if float(np.max(np.abs(x - ideal))) <= 1e-9 * step else None


def _equal_width_sums(centres, weights, sigma: float, start: float, step: float, count: int) -> np.ndarray:
    """The sums of peaks of one width σ >= step at start + i * step, i < count, as a few convolutions.

    Each peak k is moved to its nearest grid point p_k, leaving an offset
    C_k of at most half a step, and for a point j steps away
    exp(-(j step - C)² / 2σ²) = exp(-(j step)² / 2σ²) exp(-C² / 2σ²) exp(j step C / σ²);
    the last factor is expanded as a power series in C / σ. Each power is
    one moment array over the grid convolved with one fixed kernel, so the
    cost no longer grows with the number of peaks times the Gaussian's reach
    (the fast Gauss transform). The series is summed until its terms fall
    below 1e-17 of the leading one, so the result equals the direct sum to
    rounding.
    """
    reach = int(math.ceil(GAUSSIAN_REACH * sigma / step)) + 1
    out = np.zeros(count)
    nearest = np.rint((centres - start) / step)
    inside = (nearest >= -reach) & (nearest <= count - 1 + reach) & (weights != 0)
    if not np.any(inside):
        return out
    centres, weights, nearest = centres[inside], weights[inside], nearest[inside]
    offset = (centres - (start + nearest * step)) / sigma
    slot = nearest.astype(np.int64) + reach
    slots = count + 2 * reach
    distance = np.arange(-reach, reach + 1) * (step / sigma)
    envelope = np.exp(-0.5 * distance * distance)
    term = weights * np.exp(-0.5 * offset * offset)
    # |j step C / σ²| stays below reach * step² / (2σ²) <= (GAUSSIAN_REACH + 2) / 2 for step <= σ.
    largest = (reach * step / sigma) * (0.5 * step / sigma)
    power = np.ones_like(distance)
    size = 1.0
    for m in range(200):
        moments = np.bincount(slot, term, minlength=slots)
        out += np.convolve(moments, envelope * power, mode="valid")
        size *= largest / (m + 1)
        if size < 1e-17:
            break
        term = term * offset / (m + 1)
        power = power * distance
    return out / (sigma * math.sqrt(2.0 * math.pi))


def _direct_sums(centres, weights, sigmas, x) -> np.ndarray:
    """The peak sums peak by peak: each touches only the points within GAUSSIAN_REACH of its width.

    The (peak, point) terms are laid out flat and added with one bincount,
    a bounded number at a time.
    """
    out = np.zeros(len(x))
    reach = GAUSSIAN_REACH * sigmas
    lo = np.searchsorted(x, centres - reach, side="left")
    touched = np.searchsorted(x, centres + reach, side="right") - lo
    used = np.flatnonzero((touched > 0) & (weights != 0))
    if len(used) == 0:
        return out
    centres, weights, sigmas, lo, touched = centres[used], weights[used], sigmas[used], lo[used], touched[used]
    height = weights / sigmas
    ends = np.cumsum(touched)
    cuts = np.searchsorted(ends, np.arange(_TERMS_AT_ONCE, int(ends[-1]), _TERMS_AT_ONCE), side="left")
    for first, stop in zip(np.r_[0, cuts + 1], np.r_[cuts + 1, len(used)]):
        span = slice(int(first), int(stop))
        counts = touched[span]
        owner = np.repeat(np.arange(len(counts)), counts)
        begin = np.cumsum(counts) - counts
        index = lo[span][owner] + (np.arange(len(owner)) - begin[owner])
        offset = (x[index] - centres[span][owner]) / sigmas[span][owner]
        out += np.bincount(index, height[span][owner] * np.exp(-0.5 * offset * offset), minlength=len(x))
    return out / math.sqrt(2.0 * math.pi)


def radial_sums(centres, weights, sigmas, x) -> np.ndarray:
    """The peaks over x, Σ_k w_k N(x; r_k, σ_k) / x, zero at x = 0 (G's odd extension passes through it)."""
    sums = gaussian_peak_sums(centres, weights, sigmas, x)
    return np.divide(sums, x, out=np.zeros_like(sums), where=x > 0)


def peak_variances(variance, distance, delta1: float = 0.0, delta2: float = 0.0, qbroad: float = 0.0) -> np.ndarray:
    """σ'² of each peak from its thermal σ² (U_A + U_B, or the U tensors projected on the bond).

    σ'² = σ² max(1 − δ1/r − δ2/r², SHARPENING_FLOOR) (1 + (qbroad r)²):
    correlated motion of near neighbours sharpens the near peaks, the
    instrument's Q resolution broadens the far ones.
    """
    variance = np.asarray(variance, dtype=float)
    distance = np.asarray(distance, dtype=float)
    if delta1 or delta2:
        factor = 1.0 - delta1 / distance - delta2 / distance**2
        variance = variance * np.maximum(factor, SHARPENING_FLOOR)
    if qbroad:
        variance = variance * (1.0 + (qbroad * distance) ** 2)
    return variance


def resolution_envelope(r, qdamp: float):
    """exp(−(qdamp r)²/2): the damping a Gaussian Q resolution of width qdamp makes."""
    return np.exp(-0.5 * (qdamp * np.asarray(r, dtype=float)) ** 2)


def sphere_envelope(r, diameter: float):
    """The fraction of pairs a sphere of this diameter keeps at distance r: 1 − 3/2 x + 1/2 x³, x = r/d ≤ 1."""
    x = np.asarray(r) / diameter
    return np.where(x < 1.0, 1.0 - 1.5 * x + 0.5 * x**3, 0.0)


def density_line(x, density: float) -> np.ndarray:
    """−4π ρ₀ x: G(r) below the first pair distance."""
    return -_FOUR_PI * density * np.asarray(x, dtype=float)


def model_end(last: float, qmax: Optional[float]) -> float:
    """How far the model is needed to give G up to ``last``: further with a cut-off, whose ripples reach far."""
    return last + (TERMINATION_PERIODS * 2.0 * math.pi / qmax if qmax is not None else 0.0)


def termination_step(qmax: float, narrowest_sigma: float) -> float:
    """The sample step of the cut-off's quadrature: π / (4 qmax), divided by a whole number until ≤ σ / 3.

    The quadrature is exact up to aliasing of what lies beyond 2π / step: a
    third of the narrowest width leaves exp(−50) of the Gaussians there, a
    quarter of π / qmax samples the sinc finely. The step changes only when
    the narrowest width crosses one of the divisions, so a refinement whose
    widths drift keeps its samples (and its kernel).
    """
    coarse = math.pi / (4.0 * qmax)
    return coarse / max(1, math.ceil(coarse / (narrowest_sigma / 3.0)))


class Termination:
    """The cut-off of curves at qmax, read at the points ``x``.

    G(r) and F(Q) = Q[S(Q) − 1] are a sine-transform pair, so measuring F
    only up to qmax convolves the odd extension of G with
    K(u) = sin(qmax u) / (π u): G_t(x) = ∫ G(t) [K(x − t) − K(x + t)] dt,
    summed by the trapezoidal rule over the samples t = 0, step, ... up to
    ``model_end(x[-1], qmax)`` (G(0) = 0 at the open end). The kernel matrix
    is built once for a step and reused while the step stays.
    """

    def __init__(self, x, qmax: float):
        self.x = np.asarray(x, dtype=float)
        self.qmax = float(qmax)
        self.end = model_end(float(self.x[-1]) if len(self.x) else 0.0, self.qmax)
        self.step = math.nan
        self.samples = np.zeros(0)
        self._kernel: Optional[np.ndarray] = None

    def samples_for(self, narrowest_sigma: float) -> np.ndarray:
        """The points the curves must be given at, for peaks no narrower than ``narrowest_sigma``."""
        step = termination_step(self.qmax, narrowest_sigma)
        if step != self.step:
            self.step = step
            self.samples = np.arange(int(math.ceil(self.end / step)) + 1, dtype=float) * step
            self._kernel = None
        return self.samples

    def apply(self, curves: Sequence[np.ndarray]) -> np.ndarray:
        """The cut-off curves at x, one row per curve given on ``samples``."""
        stacked = np.atleast_2d(np.asarray(curves, dtype=float)).T * self._weights()[:, None]
        rows = max(1, 2_000_000 // max(len(self.samples), 1))
        if self._kernel is None and len(self.x) * len(self.samples) <= _KERNEL_ENTRIES_KEPT:
            self._kernel = np.empty((len(self.x), len(self.samples)))
            for start in range(0, len(self.x), rows):
                self._kernel[start : start + rows] = self._kernel_rows(start, start + rows)
        if self._kernel is not None:
            return (self._kernel @ stacked).T
        blocks = [self._kernel_rows(start, start + rows) @ stacked for start in range(0, len(self.x), rows)]
        return np.concatenate(blocks).T

    def _weights(self) -> np.ndarray:
        weights = np.full(len(self.samples), self.step)
        weights[-1] *= 0.5
        return weights

    def _kernel_rows(self, start: int, stop: int) -> np.ndarray:
        """K(x − t) − K(x + t) for the points x[start:stop] (rows) and every sample t (columns).

        With u = x ∓ t, sin(qmax u) = sin(qmax x) cos(qmax t) ∓ cos(qmax x) sin(qmax t): the sines
        come from one row and one column of values, so the block costs no sine per entry.
        """
        q = self.qmax
        x = self.x[start:stop, None]
        t = self.samples[None, :]
        even = np.sin(q * x) * np.cos(q * t)
        odd = np.cos(q * x) * np.sin(q * t)
        minus = x - t
        plus = x + t
        # Near x = t the difference of products loses the digits of sin(qmax (x − t)); those
        # few entries take the sines themselves (np.sinc is finite at 0); x + t = 0 only there, where both are 0.
        close = np.abs(minus) < 0.5 / q
        minus[close] = 1.0
        plus[plus == 0.0] = 1.0
        kernel = (even - odd) / minus - (even + odd) / plus
        rows, columns = np.nonzero(close)
        near, far = x[rows, 0] - t[0, columns], x[rows, 0] + t[0, columns]
        kernel[rows, columns] = q * (np.sinc(q * near / math.pi) - np.sinc(q * far / math.pi))
        return kernel / math.pi
