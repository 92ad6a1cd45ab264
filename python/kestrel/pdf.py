"""Total-scattering pair distribution functions: the G(r) an X-ray or neutron
experiment measures, computed from kestrel's occupancy-weighted partials, and
measured G(r) files read, scaled and compared with it.

Conventions (those compared by Keen, J. Appl. Cryst. 34 (2001) 172):

* ``c_A = N_A / N`` is the occupancy-weighted concentration of element A,
  ``rho0 = N / V`` the number density of atoms, ``b_A`` the scattering power
  (neutron coherent scattering length, or the X-ray form factor at Q = 0) and
  ``<b> = sum_A c_A b_A``.
* ``g_AB(r)`` is the partial pair distribution function normalised to 1 at
  large r (kestrel's ``prdf`` partials are the pair densities ``rho0 c_B g_AB``,
  A the centre atom), and the total is the Faber-Ziman sum
  ``g(r) = sum_AB c_A c_B b_A b_B g_AB(r) / <b>^2``.
* What is returned is the reduced pair distribution function
  ``G(r) = 4 pi r [rho(r) - rho0] = 4 pi rho0 r [g(r) - 1]`` in Å⁻², with
  ``rho(r) = rho0 g(r)``. In Keen's notation that is ``G^PDF(r) = D(r) / <b>^2``,
  where ``D(r) = 4 pi rho0 r G_K(r)`` and ``G_K(r) = sum_AB c_A c_B b_A b_B
  [g_AB(r) - 1] = <b>^2 [g(r) - 1]``. Below the first pair distance G(r)
  follows the straight line ``-4 pi rho0 r``.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from kestrel._kestrel import Structure

if TYPE_CHECKING:
    import numpy as np

Pair = Tuple[str, str]
UIso = Union[float, Mapping[str, float]]

__all__ = [
    "PdfResult",
    "MeasuredPdf",
    "PdfAgreement",
    "compute_pdf",
    "scattering_powers",
    "read_gr",
    "write_gr",
    "fit_scale",
    "fit_to_data",
    "average_u_iso",
    "cif_u_iso",
    "save_pdf_plots",
    "EnsemblePdf",
]

RADIATIONS = ("xray", "neutron")

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


# ---- scattering data -------------------------------------------------------------------


def _periodictable():
    try:
        import periodictable
    except ImportError as error:
        raise ImportError('scattering data come from periodictable: pip install "kestrel[pdf]"') from error
    return periodictable


def scattering_source() -> str:
    """The library the scattering powers come from, with its version."""
    return f"periodictable {_periodictable().__version__}"


def _lookup_element(label: str):
    elements = _periodictable().elements
    # Labels of ions ('Fe2+', 'O2-') scatter as the neutral atom here.
    for candidate in (label, re.sub(r"\d*[+-]$", "", label)):
        try:
            atom = elements.symbol(candidate)
        except ValueError:
            continue
        if atom.number > 0:
            return atom
    raise ValueError(f"no scattering data for element '{label}': it is not a chemical element symbol")


def scattering_powers(elements: Sequence[str], radiation: str) -> Dict[str, float]:
    """Scattering power of each element, from the periodictable package.

    ``radiation="neutron"``: the bound coherent scattering length b_c in fm of
    the element with its natural isotopic abundance (labels 'D' and 'T' give
    the isotopes). ``radiation="xray"``: the form factor at Q = 0, the number
    of electrons Z of the neutral atom.
    """
    if radiation not in RADIATIONS:
        raise ValueError(f"radiation must be 'xray' or 'neutron', got '{radiation}'")
    powers = {}
    for label in elements:
        atom = _lookup_element(label)
        if radiation == "xray":
            powers[label] = float(atom.number)
            continue
        length = atom.neutron.b_c
        if length is None:
            raise ValueError(f"{scattering_source()} has no neutron scattering length for '{label}'")
        powers[label] = float(length)
    return powers


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


# ---- displacement parameters -----------------------------------------------------------------


def average_u_iso(
    structure: Structure,
    site_u: Sequence[Union[None, float, Mapping[str, Optional[float]]]],
    default: Optional[float] = None,
) -> Tuple[Dict[str, float], List[str]]:
    """Per-element U (Å²) from one value per site, weighted by occupancy.

    ``site_u[i]`` is the isotropic displacement parameter of site i (from a
    CIF: U_iso, B_iso / 8π², or a third of the trace of the anisotropic U),
    or a dict giving it per element of a mixed site, or None where the file
    gives none; those sites (or elements of a site) take ``default`` and a
    warning says which. Returns the dict for ``compute_pdf(u_iso=...)`` and
    the warnings.
    """
    species = structure.species
    if len(site_u) != len(species):
        raise ValueError(f"site_u has {len(site_u)} values for {len(species)} sites")
    sums: Dict[str, float] = {}
    weights: Dict[str, float] = {}
    defaulted: List[int] = []
    for index, (occupancies, given) in enumerate(zip(species, site_u)):
        for element, occupancy in occupancies.items():
            value = given.get(element) if isinstance(given, Mapping) else given
            if value is None:
                if default is None:
                    raise ValueError(f"site {index} has no displacement parameter and no default was given")
                if not defaulted or defaulted[-1] != index:
                    defaulted.append(index)
                value = default
            sums[element] = sums.get(element, 0.0) + occupancy * float(value)
            weights[element] = weights.get(element, 0.0) + occupancy
    averaged = {e: (sums[e] / weights[e] if weights[e] > 0 else float(default or 0.0)) for e in sums}
    warnings = []
    if defaulted:
        listed = ", ".join(str(i) for i in defaulted[:10]) + (", ..." if len(defaulted) > 10 else "")
        warnings.append(
            f"{len(defaulted)} of {len(species)} sites have no displacement parameter "
            f"and take u_iso = {default:g} Å² (sites {listed})"
        )
    return averaged, warnings


DEFAULT_U_ISO = 0.005


def cif_u_iso(
    path: Union[str, "os.PathLike[str]"],
    structure: Optional[Structure] = None,
    default: float = DEFAULT_U_ISO,
    symprec: float = 1e-4,
) -> Tuple[Dict[str, float], List[str]]:
    """Per-element U (Å²) from the displacement parameters of a CIF.

    Each element of each site of ``Structure.from_cif(path, symprec)``
    takes the U of its rows merged into that site: ``_atom_site_U_iso_or_equiv``, else
    ``_atom_site_B_iso_or_equiv`` / 8π², else a third of the trace of its
    anisotropic U (``_atom_site_aniso_U_11/22/33``, or the anisotropic B
    / 8π²); standard uncertainties are dropped. :func:`average_u_iso` then
    weights them by occupancy per element; sites without a value (or with
    0, "not refined") take ``default`` and a warning says so. Pass the
    structure already read from ``path`` to skip reading it again. Returns
    the dict for ``compute_pdf(u_iso=...)`` and the warnings.
    """
    from _kestrel import _cif_site_u_iso

    path = os.fspath(path)
    if structure is None:
        structure = Structure.from_cif(path, symprec)
    site_u = _cif_site_u_iso(path, symprec)
    return average_u_iso(structure, site_u, default)


# ---- measured data ------------------------------------------------------------------------------


@dataclass
class MeasuredPdf:
    """A measured G(r): points, values, optional uncertainties, the header lines."""

    r: np.ndarray
    g: np.ndarray
    dg: Optional[np.ndarray] = None
    header: List[str] = field(default_factory=list)
    path: str = ""


_DATA_MARKER = re.compile(r"^#+\s*start data", re.IGNORECASE)


def _numbers(tokens: List[str]) -> Optional[List[float]]:
    try:
        return [float(t) for t in tokens]
    except ValueError:
        return None


def read_gr(path: Union[str, "os.PathLike[str]"]) -> MeasuredPdf:
    """Read a measured G(r) from a text file of columns.

    The usual ``.gr`` layout of PDF-reduction programs: header lines (a
    ``#### start data`` line ends the header when present), then one row per
    point: r and G, or r, G and dG, or r, G, dr and dG. Lines starting with
    '#' and blank lines among the rows are skipped. r must increase. Any
    other problem is one ``ValueError`` naming the file and the line.
    """
    import numpy as np

    path = os.fspath(path)
    name = os.path.basename(path)
    with open(path, encoding="utf-8", errors="replace") as handle:
        lines = handle.read().splitlines()
    start = 0
    for number, line in enumerate(lines):
        if _DATA_MARKER.match(line.strip()):
            start = number + 1
            break
    rows: List[List[float]] = []
    row_lines: List[int] = []
    header: List[str] = lines[:start]
    for number in range(start, len(lines)):
        text = lines[number].split("#", 1)[0].strip() if not lines[number].lstrip().startswith("#") else ""
        if not text:
            if not rows:
                header.append(lines[number])
            continue
        values = _numbers(text.replace(",", " ").split())
        where = f"{name}, line {number + 1}"
        if values is None:
            if not rows:
                header.append(lines[number])
                continue
            raise ValueError(f"{where}: expected numbers, found '{text}'")
        if len(values) < 2:
            raise ValueError(f"{where}: expected at least two columns (r and G), found one")
        if rows and len(values) != len(rows[0]):
            raise ValueError(
                f"{where}: expected {len(rows[0])} columns like the first data row "
                f"(line {row_lines[0]}), found {len(values)}"
            )
        if not all(math.isfinite(v) for v in values):
            raise ValueError(f"{where}: '{text}' holds a value that is not a finite number")
        if rows and not values[0] > rows[-1][0]:
            raise ValueError(f"{where}: r = {values[0]:g} does not increase (the previous row has r = {rows[-1][0]:g})")
        rows.append(values)
        row_lines.append(number + 1)
    if not rows:
        raise ValueError(f"{name}: no rows of numbers found in {len(lines)} lines")
    table = np.array(rows)
    uncertainty = None
    if table.shape[1] == 3:
        uncertainty = table[:, 2]
    elif table.shape[1] >= 4:
        uncertainty = table[:, 3]
    return MeasuredPdf(r=table[:, 0], g=table[:, 1], dg=uncertainty, header=header, path=path)


def write_gr(path, r, g, dg=None, header: Sequence[str] = ()) -> None:
    """Write r, G (and dG) columns with '#' header lines, readable by :func:`read_gr`."""
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        for line in header:
            handle.write(f"# {line}\n")
        handle.write("#### start data\n")
        for k in range(len(r)):
            row = [r[k], g[k]] + ([dg[k]] if dg is not None else [])
            handle.write(" ".join(repr(float(v)) for v in row) + "\n")


# ---- model against data -------------------------------------------------------------------------


@dataclass
class PdfAgreement:
    """One scale factor fitted by least squares over [rmin, rmax], and Rw.

    ``g_calc`` is the unscaled model at the data points ``r``; ``difference``
    is ``g_obs - scale * g_calc``;
    ``rw = sqrt(sum(difference²) / sum(g_obs²))``.
    """

    scale: float
    rw: float
    r: np.ndarray
    g_obs: np.ndarray
    g_calc: np.ndarray
    difference: np.ndarray
    rmin: float
    rmax: float
    model: Optional[PdfResult] = None


def fit_scale(r, g_obs, g_calc, rmin: Optional[float] = None, rmax: Optional[float] = None) -> PdfAgreement:
    """Fit G_obs ≈ scale · G_calc over rmin ≤ r ≤ rmax and report Rw."""
    import numpy as np

    r, g_obs, g_calc = (np.asarray(v, dtype=float) for v in (r, g_obs, g_calc))
    if not (len(r) == len(g_obs) == len(g_calc)):
        raise ValueError("r, g_obs and g_calc must have the same length")
    low = float(r[0]) if rmin is None else float(rmin)
    high = float(r[-1]) if rmax is None else float(rmax)
    if not low < high:
        raise ValueError(f"rmin must be below rmax, got {low:g} and {high:g}")
    keep = (r >= low) & (r <= high)
    if not np.any(keep):
        raise ValueError(f"no data points between rmin = {low:g} and rmax = {high:g} Å")
    r, g_obs, g_calc = r[keep], g_obs[keep], g_calc[keep]
    model_norm = float(np.dot(g_calc, g_calc))
    data_norm = float(np.dot(g_obs, g_obs))
    if model_norm == 0.0:
        raise ValueError("the model G(r) is zero over the fitted range; no scale can be fitted")
    if data_norm == 0.0:
        raise ValueError("the measured G(r) is zero over the fitted range; Rw is undefined")
    scale = float(np.dot(g_obs, g_calc)) / model_norm
    difference = g_obs - scale * g_calc
    return PdfAgreement(
        scale=scale,
        rw=math.sqrt(float(np.dot(difference, difference)) / data_norm),
        r=r,
        g_obs=g_obs,
        g_calc=g_calc,
        difference=difference,
        rmin=low,
        rmax=high,
    )


def fit_to_data(
    structure: Structure, data: MeasuredPdf, rmin: Optional[float] = None, rmax: Optional[float] = None, **options
) -> PdfAgreement:
    """Compute the model at the measured points in [rmin, rmax], fit its scale, report Rw.

    ``options`` go to :func:`compute_pdf` (radiation, u_iso, qmax, qdamp,
    partials, n_threads); the model is kept in ``fit.model``.
    """
    import numpy as np

    low = float(data.r[0]) if rmin is None else float(rmin)
    high = float(data.r[-1]) if rmax is None else float(rmax)
    keep = (data.r >= low) & (data.r <= high)
    if not np.any(keep):
        raise ValueError(f"no data points between rmin = {low:g} and rmax = {high:g} Å")
    model = compute_pdf(structure, r=data.r[keep], **options)
    fit = fit_scale(data.r[keep], data.g[keep], model.g, low, high)
    fit.model = model
    return fit


# ---- orderings of a disordered structure --------------------------------------------------------


@dataclass
class EnsemblePdf:
    """G(r) over many orderings beside the occupancy-weighted G(r).

    ``difference`` is the mean over the orderings minus the weighted curve;
    ``options`` are the :func:`compute_pdf` arguments every curve shares.
    """

    r: np.ndarray
    mean: np.ndarray
    std: np.ndarray
    disordered: np.ndarray
    difference: np.ndarray
    options: Dict[str, object] = field(default_factory=dict)


class OrderingPdfs:
    """Collects the G(r) of each ordering for ``ordering_ensemble(pdf=...)``."""

    def __init__(self, structure: Structure, options: Mapping[str, Any], cutoff: float, n_threads: int):
        self.options: Dict[str, Any] = {"cutoff": cutoff, "n_threads": n_threads, **dict(options)}
        self.options.pop("partials", None)
        self.disordered = compute_pdf(structure, **self.options)
        self.curves: List[np.ndarray] = []

    def add(self, ordered: Structure) -> None:
        self.curves.append(compute_pdf(ordered, **self.options).g)

    def result(self) -> EnsemblePdf:
        import numpy as np

        mean = np.mean(self.curves, axis=0)
        return EnsemblePdf(
            r=self.disordered.r,
            mean=mean,
            std=np.std(self.curves, axis=0),
            disordered=self.disordered.g,
            difference=mean - self.disordered.g,
            options=self.options,
        )


# ---- figures --------------------------------------------------------------------------------------


def save_pdf_plots(
    result: PdfResult, folder: str, fit: Optional[PdfAgreement] = None, title: Optional[str] = None
) -> List[str]:
    """Write ``pdf.csv``, ``pdf.png`` and, with partials, ``pdf_partials.png`` into ``folder``.

    ``pdf.png`` is the model alone, or with ``fit`` the measured G(r) as
    points, the scaled model over it and the difference curve offset below.
    ``pdf_partials.png`` draws each weighted partial contribution and their
    sum. Returns the paths written.
    """
    from kestrel.plotting import _STYLE, _matplotlib

    figure_tools = _matplotlib()
    os.makedirs(folder, exist_ok=True)
    written = [_write_pdf_csv(os.path.join(folder, "pdf.csv"), result, fit)]
    written.append(_plot_model_and_data(figure_tools, os.path.join(folder, "pdf.png"), result, fit, title, _STYLE))
    if result.partials:
        written.append(_plot_partials(figure_tools, os.path.join(folder, "pdf_partials.png"), result, title, _STYLE))
    return written


def _write_pdf_csv(path: str, result: PdfResult, fit: Optional[PdfAgreement]) -> str:
    import csv

    partials = result.partials or {}
    pairs = list(partials)
    header = ["r", "G_calc"] + [f"{a}-{b}" for a, b in pairs]
    if fit is not None:
        header += ["G_obs", "scale_times_G_calc", "difference"]
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(header)
        for k in range(len(result.r)):
            row = [result.r[k], result.g[k]] + [partials[p][k] for p in pairs]
            if fit is not None:
                row += [fit.g_obs[k], fit.scale * fit.g_calc[k], fit.difference[k]]
            writer.writerow([repr(float(v)) for v in row])
    return path


def _describe(result: PdfResult) -> str:
    text = "X-ray" if result.radiation == "xray" else "neutron"
    if result.qmax is not None:
        text += f", Qmax {result.qmax:g} Å⁻¹"
    if result.qdamp:
        text += f", Qdamp {result.qdamp:g} Å⁻¹"
    return text


def _plot_model_and_data(figure_tools, path, result, fit, title, style):
    _, Figure, FigureCanvasAgg = figure_tools
    with figure_tools[0].rc_context(style):
        figure = Figure(figsize=(7.0, 4.4), dpi=200, layout="constrained")
        FigureCanvasAgg(figure)
        ax = figure.subplots()
        if fit is None:
            ax.plot(result.r, result.g, color="#1f4e79", linewidth=1.1, label="model")
            ax.set_title(f"model G(r), {_describe(result)}", fontsize=10, loc="left")
        else:
            import numpy as np

            calc = fit.scale * fit.g_calc
            ax.plot(
                fit.r,
                fit.g_obs,
                "o",
                markersize=2.2,
                markerfacecolor="none",
                markeredgewidth=0.6,
                color="#1f4e79",
                label="measured",
            )
            ax.plot(fit.r, calc, color="#a23b2a", linewidth=1.1, label=f"model × {fit.scale:.4g}")
            # The difference hangs below the curves, as in the usual fit figure.
            offset = min(np.min(fit.g_obs), np.min(calc)) - 1.2 * np.max(np.abs(fit.difference)) - 0.05 * np.ptp(calc)
            ax.plot(fit.r, fit.difference + offset, color="#2a7a3b", linewidth=0.9, label="difference")
            ax.axhline(offset, color="0.5", linewidth=0.6, linestyle="--")
            ax.set_title(
                f"Rw = {fit.rw:.4f} over {fit.rmin:g}–{fit.rmax:g} Å, {_describe(result)}", fontsize=10, loc="left"
            )
        ax.axhline(0.0, color="0.6", linewidth=0.5)
        ax.set_xlabel("r (Å)")
        ax.set_ylabel("G(r) (Å$^{-2}$)")
        ax.legend(loc="upper right")
        ax.grid(True, linewidth=0.4, alpha=0.4)
        if title:
            figure.suptitle(str(title))
        figure.savefig(path)
    return path


def _plot_partials(figure_tools, path, result, title, style):
    import numpy as np

    _, Figure, FigureCanvasAgg = figure_tools
    pairs = list(result.partials)
    with figure_tools[0].rc_context(style):
        figure = Figure(figsize=(7.0, 3.6 + 0.55 * len(pairs)), dpi=200, layout="constrained")
        FigureCanvasAgg(figure)
        ax = figure.subplots()
        # One vertical scale for every curve, so the weights show; the
        # partials hang below the total, each on its own zero line.
        spacing = 1.15 * max(float(np.ptp(result.partials[p])) for p in pairs) or 1.0
        level = 0.0
        curves = [("total", result.g, "black")] + [
            (f"{a}–{b}  (w = {result.weights[(a, b)]:.3g})", result.partials[(a, b)], "#1f4e79") for a, b in pairs
        ]
        for k, (label, curve, colour) in enumerate(curves):
            if k == 1:
                level = float(np.min(result.g)) - 0.6 * spacing
            elif k > 1:
                level -= spacing
            ax.axhline(level, color="0.7", linewidth=0.5)
            ax.plot(result.r, curve + level, color=colour, linewidth=0.9)
            ax.annotate(
                label,
                (1.0, level),
                xycoords=("axes fraction", "data"),
                xytext=(4, 0),
                textcoords="offset points",
                va="center",
                fontsize=8,
            )
        ax.set_title(f"weighted partial contributions to G(r), {_describe(result)}", fontsize=10, loc="left")
        ax.set_xlabel("r (Å)")
        ax.set_ylabel("G(r), partials offset (Å$^{-2}$)")
        ax.set_xlim(float(result.r[0]), float(result.r[-1]))
        if title:
            figure.suptitle(str(title))
        figure.savefig(path)
    return path
