"""Measured S(Q), F(Q) and I(Q) in a refinement, alone or beside a G(r): their fit ranges, scales and models.

The model of a data set in Q comes from the phases of the G(r) model at the
same values: each phase's refined structure (lattice, positions,
occupancies), its U per element and the shared qdamp go to
:func:`compute_sq`, or, for a phase with a finite diameter, to the Debye
intensity of a particle cut from it (:mod:`kestrel.scattering.particle_fit`).
With X_p the excess S_p(Q) − 1 of phase p, or its intensity per atom I_p(Q)/N,
and s_p the phase's scale:

* S(Q) data are 1 + s Σ_p s_p X_p, F(Q) data Q s Σ_p s_p X_p and I(Q) data
  s Σ_p s_p I_p/N (an ensemble's orderings are averaged, as in G(r));
* the phases' scales s_p are those of the G(r) data; every other data set
  has a factor s of its own, named ``scale(<data set>)``. Without G(r) data
  the first data set in Q takes the phases' scales.

delta1, delta2 and qbroad shape the G(r) peaks only: the model in Q has no
counterpart of them.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from kestrel._kestrel import Structure
from kestrel.scattering.gr_files import MeasuredPdf, read_gr
from kestrel.scattering.parameters import Parameter
from kestrel.scattering.particle_fit import particle_terms
from kestrel.scattering.pdf import PdfModel
from kestrel.scattering.q_files import KIND_NAMES, Q_KINDS, MeasuredScattering, read_q_data
from kestrel.scattering.sq import compute_sq

DATA_KINDS = ("gr",) + tuple(Q_KINDS)

# The points the G(r) model is built on when only data in Q are fitted: its
# phases hold the parameters, and it is never evaluated there.
NO_GR_POINTS = np.array([1.0, 2.0])

# Kinds of parameter that change a phase's curve in Q (with the shared qdamp).
_Q_KINDS_OF_PARAMETER = ("lattice", "xyz", "occupancy", "uiso", "diameter")

# Kinds that shape only the G(r) peaks.
GR_ONLY = ("delta1", "delta2", "qbroad")


@dataclass
class DataInput:
    """What ``refine_pdf`` was given, sorted: the G(r) data (or None) and the data in Q, with their labels."""

    gr: Optional[MeasuredPdf]
    gr_label: str
    q: List[MeasuredScattering]
    q_labels: List[str]

    @property
    def count(self) -> int:
        return len(self.q) + (self.gr is not None)

    @property
    def first(self):
        """The data set whose header gives the instrument settings: the G(r), else the first in Q."""
        return self.gr if self.gr is not None else self.q[0]


def sort_data(data, kind=None) -> DataInput:
    """The data sets of a refinement from paths, ``MeasuredPdf`` and ``MeasuredScattering`` objects.

    ``kind`` ("gr", "sq", "fq" or "iq") says what a path holds where its
    suffix does not: one for all data sets, or one per data set (None to
    go by the suffix). A path ending in .sq, .fq or .iq is read as that
    kind, any other as a G(r).
    """
    items = list(data) if isinstance(data, (list, tuple)) else [data]
    if not items:
        raise ValueError("data is empty: give a G(r), S(Q), F(Q) or I(Q) data set")
    kinds = list(kind) if isinstance(kind, (list, tuple)) else [kind] * len(items)
    if len(kinds) != len(items):
        raise ValueError(f"kind names {len(kinds)} kinds for {len(items)} data sets")
    gr: List[Tuple[MeasuredPdf, str]] = []
    q: List[Tuple[MeasuredScattering, str]] = []
    for item, chosen in zip(items, kinds):
        if chosen is not None and chosen not in DATA_KINDS:
            raise ValueError(f"kind must be 'gr', 'sq', 'fq' or 'iq', got '{chosen}'")
        loaded = _load(item, chosen)
        name = os.path.basename(loaded.path) if loaded.path else ""
        if isinstance(loaded, MeasuredPdf):
            gr.append((loaded, name or "G(r)"))
        else:
            q.append((loaded, name or KIND_NAMES[loaded.kind]))
    if len(gr) > 1:
        raise ValueError(f"refine_pdf fits at most one G(r) data set (beside any in Q), got {len(gr)}")
    labels = _distinct([label for _, label in gr + q])
    return DataInput(
        gr=gr[0][0] if gr else None,
        gr_label=labels[0] if gr else "",
        q=[m for m, _ in q],
        q_labels=labels[len(gr) :],
    )


def _load(item, kind: Optional[str]):
    if isinstance(item, MeasuredPdf):
        if kind not in (None, "gr"):
            raise ValueError(f"kind='{kind}' was given for a MeasuredPdf, which holds a G(r)")
        return item
    if isinstance(item, MeasuredScattering):
        if kind not in (None, item.kind):
            raise ValueError(f"kind='{kind}' was given for a MeasuredScattering of kind '{item.kind}'")
        return item
    if not isinstance(item, (str, os.PathLike)):
        raise TypeError(f"a data set must be a path, a MeasuredPdf or a MeasuredScattering, got {type(item).__name__}")
    suffix = os.path.splitext(os.fspath(item))[1].lstrip(".").lower()
    chosen = kind if kind is not None else (suffix if suffix in Q_KINDS else "gr")
    return read_gr(item) if chosen == "gr" else read_q_data(item, chosen)


def _distinct(labels: List[str]) -> List[str]:
    """The labels, a repeated one numbered from its second appearance on."""
    seen: Dict[str, int] = {}
    out = []
    for label in labels:
        seen[label] = seen.get(label, 0) + 1
        out.append(label if seen[label] == 1 else f"{label} ({seen[label]})")
    return out


@dataclass(frozen=True)
class QDataSet:
    """One data set in Q over its fit range: label, kind, points, values, uncertainties (or None), and the
    name of its own scale parameter (None when it takes the phases' scales)."""

    label: str
    kind: str
    q: np.ndarray
    y: np.ndarray
    dy: Optional[np.ndarray]
    scale: Optional[str]

    @property
    def weights(self) -> np.ndarray:
        return 1.0 / self.dy if self.dy is not None else np.ones(len(self.q))

    @property
    def baseline(self) -> float:
        """The value the model takes where the structure scatters like a gas: 1 for S(Q), else 0."""
        return 1.0 if self.kind == "sq" else 0.0


def q_fit_range(measured: MeasuredScattering, label: str, q_range, scale: Optional[str]) -> QDataSet:
    """The points of one data set within ``q_range`` (qmin, qmax) in Å⁻¹, or all of them."""
    q_all, y_all = np.asarray(measured.q, dtype=float), np.asarray(measured.values, dtype=float)
    if q_all.ndim != 1 or q_all.shape != y_all.shape or len(q_all) == 0:
        raise ValueError(
            f"{label}: Q and the values must be one-dimensional and of one length, got {q_all.shape} and {y_all.shape}"
        )
    if not (np.all(np.isfinite(q_all)) and np.all(np.isfinite(y_all))):
        raise ValueError(f"{label}: Q and the values must be finite numbers")
    if np.any(q_all < 0):
        raise ValueError(f"{label}: Q must be at least 0, found {float(q_all.min()):g} Å⁻¹")
    low, high = float(q_all.min()), float(q_all.max())
    if q_range is not None:
        try:
            low, high = (float(v) for v in q_range)
        except (TypeError, ValueError):
            raise ValueError(f"q_range must be a pair of numbers (qmin, qmax), got {q_range!r}") from None
        if not low < high:
            raise ValueError(f"q_range must have qmin below qmax, got ({low:g}, {high:g})")
    keep = (q_all >= low) & (q_all <= high)
    if np.count_nonzero(keep) < 2:
        raise ValueError(f"{label}: no data points between Q = {low:g} and {high:g} Å⁻¹")
    q, y = q_all[keep], y_all[keep]
    if not np.any(q > 0):
        raise ValueError(f"{label}: the fit range holds no Q above 0")
    dy = None if measured.errors is None else np.asarray(measured.errors[keep], dtype=float)
    if dy is not None and np.all(dy == 0):
        dy = None  # reduction programs write zeros when they have no uncertainties
    if dy is not None and not np.all(dy > 0):
        raise ValueError(
            f"{label}: the uncertainty column holds values that are not positive; they cannot weigh the fit"
        )
    return QDataSet(label, measured.kind, q, y, dy, scale)


class QModel:
    """The data sets in Q of a refinement and their model from the phases of a :class:`PdfModel`."""

    def __init__(self, model: PdfModel, sets: List[QDataSet], radiation: str, n_threads: int = 0):
        self.model = model
        self.sets = sets
        self.radiation = radiation
        self.n_threads = n_threads
        # Per (data set, phase): the values its curve was last computed at and the curve. Most
        # columns of a finite-difference Jacobian (scales, G(r)-only parameters) leave it unchanged.
        self._cache: Dict[Tuple[int, int], Tuple[bytes, Tuple[np.ndarray, np.ndarray]]] = {}
        self._watched = [
            [k for k, p in enumerate(phase.parameters) if p.kind in _Q_KINDS_OF_PARAMETER] for phase in model.phases
        ]

    def curves(self, values) -> List[np.ndarray]:
        """Each data set's model at its points."""
        return [self.curve(k, values) for k in range(len(self.sets))]

    def curve(self, index: int, values, scale: Optional[float] = None) -> np.ndarray:
        """Data set ``index``'s model; ``scale`` replaces its own scale factor when given."""
        data = self.sets[index]
        total = self.phase_sum(index, values)
        if scale is None:
            scale = values[self.model.index[data.scale]] if data.scale is not None else 1.0
        return data.baseline + scale * total

    def phase_sum(self, index: int, values) -> np.ndarray:
        """Σ_p s_p X_p (an ensemble: s × the mean of X_p), in the data set's kind, before its own scale."""
        data = self.sets[index]
        total = np.zeros(len(data.q))
        for p, (phase, mapping) in enumerate(zip(self.model.phases, self.model.maps)):
            local = values[mapping]
            excess, per_atom = self._phase_terms(index, p, values)
            term = per_atom if data.kind == "iq" else excess * (data.q if data.kind == "fq" else 1.0)
            total += local[phase.index["scale"]] * term
        if self.model.ensemble:
            total /= len(self.model.phases)
        return total

    def _phase_terms(self, index: int, p: int, values) -> Tuple[np.ndarray, np.ndarray]:
        """S_p(Q) − 1 and I_p(Q)/N of phase p on data set ``index``'s points, at these values."""
        phase, mapping = self.model.phases[p], self.model.maps[p]
        local = values[mapping]
        qdamp = float(values[self.model.index["qdamp"]])
        key = np.append(local[self._watched[p]], qdamp).tobytes()
        cached = self._cache.get((index, p))
        if cached is not None and cached[0] == key:
            return cached[1]
        structure = phase.refined_structure(local)
        units = phase.structure.units
        if any(place is not None for place in units):
            # The refined structure is rebuilt from lattice, positions and species; its units come along here.
            structure = Structure(structure.lattice_matrix, structure.frac_coords, structure.species, units=units)
        u = {element: float(local[k]) for element, k in phase.u_element.items()}
        q = self.sets[index].q
        diameter = float(local[phase.index["diameter"]])
        if math.isfinite(diameter):
            terms = particle_terms(structure, diameter, q, self.radiation, u, self.n_threads)
        else:
            result = compute_sq(structure, q, radiation=self.radiation, u_iso=u, qdamp=qdamp)
            terms = (result.sq - 1.0, result.iq)
        self._cache[(index, p)] = (key, terms)
        return terms

    def start_scales(self, values, given: Sequence[str]) -> None:
        """Start each varied scale of a data set in Q at its least-squares value for the start model.

        A scale the user gave a start for keeps it. Without G(r) data the
        first data set takes the phase's own scale, started the same way when
        there is one phase.
        """
        for index, data in enumerate(self.sets):
            name = data.scale
            if name is None and len(self.model.phases) == 1 and not self.model.ensemble:
                name = self.model.phases[0].prefix + "scale"
            if name is None or name in given or not self.model.parameters[self.model.index[name]].vary:
                continue
            if data.scale is None:
                # The phase's scale is inside the sum: take it out to fit the factor on the rest.
                k = self.model.index[name]
                trial = values.copy()
                trial[k] = 1.0
                total = self.phase_sum(index, trial)
            else:
                total = self.phase_sum(index, values)
            w2 = data.weights**2
            norm = float(np.sum(w2 * total * total))
            best = float(np.sum(w2 * (data.y - data.baseline) * total)) / norm if norm > 0 else 0.0
            if best > 0 and math.isfinite(best):
                values[self.model.index[name]] = best
                self.model.parameters[self.model.index[name]].value = best


def add_q_parameters(model: PdfModel, data: DataInput, q_range, vary: frozenset) -> List[QDataSet]:
    """The data sets in Q over their fit ranges, each but the one on the phases' scales with a scale of its own
    added to the model's parameters."""
    sets = []
    for k, (measured, label) in enumerate(zip(data.q, data.q_labels)):
        own = data.gr is not None or k > 0
        name = f"scale({label})" if own else None
        if name is not None:
            model.index[name] = len(model.parameters)
            model.parameters.append(Parameter(name, 1.0, 0.0, math.inf, "scale" in vary, "scale", name))
        sets.append(q_fit_range(measured, label, q_range, name))
    return sets


def check_q_model(model: PdfModel, vary: frozenset, has_gr: bool, start: Mapping[str, float]) -> None:
    """Refuse what the model in Q cannot follow: U per site or anisotropic; without G(r) data, parameters
    that shape only the G(r) peaks, and a varied diameter without a start value (only G(r) data suggest one)."""
    for phase in model.phases:
        if phase.u_site or phase.u_aniso:
            raise ValueError(
                "S(Q), F(Q) and I(Q) are modelled with one U per element: "
                "fit them with u_per='element' and without uaniso"
            )
    if not has_gr:
        for kind in GR_ONLY:
            if kind in vary:
                raise ValueError(
                    f"{kind} shapes only the G(r) peaks: with S(Q), F(Q) or I(Q) data alone it cannot be refined"
                )
        particles = all(math.isfinite(float(start.get(phase.prefix + "diameter", math.inf))) for phase in model.phases)
        if "qdamp" in vary and particles:
            raise ValueError(
                "qdamp is not applied to a particle's Debye intensity: with S(Q), F(Q) or I(Q) data of particles "
                "alone it cannot be refined"
            )
        for phase in model.phases:
            name = phase.prefix + "diameter"
            if "diameter" in vary and name not in start:
                raise ValueError(
                    f"refining '{name}' against S(Q), F(Q) or I(Q) alone needs its start value (Å): "
                    f"start={{'{name}': ...}}"
                )


def normalisers(observed: List[Tuple[np.ndarray, np.ndarray]]) -> List[float]:
    """1/sqrt(Σ w² y²) per data set, so that each one's weighted residuals square to its Rw² (1 for one set)."""
    if len(observed) == 1:
        return [1.0]
    out = []
    for y, w in observed:
        norm = float(np.sum((y * w) ** 2))
        out.append(1.0 / math.sqrt(norm) if norm > 0 else 1.0)
    return out
