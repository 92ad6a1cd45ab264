"""Ordering ensembles: how much does one particular ordering of a disordered
crystal differ from the occupancy-weighted average?

Each ordering is an expansion of the partial occupancies with its own seed;
the curves of all orderings give a mean and a spread, which sit beside the
curves computed directly from the fractional occupancies. With ``sro`` each
ordering is also searched for a short-range order (a special quasirandom
structure, or a target), and the searched orderings sit beside the random
fills they started from.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from kestrel._defaults import BIN_SIZE, CUTOFF, MAX_DENOMINATOR, MAX_SITES, SEED, SHELLS
from kestrel.io.interop import as_structure
from kestrel.ordering import sqs
from kestrel.plotting import save_ensemble_plots
from kestrel.scattering.orderings import OrderingPdfs

if TYPE_CHECKING:
    from kestrel.scattering import EnsemblePdf

Pair = Tuple[str, str]


@dataclass(repr=False)
class SroCurves:
    """The orderings searched for a short-range order, one per seed: mean and spread of their curves.

    ``label`` says what they aimed at ("SQS" for α = 0, else "target");
    ``reports`` holds each search's ``SqsReport``.
    """

    label: str
    mean_partials: Dict[Pair, "np.ndarray"]
    std_partials: Dict[Pair, "np.ndarray"]
    mean_total: "np.ndarray"
    std_total: "np.ndarray"
    reports: List[Any] = field(default_factory=list)

    def objectives(self) -> List[float]:
        return [report.objective for report in self.reports]


__all__ = ["EnsembleResult", "SroCurves", "ordering_ensemble", "save_ensemble_plots"]


@dataclass(repr=False)
class EnsembleResult:
    """The curves of many orderings of one disordered structure, beside its weighted curves.

    All curves are pair densities in Å⁻³ over the lower bin edges ``r`` (Å),
    as ``Structure.prdf`` returns them: partials keyed by (A, B), A the centre
    atom, and the total.

    Attributes:

    - r: lower bin edges (Å).
    - mean_partials, std_partials, mean_total, std_total: mean and standard
      deviation over the orderings.
    - disordered_partials, disordered_total: the occupancy-weighted curves of
      the disordered structure itself.
    - difference_partials, difference_total: mean of the orderings minus the
      weighted curve.
    - seeds: the expansion seed of each ordering; reports: its expansion report.
    - density: number density N / V of the disordered structure (Å⁻³).
    - bin_size: histogram bin width (Å).
    """

    r: np.ndarray
    mean_partials: Dict[Pair, np.ndarray]
    std_partials: Dict[Pair, np.ndarray]
    mean_total: np.ndarray
    std_total: np.ndarray
    disordered_partials: Dict[Pair, np.ndarray]
    disordered_total: np.ndarray
    difference_partials: Dict[Pair, np.ndarray]
    difference_total: np.ndarray
    seeds: List[int] = field(default_factory=list)
    reports: List[Dict[str, Any]] = field(default_factory=list)
    density: float = 0.0
    bin_size: float = 0.0
    pdf: Optional[EnsemblePdf] = None  # the weighted G(r), when asked for with pdf={...}
    sro: Optional[SroCurves] = None  # the searched orderings, when asked for with sro=...

    def curves(self) -> List[Tuple[str, np.ndarray, np.ndarray, np.ndarray]]:
        """(label, weighted, mean, std) of the total, then of every ordered pair "A-B"."""
        rows = [("total", self.disordered_total, self.mean_total, self.std_total)]
        rows += [
            (f"{a}-{b}", self.disordered_partials[(a, b)], self.mean_partials[(a, b)], self.std_partials[(a, b)])
            for a, b in self.mean_partials
        ]
        return rows

    def unordered_labels(self) -> List[str]:
        """The labels "A-B" with A <= B: one per pair of elements."""
        return [f"{a}-{b}" for a, b in self.mean_partials if a <= b]

    def deviations(self) -> List[Tuple[str, float, float, float]]:
        """(label, max |mean - weighted|, max std, peak of the weighted curve) per curve, in Å⁻³."""
        return [
            (label, float(abs(mean - weighted).max()), float(std.max()), float(weighted.max()))
            for label, weighted, mean, std in self.curves()
        ]

    def __repr__(self) -> str:
        n = self.reports[0]["scale"][0] if self.reports else 0
        label, difference, _, peak = self.deviations()[0]
        relative = f"{100 * difference / peak:.2g}% of its peak" if peak > 0 else "no peak"
        return (
            f"EnsembleResult({len(self.seeds)} orderings, seeds {self.seeds[0]} to {self.seeds[-1]}, "
            f"{n}x{n}x{n} supercell, {len(self.mean_partials)} partials of {len(self.r)} bins, "
            f"total: max |mean - weighted| {difference:.4g} Å⁻³ = {relative})"
        )


def ordering_ensemble(
    structure: Any,
    n_orderings: int = 16,
    seed: int = SEED,
    max_sites: int = MAX_SITES,
    max_denominator: int = MAX_DENOMINATOR,
    cutoff: float = CUTOFF,
    bin_size: float = BIN_SIZE,
    n_threads: int = 0,
    progress: Optional[Callable[[int, int], None]] = None,
    pdf: Optional[Dict[str, object]] = None,
    sro: Any = None,
    sro_options: Optional[Dict[str, Any]] = None,
) -> EnsembleResult:
    """Expand ``structure`` with seeds seed, seed + 1, ... and average the curves.

    ``structure`` is a kestrel Structure, an ase.Atoms or a pymatgen Structure.
    Returns the mean and standard deviation of every partial and of the total
    over the orderings, the occupancy-weighted curves of the disordered
    structure, and the difference between the two. ``progress(done, total)``
    is called after each ordering. An ordered structure has only one ordering:
    it is run once, with a warning.

    With ``pdf`` (a dict of :func:`kestrel.compute_pdf` options such as
    ``{"radiation": "neutron", "u_iso": 0.005}``; the cutoff defaults to
    ``cutoff``) the scattering-weighted G(r) of every ordering is computed
    too, and ``result.pdf`` holds its mean and spread beside the G(r) of the
    occupancy-weighted structure.

    With ``sro`` ("random" for special quasirandom structures, or a target
    as :func:`kestrel.sqs` takes it) every seed gives two orderings of one
    supercell (the largest n×n×n within ``max_sites``): a random fill, whose
    curves make the mean and spread above, and the ordering a search for
    that short-range order reached from it, whose curves make
    ``result.sro``. ``sro_options`` are further :func:`kestrel.sqs`
    arguments; by default shells=3 and 500,000 trial swaps per chain with no
    time limit, so that every ordering reproduces.

    Parameters not named above: ``n_orderings`` (at least 1); ``max_sites`` and ``max_denominator``
    as for ``Structure.expand_occupancies``; ``cutoff`` and ``bin_size`` in Å; ``n_threads`` (0:
    every core). Returns an ``EnsembleResult``.
    """

    structure = as_structure(structure, "ordering_ensemble()")
    if n_orderings < 1:
        raise ValueError("n_orderings must be at least 1")
    if structure.is_ordered and n_orderings > 1:
        warnings.warn(
            "the structure is ordered (every site holds one element, fully occupied), so it has a "
            "single ordering and needs no ensemble; computing that one ordering",
            stacklevel=2,
        )
        n_orderings = 1
    r, disordered_partials, disordered_total = structure.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=n_threads)
    pairs = list(disordered_partials)
    pdfs = None
    if pdf is not None:
        pdfs = OrderingPdfs(structure, pdf, cutoff, n_threads)
    stacks: Dict[Pair, List[np.ndarray]] = {pair: [] for pair in pairs}
    totals: List[np.ndarray] = []
    seeds: List[int] = []
    reports: List[Dict[str, Any]] = []
    searched = None if sro is None else _SroSearch(sro, sro_options, max_sites, max_denominator, n_threads, pairs)
    for k in range(n_orderings):
        this_seed = seed + k
        if searched is None:
            ordered, report = structure.expand_occupancies(
                max_sites=max_sites, seed=this_seed, max_denominator=max_denominator
            )
        else:
            ordered, report = searched.add(structure, this_seed, cutoff, bin_size)
        _, partials, total = ordered.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=n_threads)
        for pair in pairs:
            # An element that no ordering could place has no curve of its own.
            stacks[pair].append(partials.get(pair, np.zeros_like(r)))
        totals.append(total)
        if pdfs is not None:
            pdfs.add(ordered)
        seeds.append(this_seed)
        reports.append(report)
        if progress is not None:
            progress(k + 1, n_orderings)
    mean_partials = {pair: np.mean(stacks[pair], axis=0) for pair in pairs}
    std_partials = {pair: np.std(stacks[pair], axis=0) for pair in pairs}
    mean_total = np.mean(totals, axis=0)
    return EnsembleResult(
        r=r,
        mean_partials=mean_partials,
        std_partials=std_partials,
        mean_total=mean_total,
        std_total=np.std(totals, axis=0),
        disordered_partials=disordered_partials,
        disordered_total=disordered_total,
        difference_partials={pair: mean_partials[pair] - disordered_partials[pair] for pair in pairs},
        difference_total=mean_total - disordered_total,
        seeds=seeds,
        reports=reports,
        density=structure.n_atoms / structure.volume,
        bin_size=float(bin_size),
        pdf=pdfs.result() if pdfs is not None else None,
        sro=searched.result() if searched is not None else None,
    )


class _SroSearch:
    """Per seed, a random fill and the ordering a search reaches from it, in the same supercell."""

    def __init__(self, sro, options, max_sites, max_denominator, n_threads, pairs):
        if isinstance(sro, str) and sro != "random":
            raise ValueError(f"sro must be 'random', a target or None, got {sro!r}")
        self.label = "SQS" if isinstance(sro, str) else "target"
        self.options = {"shells": SHELLS, "iterations": 500_000, "time_limit": None, "n_threads": n_threads}
        self.options.update(options or {})
        if "supercell" not in self.options:
            self.options["max_sites"] = max_sites
        self.options["max_denominator"] = max_denominator
        self.options["target"] = None if isinstance(sro, str) else sro
        self.pairs = pairs
        self.stacks: Dict[Pair, List[Any]] = {pair: [] for pair in pairs}
        self.totals: List[Any] = []
        self.reports: List[Any] = []

    def add(self, structure, seed, cutoff, bin_size):

        # No trial swaps leaves the seeded random start; one chain, so it is not the best of several.
        random_options = dict(self.options, iterations=0, time_limit=None, n_threads=1, target=None)
        random_fill, random_report = sqs(structure, seed=seed, **random_options)
        ordered, report = sqs(structure, seed=seed, **self.options)
        r, partials, total = ordered.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=self.options["n_threads"])
        for pair in self.pairs:
            self.stacks[pair].append(partials.get(pair, np.zeros_like(r)))
        self.totals.append(total)
        self.reports.append(report)
        expansion_report = {
            "scale": list(random_report.scale),
            "n_vacancies": random_report.n_vacancies,
            "warnings": random_report.warnings,
            "occupancy_report": random_report.occupancy_report,
        }
        return random_fill, expansion_report

    def result(self) -> SroCurves:

        return SroCurves(
            label=self.label,
            mean_partials={pair: np.mean(self.stacks[pair], axis=0) for pair in self.pairs},
            std_partials={pair: np.std(self.stacks[pair], axis=0) for pair in self.pairs},
            mean_total=np.mean(self.totals, axis=0),
            std_total=np.std(self.totals, axis=0),
            reports=self.reports,
        )
