"""Short-range order, and orderings chosen for it.

``warren_cowley`` measures the Warren–Cowley parameters of an ordered
structure; ``sqs`` arranges the partly occupied sites of a structure in a
supercell so that those parameters come as close to zero (a special
quasirandom structure, SQS) or to a given target as the cell allows.

For species A and B of one sublattice and neighbour shell s,

    α_AB(s) = 1 − P(B | A, s) / c_B,

with P(B | A, s) the fraction of the s-th neighbours of A sites that are B,
over all periodic images, and c_B the fraction of the sublattice's sites that
hold B. α is 0 for a random arrangement, negative where A and B attract and
positive where they avoid each other. Vacancies are a species of their own,
named "Va".
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from _kestrel import Structure, _sqs, _warren_cowley

__all__ = ["ShortRangeOrder", "SublatticeOrder", "SqsReport", "warren_cowley", "sqs", "VACANCY"]

VACANCY = "Va"

Pair = Tuple[str, str]
TargetLike = Union["ShortRangeOrder", Mapping[Union[str, Pair], Union[float, Sequence[float]]]]


@dataclass(frozen=True, repr=False)
class SublatticeOrder:
    """The short-range order of one sublattice.

    Attributes:
      species: its species, elements first and the vacancy ("Va") last.
      counts: sites per species.
      radii: the shells' distances in the ideal lattice (Å), nearest first.
      coordination: mean neighbours per site in each shell.
      alpha: α per ordered species pair (A, B), one value per shell.
      sites: the sublattice's site indices (in the structure measured; for an
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


def _sublattice(entry: Dict[str, Any]) -> SublatticeOrder:
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


def warren_cowley(
    structure: Structure, shells: int = 3, tol: float = 0.01, sublattices: Optional[Sequence[int]] = None
) -> ShortRangeOrder:
    """Warren–Cowley parameters of an ordered structure over its first ``shells`` neighbour shells.

    Every site must hold one whole atom, or nothing (a site whose occupancies
    add up to 0 is a vacancy, "Va"). Pairs are counted over all periodic
    images, a site's own images included, but only between sites of one
    sublattice: ``sublattices`` gives a label per site (default: all sites
    form one). Distances within ``tol`` Å of a shell's first distance belong
    to that shell.
    """
    entries = _warren_cowley(structure, shells, tol, None if sublattices is None else list(sublattices))
    return ShortRangeOrder(tuple(_sublattice(entry) for entry in entries))


@dataclass(repr=False)
class SqsReport:
    """What ``sqs`` found and how.

    Attributes:
      objective: Σ_s w_s Σ_{A<B} |α_AB(s) − target_AB(s)|, summed over the sublattices.
      order: the arrangement's short-range order, per swapped sublattice.
      weights: w_s per shell.
      iterations: trial swaps, all chains together; seconds: wall time.
      chains: independent annealing chains (one per thread); the best won.
      trace: (seconds, trials of the chain that improved, best objective) over time.
      scale: supercell repeats along a, b, c.
      occupancy_report: per species of every pool, the atoms placed (as
        ``expand_occupancies`` reports them); n_vacancies: vacant sites left out.
      warnings: what the counts could not meet.
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


def _pair_key(key: Union[str, Pair]) -> Pair:
    if isinstance(key, str):
        parts = key.split("-")
        if len(parts) != 2 or not all(parts):
            raise ValueError("target key {!r} is not a pair 'A-B'".format(key))
        return parts[0], parts[1]
    a, b = key
    return str(a), str(b)


def _target_entries(target: Optional[TargetLike]) -> Optional[List[Tuple[str, str, List[float]]]]:
    if target is None:
        return None
    if isinstance(target, ShortRangeOrder):
        target = target.as_target()
    entries = []
    for key, value in target.items():
        a, b = _pair_key(key)
        values = [float(value)] if np.ndim(value) == 0 else [float(v) for v in value]
        entries.append((a, b, values))
    return entries


def sqs(
    structure: Structure,
    supercell: Union[int, Sequence[int], None] = None,
    max_sites: Optional[int] = None,
    shells: int = 3,
    weights: Optional[Sequence[float]] = None,
    target: Optional[TargetLike] = None,
    time_limit: Optional[float] = 1.0,
    iterations: Optional[int] = None,
    n_threads: int = 0,
    seed: int = 42,
    tol: float = 0.01,
    max_denominator: int = 16,
    progress: Optional[Callable[[float, float, int], Any]] = None,
) -> Tuple[Structure, SqsReport]:
    """An ordering of the partly occupied sites whose short-range order meets a target: by default an SQS.

    The supercell is ``supercell`` repeats (n or (na, nb, nc)), or the largest
    n x n x n within ``max_sites`` (a multiple of the cell the occupancies need
    to come out exactly, where one fits). Each pool of equivalent partly
    occupied sites (as ``expand_occupancies`` groups them) is a sublattice:
    it gets the expansion's atom counts, vacancies fill the rest, and its
    sites trade places only with each other. Fully occupied sites never move
    and take no part in the statistics.

    The search minimises Σ_s w_s Σ_{A<B} |α_AB(s) − target_AB(s)| over the
    first ``shells`` shells and every sublattice, with w_s = 1/s unless
    ``weights`` are given. ``target`` maps pairs ("A-B" or (A, B)) to α per
    shell (or one α for all shells), or is a ``ShortRangeOrder`` to copy;
    pairs left out, and every pair when ``target`` is None, aim at 0.

    Chains of trial swaps (simulated annealing, each from its own random
    start) run one per thread (``n_threads``, 0: the default pool) for
    ``time_limit`` seconds and/or ``iterations`` trials each; the best wins,
    and the search ends early once the objective is 0. With ``iterations``
    and no time limit (``time_limit=None``) the result is the same for the
    same seed and thread count on any machine; a time limit stops the chains
    wherever the clock finds them. ``progress(seconds, best, trials)`` is
    called about every 50 ms while the search runs.

    Returns the ordered structure (vacancies left out) and an ``SqsReport``.
    """
    if isinstance(supercell, (int, np.integer)):
        supercell = (int(supercell),) * 3
    if (supercell is None) == (max_sites is None):
        raise ValueError("give either supercell or max_sites")
    structure_out, raw = _sqs(
        structure,
        supercell=None if supercell is None else [int(n) for n in supercell],
        max_sites=max_sites,
        shells=shells,
        weights=None if weights is None else [float(w) for w in weights],
        target=_target_entries(target),
        time_limit=time_limit,
        iterations=iterations,
        n_threads=n_threads,
        seed=seed,
        tol=tol,
        max_denominator=max_denominator,
        progress=progress,
    )
    report = SqsReport(
        objective=raw["objective"],
        order=ShortRangeOrder(tuple(_sublattice(entry) for entry in raw["sublattices"])),
        weights=np.asarray(raw["weights"], dtype=float),
        iterations=raw["iterations"],
        seconds=raw["seconds"],
        chains=raw["chains"],
        trace=np.asarray(raw["trace"], dtype=float).reshape(-1, 3),
        scale=tuple(raw["scale"]),
        occupancy_report=raw["occupancy_report"],
        n_vacancies=raw["n_vacancies"],
        warnings=raw["warnings"],
    )
    return structure_out, report
