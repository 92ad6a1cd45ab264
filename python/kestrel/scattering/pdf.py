"""G(r) and its model: one sum of Gaussian peaks over the pairs of one or more phases, with the instrument's
resolution and the Q range's cut-off. ``compute_pdf``, ``model_pdf``, ``refine_pdf`` and the orderings of an
ensemble all evaluate a :class:`PdfModel`."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from kestrel._kestrel import Structure
from kestrel.io.readers import read_structure
from kestrel.scattering.displacements import DEFAULT_U_ISO, cif_u_iso
from kestrel.scattering.parameters import (
    Instrument,
    Parameter,
    PhaseSettings,
    UIso,
    UserChoices,
    check_positive,
    element_u,
    evaluation_points,
    vary_names,
)
from kestrel.scattering.peaks import GAUSSIAN_REACH, Termination, resolution_envelope
from kestrel.scattering.phases import PhaseModel, PhasePeaks
from kestrel.scattering.powers import check_radiation, scattering_source, scattering_weights
from kestrel.scattering.slopes import QBROAD, contribution_slopes

Pair = Tuple[str, str]
StructureLike = Union[Structure, str, "os.PathLike[str]"]


class PdfModel:
    """All phases, the shared instrument parameters and the points the model is asked for."""

    def __init__(self, phases: List[PhaseModel], ensemble: bool, points, instrument: Instrument, vary: frozenset):
        self.phases = phases
        self.ensemble = ensemble
        self.qmax = instrument.qmax
        self.vary = vary
        self.parameters: List[Parameter] = []
        index: Dict[str, int] = {}
        self.maps = []
        for phase in phases:
            mapping = []
            for p in phase.parameters:
                if p.name not in index:
                    index[p.name] = len(self.parameters)
                    self.parameters.append(p)
                mapping.append(index[p.name])
            self.maps.append(np.array(mapping, dtype=int))
        for name, start in (("qdamp", instrument.qdamp), ("qbroad", instrument.qbroad)):
            index[name] = len(self.parameters)
            self.parameters.append(Parameter(name, start, 0.0, 1.0, name in vary, name, name))
        self.index = index
        points = np.asarray(points, dtype=float)
        # The peak sums walk the points in ascending order; results go back in the order given.
        self._order = np.argsort(points, kind="stable")
        self._sorted = points[self._order]
        self._termination = Termination(self._sorted, self.qmax) if self.qmax is not None else None

    def start_values(self) -> np.ndarray:
        return np.array([p.value for p in self.parameters])

    def needed_reach(self, values) -> float:
        """How far pairs must be known: the end of the points summed over plus the widest Gaussian's reach."""
        widest = 0.0
        for phase, mapping in zip(self.phases, self.maps):
            local = values[mapping]
            u = [local[k] for k, p in enumerate(phase.parameters) if p.kind in ("uiso", "uaniso")]
            widest = max(widest, 2.0 * max(u, default=0.0))
        end = self._termination.end if self._termination is not None else float(self._sorted[-1])
        sigma = math.sqrt(widest * (1.0 + (values[self.index["qbroad"]] * end) ** 2))
        return end + GAUSSIAN_REACH * sigma + 0.5

    def evaluate(self, values) -> np.ndarray:
        """G(r) at the points: every phase's scaled curve added (averaged for an ensemble), damped, cut off."""
        x, peaks = self._peaks(values)
        total = np.zeros(len(x))
        for phase, mapping, found in zip(self.phases, self.maps, peaks):
            total += phase.contribution(values[mapping], x, found)
        if self.ensemble:
            total /= len(self.phases)
        return self._finish([total], values)[0]

    def phase_curves(self, values) -> List[np.ndarray]:
        """Each phase's own scaled curve at the points, with the shared termination and damping."""
        x, peaks = self._peaks(values)
        curves = [phase.contribution(values[m], x, found) for phase, m, found in zip(self.phases, self.maps, peaks)]
        return list(self._finish(curves, values))

    def pair_curves(self, values) -> List[np.ndarray]:
        """The one phase's weighted partial curve of each element pair (they add up to ``evaluate``)."""
        x, (found,) = self._peaks(values)
        (phase,) = self.phases
        return list(self._finish(phase.contribution(values[self.maps[0]], x, found, by_pair=True), values))

    def jacobian(self, values, columns: Sequence[int]) -> np.ndarray:
        """dG/dθ at the points (rows) for the parameters ``columns`` (indices into ``parameters``).

        Every parameter's column is summed in closed form: the peaks' slopes
        (phases' own parameters and qbroad), the curve's (scale, diameter)
        and the resolution's (qdamp); the termination is linear, so it is
        applied to each column as to G.
        """
        x, peaks = self._peaks(values)
        where = {g: k for k, g in enumerate(columns)}
        rows = np.zeros((len(columns), len(x)))
        total = np.zeros(len(x))
        qbroad = self.index["qbroad"]
        for phase, mapping, found in zip(self.phases, self.maps, peaks):
            local = values[mapping]
            mine = [(k, where[g]) for k, g in enumerate(mapping) if g in where]
            asked = [k for k, _ in mine] + ([QBROAD] if qbroad in where else [])
            slopes = contribution_slopes(phase, local, x, found, values[qbroad], asked)
            for row, (_, column) in zip(slopes, mine):
                rows[column] += row
            if qbroad in where:
                rows[where[qbroad]] += slopes[-1]
            if self.index["qdamp"] in where:
                total += phase.contribution(local, x, found)
        if self.ensemble:
            rows /= len(self.phases)
            total /= len(self.phases)
        if self.index["qdamp"] in where:
            # d/dqdamp of exp(−(qdamp x)²/2) is −qdamp x² times it; _finish multiplies by it.
            rows[where[self.index["qdamp"]]] = -values[self.index["qdamp"]] * x**2 * total
        return self._finish(rows, values).T

    def _peaks(self, values) -> Tuple[np.ndarray, List[PhasePeaks]]:
        """The points the curves are summed on, and each phase's peaks."""
        needed = self.needed_reach(values)
        qbroad = values[self.index["qbroad"]]
        peaks = []
        for phase, mapping in zip(self.phases, self.maps):
            local = values[mapping]
            phase.ensure_reach(local, needed, self.vary)
            peaks.append(phase.peaks(local, qbroad))
        if self._termination is None:
            return self._sorted, peaks
        widths = [float(np.min(p.sigma)) for p in peaks if len(p.sigma)]
        narrowest = min(widths) if widths else math.inf
        return self._termination.samples_for(narrowest), peaks

    def _finish(self, curves, values) -> np.ndarray:
        """Damped by the resolution, cut off at qmax, read at the points in their given order."""
        qdamp = values[self.index["qdamp"]]
        x = self._termination.samples if self._termination is not None else self._sorted
        stacked = np.atleast_2d(np.asarray(curves, dtype=float))
        if qdamp:
            stacked = stacked * resolution_envelope(x, qdamp)
        if self._termination is not None:
            stacked = self._termination.apply(stacked)
        out = np.empty_like(stacked)
        out[:, self._order] = stacked
        return out


