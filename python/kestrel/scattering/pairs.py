"""The pairs a refined G(r) is summed over, found once and reused while parameters change.

A refinement evaluates the model hundreds of times. What changes between
two evaluations is mostly a width (U, delta, qbroad), an envelope (qdamp,
diameter) or the scale, none of which moves a pair; so the pairs are found
once, grouped into peaks of equal distance, and each evaluation only sums
Gaussians over the peaks.

Two tables, both giving peaks as (group, component a, component b):

* :class:`HistogramPairs` (the common case: one width per element pair and a
  lattice that at most changes size) takes kestrel's occupancy-weighted pair
  histogram per element pair. A change of the cell's size scales every
  distance by one factor, so the histogram is never rebuilt; it works for
  supercells of thousands of sites because its length does not grow with
  the number of sites.
* :class:`SitePairs` (lattice shapes, positions, per-site U, anisotropic U,
  occupancies) enumerates the pairs of sites with their lattice
  translations. Pairs whose distance equals for every allowed metric
  (the same invariants Δᵀ G_p Δ over the symmetry-allowed metric basis G_p)
  between the same two site classes are one peak; when positions move, only
  a pair and its reverse are merged, and only pairs with a moved site get
  new vectors.
"""

from __future__ import annotations

import math
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from kestrel._kestrel import Structure, _site_pairs
from kestrel.scattering.constraints import cholesky_lattice, tensor_from_components

Pair = Tuple[str, str]

# Pair distances are taken from an occupancy-weighted histogram of this bin
# width and placed at the centre of their bin: about half a milliångström
# off at most, far below the resolution of any measured G(r), while the pair
# loop stays in compiled code. The width is irrational (π/3 mÅ) so that the
# round-number distances of high-symmetry crystals (a/2 of a 5.64 Å cell)
# never sit on a bin edge, where the last bit of rounding would pick the bin
# and the same crystal written two ways could give two curves.
HISTOGRAM_STEP = math.pi / 3000.0

_FOUR_PI = 4.0 * math.pi


class PairHistograms:
    """Occupancy-weighted pair counts per unordered element pair, from prdf.

    prdf weighs every pair as the structure's units of correlated disorder
    say (a pair within one alternative as its atoms come and go together, a
    pair across alternatives not at all), so these counts do too.
    """

    def __init__(self, structure: Structure, reach: float, n_threads: int):
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


class HistogramPairs:
    """Pair counts per element pair on a fine histogram; bins are the peaks.

    ``components`` are the elements; ``counts`` already hold the occupancy
    products, so every component's occupancy factor is 1.
    """

    per_site = False

    def __init__(self, structure: Structure, reach: float, n_threads: int = 0):
        histograms = PairHistograms(structure, reach, n_threads)
        self.components: List[Tuple[int, str]] = [(-1, e) for e in histograms.elements]
        index = {e: k for k, e in enumerate(histograms.elements)}
        groups, comp_a, comp_b, counts = [], [], [], []
        for (a, b), values in histograms.counts.items():
            used = np.flatnonzero(values > 0)
            groups.append(used)
            comp_a.append(np.full(len(used), index[a]))
            comp_b.append(np.full(len(used), index[b]))
            counts.append(values[used])
        self.bins = np.concatenate(groups) if groups else np.zeros(0, dtype=int)
        self.peak_a = np.concatenate(comp_a).astype(int)
        self.peak_b = np.concatenate(comp_b).astype(int)
        self.counts = np.concatenate(counts)
        self.start_distances = histograms.centres[self.bins]
        self.peak_group = np.arange(len(self.bins))
        self.reach = reach - 2.0 * HISTOGRAM_STEP

    def distances(self, stretch: float, frac=None):
        return self.start_distances * stretch

    def covers(self, needed: float, shrink: float) -> bool:
        return self.reach * shrink >= needed


