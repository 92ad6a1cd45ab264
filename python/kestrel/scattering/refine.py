"""Refinement of structure models against a measured G(r) by least squares.

The model of one phase is the G(r) of :func:`kestrel.scattering.compute_pdf`,
with more freedom in each pair's Gaussian. A pair of atoms of elements A and B
at distance r contributes b_A b_B / (N <b>²) N(x; r, σ') / x, and

* σ² = U_A + U_B with isotropic U, or ûᵀ (U_A + U_B) û with anisotropic U:
  the displacement tensors projected on the unit vector û along the bond,
  so a peak is broadened by the motion along the bond only. Anisotropic U
  are the CIF's U_ij, in Å², on the axes of the reciprocal-length-scaled
  cell (U_cart = A N U Nᵀ Aᵀ, A the lattice vectors as columns,
  N = diag(a*, b*, c*));
* σ'² = σ² max(1 − δ1/r − δ2/r², SHARPENING_FLOOR) + qbroad² r²: correlated
  motion of near neighbours sharpens the near peaks (delta1, delta2), the
  instrument's Q resolution broadens the far ones (qbroad);
* G(r) of the phase is multiplied by the spherical-particle envelope
  1 − 3/2 (r/d) + 1/2 (r/d)³ (zero beyond the diameter d) and by its scale;
  the phases are added, the sum is cut off at qmax (the convolution with
  sin(qmax r)/(πr)) and damped by exp(−(qdamp r)²/2).

Lattice constants vary as the structure's space group allows (found by
spglib on the structure itself); positions move along the directions their
site symmetry leaves free, symmetry images moving with them; a mixed site's
occupancy split keeps its total. Rw is sqrt(Σ w (G_obs − G_calc)² / Σ w G_obs²)
over the fit range, with w = 1/dG² when the data give dG, else w = 1.
"""

from __future__ import annotations

import math
import os
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from kestrel._kestrel import Structure
from kestrel.scattering import constraints
from kestrel.scattering.gr_files import MeasuredPdf, header_settings, read_gr
from kestrel.scattering.model import TERMINATION_PERIODS
from kestrel.scattering.pairs import PEAK_REACH, HistogramPairs, SitePairs, peak_sums
from kestrel.scattering.tables import RADIATIONS, scattering_powers

if TYPE_CHECKING:
    import numpy as np

__all__ = ["refine_pdf", "PdfRefinement", "Parameter", "VARY_NAMES"]

VARY_NAMES = (
    "scale",
    "lattice",
    "uiso",
    "uaniso",
    "delta1",
    "delta2",
    "qdamp",
    "qbroad",
    "diameter",
    "xyz",
    "occupancy",
)

# Sharpening never narrows a peak below a fifth of its width (σ'² >= 0.04 σ²),
# so a large delta at short r gives a narrow peak, not a negative variance.
SHARPENING_FLOOR = 0.04

# Lowest U (Å²) a fit may reach: a zero width is a delta function no grid resolves.
_U_FLOOR = 1e-5

_FOUR_PI = 4.0 * math.pi


@dataclass
class Parameter:
    """One refinable number: its value, bounds, and whether the fit varies it."""

    name: str
    value: float
    lower: float = -math.inf
    upper: float = math.inf
    vary: bool = False


# ---- one phase ---------------------------------------------------------------------------------


