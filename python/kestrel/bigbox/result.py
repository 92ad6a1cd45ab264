"""What a big-box refinement found: the fitted supercell, its curves, short-range order and bond lengths."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from kestrel._kestrel import Structure
from kestrel.ordering import ShortRangeOrder

Pair = Tuple[str, str]
MOVE_KINDS = ("swap", "unit", "displace")


@dataclass
class SroSummary:
    """Warren–Cowley parameters over the replicas: per sublattice the mean and standard deviation of α.

    ``replicas`` holds each replica's own :class:`ShortRangeOrder`; with one
    replica the standard deviations are zero. Replicas fitted to one data set
    spread only as the search leaves them; with ``resample=True`` each fits
    its own draw of the data's noise, and the spread holds the noise's share.
    """

    replicas: List[ShortRangeOrder]

    @property
    def sublattices(self):
        return self.replicas[0].sublattices

    def _stack(self, index: int, pair: Pair) -> np.ndarray:
        return np.array([r.sublattices[index].alpha[pair] for r in self.replicas])

    def pairs(self, index: int = 0) -> List[Pair]:
        return list(self.replicas[0].sublattices[index].pairs())

    def alpha(self, first: str, second: str, sublattice: int = 0) -> np.ndarray:
        """Mean α of the pair per shell over the replicas."""
        return self._stack(sublattice, (first, second)).mean(axis=0)

    def alpha_std(self, first: str, second: str, sublattice: int = 0) -> np.ndarray:
        """Standard deviation of α per shell over the replicas (0 for one replica)."""
        values = self._stack(sublattice, (first, second))
        return values.std(axis=0, ddof=1) if len(values) > 1 else np.zeros(values.shape[1])

    def radii(self, sublattice: int = 0) -> np.ndarray:
        return self.replicas[0].sublattices[sublattice].radii

    def table(self) -> str:
        lines = []
        for index, sub in enumerate(self.sublattices):
            radii = self.radii(index)
            lines.append(
                "sublattice {} ({}): α per shell, mean ± sd over {} replica{}".format(
                    index, ", ".join(sub.species), len(self.replicas), "" if len(self.replicas) == 1 else "s"
                )
            )
            lines.append("pair      " + "".join(f"{'r = %.3f Å' % r:>20}" for r in radii))
            for a, b in self.pairs(index):
                mean, sd = self.alpha(a, b, index), self.alpha_std(a, b, index)
                lines.append(f"{a + '-' + b:<10}" + "".join(f"{'%+.4f ± %.4f' % (m, s):>20}" for m, s in zip(mean, sd)))
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.table()


@dataclass
class BigBoxFit:
    """A supercell refined against measured total scattering.

    - structure: the fitted ordered supercell (vacancies left out) of the
      replica that fits best; ``structures`` holds every replica's.
    - rw: the weighted Rw over all data sets, sqrt(Σ_d w_d Rw_d² / Σ_d w_d);
      ``rw_per_data`` each data set's own, with its ``scale``.
    - r, data, model, difference: per data set, the fit points (r in Å, or
      Q in Å⁻¹ for F(Q) and S(Q): ``kinds`` says "gr", "fq" or "sq", and
      ``q`` holds the Q points alone), the measured curve, the scaled model
      and data − model. A G(r) model is the scattering engine's G(r) of the
      fitted structure (``compute_pdf``), so Rw is what the engine gives,
      not the refinement's running estimate; a model in Q is the fitted
      pair counts' sine transform out to the model's reach.
    - labels: the data sets' names.
    - sro: Warren–Cowley α per shell and species pair of each swapped
      sublattice, mean and standard deviation over the replicas.
    - partials: g_AB(r) of the fitted model (tends to 1), on ``partial_r``
      (bin centres); bond_lengths: per species pair, the mean distance of the
      pairs in the first peak of g_AB (first-neighbour bond length).
    - moves_tried, moves_accepted: per kind of move ("swap", "unit",
      "displace"), over all replicas; seconds: wall time of the refinement.
    - history: per replica an array of (trial moves, seconds, Rw).
    - settings: what the model was built and fitted with.
    """

    structure: Structure
    structures: List[Structure]
    rw: float
    rw_per_data: List[float]
    scale: List[float]
    labels: List[str]
    r: List[np.ndarray]
    data: List[np.ndarray]
    model: List[np.ndarray]
    difference: List[np.ndarray]
    sro: Optional[SroSummary]
    partial_r: np.ndarray
    partials: Dict[Pair, np.ndarray]
    bond_lengths: Dict[Pair, float]
    moves_tried: Dict[str, int]
    moves_accepted: Dict[str, int]
    seconds: float
    history: List[np.ndarray]
    replica_rw: List[float]
    settings: Dict[str, object] = field(default_factory=dict)
    kinds: List[str] = field(default_factory=list)

    @property
    def q(self) -> List[Optional[np.ndarray]]:
        """Per data set its Q points (Å⁻¹) for F(Q) and S(Q), None for G(r)."""
        return [x if kind != "gr" else None for x, kind in zip(self.r, self.kinds)]

    @property
    def acceptance(self) -> float:
        tried = sum(self.moves_tried.values())
        return sum(self.moves_accepted.values()) / tried if tried else 0.0

    def report(self) -> str:
        lines = [
            "Big-box refinement of {} ({} atoms, supercell {})".format(
                self.settings.get("formula", ""), self.structure.n_sites, self.settings.get("supercell", "")
            ),
            "Rw = {:.4f} over {} data set{}; {} replica{}; {:.1f} s".format(
                self.rw,
                len(self.labels),
                "" if len(self.labels) == 1 else "s",
                len(self.structures),
                "" if len(self.structures) == 1 else "s",
                self.seconds,
            ),
        ]
        for label, rw, scale in zip(self.labels, self.rw_per_data, self.scale):
            lines.append(f"  {label}: Rw = {rw:.4f}, scale = {scale:.4f}")
        moves = ", ".join(
            "{} {} of {} accepted".format(kind, self.moves_accepted[kind], self.moves_tried[kind])
            for kind in MOVE_KINDS
            if self.moves_tried.get(kind)
        )
        lines.append("moves: " + (moves or "none"))
        if self.bond_lengths:
            lines.append(
                "first-peak distances: "
                + ", ".join(f"{a}-{b} {d:.4f} Å" for (a, b), d in self.bond_lengths.items() if math.isfinite(d))
            )
        if self.sro is not None:
            lines += ["", self.sro.table()]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return "BigBoxFit(Rw = {:.4f}, {} atoms, {} data set{}, {} moves tried, {:.1%} accepted)".format(
            self.rw,
            self.structure.n_sites,
            len(self.labels),
            "" if len(self.labels) == 1 else "s",
            sum(self.moves_tried.values()),
            self.acceptance,
        )

    def save_plots(self, folder: str, title: Optional[str] = None) -> List[str]:
        """Figures of the fit, the difference, α per shell, the partials and Rw over the run (PNG), and CSVs."""
        from kestrel.bigbox.plots import save_big_box_plots

        return save_big_box_plots(self, folder, title)


def partial_curves(
    counts: np.ndarray, elements: Sequence[str], atoms: Dict[str, int], volume: float, bin_: float, coarse: int
) -> Tuple[np.ndarray, Dict[Pair, np.ndarray]]:
    """g_AB(r) from ordered pair counts [pair][bin], summed over `coarse` fine bins."""
    m = len(elements)
    n_bins = counts.size // (m * (m + 1) // 2)
    table = counts.reshape(-1, n_bins)
    keep = n_bins // coarse * coarse
    width = bin_ * coarse
    edges = np.arange(keep // coarse + 1) * width
    shells = 4.0 / 3.0 * math.pi * (edges[1:] ** 3 - edges[:-1] ** 3)
    out: Dict[Pair, np.ndarray] = {}
    p = 0
    for i, a in enumerate(elements):
        for b in elements[i:]:
            summed = table[p, :keep].reshape(-1, coarse).sum(axis=1)
            p += 1
            if atoms.get(a, 0) == 0 or atoms.get(b, 0) == 0:
                continue
            # Ordered counts hold each a-b pair from both ends; a centre of
            # species a sees half of them when a != b.
            from_a = summed if a == b else summed / 2.0
            g = from_a / (atoms[a] * atoms[b] / volume * shells)
            out[(a, b)] = g
            if a != b:
                out[(b, a)] = g
    return edges[:-1] + 0.5 * width, out


def first_peak_distance(counts: np.ndarray, bin_: float) -> float:
    """The mean distance of the pairs in the first peak of a fine pair histogram.

    The peak reaches from the first pair out to the first minimum after the
    first maximum of the pair density (counts / r²) smoothed with a Gaussian
    of 0.08 Å, so a ragged histogram cannot cut the window short on one side
    and pull the mean.
    """
    if not np.any(counts):
        return math.nan
    centres = (np.arange(len(counts)) + 0.5) * bin_
    width = 0.08 / bin_
    half = int(math.ceil(4 * width))
    kernel = np.exp(-0.5 * (np.arange(-half, half + 1) / width) ** 2)
    smooth = np.convolve(counts / centres**2, kernel, mode="same")
    start = int(np.argmax(counts > 0))
    top = start + int(np.argmax(smooth[start : start + int(round(1.0 / bin_))]))
    rises = np.flatnonzero(np.diff(smooth[top:]) > 0)
    end = top + int(rises[0]) + 1 if len(rises) else len(counts)
    return float(np.sum(counts[:end] * centres[:end]) / np.sum(counts[:end]))
