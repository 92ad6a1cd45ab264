"""One phase of a PDF model: its structure's parameters, and its G(r) summed over the pairs found once."""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Dict, List, Mapping, Optional, Tuple

import numpy as np

from kestrel._kestrel import Structure
from kestrel.scattering import constraints
from kestrel.scattering.cif_aniso import cif_aniso_u
from kestrel.scattering.pairs import HistogramPairs, SitePairs
from kestrel.scattering.parameters import U_FLOOR, Parameter, PhaseSettings
from kestrel.scattering.peaks import density_line, peak_variances, radial_sums, sphere_envelope
from kestrel.scattering.powers import ScatteringWeights, scattering_weights

UNITS_WEIGHED_INDEPENDENTLY = (
    "this refinement sums G(r) over site pairs, which weigh the pairs within a unit of correlated disorder "
    "by occupancy products, as if its alternatives could coexist; a refinement of the scale, per-element U, "
    "qdamp and a cell that changes only its size keeps the units' weights"
)

Pair = Tuple[str, str]


@dataclass
class PhasePeaks:
    """The Gaussian peaks of one phase at given values.

    Peak k sits at ``distance[k]`` with width ``sigma[k]`` and adds
    ``weight[k] N(x; distance, sigma) / x`` to G: its pair count times the
    occupancies and scattering powers of its two atoms over N <b>².
    ``element_pair[k]`` indexes the unordered pairs of the structure's
    elements (those of ``PhaseModel.weights.pair_weights()``), the partial
    it belongs to.
    """

    distance: np.ndarray
    weight: np.ndarray
    sigma: np.ndarray
    element_pair: np.ndarray
    weights: ScatteringWeights
    density: float


