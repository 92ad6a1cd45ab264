"""The model G(r) of a structure: weighted pair histograms broadened by thermal motion."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, Mapping, Optional, Sequence, Tuple, Union

from kestrel._kestrel import Structure
from kestrel.scattering.tables import RADIATIONS, scattering_powers, scattering_source

if TYPE_CHECKING:
    import numpy as np

Pair = Tuple[str, str]
UIso = Union[float, Mapping[str, float]]


# Pair distances are taken from an occupancy-weighted histogram of this bin
# width and placed at the centre of their bin: about half a milliångström
# off at most, far below the resolution of any measured G(r), while the pair
# loop stays in compiled code. The width is irrational (π/3 mÅ) so that the
# round-number distances of high-symmetry crystals (a/2 of a 5.64 Å cell)
# never sit on a bin edge, where the last bit of rounding would pick the bin
# and the same crystal written two ways could give two curves.
HISTOGRAM_STEP = math.pi / 3000.0

# A Gaussian is summed out to this many standard deviations (exp(-32), about
# 1e-14 of its height), and pairs that far beyond the last point still count.
GAUSSIAN_REACH = 8.0

# Termination ripples from cutting the model off at its last point decay as
# 1 / (qmax x); the model is computed this many ripple periods (2 pi / qmax)
# beyond the last point asked for, so that they fade before it.
TERMINATION_PERIODS = 40.0

_FOUR_PI = 4.0 * math.pi

# Gaussian terms evaluated in one vectorised step (memory, not speed).
_TERMS_AT_ONCE = 4_000_000


# ---- the model ----------------------------------------------------------------------------


@dataclass
class PdfResult:
    """A computed G(r) with what went into it.

    ``partials`` maps each unordered element pair (A, B), A before B in the
    structure's element order, to its weighted contribution
    ``w_AB G_AB(r)``; they add up to ``g``. ``weights`` holds the
    Faber-Ziman weights ``w_AB = (2 - delta_AB) c_A c_B b_A b_B / <b>^2``,
    which add up to 1.
    """

    r: np.ndarray
    g: np.ndarray
    partials: Optional[Dict[Pair, np.ndarray]]
    radiation: str
    weights: Dict[Pair, float]
    scattering: Dict[str, float]
    mean_scattering: float
    u_iso: Dict[str, float]
    density: float
    qmax: Optional[float] = None
    qdamp: float = 0.0
    source: str = ""


class _PairHistograms:
    """Occupancy-weighted pair counts per unordered element pair, from prdf."""

    def __init__(self, structure: Structure, reach: float, n_threads: int):
        import numpy as np

        # A whole number of bins: a last bin cut short would count only part of its shell.
        # (A hair below the whole number, so rounding cannot add one more bin.)
        reach = math.ceil(reach / HISTOGRAM_STEP) * HISTOGRAM_STEP * (1.0 - 1e-13)
        lower, partials, _ = structure.prdf(cutoff=reach, bin_size=HISTOGRAM_STEP, n_threads=n_threads)
        edges = np.arange(len(lower) + 1, dtype=float) * HISTOGRAM_STEP
        shells = (edges[1:] ** 3 - edges[:-1] ** 3) * (_FOUR_PI / 3.0)
        composition = structure.composition
        # Elements listed only with occupancy zero scatter nothing.
        self.elements = [e for e in structure.elements if composition[e] > 0]
        self.centres = lower + 0.5 * HISTOGRAM_STEP
        self.counts: Dict[Pair, np.ndarray] = {}
        for i, a in enumerate(self.elements):
            for b in self.elements[i:]:
                # prdf divides the pair count by the centre element's total
                # and the shell volume; undo both to get ordered pair counts.
                counts = partials[(a, b)] * (composition[a] * shells)
                if a != b:
                    counts = counts + partials[(b, a)] * (composition[b] * shells)
                self.counts[(a, b)] = counts


def _gaussian_sums(centres, weights, sigma: float, x):
    """sum_k weights[k] * N(x; centres[k], sigma) at the sorted points x."""
    step = _uniform_step(x)
    if step is not None and step <= sigma:
        return _gaussian_sums_on_grid(centres, weights, sigma, float(x[0]), step, len(x))
    return _gaussian_sums_direct(centres, weights, sigma, x)


def _uniform_step(x) -> Optional[float]:
    """The step of x when its points lie on x[0] + i * step (to 1e-9 of a step), else None."""
    import numpy as np

    if len(x) < 2:
        return None
    step = (float(x[-1]) - float(x[0])) / (len(x) - 1)
    if not step > 0:
        return None
    ideal = x[0] + np.arange(len(x)) * step
    return step if float(np.max(np.abs(x - ideal))) <= 1e-9 * step else None


def _gaussian_sums_on_grid(centres, weights, sigma: float, start: float, step: float, count: int):
    """The Gaussian sums at start + i * step, i < count, as a few convolutions.

    Each bin k is moved to its nearest grid point p_k, leaving an offset
    C_k of at most half a step, and for a point j steps away
    exp(-(j step - C)² / 2σ²) = exp(-(j step)² / 2σ²) exp(-C² / 2σ²) exp(j step C / σ²);
    the last factor is expanded as a power series in C / σ. Each power is
    one moment array over the grid convolved with one fixed kernel, so the
    cost no longer grows with the number of bins times the Gaussian's reach
    (the fast Gauss transform). The series is summed until its terms fall
    below 1e-17 of the leading one, so the result equals the direct sum to
    rounding.
    """
    import numpy as np

    reach = int(math.ceil(GAUSSIAN_REACH * sigma / step)) + 1
    used = np.flatnonzero(weights)
    out = np.zeros(count)
    if len(used) == 0:
        return out
    nearest = np.rint((centres[used] - start) / step)
    inside = (nearest >= -reach) & (nearest <= count - 1 + reach)
    used, nearest = used[inside], nearest[inside]
    offset = (centres[used] - (start + nearest * step)) / sigma
    slot = nearest.astype(np.int64) + reach
    slots = count + 2 * reach
    distance = np.arange(-reach, reach + 1) * (step / sigma)
    envelope = np.exp(-0.5 * distance * distance)
    term = weights[used] * np.exp(-0.5 * offset * offset)
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


def _gaussian_sums_direct(centres, weights, sigma: float, x):
    import numpy as np

    out = np.zeros(len(x))
    used = np.flatnonzero(weights)
    if len(used) == 0 or len(x) == 0:
        return out
    reach = GAUSSIAN_REACH * sigma
    centres = centres[used]
    weights = weights[used]
    lo = np.searchsorted(x, centres - reach, side="left")
    touched = np.searchsorted(x, centres + reach, side="right") - lo
    # Each bin touches only the points within its reach; the (bin, point)
    # terms are laid out flat, a few million at a time to bound the memory.
    ends = np.cumsum(touched)
    cuts = np.searchsorted(ends, np.arange(_TERMS_AT_ONCE, int(ends[-1]), _TERMS_AT_ONCE), side="left")
    for first_bin, stop_bin in zip(np.r_[0, cuts + 1], np.r_[cuts + 1, len(used)]):
        span = slice(int(first_bin), int(stop_bin))
        count = touched[span]
        owner = np.repeat(np.arange(len(count)), count)
        start = np.cumsum(count) - count
        index = lo[span][owner] + (np.arange(len(owner)) - start[owner])
        offset = (x[index] - centres[span][owner]) / sigma
        out += np.bincount(index, weights[span][owner] * np.exp(-0.5 * offset * offset), minlength=len(x))
    return out / (sigma * math.sqrt(2.0 * math.pi))


def _element_u(u_iso: UIso, elements: Sequence[str]) -> Dict[str, float]:
    if isinstance(u_iso, Mapping):
        missing = [e for e in elements if e not in u_iso]
        if missing:
            raise ValueError(f"u_iso has no value for element '{missing[0]}'")
        values = {e: u_iso[e] for e in elements}
    else:
        values = {e: u_iso for e in elements}
    checked = {}
    for element, value in values.items():
        try:
            number = float(value)
        except (TypeError, ValueError):
            raise TypeError(f"u_iso of '{element}' must be a number, got {value!r}") from None
        if not (math.isfinite(number) and number > 0.0):
            raise ValueError(f"u_iso must be a positive number of Å², got {value!r} for '{element}'")
        checked[element] = number
    return checked


def _check_positive(name: str, value, allow_zero: bool = False) -> float:
    number = float(value)
    if not math.isfinite(number) or number < 0.0 or (number == 0.0 and not allow_zero):
        raise ValueError(f"{name} must be a {'non-negative' if allow_zero else 'positive'} number, got {value!r}")
    return number


def _terminate(t, curves, x, qmax: float):
    """Cut each curve (sampled at the uniform points t, t[0] = 0) off at qmax.

    G(r) and F(Q) = Q[S(Q) - 1] are a sine-transform pair, so measuring F
    only up to qmax convolves the odd extension of G with
    K(u) = sin(qmax u) / (pi u): G_t(x) = ∫ G(t) [K(x - t) - K(x + t)] dt,
    summed here by the trapezoidal rule over t (G(0) = 0 at the open end).
    """
    import numpy as np

    step = t[1] - t[0]
    weights = np.full(len(t), step)
    weights[-1] *= 0.5
    stacked = np.array(curves).T * weights[:, None]  # (points, curves)
    out = np.empty((len(x), stacked.shape[1]))
    rows = max(1, 2_000_000 // len(t))
    scale = qmax / math.pi
    for start in range(0, len(x), rows):
        here = x[start : start + rows, None]
        # np.sinc(y) = sin(pi y) / (pi y), finite at y = 0.
        kernel = np.sinc((here - t) * scale) - np.sinc((here + t) * scale)
        out[start : start + rows] = (kernel * scale) @ stacked
    return list(out.T)


def compute_pdf(
    structure: Structure,
    cutoff: float = 20.0,
    bin_size: float = 0.01,
    radiation: str = "xray",
    u_iso: UIso = 0.005,
    qmax: Optional[float] = None,
    qdamp: float = 0.0,
    partials: bool = False,
    n_threads: int = 0,
    r=None,
) -> PdfResult:
    """The reduced pair distribution function G(r) = 4πr[ρ(r) − ρ₀] in Å⁻².

    Returns a :class:`PdfResult` with ``r`` (0, bin_size, ... up to cutoff,
    or the points given as ``r``) and ``g``, G(r) at those points. In terms of
    the other usual correlation functions (Keen, J. Appl. Cryst. 34 (2001)
    172): G(r) = 4πρ₀r[g(r) − 1] with g(r) the Faber-Ziman total normalised
    to 1 at large r, and G(r) = D(r) / <b>² with D(r) = 4πρ₀r G_K(r),
    G_K(r) = Σ c_A c_B b_A b_B [g_AB(r) − 1].

    Pair weights follow Faber and Ziman, c_A c_B b_A b_B / <b>², with the
    concentrations c_A taken from the occupancy-weighted composition.
    ``radiation="xray"`` uses the form factor at Q = 0, the electron count Z
    of the neutral atom; ``radiation="neutron"`` the bound coherent
    scattering length of the natural element. Both come from the
    ``periodictable`` package (written against periodictable 2.1.0;
    :func:`scattering_source` and ``PdfResult.source`` name the version in
    use; ``pip install "kestrel[pdf]"``).

    Every pair is a Gaussian of variance U_A + U_B (``u_iso``: one isotropic
    displacement parameter in Å² for all elements, or a dict per element).
    Pairs up to ``GAUSSIAN_REACH`` standard deviations beyond the last point
    are included, so no peak is lost at the cutoff. ``qdamp`` multiplies
    G(r) by the instrument-resolution envelope exp(−(qdamp r)²/2);
    ``qmax`` (Å⁻¹) applies the termination of a finite Q range, the
    convolution with sin(qmax r)/(πr). With ``partials=True`` the weighted
    partial contributions, which add up to G(r), are returned too.

    Displacement parameters read from a file come in as the per-element
    dict; :func:`average_u_iso` turns one value per site into it, and
    :func:`cif_u_iso` reads it from a CIF's own displacement parameters.

    Parameters not named above: ``structure``, a kestrel Structure (or ASE / pymatgen structure);
    ``n_threads``, worker threads for the pair histogram (0: every core).
    """
    import numpy as np

    if radiation not in RADIATIONS:
        raise ValueError(f"radiation must be 'xray' or 'neutron', got '{radiation}'")
    qdamp = _check_positive("qdamp", qdamp, allow_zero=True)
    if qmax is not None:
        qmax = _check_positive("qmax", qmax)
    points, order = _points(cutoff, bin_size, r)
    last = float(points[-1]) if len(points) else 0.0

    composition = structure.composition
    present = [e for e in structure.elements if composition[e] > 0]
    if not present:
        raise ValueError("the structure holds no atoms: every occupancy is zero")
    powers = scattering_powers(present, radiation)
    n_atoms = sum(composition[e] for e in present)
    concentration = {e: composition[e] / n_atoms for e in present}
    mean_power = sum(concentration[e] * powers[e] for e in present)
    # Where the scattering lengths cancel (a null-scattering alloy) the
    # weights divide by nothing; rounding leaves only a few ulps behind.
    if abs(mean_power) <= 1e-9 * sum(concentration[e] * abs(powers[e]) for e in present):
        raise ValueError(
            f"the average {radiation} scattering power of this composition is zero, "
            "so the Faber-Ziman weights are undefined"
        )
    u = _element_u(u_iso, present)
    sigma = {(a, b): math.sqrt(u[a] + u[b]) for i, a in enumerate(present) for b in present[i:]}
    density = n_atoms / structure.volume

    # With termination the model is needed well past the last point (the
    # sinc reaches far); each point needs the pairs within the Gaussians' reach.
    model_end = last + (TERMINATION_PERIODS * 2.0 * math.pi / qmax if qmax is not None else 0.0)
    reach = model_end + GAUSSIAN_REACH * max(sigma.values()) + 2.0 * HISTOGRAM_STEP
    histograms = _PairHistograms(structure, reach, n_threads)
    if qmax is not None:
        # The termination sum is exact up to aliasing of what lies beyond
        # 2π / step: a third of the narrowest width leaves exp(-50) of the
        # Gaussians there, a quarter of π / qmax samples the sinc finely.
        fine = min(min(sigma.values()) / 3.0, math.pi / (4.0 * qmax))
        samples = np.linspace(0.0, model_end, int(math.ceil(model_end / fine)) + 1)
    else:
        samples = points

    weights: Dict[Pair, float] = {}
    curves: Dict[Pair, np.ndarray] = {}
    for (a, b), width in sigma.items():
        pair_weight = concentration[a] * concentration[b] * powers[a] * powers[b] / mean_power**2
        weights[(a, b)] = pair_weight * (1.0 if a == b else 2.0)
        sums = _gaussian_sums(histograms.centres, histograms.counts[(a, b)], width, samples)
        per_pair = powers[a] * powers[b] / (n_atoms * mean_power**2)
        radial = np.divide(sums, samples, out=np.zeros_like(sums), where=samples > 0)
        curve = per_pair * radial - (_FOUR_PI * density * weights[(a, b)]) * samples
        if qdamp > 0.0:
            curve *= np.exp(-0.5 * (qdamp * samples) ** 2)
        curves[(a, b)] = curve
    if qmax is not None:
        terminated = _terminate(samples, list(curves.values()), points, qmax)
        curves = dict(zip(curves, terminated))

    total = np.zeros(len(points))
    for curve in curves.values():
        total += curve
    unsort = np.empty_like(order)
    unsort[order] = np.arange(len(order))
    return PdfResult(
        r=points[unsort],
        g=total[unsort],
        partials={pair: curve[unsort] for pair, curve in curves.items()} if partials else None,
        radiation=radiation,
        weights=weights,
        scattering=powers,
        mean_scattering=mean_power,
        u_iso=u,
        density=density,
        qmax=qmax,
        qdamp=qdamp,
        source=scattering_source(),
    )


def _points(cutoff, bin_size, r):
    """The sorted evaluation points and the order that sorted them."""
    import numpy as np

    if r is not None:
        given = np.asarray(r, dtype=float).ravel()
        if not np.all(np.isfinite(given)) or np.any(given < 0):
            raise ValueError("r must hold finite, non-negative distances")
        order = np.argsort(given, kind="stable")
        return given[order], order
    cutoff = _check_positive("cutoff", cutoff)
    bin_size = _check_positive("bin_size", bin_size)
    if bin_size > cutoff:
        raise ValueError("bin_size must be positive and no larger than the cutoff")
    # The grid includes the cutoff itself when it is a whole number of steps.
    count = int(math.floor(cutoff / bin_size * (1.0 + 1e-12))) + 1
    points = np.arange(count, dtype=float) * bin_size
    return points, np.arange(count)