def load_phases(structure, u_iso) -> Tuple[List[Structure], list, List[Optional[str]]]:
    """The structures of the phases (read from files where paths are given), their start U and CIF paths."""
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
        is_cif = path.lower().endswith(".cif")
        cif_paths.append(path if is_cif else None)
        structures.append(loaded)
        u_starts.append(
            cif_u_iso(path, loaded)[0] if u_iso is None and is_cif else DEFAULT_U_ISO if u_iso is None else u_iso
        )
    return structures, u_starts, cif_paths


def assemble_model(
    structure, points, vary: frozenset, instrument: Instrument, settings: PhaseSettings, u_iso, ensemble: bool
) -> PdfModel:
    """The model of every phase at the points, its parameters at their start values."""
    structures, u_starts, paths = load_phases(structure, u_iso)
    if ensemble and len(structures) < 2:
        raise ValueError("ensemble=True needs a list of at least two orderings")
    last = float(np.max(points))
    end = last + (Termination(np.array([last]), instrument.qmax).end - last if instrument.qmax else 0.0)
    guess = end + GAUSSIAN_REACH * math.sqrt(2.0 * _largest_u(u_starts) * (1.0 + (instrument.qbroad * end) ** 2)) + 1.0
    phases = []
    for k, (phase_structure, u_start) in enumerate(zip(structures, u_starts)):
        prefix = f"phase{k + 1}." if len(structures) > 1 and not ensemble else ""
        phase_settings = PhaseSettings(**{**settings.__dict__, "cif_path": paths[k]})
        phases.append(PhaseModel(phase_structure, prefix, vary, phase_settings, u_start, guess))
    if "xyz" in vary and not any(p.position_parameters for p in phases):
        raise ValueError("vary names xyz, but every site sits where its site symmetry fixes it: no position is free")
    if "occupancy" in vary and not any(p.occupancy_parameters for p in phases):
        raise ValueError("vary names occupancy, but no site is shared by two or more elements")
    model = PdfModel(phases, ensemble, points, instrument, vary)
    if "diameter" in vary:
        for p in model.parameters:
            if p.kind == "diameter":
                p.value = 4.0 * last
    return model


def _largest_u(u_starts) -> float:
    largest = 0.0
    for u in u_starts:
        largest = max(largest, max(u.values()) if isinstance(u, Mapping) else float(u))
    return largest


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
    For simulated data and for looking at a model before fitting it. At the
    same values it is :func:`compute_pdf`'s curve, to rounding.
    """
    check_radiation(radiation)
    if qmax is not None and not (math.isfinite(qmax) and qmax > 0):
        raise ValueError(f"qmax must be a positive number, got {qmax!r}")
    if u_per not in ("element", "site"):
        raise ValueError(f"u_per must be 'element' or 'site', got '{u_per}'")
    points = evaluation_points(None, None, r)
    settings = PhaseSettings(radiation=radiation, u_per=u_per, symprec=symprec)
    kinds = vary_names(parameters)
    model = assemble_model(structure, points, kinds, Instrument(qmax), settings, u_iso, ensemble)
    UserChoices.of(start=values).apply(model.parameters)
    return model.evaluate(model.start_values())


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
    check_radiation(radiation)
    qdamp = check_positive("qdamp", qdamp, allow_zero=True)
    if qmax is not None:
        qmax = check_positive("qmax", qmax)
    points = evaluation_points(cutoff, bin_size, r)
    weights = scattering_weights(structure.composition, radiation)
    u = element_u(u_iso, weights.elements)
    if len(points) == 0:
        curves: List[np.ndarray] = [np.zeros(0) for _ in weights.pair_weights()]
    else:
        settings = PhaseSettings(radiation=radiation, n_threads=n_threads)
        model = assemble_model(structure, points, frozenset(), Instrument(qmax, qdamp), settings, u, False)
        curves = model.pair_curves(model.start_values())
    by_pair = dict(zip(weights.pair_weights(), curves))
    return PdfResult(
        r=points,
        g=np.sum(curves, axis=0) if curves else np.zeros(len(points)),
        partials=by_pair if partials else None,
        radiation=radiation,
        weights=weights.pair_weights(),
        scattering=dict(weights.powers),
        mean_scattering=weights.mean,
        u_iso=u,
        density=weights.n_atoms / structure.volume,
        qmax=qmax,
        qdamp=qdamp,
        source=scattering_source(),
    )