class PhaseModel:
    """One structure's contribution: its parameters and the pairs it sums over."""

    def __init__(
        self,
        structure: Structure,
        prefix: str,
        vary: frozenset,
        settings: PhaseSettings,
        u_start,
        needed: float,
    ):
        self.structure = structure
        self.prefix = prefix
        self.settings = settings
        self.radiation = settings.radiation
        self.n_threads = settings.n_threads
        self.parameters: List[Parameter] = []
        self.index: Dict[str, int] = {}
        self.u_per_site = settings.u_per == "site" or "uaniso" in vary
        n_sites = structure.n_sites
        self.start_frac = np.asarray(structure.frac_coords, dtype=float)
        matrix = np.asarray(structure.lattice_matrix, dtype=float)
        self.start_metric = matrix @ matrix.T

        needs_symmetry = bool(vary & {"lattice", "xyz", "uaniso", "occupancy"}) or self.u_per_site
        self.symmetry = None
        if needs_symmetry:
            with_orbits = bool(vary & {"xyz", "uaniso", "occupancy"}) or self.u_per_site
            self.symmetry = constraints.crystal_symmetry(structure, settings.symprec, with_orbits=with_orbits)
        orbit = self.symmetry.orbit if self.symmetry is not None else np.arange(n_sites)
        self.orbit = orbit

        self._add("scale", settings.scale, 0.0, math.inf, "scale" in vary, "scale")

        self._add_lattice(vary)
        self._add_positions(vary)
        self._add_occupancies(vary)
        self._add_displacements(vary, u_start)
        self._add("delta1", 0.0, 0.0, math.inf, "delta1" in vary, "delta1")
        self._add("delta2", 0.0, 0.0, math.inf, "delta2" in vary, "delta2")
        self._add("diameter", math.inf, 1.0, math.inf, "diameter" in vary, "diameter")
        composition = structure.composition
        self.weights = scattering_weights(composition, self.radiation)
        self.powers = self.weights.powers
        self.pairs = None
        self._build_pairs(needed, vary, self.start_metric, self.start_frac)

    # -- parameters
    def _add_lattice(self, vary) -> None:
        """Lattice: one parameter per constant the space group leaves free."""
        self.lattice = None
        if "lattice" in vary:
            self.lattice = constraints.lattice_freedom(self.structure, self.symmetry)
            for name in self.lattice.free:
                k = constraints.LATTICE_NAMES.index(name)
                start = self.lattice.start[k]
                low, high = (0.5 * start, 2.0 * start) if k < 3 else (10.0, 170.0)
                self._add(name, start, low, high, True, "lattice")

    def _add_positions(self, vary) -> None:
        """Positions: the free directions of each orbit's representative."""
        # (representative, direction, its pivot axis, parameter index)
        self.position_parameters: List[Tuple[int, np.ndarray, int, int]] = []
        self.floating_axes: List[constraints.FloatingAxis] = []
        if "xyz" in vary:
            for rep in sorted(set(self.orbit.tolist())):
                basis = constraints.invariant_basis(self.symmetry.stabilizer(rep, np.mod(self.start_frac, 1.0)), 3)
                for row, axis in zip(basis, constraints.pivots(basis)):
                    name = f"{'xyz'[axis]}({constraints.site_label(self.structure, rep)})"
                    start = float(self.start_frac[rep, axis])
                    index = self._add(name, start, start - 0.25, start + 0.25, True, "xyz")
                    self.position_parameters.append((rep, row, axis, index))
            along = [(axis, index) for _, _, axis, index in self.position_parameters]
            self.floating_axes = constraints.floating_axes(self.symmetry, along)

    def _add_occupancies(self, vary) -> None:
        """Occupancies: the split of each mixed orbit, the last element taking what is left."""
        self.occupancy_parameters: Dict[Tuple[int, str], int] = {}
        self.occupancy_rest: Dict[int, Tuple[str, float]] = {}
        if "occupancy" in vary:
            for rep in sorted(set(self.orbit.tolist())):
                species = self.structure.species[rep]
                if len(species) < 2:
                    continue
                total = sum(species.values())
                elements = list(species)
                for element in elements[:-1]:
                    name = f"occ({element}, {constraints.site_label(self.structure, rep)})"
                    index = self._add(name, species[element], 0.0, total, True, "occupancy")
                    self.occupancy_parameters[(rep, element)] = index
                self.occupancy_rest[rep] = (elements[-1], total)

    def _add_displacements(self, vary, u_start) -> None:
        """Displacements: U per element, per orbit, or anisotropic per orbit."""
        self.u_element: Dict[str, int] = {}
        self.u_site: Dict[int, int] = {}
        self.u_aniso: Dict[int, Tuple[np.ndarray, List[int]]] = {}
        present = [e for e in self.structure.elements if self.structure.composition[e] > 0]
        if "uaniso" in vary:
            from_file = {}
            if self.settings.cif_path:
                from_file = cif_aniso_u(self.settings.cif_path, self.start_frac, self.start_metric, self.symmetry)
            for rep in sorted(set(self.orbit.tolist())):
                self._add_aniso(rep, u_start, from_file.get(rep))
        elif self.u_per_site:
            for rep in sorted(set(self.orbit.tolist())):
                value = _site_u(self.structure, rep, u_start)
                name = f"U({constraints.site_label(self.structure, rep)})"
                self.u_site[rep] = self._add(name, value, U_FLOOR, 1.0, "uiso" in vary, "uiso")
        else:
            for element in present:
                value = u_start[element] if isinstance(u_start, Mapping) else float(u_start)
                self.u_element[element] = self._add(f"U({element})", value, U_FLOOR, 1.0, "uiso" in vary, "uiso")

    def _add(self, name: str, value: float, lower: float, upper: float, vary: bool, kind: str) -> int:
        self.parameters.append(Parameter(self.prefix + name, float(value), lower, upper, vary, kind, name))
        self.index[name] = len(self.parameters) - 1
        return len(self.parameters) - 1

    def _add_aniso(self, rep: int, u_start, given=None) -> None:
        # Site symmetry on U_ij: U -> M U Mᵀ with M = N⁻¹ R N (R fractional, N = diag(a*, b*, c*)).
        scaling = self._reciprocal_lengths(self.start_metric)
        rotations = self.symmetry.stabilizer(rep, np.mod(self.start_frac, 1.0))
        transforms = np.array([np.diag(1.0 / scaling) @ r @ np.diag(scaling) for r in rotations])
        basis = constraints.invariant_basis(transforms, 6)
        # Start isotropic: U_ij = U G⁻¹_ij / sqrt(G⁻¹_ii G⁻¹_jj), that is U on the diagonal, U cos(α*) beside it.
        inverse = np.linalg.inv(self.start_metric)
        start = _site_u(self.structure, rep, u_start) * inverse / np.outer(scaling, scaling) if given is None else given
        # The file's tensor, kept to what the site symmetry allows (its pivots fix the rest).
        components = np.array([start[i, j] for i, j in constraints.TENSOR_COMPONENTS])
        indices = []
        label = constraints.site_label(self.structure, rep)
        for axis in constraints.pivots(basis):
            i, j = constraints.TENSOR_COMPONENTS[axis]
            diagonal = i == j
            low, high = (U_FLOOR, 1.0) if diagonal else (-1.0, 1.0)
            indices.append(self._add(f"U{i + 1}{j + 1}({label})", components[axis], low, high, True, "uaniso"))
        self.u_aniso[rep] = (basis, indices)

    @staticmethod
    def _reciprocal_lengths(metric):
        return np.sqrt(np.diag(np.linalg.inv(metric)))

    # -- the state at given values
    def metric(self, values) -> np.ndarray:
        if self.lattice is None:
            return self.start_metric
        named = {p.local: values[k] for k, p in enumerate(self.parameters)}
        return constraints.metric_from_constants(self.lattice.constants(named))

    def frac(self, values) -> Optional[np.ndarray]:
        """Every site's fractional position at these values; None when no position is refined."""
        if not self.position_parameters:
            return None
        shift = np.zeros_like(self.start_frac)
        for rep, direction, axis, index in self.position_parameters:
            shift[rep] += (values[index] - self.start_frac[rep, axis]) * direction
        # A site moves as its orbit's representative, turned by the operation that carries one onto the other.
        carried = self.symmetry.rotations[self.symmetry.carrier]
        return self.start_frac + np.einsum("sab,sb->sa", carried, shift[self.orbit])

    def _build_pairs(self, needed: float, vary, metric, frac) -> None:
        one_length = self.lattice is None or len(self.lattice.free) == 1
        by_site = bool(vary & {"xyz", "uaniso", "occupancy"}) or self.u_per_site
        if one_length and not by_site:
            # A cell that changes only its size stretches every distance by one factor.
            self.pairs = HistogramPairs(self.structure, needed, self.n_threads)
            self._histogram_metric = metric
            return
        if self.lattice is not None:
            transposed = self.symmetry.point_rotations().transpose(0, 2, 1)
            basis = constraints.invariant_basis(transposed, 6)
        else:
            basis = np.array([[metric[i, j] for i, j in constraints.TENSOR_COMPONENTS]])
        if by_site:
            classes = self.orbit
        else:
            signatures = constraints.site_signatures(self.structure)
            kinds = {t: k for k, t in enumerate(dict.fromkeys(signatures))}
            classes = [kinds[t] for t in signatures]
        key = "vector" if vary & {"xyz", "uaniso"} else "invariants"
        if any(self.structure.units):
            # Site pairs carry occupancy products only; the histogram pairs above take the units' weights.
            warnings.warn(UNITS_WEIGHED_INDEPENDENTLY, UserWarning, stacklevel=2)
        current = self.start_frac if frac is None else frac
        symmetry = self.symmetry if key == "vector" else None
        self.pairs = SitePairs(self.structure, current, metric, needed, basis, classes, key, symmetry, self.n_threads)
        self._site_metric = metric

    def ensure_reach(self, values, needed: float, vary) -> None:
        """Find the pairs again if a cell that shrank (or atoms that moved) leave the reach short."""
        metric = self.metric(values)
        frac = self.frac(values)
        # Most evaluations change neither the cell nor a position: nothing to look at again.
        state = (metric.tobytes(), None if frac is None else frac.tobytes(), needed)
        if state == getattr(self, "_reach_checked", None):
            return
        self._reach_checked = state
        reference = self._histogram_metric if isinstance(self.pairs, HistogramPairs) else self._site_metric
        # The smallest stretch of any vector from the reference metric to this one.
        shrink = math.sqrt(max(float(np.min(np.linalg.eigvals(np.linalg.solve(reference, metric)).real)), 1e-12))
        if frac is not None:
            # How far any site is from where the pairs were found.
            away = frac - self.pairs.start_frac
            moved = np.sqrt(np.einsum("sa,ab,sb->s", away, metric, away))
            needed += 2.0 * float(np.max(moved))
        if not self.pairs.covers(needed, shrink):
            self._build_pairs(1.25 * needed / shrink, vary, metric, frac)

    def occupancies(self, values) -> np.ndarray:
        """Occupancy of each pair component (site, element) at these values."""
        if not self.pairs.per_site:
            return np.ones(len(self.pairs.components))
        out = self.pairs.start_occupancy.copy()
        if not self.occupancy_parameters:
            return out
        for k, (site, element) in enumerate(self.pairs.components):
            rep = int(self.orbit[site])
            if (rep, element) in self.occupancy_parameters:
                out[k] = values[self.occupancy_parameters[(rep, element)]]
            elif rep in self.occupancy_rest and self.occupancy_rest[rep][0] == element:
                total = self.occupancy_rest[rep][1]
                given = sum(values[i] for (r, _), i in self.occupancy_parameters.items() if r == rep)
                out[k] = max(total - given, 0.0)
        return out

    def peaks(self, values, qbroad: float) -> PhasePeaks:
        """The phase's Gaussian peaks at these values (widths broadened by qbroad)."""
        metric = self.metric(values)
        volume = math.sqrt(max(float(np.linalg.det(metric)), 1e-300))
        occupancy = self.occupancies(values)
        pairs = self.pairs
        a, b = pairs.peak_a, pairs.peak_b
        components = [e for _, e in pairs.components]
        weights = self._scattering_weights(occupancy)
        powers = np.array([weights.powers[e] for e in components])
        scale = 1.0 / (weights.n_atoms * weights.mean**2)
        peak_weights = pairs.counts * occupancy[a] * occupancy[b] * powers[a] * powers[b] * scale
        if isinstance(pairs, HistogramPairs):
            stretch = math.sqrt(float(np.trace(metric)) / float(np.trace(self._histogram_metric)))
            distance = pairs.distances(stretch)
            u = np.array([values[self.u_element[e]] for e in components])
            variance = u[a] + u[b]
        else:
            delta = pairs.vectors(self.frac(values))
            group_distance = np.sqrt(np.einsum("ka,ab,kb->k", delta, metric, delta))
            distance = group_distance[pairs.peak_group]
            variance = self._pair_variances(values, metric, delta, group_distance)
        variance = peak_variances(
            variance, distance, values[self.index["delta1"]], values[self.index["delta2"]], qbroad
        )
        order = {e: k for k, e in enumerate(self.weights.elements)}
        rank = np.array([order[e] for e in components])
        low, high = np.minimum(rank[a], rank[b]), np.maximum(rank[a], rank[b])
        n = len(order)
        # Unordered pair (i <= j) of the elements' order to its place in pair_weights().
        element_pair = low * n - low * (low - 1) // 2 + (high - low)
        return PhasePeaks(distance, peak_weights, np.sqrt(variance), element_pair, weights, weights.n_atoms / volume)

    def contribution(self, values, x: np.ndarray, peaks: PhasePeaks, by_pair: bool = False):
        """Scale × envelope × G(r) of this phase at the points x, or one such curve per element pair."""
        scale = values[self.index["scale"]]
        diameter = values[self.index["diameter"]]
        envelope = scale * (sphere_envelope(x, diameter) if math.isfinite(diameter) else 1.0)
        if not by_pair:
            g = radial_sums(peaks.distance, peaks.weight, peaks.sigma, x) + density_line(x, peaks.density)
            return envelope * g
        curves = []
        for k, pair_weight in enumerate(self.weights.pair_weights().values()):
            mine = peaks.element_pair == k
            radial = radial_sums(peaks.distance[mine], peaks.weight[mine], peaks.sigma[mine], x)
            curves.append(envelope * (radial + pair_weight * density_line(x, peaks.density)))
        return curves

    def _scattering_weights(self, occupancy) -> ScatteringWeights:
        """<b> and the element amounts at these occupancies (the structure's own unless they are refined)."""
        if not (self.pairs.per_site and self.occupancy_parameters):
            return self.weights
        amounts: Dict[str, float] = {}
        for k, (_, element) in enumerate(self.pairs.components):
            amounts[element] = amounts.get(element, 0.0) + float(occupancy[k])
        ordered = {e: amounts.get(e, 0.0) for e in self.weights.elements}
        return scattering_weights(ordered, self.radiation, self.powers)

    def _pair_variances(self, values, metric, delta, group_distance) -> np.ndarray:
        """σ² of each peak: U_a + U_b, or the site tensors projected on the bond."""
        pairs = self.pairs
        components = pairs.components
        a, b = pairs.peak_a, pairs.peak_b
        if not self.u_aniso:
            if self.u_site:
                u = np.array([values[self.u_site[int(self.orbit[s])]] for s, _ in components])
            else:
                u = np.array([values[self.u_element[e]] for _, e in components])
            return u[a] + u[b]
        tensors = self.cartesian_tensors(values, metric)
        lattice = constraints.cholesky_lattice(metric)
        cart = delta @ lattice
        unit = cart / group_distance[:, None]
        both = tensors[pairs.site_i] + tensors[pairs.site_j]
        per_group = np.einsum("ka,kab,kb->k", unit, both, unit)
        return per_group[pairs.peak_group]

    def cartesian_tensors(self, values, metric) -> np.ndarray:
        """U of every site in Cartesian Å², on the axes of the Cholesky lattice of ``metric``."""
        scaling = self._reciprocal_lengths(metric)
        lattice_columns = constraints.cholesky_lattice(metric).T
        reps = {}
        for rep, (basis, indices) in self.u_aniso.items():
            components = np.array([values[i] for i in indices]) @ basis
            u_cif = constraints.tensor_from_components(components)
            reps[rep] = np.diag(scaling) @ u_cif @ np.diag(scaling)  # W = N U N, fractional
        out = np.empty((self.structure.n_sites, 3, 3))
        for site in range(self.structure.n_sites):
            rotation = self.symmetry.rotations[self.symmetry.carrier[site]]
            w = rotation @ reps[int(self.orbit[site])] @ rotation.T
            out[site] = lattice_columns @ w @ lattice_columns.T
        return out

    def mean_power_squared(self, values) -> float:
        return self._scattering_weights(self.occupancies(values)).mean ** 2

    def refined_structure(self, values) -> Structure:
        """The structure with the refined lattice, positions and occupancies."""
        metric = self.metric(values)
        if self.lattice is None:
            matrix = np.asarray(self.structure.lattice_matrix)
        else:
            # Keep the start cell's orientation: the stretch that takes the old metric to the new one.
            start = np.asarray(self.structure.lattice_matrix)
            fit = constraints.cholesky_lattice(metric)
            rotation = np.linalg.solve(constraints.cholesky_lattice(self.start_metric), start)
            matrix = fit @ rotation
        frac = self.frac(values)
        frac = self.start_frac if frac is None else frac
        species = [dict(s) for s in self.structure.species]
        if self.occupancy_parameters and self.pairs.per_site:
            occupancy = self.occupancies(values)
            for k, (site, element) in enumerate(self.pairs.components):
                species[site][element] = float(occupancy[k])
        return Structure(matrix.tolist(), frac.tolist(), species)


def _site_u(structure: Structure, site: int, u_start) -> float:
    if isinstance(u_start, Mapping):
        species = structure.species[site]
        total = sum(species.values()) or 1.0
        return sum(o * u_start[e] for e, o in species.items()) / total
    return float(u_start)