class _Phase:
    """One structure's contribution: its parameters and the pairs it sums over."""

    def __init__(self, structure: Structure, prefix: str, vary: frozenset, options: dict, u_start, needed: float):
        import numpy as np

        self.structure = structure
        self.prefix = prefix
        self.radiation = options["radiation"]
        self.n_threads = options["n_threads"]
        self.parameters: List[Parameter] = []
        self.u_per_site = options["u_per"] == "site" or "uaniso" in vary
        n_sites = structure.n_sites
        self.start_frac = np.asarray(structure.frac_coords, dtype=float)
        matrix = np.asarray(structure.lattice_matrix, dtype=float)
        self.start_metric = matrix @ matrix.T

        needs_symmetry = bool(vary & {"lattice", "xyz", "uaniso", "occupancy"}) or self.u_per_site
        self.symmetry = None
        if needs_symmetry:
            with_orbits = bool(vary & {"xyz", "uaniso", "occupancy"}) or self.u_per_site
            self.symmetry = constraints.crystal_symmetry(structure, options["symprec"], with_orbits=with_orbits)
        orbit = self.symmetry.orbit if self.symmetry is not None else np.arange(n_sites)
        self.orbit = orbit

        self._add("scale", options["scale"], 0.0, math.inf, "scale" in vary)

        # Lattice: one parameter per free constant.
        self.lattice = None
        if "lattice" in vary:
            self.lattice = constraints.lattice_freedom(structure, self.symmetry)
            for name in self.lattice.free:
                k = constraints.LATTICE_NAMES.index(name)
                start = self.lattice.start[k]
                low, high = (0.5 * start, 2.0 * start) if k < 3 else (10.0, 170.0)
                self._add(name, start, low, high, True)

        # Positions: free directions of each orbit's representative.
        # (representative, direction, its pivot axis, parameter index)
        self.position_parameters: List[Tuple[int, np.ndarray, int, int]] = []
        if "xyz" in vary:
            for rep in sorted(set(orbit.tolist())):
                basis = constraints.invariant_basis(self.symmetry.stabilizer(rep, np.mod(self.start_frac, 1.0)), 3)
                for row, axis in zip(basis, constraints.pivots(basis)):
                    name = f"{'xyz'[axis]}({constraints.site_label(structure, rep)})"
                    start = float(self.start_frac[rep, axis])
                    index = self._add(name, start, start - 0.25, start + 0.25, True)
                    self.position_parameters.append((rep, row, axis, index))

        # Occupancies: the split of each mixed orbit, the last element taking what is left.
        self.occupancy_parameters: Dict[Tuple[int, str], int] = {}
        self.occupancy_rest: Dict[int, Tuple[str, float]] = {}
        if "occupancy" in vary:
            for rep in sorted(set(orbit.tolist())):
                species = structure.species[rep]
                if len(species) < 2:
                    continue
                total = sum(species.values())
                elements = list(species)
                for element in elements[:-1]:
                    name = f"occ({element}, {constraints.site_label(structure, rep)})"
                    index = self._add(name, species[element], 0.0, total, True)
                    self.occupancy_parameters[(rep, element)] = index
                self.occupancy_rest[rep] = (elements[-1], total)

        # Displacements.
        self.u_element: Dict[str, int] = {}
        self.u_site: Dict[int, int] = {}
        self.u_aniso: Dict[int, Tuple[np.ndarray, List[int]]] = {}
        present = [e for e in structure.elements if structure.composition[e] > 0]
        if "uaniso" in vary:
            for rep in sorted(set(orbit.tolist())):
                self._add_aniso(rep, u_start)
        elif self.u_per_site:
            for rep in sorted(set(orbit.tolist())):
                value = _site_u(structure, rep, u_start)
                name = f"U({constraints.site_label(structure, rep)})"
                self.u_site[rep] = self._add(name, value, _U_FLOOR, 1.0, "uiso" in vary)
        else:
            for element in present:
                value = u_start[element] if isinstance(u_start, Mapping) else float(u_start)
                self.u_element[element] = self._add(f"U({element})", value, _U_FLOOR, 1.0, "uiso" in vary)

        self._add("delta1", 0.0, 0.0, math.inf, "delta1" in vary)
        self._add("delta2", 0.0, 0.0, math.inf, "delta2" in vary)
        self._add("diameter", math.inf, 1.0, math.inf, "diameter" in vary)
        self.powers = scattering_powers(present, self.radiation)
        self.pairs = None
        self._build_pairs(needed, vary, self.start_metric, self.start_frac)

    # -- parameters
    def _add(self, name: str, value: float, lower: float, upper: float, vary: bool) -> int:
        self.parameters.append(Parameter(self.prefix + name, float(value), lower, upper, vary))
        return len(self.parameters) - 1

    def _add_aniso(self, rep: int, u_start) -> None:
        import numpy as np

        # Site symmetry on U_ij: U -> M U Mᵀ with M = N⁻¹ R N (R fractional, N = diag(a*, b*, c*)).
        scaling = self._reciprocal_lengths(self.start_metric)
        rotations = self.symmetry.stabilizer(rep, np.mod(self.start_frac, 1.0))
        transforms = np.array([np.diag(1.0 / scaling) @ r @ np.diag(scaling) for r in rotations])
        basis = constraints.invariant_basis(transforms, 6)
        # Start isotropic: U_ij = U G⁻¹_ij / sqrt(G⁻¹_ii G⁻¹_jj), that is U on the diagonal, U cos(α*) beside it.
        inverse = np.linalg.inv(self.start_metric)
        iso = _site_u(self.structure, rep, u_start) * inverse / np.outer(scaling, scaling)
        components = np.array([iso[i, j] for i, j in constraints.TENSOR_COMPONENTS])
        indices = []
        label = constraints.site_label(self.structure, rep)
        for axis in constraints.pivots(basis):
            i, j = constraints.TENSOR_COMPONENTS[axis]
            diagonal = i == j
            low, high = (_U_FLOOR, 1.0) if diagonal else (-1.0, 1.0)
            indices.append(self._add(f"U{i + 1}{j + 1}({label})", components[axis], low, high, True))
        self.u_aniso[rep] = (basis, indices)

    @staticmethod
    def _reciprocal_lengths(metric):
        import numpy as np

        return np.sqrt(np.diag(np.linalg.inv(metric)))

    # -- the state at given values
    def metric(self, values) -> np.ndarray:
        if self.lattice is None:
            return self.start_metric
        named = {p.name[len(self.prefix) :]: values[k] for k, p in enumerate(self.parameters)}
        return constraints.metric_from_constants(self.lattice.constants(named))

    def frac(self, values) -> Optional[np.ndarray]:
        import numpy as np

        if not self.position_parameters:
            return None
        shift = {}
        for rep, direction, axis, index in self.position_parameters:
            shift[rep] = shift.get(rep, 0.0) + (values[index] - self.start_frac[rep, axis]) * direction
        frac = self.start_frac.copy()
        for site in range(len(frac)):
            rep = int(self.orbit[site])
            if rep in shift:
                frac[site] += self.symmetry.rotations[self.symmetry.carrier[site]] @ shift[rep]
        return frac

    def _build_pairs(self, needed: float, vary, metric, frac) -> None:
        import numpy as np

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
        current = self.start_frac if frac is None else frac
        self.pairs = SitePairs(self.structure, current, metric, needed, basis, classes, key)
        self.pairs.start_frac = self.start_frac
        self._site_metric = metric

    def ensure_reach(self, values, needed: float, vary) -> None:
        """Find the pairs again if a cell that shrank (or atoms that moved) leave the reach short."""
        import numpy as np

        metric = self.metric(values)
        reference = self._histogram_metric if isinstance(self.pairs, HistogramPairs) else self._site_metric
        # The smallest stretch of any vector from the reference metric to this one.
        shrink = math.sqrt(max(float(np.min(np.linalg.eigvals(np.linalg.solve(reference, metric)).real)), 1e-12))
        frac = self.frac(values)
        if frac is not None:
            moved = np.sqrt(np.einsum("sa,ab,sb->s", frac - self.start_frac, metric, frac - self.start_frac))
            needed += 2.0 * float(np.max(moved))
        if not self.pairs.covers(needed, shrink):
            self._build_pairs(1.25 * needed / shrink, vary, metric, frac)

    def occupancies(self, values) -> np.ndarray:
        """Occupancy of each pair component (site, element) at these values."""
        import numpy as np

        out = np.ones(len(self.pairs.components))
        if not self.pairs.per_site:
            return out
        species = self.structure.species
        for k, (site, element) in enumerate(self.pairs.components):
            rep = int(self.orbit[site])
            if (rep, element) in self.occupancy_parameters:
                out[k] = values[self.occupancy_parameters[(rep, element)]]
            elif rep in self.occupancy_rest and self.occupancy_rest[rep][0] == element:
                total = self.occupancy_rest[rep][1]
                given = sum(values[i] for (r, _), i in self.occupancy_parameters.items() if r == rep)
                out[k] = max(total - given, 0.0)
            else:
                out[k] = species[site][element]
        return out

    def contribution(self, values, grid: np.ndarray, shared: dict) -> np.ndarray:
        """Scale × envelope × G(r) of this phase at the grid points (grid[0] may be 0)."""
        import numpy as np

        metric = self.metric(values)
        volume = math.sqrt(max(float(np.linalg.det(metric)), 1e-300))
        occupancy = self.occupancies(values)
        powers = np.array([self.powers[e] for _, e in self.pairs.components])
        if self.pairs.per_site:
            n_atoms = float(np.sum(occupancy))
            mean_power = float(np.sum(occupancy * powers)) / n_atoms
        else:
            composition = self.structure.composition
            n_atoms = sum(composition[e] for _, e in self.pairs.components)
            mean_power = sum(composition[e] * self.powers[e] for _, e in self.pairs.components) / n_atoms
        pairs = self.pairs
        a, b = pairs.peak_a, pairs.peak_b
        weights = pairs.counts * occupancy[a] * occupancy[b] * powers[a] * powers[b] / (n_atoms * mean_power**2)

        if isinstance(pairs, HistogramPairs):
            stretch = math.sqrt(float(np.trace(metric)) / float(np.trace(self._histogram_metric)))
            distance = pairs.distances(stretch)
            u = np.array([values[self.u_element[e]] for _, e in pairs.components])
            variance = u[a] + u[b]
        else:
            delta = pairs.vectors(self.frac(values))
            group_distance = np.sqrt(np.einsum("ka,ab,kb->k", delta, metric, delta))
            distance = group_distance[pairs.peak_group]
            variance = self._pair_variances(values, metric, delta, group_distance)
        delta1, delta2 = values[self._index("delta1")], values[self._index("delta2")]
        if delta1 or delta2:
            factor = 1.0 - delta1 / distance - delta2 / distance**2
            variance = variance * np.maximum(factor, SHARPENING_FLOOR)
        qbroad = shared["qbroad"]
        if qbroad:
            variance = variance * (1.0 + (qbroad * distance) ** 2)
        step = float(grid[1] - grid[0])
        sums = peak_sums(distance, weights, np.sqrt(variance), float(grid[0]), step, len(grid))
        g = np.divide(sums, grid, out=np.zeros_like(sums), where=grid > 0) - (_FOUR_PI * n_atoms / volume) * grid
        diameter = values[self._index("diameter")]
        if math.isfinite(diameter):
            g *= sphere_envelope(grid, diameter)
        return values[self._index("scale")] * g

    def _pair_variances(self, values, metric, delta, group_distance) -> np.ndarray:
        """σ² of each peak: U_a + U_b, or the site tensors projected on the bond."""
        import numpy as np

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
        import numpy as np

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

    def _index(self, name: str) -> int:
        for k, p in enumerate(self.parameters):
            if p.name == self.prefix + name:
                return k
        raise KeyError(name)

    def mean_power_squared(self, values) -> float:
        occupancy = self.occupancies(values)
        if self.pairs.per_site:
            total = sum(occupancy[k] for k in range(len(occupancy)))
            mean = sum(occupancy[k] * self.powers[e] for k, (_, e) in enumerate(self.pairs.components)) / total
        else:
            composition = self.structure.composition
            total = sum(composition[e] for e in self.powers)
            mean = sum(composition[e] * self.powers[e] for e in self.powers) / total
        return mean * mean

    def refined_structure(self, values) -> Structure:
        """The structure with the refined lattice, positions and occupancies."""
        import numpy as np

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


