"""The result records of the short-range order: per sublattice, and of an SQS search."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Tuple

import numpy as np

__all__ = ["ShortRangeOrder", "SublatticeOrder", "SqsReport", "VACANCY", "sublattice_from_entry"]

VACANCY = "Va"

Pair = Tuple[str, str]


@dataclass(frozen=True, repr=False)
class SublatticeOrder:
    """The short-range order of one sublattice.

    Attributes:

    - species: its species, elements first and the vacancy ("Va") last.
    - counts: sites per species.
    - radii: the shells' distances in the ideal lattice (Å), nearest first.
    - coordination: mean neighbours per site in each shell.
    - alpha: α per ordered species pair (A, B), one value per shell.
    - sites: the sublattice's site indices (in the structure measured; for an
      SQS, in its supercell before vacancies were left out).
    """

    species: Tuple[str, ...]
    counts: Dict[str, int]
    radii: np.ndarray
    coordination: np.ndarray
    alpha: Dict[Pair, np.ndarray]
    sites: Tuple[int, ...] = ()

    @property
    def concentrations(self) -> Dict[str, float]:
        total = sum(self.counts.values())
        return {name: count / total for name, count in self.counts.items()}

    def pairs(self) -> List[Pair]:
        """The unordered pairs (A, B) of two different species, A before B: the ones the SQS objective counts."""
        return [(a, b) for k, a in enumerate(self.species) for b in self.species[k + 1 :]]

    def table(self) -> str:
        shells = range(len(self.radii))
        head = "{:<12}".format("shell") + "".join("{:>10}".format(s + 1) for s in shells)
        lines = [
            "sublattice of {} sites: {}".format(
                sum(self.counts.values()),
                ", ".join("{} {}".format(name, self.counts[name]) for name in self.species),
            ),
            head,
            "{:<12}".format("r (Å)") + "".join("{:>10.4f}".format(r) for r in self.radii),
            "{:<12}".format("neighbours") + "".join("{:>10.3f}".format(z) for z in self.coordination),
        ]
        for a, b in self.pairs() + [(a, a) for a in self.species]:
            lines.append("{:<12}".format("α " + a + "-" + b) + "".join(_alpha_cell(v) for v in self.alpha[(a, b)]))
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.table()


def _alpha_cell(value: float) -> str:
    return "{:>10}".format("n/a") if math.isnan(value) else "{:>10.4f}".format(value)


@dataclass(frozen=True, repr=False)
class ShortRangeOrder:
    """Warren–Cowley parameters of every sublattice of a structure.

    ``radii``, ``coordination``, ``alpha`` and ``species`` read those of the
    only sublattice; with several, pick one from ``sublattices``.
    ``table()`` (and the printed form) shows them all.
    """

    sublattices: Tuple[SublatticeOrder, ...]

    def _only(self) -> SublatticeOrder:
        if len(self.sublattices) != 1:
            raise ValueError(
                "the structure has {} sublattices; pick one from .sublattices".format(len(self.sublattices))
            )
        return self.sublattices[0]

    @property
    def radii(self) -> np.ndarray:
        return self._only().radii

    @property
    def coordination(self) -> np.ndarray:
        return self._only().coordination

    @property
    def alpha(self) -> Dict[Pair, np.ndarray]:
        return self._only().alpha

    @property
    def species(self) -> Tuple[str, ...]:
        return self._only().species

    def as_target(self) -> Dict[str, List[float]]:
        """{"A-B": [α per shell]} for the pairs the objective counts: a target for ``sqs`` (and JSON)."""
        target: Dict[str, List[float]] = {}
        for sub in self.sublattices:
            for a, b in sub.pairs():
                target["{}-{}".format(a, b)] = [float(v) for v in sub.alpha[(a, b)]]
        return target

    def table(self) -> str:
        return "\n\n".join(sub.table() for sub in self.sublattices)

    def __repr__(self) -> str:
        return self.table()


def sublattice_from_entry(entry: Dict[str, Any]) -> SublatticeOrder:

    species = tuple(entry["species"])
    m = len(species)
    shells = len(entry["radii"])
    flat = np.asarray(entry["alpha"], dtype=float).reshape(shells, m, m)
    alpha = {(a, b): flat[:, i, j].copy() for i, a in enumerate(species) for j, b in enumerate(species)}
    return SublatticeOrder(
        species=species,
        counts=dict(zip(species, entry["counts"])),
        radii=np.asarray(entry["radii"], dtype=float),
        coordination=np.asarray(entry["coordination"], dtype=float),
        alpha=alpha,
        sites=tuple(entry["sites"]),
    )


@dataclass(repr=False)
class SqsReport:
    """What ``sqs`` found and how.

    Attributes:

    - objective: ``Σ_s w_s Σ_{A<B} |α_AB(s) − target_AB(s)|``, summed over the sublattices.
    - order: the arrangement's short-range order, per swapped sublattice.
    - weights: w_s per shell.
    - iterations: trial swaps, all chains together; seconds: wall time.
    - chains: independent annealing chains (one per thread); the best won.
    - trace: (seconds, trials of the chain that improved, best objective) over time.
    - scale: supercell repeats along a, b, c.
    - occupancy_report: per species of every pool, the atoms placed (as
      ``expand_occupancies`` reports them); unit_report: per alternative of
      every pool of units of correlated disorder, the copies that took it
      (the copies trade whole alternatives during the search, with the
      expansion's counts); n_vacancies: vacant sites left out.
    - warnings: what the counts could not meet.
    """

    objective: float
    order: ShortRangeOrder
    weights: np.ndarray
    iterations: int
    seconds: float
    chains: int
    trace: np.ndarray
    scale: Tuple[int, int, int]
    occupancy_report: List[Dict[str, Any]] = field(default_factory=list)
    unit_report: List[Dict[str, Any]] = field(default_factory=list)
    n_vacancies: int = 0
    warnings: List[str] = field(default_factory=list)

    @property
    def trials_per_second(self) -> float:
        return self.iterations / self.seconds if self.seconds > 0 else float("nan")

    def table(self) -> str:
        head = "objective {:.6f} after {:,} trial swaps in {:.2f} s ({} chain{}), supercell {}".format(
            self.objective,
            self.iterations,
            self.seconds,
            self.chains,
            "" if self.chains == 1 else "s",
            "x".join(str(n) for n in self.scale),
        )
        return head + "\n" + self.order.table()

    def __repr__(self) -> str:
        return self.table()
