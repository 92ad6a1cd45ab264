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
from scipy import fft

from kestrel._kestrel import _gaussian_peak_sums

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


# Termination kernels up to this many entries are kept between evaluations
# (160 MB); larger ones are rebuilt a block at a time on every call.
_KERNEL_ENTRIES_KEPT = 20_000_000

_FOUR_PI = 4.0 * math.pi


def gaussian_peak_sums(centres, weights, sigmas, x, n_threads: int = 0) -> np.ndarray:
    """Σ_k weights[k] N(x; centres[k], sigmas[k]) at the ascending points x.

    Each peak is summed out to GAUSSIAN_REACH of its width, in compiled code,
    the peaks spread over ``n_threads`` workers (0: the default pool).
    """
    x = np.asarray(x, dtype=float)
    centres = np.asarray(centres, dtype=float)
    if len(centres) == 0 or len(x) == 0:
        return np.zeros(len(x))
    weights = np.broadcast_to(np.asarray(weights, dtype=float), centres.shape)
    sigmas = np.broadcast_to(np.asarray(sigmas, dtype=float), centres.shape)
    return _gaussian_peak_sums(centres, weights, sigmas, x, GAUSSIAN_REACH, n_threads)


def _uniform_step(x) -> Optional[float]:
    """The step of x when its points lie on x[0] + i * step (to 1e-9 of a step), else None."""
    if len(x) < 2:
        return None
    step = (float(x[-1]) - float(x[0])) / (len(x) - 1)
    if not step > 0:
        return None
    ideal = x[0] + np.arange(len(x)) * step
    return step if float(np.max(np.abs(x - ideal))) <= 1e-9 * step else None


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
    """The cut-off of curves at qmax, read at the points ``x`` (ascending).

    G(r) and F(Q) = Q[S(Q) − 1] are a sine-transform pair, so measuring F
    only up to qmax convolves the odd extension of G with
    K(u) = sin(qmax u) / (π u): G_t(x) = ∫ G(t) [K(x − t) − K(x + t)] dt,
    summed by the trapezoidal rule over the samples t = 0, step, ... up to
    ``model_end(x[-1], qmax)`` (G(0) = 0 at the open end).

    When the points are evenly spaced and lie on the samples (x_i = (m + p i)
    step, which the step is chosen for where it can be), K(x_i ∓ t_j) depends
    only on m + p i ∓ j: the same sums are then two convolutions with one
    kernel vector, done by FFT, equal to the direct sums to rounding.
    Otherwise the kernel matrix is built once for a step and reused while
    the step stays.
    """

    def __init__(self, x, qmax: float):
        self.x = np.asarray(x, dtype=float)
        self.qmax = float(qmax)
        self.end = model_end(float(self.x[-1]) if len(self.x) else 0.0, self.qmax)
        self.step = math.nan
        self.samples = np.zeros(0)
        self._kernel: Optional[np.ndarray] = None
        self._spectrum: Optional[np.ndarray] = None  # of the convolution kernel, once per step
        self._trapezoid = np.zeros(0)  # the quadrature's weight of each sample
        self._spacing = _uniform_step(self.x)
        self._on_samples: Optional[np.ndarray] = None  # x_i / step, when whole numbers

    def samples_for(self, narrowest_sigma: float) -> np.ndarray:
        """The points the curves must be given at, for peaks no narrower than ``narrowest_sigma``."""
        step = termination_step(self.qmax, narrowest_sigma)
        first = self.x[0] / self._spacing if self._spacing is not None else 0.5
        if abs(first - round(first)) <= 1e-9:
            # A whole fraction of the points' spacing puts every point on a sample.
            step = self._spacing / max(1, math.ceil(self._spacing / step))
        if step != self.step:
            self.step = step
            self.samples = np.arange(int(math.ceil(self.end / step)) + 1, dtype=float) * step
            self._kernel = None
            self._spectrum = None
            self._trapezoid = np.full(len(self.samples), step)
            self._trapezoid[-1] *= 0.5
            index = np.rint(self.x / step)
            self._on_samples = index.astype(np.int64) if np.all(np.abs(self.x - index * step) <= 1e-9 * step) else None
        return self.samples

    def apply(self, curves: Sequence[np.ndarray]) -> np.ndarray:
        """The cut-off curves at x, one row per curve given on ``samples``."""
        weighted = np.atleast_2d(np.asarray(curves, dtype=float)) * self._trapezoid
        if self._on_samples is not None:
            return self._by_convolution(weighted)
        stacked = weighted.T
        rows = max(1, 2_000_000 // max(len(self.samples), 1))
        if self._kernel is None and len(self.x) * len(self.samples) <= _KERNEL_ENTRIES_KEPT:
            self._kernel = np.empty((len(self.x), len(self.samples)))
            for start in range(0, len(self.x), rows):
                self._kernel[start : start + rows] = self._kernel_rows(start, start + rows)
        if self._kernel is not None:
            return (self._kernel @ stacked).T
        blocks = [self._kernel_rows(start, start + rows) @ stacked for start in range(0, len(self.x), rows)]
        return np.concatenate(blocks).T

    def _by_convolution(self, weighted: np.ndarray) -> np.ndarray:
        """Σ_j a_j [K((n − j) step) − K((n + j) step)] at n = x_i / step, by FFT, for each row of ``weighted``."""
        count = weighted.shape[1]
        last = int(self._on_samples[-1]) if len(self._on_samples) else 0
        # K(d step) for d = −(count − 1) ... last + count − 1, an even function.
        if self._kernel is None:
            d = np.arange(-(count - 1), last + count) * self.step
            self._kernel = self.qmax / math.pi * np.sinc(self.qmax * d / math.pi)
        size = fft.next_fast_len(len(self._kernel) + count)
        if self._spectrum is None:
            self._spectrum = fft.rfft(self._kernel, size)
        spectrum = self._spectrum
        # Σ_j a_j K((n − j) step): kernel index n − j + count − 1, the convolution at n + count − 1.
        minus = fft.irfft(spectrum * fft.rfft(weighted, size, axis=-1), size, axis=-1)
        # Σ_j a_j K((n + j) step) = Σ_j' a_(count-1-j') K((n + count − 1 − j') step): the reversed
        # samples convolved, read at n + 2 (count − 1).
        plus = fft.irfft(spectrum * fft.rfft(weighted[:, ::-1], size, axis=-1), size, axis=-1)
        n = self._on_samples
        return minus[:, n + count - 1] - plus[:, n + 2 * (count - 1)]

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