def sphere_envelope(r, diameter: float):
    """The fraction of pairs a sphere of this diameter keeps at distance r: 1 − 3/2 x + 1/2 x³, x = r/d ≤ 1."""
    import numpy as np

    x = np.asarray(r) / diameter
    return np.where(x < 1.0, 1.0 - 1.5 * x + 0.5 * x**3, 0.0)


def _site_u(structure: Structure, site: int, u_start) -> float:
    if isinstance(u_start, Mapping):
        species = structure.species[site]
        total = sum(species.values()) or 1.0
        return sum(o * u_start[e] for e, o in species.items()) / total
    return float(u_start)


# ---- the model over all phases -------------------------------------------------------------------


class _Model:
    """All phases, the shared instrument parameters and the grid the model is summed on."""

    def __init__(self, phases: List[_Phase], ensemble: bool, qmax: Optional[float], r_fit, instrument: dict, vary):
        import numpy as np

        self.phases = phases
        self.ensemble = ensemble
        self.qmax = qmax
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
        for name in ("qdamp", "qbroad"):
            index[name] = len(self.parameters)
            self.parameters.append(Parameter(name, instrument[name], 0.0, 1.0, name in vary))
        self.index = index
        self.r_fit = r_fit
        self._grid, self._take = _evaluation_grid(r_fit, qmax)

    def needed_reach(self, values) -> float:
        """How far pairs must be known: the grid's end plus the widest Gaussian's reach."""
        widest = 0.0
        for phase, mapping in zip(self.phases, self.maps):
            local = values[mapping]
            u = [local[k] for k, p in enumerate(phase.parameters) if p.name[len(phase.prefix) :].startswith("U")]
            widest = max(widest, 2.0 * max(u, default=0.0))
        end = float(self._grid[-1])
        sigma = math.sqrt(widest + (values[self.index["qbroad"]] * end) ** 2)
        return end + PEAK_REACH * sigma + 0.5

    def evaluate(self, values) -> np.ndarray:
        import numpy as np

        shared = {"qbroad": values[self.index["qbroad"]]}
        total = np.zeros(len(self._grid))
        needed = self.needed_reach(values)
        for phase, mapping in zip(self.phases, self.maps):
            local = values[mapping]
            phase.ensure_reach(local, needed, self.vary)
            total += phase.contribution(local, self._grid, shared)
        if self.ensemble:
            total /= len(self.phases)
        return self._finish(total, values)

    def phase_curves(self, values) -> List[np.ndarray]:
        """Each phase's own scaled curve on the fit points, with the shared termination and damping."""
        shared = {"qbroad": values[self.index["qbroad"]]}
        return [
            self._finish(phase.contribution(values[mapping], self._grid, shared), values)
            for phase, mapping in zip(self.phases, self.maps)
        ]

    def _finish(self, total, values):
        import numpy as np

        if self.qmax is not None:
            total = terminate(total, float(self._grid[1] - self._grid[0]), self.qmax)
        qdamp = values[self.index["qdamp"]]
        if qdamp:
            total = total * np.exp(-0.5 * (qdamp * self._grid) ** 2)
        return self._take(total)