class SitePairs:
    """Ordered pairs of sites (i, j, lattice translation n) within a reach, grouped into peaks.

    ``group_key`` says what makes two pairs one peak: "invariants" (equal
    distance under every allowed metric, same site classes) or "vector"
    (one pair and its images under the space group ``symmetry``: they keep
    equal lengths and equal projected displacement tensors however the
    symmetry-constrained parameters move; without ``symmetry``, only a pair
    and its reverse). ``classes[i]`` is the class of site i.
    """

    per_site = True

    def __init__(
        self,
        structure: Structure,
        frac: np.ndarray,
        metric: np.ndarray,
        reach: float,
        metric_basis: np.ndarray,
        classes: Sequence[int],
        group_key: str,
        symmetry=None,
        n_threads: int = 0,
    ):
        self.reach = reach
        self.start_frac = frac.copy()
        lattice = cholesky_lattice(metric)
        if group_key == "vector" and symmetry is not None:
            # The core groups the pairs from each orbit's representative by their images under the group.
            found = _site_pairs(
                lattice, frac, reach, symmetry.rotations, symmetry.translations, symmetry.orbit, n_threads
            )
            self.site_i, self.site_j, self.shift, self.group_count = found
            self._delta = frac[self.site_j] - frac[self.site_i] + self.shift
        else:
            rows_i, rows_j, rows_n, _ = _site_pairs(lattice, frac, reach, n_threads=n_threads)
            delta = frac[rows_j] - frac[rows_i] + rows_n
            key = _peak_keys(rows_i, rows_j, rows_n, delta, group_key, metric_basis, np.asarray(classes))
            _, first, count = np.unique(key, axis=0, return_index=True, return_counts=True)
            self.site_i, self.site_j, self.shift = rows_i[first], rows_j[first], rows_n[first]
            self.group_count = count.astype(float)
            self._delta = delta[first]

        # Components: every (site, element) entry; a peak per group and pair of entries on its sites.
        self.components: List[Tuple[int, str]] = []
        start_occupancy: List[float] = []
        entries_of_site: List[List[int]] = []
        for site, occupancies in enumerate(structure.species):
            entries_of_site.append([])
            for element, occupancy in occupancies.items():
                entries_of_site[-1].append(len(self.components))
                self.components.append((site, element))
                start_occupancy.append(occupancy)
        self.start_occupancy = np.array(start_occupancy)
        # Group g's peaks: every entry of site i with every entry of site j, i's entries the slower.
        first = np.array([entries[0] if entries else 0 for entries in entries_of_site], dtype=int)
        size = np.array([len(entries) for entries in entries_of_site], dtype=int)
        size_i, size_j = size[self.site_i], size[self.site_j]
        per_group = size_i * size_j
        self.peak_group = np.repeat(np.arange(len(self.site_i)), per_group)
        within = np.arange(len(self.peak_group)) - np.repeat(np.cumsum(per_group) - per_group, per_group)
        self.peak_a = first[self.site_i][self.peak_group] + within // size_j[self.peak_group]
        self.peak_b = first[self.site_j][self.peak_group] + within % size_j[self.peak_group]
        self.counts = self.group_count[self.peak_group]

    def vectors(self, frac: Optional[np.ndarray]) -> np.ndarray:
        """The fractional vector of each group at these site positions; only pairs with a moved site change."""
        if frac is None:
            return self._delta
        moved_sites = np.any(frac != self.start_frac, axis=1)
        moved = moved_sites[self.site_i] | moved_sites[self.site_j]
        if not np.any(moved):
            return self._delta
        delta = self._delta.copy()
        delta[moved] = frac[self.site_j[moved]] - frac[self.site_i[moved]] + self.shift[moved]
        return delta

    def covers(self, needed: float, shrink: float) -> bool:
        return self.reach * shrink >= needed


def _peak_keys(rows_i, rows_j, rows_n, delta, group_key: str, metric_basis, classes) -> np.ndarray:
    """What makes pairs one peak when no space group groups them: their invariants, or a pair and its reverse."""
    if group_key == "invariants":
        basis = tensor_from_components(metric_basis)
        invariants = np.einsum("ka,pab,kb->kp", delta, basis, delta)
        scale = max(1.0, float(np.max(np.abs(invariants)))) if len(invariants) else 1.0
        low, high = np.minimum(classes[rows_i], classes[rows_j]), np.maximum(classes[rows_i], classes[rows_j])
        return np.column_stack([low, high, np.rint(invariants / scale * 1e9)])
    forward = (rows_i < rows_j) | ((rows_i == rows_j) & _lexically_positive(rows_n))
    lo = np.where(forward, rows_i, rows_j)
    hi = np.where(forward, rows_j, rows_i)
    shift = np.where(forward[:, None], rows_n, -rows_n)
    return np.column_stack([lo, hi, shift])


def _lexically_positive(n: np.ndarray) -> np.ndarray:
    first = np.where(n[:, 0] != 0, n[:, 0], np.where(n[:, 1] != 0, n[:, 1], n[:, 2]))
    return first > 0
