"""Measuring short-range order, and searching for orderings that meet a target."""

from __future__ import annotations

from typing import Any, Callable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from kestrel._defaults import MAX_DENOMINATOR, SEED, SHELLS, TIME_LIMIT, TOL
from kestrel._kestrel import Structure, _sqs, _warren_cowley
from kestrel.ordering.results import Pair, ShortRangeOrder, SqsReport, sublattice_from_entry

__all__ = ["warren_cowley", "sqs"]

TargetLike = Union[ShortRangeOrder, Mapping[Union[str, Pair], Union[float, Sequence[float]]]]


def warren_cowley(
    structure: Structure, shells: int = SHELLS, tol: float = TOL, sublattices: Optional[Sequence[int]] = None
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
    return ShortRangeOrder(tuple(sublattice_from_entry(entry) for entry in entries))


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
    shells: int = SHELLS,
    weights: Optional[Sequence[float]] = None,
    target: Optional[TargetLike] = None,
    time_limit: Optional[float] = TIME_LIMIT,
    iterations: Optional[int] = None,
    n_threads: int = 0,
    seed: int = SEED,
    tol: float = TOL,
    max_denominator: int = MAX_DENOMINATOR,
    progress: Optional[Callable[[float, float, int], Any]] = None,
) -> Tuple[Structure, SqsReport]:
    """An ordering of the partly occupied sites whose short-range order meets a target: by default an SQS.

    The supercell is ``supercell`` repeats (n or (na, nb, nc)), or the largest
    n x n x n within ``max_sites`` (a multiple of the cell the occupancies need
    to come out exactly, where one fits). Each pool of equivalent partly
    occupied sites (as ``expand_occupancies`` groups them) is a sublattice:
    it gets the expansion's atom counts, vacancies fill the rest, and its
    sites trade places only with each other. Fully occupied sites never move
    and take no part in the statistics. Each pool of equivalent units of
    correlated disorder is a sublattice as well: its copies, at their
    centres, trade whole alternatives (species "alternative 0", ...; "Va"
    for a copy that takes none).

    The search minimises ``Σ_s w_s Σ_{A<B} |α_AB(s) − target_AB(s)|`` over the
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
    called about every 50 ms while the search runs (best is inf until the
    first chain has started); an exception it raises stops the search.

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
        order=ShortRangeOrder(tuple(sublattice_from_entry(entry) for entry in raw["sublattices"])),
        weights=np.asarray(raw["weights"], dtype=float),
        iterations=raw["iterations"],
        seconds=raw["seconds"],
        chains=raw["chains"],
        trace=np.asarray(raw["trace"], dtype=float).reshape(-1, 3),
        scale=tuple(raw["scale"]),
        occupancy_report=raw["occupancy_report"],
        unit_report=raw["unit_report"],
        n_vacancies=raw["n_vacancies"],
        warnings=raw["warnings"],
    )
    return structure_out, report