def _evaluation_grid(r_fit, qmax: Optional[float]):
    """A uniform grid the model is summed on, and how to read the fit points off it.

    Without qmax the grid is the fit points themselves when they are
    uniform. The cut-off at qmax needs the model from r = 0 and well past the
    last point (its ripples reach far), on a step of at most π / (4 qmax).
    Points off the grid are read by cubic interpolation.
    """
    import numpy as np

    diffs = np.diff(r_fit)
    uniform = len(r_fit) > 1 and float(np.ptp(diffs)) <= 1e-6 * float(np.mean(diffs))
    step = float(np.mean(diffs)) if uniform else (float(np.min(diffs)) / 2.0 if len(r_fit) > 1 else 0.01)
    if qmax is None:
        if uniform:
            return r_fit.copy(), lambda curve: curve
        start, end = float(r_fit[0]), float(r_fit[-1])
    else:
        step = step / math.ceil(step / (math.pi / (4.0 * qmax)))
        start, end = 0.0, float(r_fit[-1]) + TERMINATION_PERIODS * 2.0 * math.pi / qmax
    count = int(math.ceil((end - start) / step)) + 1
    grid = start + np.arange(count) * step
    position = (r_fit - start) / step
    nearest = np.rint(position).astype(int)
    if np.all(np.abs(position - nearest) < 1e-6):
        return grid, lambda curve: curve[nearest]
    from scipy.interpolate import CubicSpline

    return grid, lambda curve: CubicSpline(grid, curve)(r_fit)


def terminate(curve, step: float, qmax: float):
    """Cut a curve on the points 0, step, 2 step, ... off at qmax: a sine transform, zeroed above qmax, and back.

    G(r) and F(Q) are a sine-transform pair; the discrete transform of the
    curve's odd extension holds F at Q_k = π k / (n step), and keeping only
    Q_k ≤ qmax is the convolution with sin(qmax r)/(π r) that a finite Q
    range makes. The curve is padded with zeros to a fast length; that
    puts the periodic images of the odd extension beyond its end.
    """
    import numpy as np
    from scipy import fft

    n = fft.next_fast_len(2 * len(curve))
    padded = np.zeros(n)
    padded[: len(curve)] = curve
    # DST-I of the interior points 1 .. n-1 (the ends are the zeros of the odd extension).
    coefficients = fft.dst(padded[1:], type=1)
    q = math.pi * np.arange(1, n) / (n * step)
    coefficients[q > qmax] = 0.0
    out = np.empty(len(curve))
    out[0] = 0.0
    out[1:] = fft.idst(coefficients, type=1)[: len(curve) - 1]
    return out


# ---- the call ------------------------------------------------------------------------------------

StructureLike = Union[Structure, str, "os.PathLike[str]"]


def refine_pdf(
    structure: Union[StructureLike, Sequence[StructureLike]],
    data: Union[MeasuredPdf, str, "os.PathLike[str]"],
    radiation: Optional[str] = None,
    vary: Union[str, Sequence[str]] = ("scale", "lattice", "uiso", "qdamp"),
    rmin: Optional[float] = None,
    rmax: Optional[float] = None,
    qmax: Optional[float] = None,
    qdamp: Optional[float] = None,
    u_iso=None,
    u_per: str = "element",
    start: Optional[Mapping[str, float]] = None,
    bounds: Optional[Mapping[str, Tuple[float, float]]] = None,
    ensemble: bool = False,
    symprec: float = 1e-3,
    max_evaluations: Optional[int] = None,
    n_threads: int = 0,
):
    """Refine a structure model against a measured G(r); returns a :class:`PdfRefinement`.

    ``structure``: a Structure or a structure file; a list of them refines
    several phases, each with its own scale and structural parameters
    (named "phase1.scale", "phase2.U(O)", ...) and shared qdamp and qbroad;
    with ``ensemble=True`` the list is the orderings of one disordered
    structure, the model their mean G(r), every parameter shared.

    ``data``: a ``.gr`` path or what :func:`read_gr` returns. ``radiation``,
    ``qmax`` and ``qdamp`` (the start value) default to what the file's
    header states (keys ``qmax``, ``qdamp``, ``stype``/``mode``/``radiation``,
    see :func:`header_settings`), else X-ray, no cut-off and 0; given here
    they win. ``rmin``/``rmax`` bound the fit range (default: all points).

    ``vary`` names what the fit varies (a list, or one comma-separated
    text): scale, lattice, uiso, uaniso, delta1, delta2, qdamp, qbroad,
    diameter, xyz, occupancy. The rest stay at their start values.
    ``u_iso`` is the start U (a number or {element: U}; default: a CIF's
    own, else 0.005 Å²); ``u_per="site"`` gives each orbit of
    symmetry-equivalent sites its own U instead of one per element.
    ``start`` and ``bounds`` set any parameter's start value and bounds by
    its name (the names are those of ``PdfRefinement.values``).
    """
    import time

    import numpy as np
    from scipy.optimize import least_squares

    began = time.perf_counter()
    vary_set = _vary_names(vary)
    measured = data if isinstance(data, MeasuredPdf) else read_gr(data)
    found = header_settings(measured)
    settings: Dict[str, str] = {}
    radiation = _setting("radiation", radiation, found, "xray", settings)
    if radiation not in RADIATIONS:
        raise ValueError(f"radiation must be 'xray' or 'neutron', got '{radiation}'")
    qmax = _setting("qmax", qmax, found, None, settings)
    qdamp_start = _setting("qdamp", qdamp, found, None, settings)
    if qmax is not None and not (math.isfinite(qmax) and qmax > 0):
        raise ValueError(f"qmax must be a positive number, got {qmax!r}")
    r_fit, g_obs, dg = _fit_range(measured, rmin, rmax)
    if u_per not in ("element", "site"):
        raise ValueError(f"u_per must be 'element' or 'site', got '{u_per}'")

    structures, u_starts = _phase_structures(structure, u_iso)
    if ensemble and len(structures) < 2:
        raise ValueError("ensemble=True needs a list of at least two orderings")
    instrument = {
        "qdamp": qdamp_start if qdamp_start is not None else (0.01 if "qdamp" in vary_set else 0.0),
        "qbroad": 0.01 if "qbroad" in vary_set else 0.0,
    }
    options = {"radiation": radiation, "n_threads": n_threads, "u_per": u_per, "symprec": symprec, "scale": 1.0}
    reach = float(r_fit[-1]) + (TERMINATION_PERIODS * 2.0 * math.pi / qmax if qmax else 0.0)
    guess = reach + PEAK_REACH * math.sqrt(2.0 * _largest_u(u_starts) + (instrument["qbroad"] * reach) ** 2) + 1.0
    phases = []
    for k, (phase_structure, u_start) in enumerate(zip(structures, u_starts)):
        prefix = f"phase{k + 1}." if len(structures) > 1 and not ensemble else ""
        phase = _Phase(phase_structure, prefix, vary_set, options, u_start, guess)
        phases.append(phase)
    _check_vary_has_parameters(phases, vary_set)
    model = _Model(phases, ensemble, qmax, r_fit, instrument, vary_set)
    if "diameter" in vary_set:
        for p in model.parameters:
            if p.name.endswith("diameter"):
                p.value = 4.0 * float(r_fit[-1])
    _apply_user_settings(model.parameters, start, bounds)

    free = [k for k, p in enumerate(model.parameters) if p.vary]
    values = np.array([p.value for p in model.parameters])
    weights = 1.0 / dg if dg is not None else np.ones(len(r_fit))
    evaluations = [0]

    def residuals(x):
        evaluations[0] += 1
        values[free] = x
        return (g_obs - model.evaluate(values)) * weights

    x0 = values[free].copy()
    lower = np.array([model.parameters[k].lower for k in free])
    upper = np.array([model.parameters[k].upper for k in free])
    solution = least_squares(
        residuals, x0, bounds=(lower, upper), x_scale="jac", method="trf", max_nfev=max_evaluations
    )
    values[free] = solution.x
    g_calc = model.evaluate(values)
    return _result(model, values, free, solution, r_fit, g_obs, g_calc, dg, weights, settings, evaluations, began)


def _result(model, values, free, solution, r_fit, g_obs, g_calc, dg, weights, settings, evaluations, began):
    import time

    import numpy as np

    from kestrel.scattering.refinement import PdfRefinement

    difference = g_obs - g_calc
    n, p = len(r_fit), len(free)
    chi2 = float(np.sum((difference * weights) ** 2))
    reduced = chi2 / max(n - p, 1)
    names = [model.parameters[k].name for k in free]
    warnings_found: List[str] = []
    jac = np.asarray(solution.jac)
    try:
        covariance = np.linalg.inv(jac.T @ jac) * reduced
    except np.linalg.LinAlgError:
        covariance = np.linalg.pinv(jac.T @ jac) * reduced
        warnings_found.append("the parameters are not all independent: the Jacobian is singular")
    errors = np.sqrt(np.maximum(np.diag(covariance), 0.0))
    with np.errstate(invalid="ignore", divide="ignore"):
        correlations = covariance / np.outer(errors, errors)
    correlations = np.nan_to_num(correlations)
    at_bounds = []
    for k, name in zip(free, names):
        parameter = model.parameters[k]
        span = parameter.upper - parameter.lower if math.isfinite(parameter.upper - parameter.lower) else 1.0
        closeness = 1e-6 * max(span, abs(values[k]), 1e-12)
        for side, bound in (("lower", parameter.lower), ("upper", parameter.upper)):
            if math.isfinite(bound) and abs(values[k] - bound) <= closeness:
                at_bounds.append(name)
                warnings_found.append(f"'{name}' ran to its {side} bound {bound:g}")
    converged = bool(solution.status > 0)
    if not converged:
        warnings_found.append(f"the fit did not converge: {solution.message}")
    for text in warnings_found:
        warnings.warn(text, RuntimeWarning, stacklevel=3)
    weighted = not np.all(weights == 1.0)
    rw = math.sqrt(chi2 / float(np.sum((g_obs * weights) ** 2)))
    rw_plain = math.sqrt(float(np.sum(difference**2)) / float(np.sum(g_obs**2)))
    phase_curves, phase_names, fractions = [], [], None
    if len(model.phases) > 1:
        phase_curves = model.phase_curves(values)
        phase_names = [ph.prefix.rstrip(".") or f"ordering {k + 1}" for k, ph in enumerate(model.phases)]
        if not model.ensemble:
            shares = []
            for phase, mapping in zip(model.phases, model.maps):
                local = values[mapping]
                shares.append(local[phase._index("scale")] / phase.mean_power_squared(local))
            total = sum(shares)
            fractions = {name: share / total for name, share in zip(phase_names, shares)} if total > 0 else None
    return PdfRefinement(
        rw=rw,
        rw_unweighted=rw_plain,
        weighted=weighted,
        values={p.name: float(values[k]) for k, p in enumerate(model.parameters)},
        uncertainties={name: float(e) for name, e in zip(names, errors)},
        varied=names,
        correlations=correlations,
        r=r_fit,
        g_obs=g_obs,
        g_calc=g_calc,
        difference=difference,
        dg=dg,
        rmin=float(r_fit[0]),
        rmax=float(r_fit[-1]),
        reduced_chi2=reduced,
        converged=converged,
        message=str(solution.message),
        n_evaluations=evaluations[0],
        seconds=time.perf_counter() - began,
        at_bounds=at_bounds,
        warnings=warnings_found,
        settings=settings,
        phase_curves=phase_curves,
        phase_names=phase_names,
        phase_fractions=fractions,
        ensemble=model.ensemble,
        structures=[phase.refined_structure(values[m]) for phase, m in zip(model.phases, model.maps)],
    )


def _vary_names(vary) -> frozenset:
    if isinstance(vary, str):
        vary = [v.strip() for v in vary.split(",") if v.strip()]
    names = list(vary)
    for name in names:
        if name not in VARY_NAMES:
            raise ValueError(f"unknown name '{name}' in vary: choose from {', '.join(VARY_NAMES)}")
    if not names:
        raise ValueError(f"vary names nothing to refine: choose from {', '.join(VARY_NAMES)}")
    return frozenset(names)


def _setting(key: str, given, found: dict, default, settings: Dict[str, str]):
    if given is not None:
        settings[key] = f"{given} (given)"
        return given
    if key in found:
        settings[key] = f"{found[key]} (data header)"
        return found[key]
    settings[key] = f"{default} (default)"
    return default


def _fit_range(measured: MeasuredPdf, rmin, rmax):
    import numpy as np

    low = float(measured.r[0]) if rmin is None else float(rmin)
    high = float(measured.r[-1]) if rmax is None else float(rmax)
    if not low < high:
        raise ValueError(f"rmin must be below rmax, got {low:g} and {high:g}")
    keep = (measured.r >= low) & (measured.r <= high)
    if np.count_nonzero(keep) < 2:
        raise ValueError(f"no data points between rmin = {low:g} and rmax = {high:g} Å")
    dg = None
    if measured.dg is not None:
        dg = np.asarray(measured.dg[keep], dtype=float)
        if not np.all(dg > 0):
            raise ValueError("the data's dG column holds values that are not positive; they cannot weigh the fit")
    return np.asarray(measured.r[keep], dtype=float), np.asarray(measured.g[keep], dtype=float), dg


def _phase_structures(structure, u_iso):
    from kestrel.io.readers import read_structure
    from kestrel.scattering.displacements import DEFAULT_U_ISO, cif_u_iso

    given = list(structure) if isinstance(structure, (list, tuple)) else [structure]
    structures, u_starts = [], []
    for item in given:
        if isinstance(item, Structure):
            structures.append(item)
            u_starts.append(DEFAULT_U_ISO if u_iso is None else u_iso)
            continue
        path = os.fspath(item)
        loaded = read_structure(path)
        structures.append(loaded)
        if u_iso is None and path.lower().endswith(".cif"):
            u_starts.append(cif_u_iso(path, loaded)[0])
        else:
            u_starts.append(DEFAULT_U_ISO if u_iso is None else u_iso)
    return structures, u_starts


def _largest_u(u_starts) -> float:
    largest = 0.0
    for u in u_starts:
        largest = max(largest, max(u.values()) if isinstance(u, Mapping) else float(u))
    return largest


def _check_vary_has_parameters(phases: List[_Phase], vary: frozenset) -> None:
    if "xyz" in vary and not any(p.position_parameters for p in phases):
        raise ValueError("vary names xyz, but every site sits where its site symmetry fixes it: no position is free")
    if "occupancy" in vary and not any(p.occupancy_parameters for p in phases):
        raise ValueError("vary names occupancy, but no site is shared by two or more elements")


def _apply_user_settings(parameters: List[Parameter], start, bounds) -> None:
    by_name = {p.name: p for p in parameters}

    def find(name: str) -> Parameter:
        if name not in by_name:
            raise ValueError(f"unknown parameter '{name}': this model's parameters are {', '.join(by_name)}")
        return by_name[name]

    for name, limits in (bounds or {}).items():
        parameter = find(name)
        try:
            low, high = (float(v) for v in limits)
        except (TypeError, ValueError):
            raise ValueError(f"bounds of '{name}' must be a pair of numbers (lower, upper), got {limits!r}") from None
        if not low < high:
            raise ValueError(f"bounds of '{name}' must have lower < upper, got ({low:g}, {high:g})")
        parameter.lower, parameter.upper = low, high
    for name, value in (start or {}).items():
        parameter = find(name)
        try:
            parameter.value = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"start value of '{name}' must be a number, got {value!r}") from None
    for parameter in parameters:
        if parameter.vary and not parameter.lower <= parameter.value <= parameter.upper:
            raise ValueError(
                f"start value {parameter.value:g} of '{parameter.name}' lies outside its bounds "
                f"[{parameter.lower:g}, {parameter.upper:g}]"
            )
