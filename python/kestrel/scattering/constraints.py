"""What a crystal's symmetry leaves free to refine: lattice constants, positions, displacement tensors.

The symmetry operations come from spglib, found on the structure itself (not
read from a file), in the structure's own cell and setting. A site's species
and occupancies are part of what must match, so a mixed site is only ever
equivalent to sites mixed the same way.

Each constraint is the same computation: the tensors (vectors, metric
tensors, displacement tensors) a set of operations leaves unchanged form a
linear space; its basis, in reduced row echelon form over the tensor's
components, names one component per free parameter (the pivot) and says how
the others follow from it.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Dict, List, Sequence, Tuple

import numpy as np
from scipy.spatial import cKDTree

from kestrel._kestrel import Structure

# Components of a symmetric 3×3 tensor, in the order of their parameters.
TENSOR_COMPONENTS = ((0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2))
LATTICE_NAMES = ("a", "b", "c", "alpha", "beta", "gamma")


def _spglib():
    try:
        import spglib
    except ImportError as error:
        raise ImportError('symmetry constraints come from spglib: pip install "kestrel[pdf]"') from error
    return spglib


@dataclass
class CrystalSymmetry:
    """The operations of a structure's space group, and its sites sorted into orbits.

    ``rotations[k]`` and ``translations[k]`` act on fractional coordinates;
    ``orbit[i]`` is the representative (lowest index) of site i's orbit and
    ``carrier[i]`` an operation taking the representative onto site i.
    """

    space_group: str
    rotations: np.ndarray
    translations: np.ndarray
    orbit: np.ndarray
    carrier: np.ndarray

    def point_rotations(self) -> np.ndarray:
        """The distinct rotations (a supercell repeats each once per translation)."""
        return _distinct(self.rotations)

    def stabilizer(self, site: int, frac: np.ndarray) -> np.ndarray:
        """The rotations of the operations that leave site ``site`` where it is."""

        moved = frac[site] @ self.rotations.transpose(0, 2, 1) + self.translations
        offset = moved - frac[site]
        keep = np.all(np.abs(offset - np.rint(offset)) < 1e-4, axis=1)
        return _distinct(self.rotations[keep])


def _distinct(rotations: np.ndarray) -> np.ndarray:
    """The distinct integer matrices among ``rotations``, each once, by a number that names each."""
    # Entries of a crystallographic rotation lie in -2 .. 2 in any reduced setting; base 7 leaves room.
    codes = (np.rint(rotations).astype(np.int64).reshape(len(rotations), 9) + 3) @ (7 ** np.arange(9))
    _, first = np.unique(codes, return_index=True)
    return rotations[np.sort(first)]


def site_signatures(structure: Structure) -> List[str]:
    """One text per site naming its species and occupancies, equal for sites that may be equivalent."""
    return [",".join(f"{e}:{o:.6f}" for e, o in sorted(s.items())) for s in structure.species]


def site_label(structure: Structure, site: int) -> str:
    """'Ni0', 'Fe/Co3': the site's elements and its index."""
    return "/".join(structure.species[site]) + str(site)


def crystal_symmetry(structure: Structure, symprec: float = 1e-3, with_orbits: bool = True) -> CrystalSymmetry:
    """The space group of ``structure`` in its own cell, and (``with_orbits``) its site orbits."""
    signatures = site_signatures(structure)
    kinds = {text: k for k, text in enumerate(dict.fromkeys(signatures))}
    frac = np.mod(np.asarray(structure.frac_coords, dtype=float), 1.0)
    cell = (np.asarray(structure.lattice_matrix), frac, [kinds[t] for t in signatures])
    with warnings.catch_warnings():
        # spglib 2.5 warns about its own change of error handling on every call.
        warnings.simplefilter("ignore", DeprecationWarning)
        dataset = _spglib().get_symmetry_dataset(cell, symprec=symprec)
    if dataset is None:
        raise ValueError(f"spglib found no symmetry for this structure at symprec {symprec:g}")
    rotations = np.asarray(dataset.rotations, dtype=float)
    translations = np.asarray(dataset.translations, dtype=float)
    n = len(signatures)
    orbit = np.arange(n)
    carrier = np.zeros(n, dtype=int)
    if with_orbits:
        orbit, carrier = _orbits(frac, rotations, translations, 10 * symprec)
    symbol = f"{dataset.international} ({dataset.number})"
    return CrystalSymmetry(symbol, rotations, translations, orbit, carrier)


def _orbits(frac: np.ndarray, rotations: np.ndarray, translations: np.ndarray, tolerance: float):
    """The representative (lowest index) of each site's orbit, and an operation carrying it onto the site.

    The images of a representative under every operation are looked up
    among the sites in a periodic k-d tree (scipy), so a supercell with
    thousands of operations and sites costs operations × orbits look-ups,
    not operations × sites² comparisons. An image matches a site within
    ``tolerance`` along each axis.
    """
    n = len(frac)
    wrapped = np.mod(frac, 1.0)
    wrapped[wrapped >= 1.0] = 0.0
    tree = cKDTree(wrapped, boxsize=1.0)
    orbit = np.full(n, -1)
    carrier = np.zeros(n, dtype=int)
    for site in range(n):
        if orbit[site] >= 0:
            continue
        images = np.mod(wrapped[site] @ rotations.transpose(0, 2, 1) + translations, 1.0)
        images[images >= 1.0] = 0.0
        _, found = tree.query(images, distance_upper_bound=tolerance * math.sqrt(3.0))
        hit = found < n
        offset = images[hit] - wrapped[found[hit]]
        close = np.all(np.abs(offset - np.rint(offset)) < tolerance, axis=1)
        operations, others = np.flatnonzero(hit)[close], found[hit][close]
        # The first operation onto each site carries the representative there.
        others, first = np.unique(others, return_index=True)
        fresh = orbit[others] < 0
        orbit[others[fresh]] = site
        carrier[others[fresh]] = operations[first[fresh]]
        if orbit[site] < 0:
            orbit[site] = site
    return orbit, carrier


@dataclass
class FloatingAxis:
    """A direction the space group lets the origin slide along, and the position parameters along it."""

    direction: str
    parameters: List[int]


def _direction_name(direction: np.ndarray) -> str:
    """'c' for a lattice axis, '[1 1 0]' for another direction (in its smallest whole numbers when it has them)."""
    nonzero = np.flatnonzero(np.abs(direction) > 1e-9)
    if len(nonzero) == 1:
        return "abc"[int(nonzero[0])]
    scaled = direction / np.min(np.abs(direction[nonzero]))
    whole = np.rint(scaled)
    shown = whole if np.allclose(scaled, whole, atol=1e-6) else np.round(scaled, 3)
    return "[" + " ".join(f"{v:g}" for v in shown) + "]"


def floating_axes(symmetry: CrystalSymmetry, along: Sequence[Tuple[int, int]]) -> List[FloatingAxis]:
    """The directions along which the whole structure may slide: those every rotation of the group keeps.

    A shift along such a direction (the polar axis of P6₃mc, any direction
    in P1) moves every orbit alike and leaves every distance as it was, so
    G(r) cannot see it: each orbit's position parameter along it is one
    more way to make the same shift. ``along`` gives each position
    parameter as (the pivot axis of its direction, its index).
    """
    polar = invariant_basis(symmetry.point_rotations(), 3)
    out = []
    for direction, axis in zip(polar, pivots(polar)):
        indices = [index for pivot, index in along if pivot == axis]
        if indices:
            out.append(FloatingAxis(_direction_name(direction), indices))
    return out


def invariant_basis(transforms: np.ndarray, dimension: int) -> np.ndarray:
    """Basis of the vectors (dimension 3) or symmetric tensors (dimension 6) each transform leaves unchanged.

    A vector v goes to M v, a tensor S to M S Mᵀ. The average of the
    transformed unit vectors or tensors spans the invariant space (the
    transforms form a group). Rows of the result are in reduced row echelon
    form over the components (x, y, z or TENSOR_COMPONENTS): each row has a
    1 in its own pivot component and 0 in every other row's pivot.
    """
    projected = []
    for k in range(dimension):
        if dimension == 3:
            unit = np.zeros(3)
            unit[k] = 1.0
            projected.append(np.mean(transforms @ unit, axis=0))
        else:
            i, j = TENSOR_COMPONENTS[k]
            unit = np.zeros((3, 3))
            unit[i, j] = unit[j, i] = 1.0
            mean = np.mean(transforms @ unit @ transforms.transpose(0, 2, 1), axis=0)
            projected.append(np.array([mean[a, b] for a, b in TENSOR_COMPONENTS]))
    return _row_echelon(np.array(projected))


def _row_echelon(rows: np.ndarray, tolerance: float = 1e-8) -> np.ndarray:
    matrix = rows.astype(float).copy()
    basis = []
    pivot_row = 0
    for column in range(matrix.shape[1]):
        if pivot_row == len(matrix):
            break
        best = pivot_row + int(np.argmax(np.abs(matrix[pivot_row:, column])))
        if abs(matrix[best, column]) < tolerance:
            continue
        matrix[[pivot_row, best]] = matrix[[best, pivot_row]]
        matrix[pivot_row] /= matrix[pivot_row, column]
        for other in range(len(matrix)):
            if other != pivot_row:
                matrix[other] -= matrix[other, column] * matrix[pivot_row]
        basis.append(pivot_row)
        pivot_row += 1
    result = matrix[:pivot_row]
    result[np.abs(result) < tolerance] = 0.0
    return result


def pivots(basis: np.ndarray) -> List[int]:
    """The pivot component of each row of a reduced row echelon basis."""
    return [int(np.flatnonzero(row)[0]) for row in basis]


def tensor_from_components(components: np.ndarray) -> np.ndarray:
    """The symmetric 3×3 tensor(s) of the last axis's six TENSOR_COMPONENTS."""
    components = np.asarray(components, dtype=float)
    tensor = np.zeros(components.shape[:-1] + (3, 3))
    for k, (i, j) in enumerate(TENSOR_COMPONENTS):
        tensor[..., i, j] = components[..., k]
        tensor[..., j, i] = components[..., k]
    return tensor


def lattice_constants(metric: np.ndarray) -> Tuple[float, ...]:
    """(a, b, c, alpha, beta, gamma) of a metric tensor, angles in degrees."""
    lengths = [math.sqrt(metric[k, k]) for k in range(3)]

    def angle(i: int, j: int) -> float:
        return math.degrees(math.acos(max(-1.0, min(1.0, metric[i, j] / (lengths[i] * lengths[j])))))

    return (*lengths, angle(1, 2), angle(0, 2), angle(0, 1))


def metric_from_constants(constants: Sequence[float]) -> np.ndarray:
    a, b, c, alpha, beta, gamma = constants
    cos = [math.cos(math.radians(x)) for x in (alpha, beta, gamma)]
    return np.array(
        [
            [a * a, a * b * cos[2], a * c * cos[1]],
            [a * b * cos[2], b * b, b * c * cos[0]],
            [a * c * cos[1], b * c * cos[0], c * c],
        ]
    )


@dataclass
class LatticeFreedom:
    """Which lattice constants a crystal's symmetry leaves free, and which follow them.

    ``free`` names the refinable constants; ``follows[k]`` is the index of
    the constant that constant k equals (itself when free), or None when
    the symmetry fixes it (an angle of 90° or 120°).
    """

    free: List[str]
    follows: List[object]
    start: Tuple[float, ...]

    def constants(self, values: Dict[str, float]) -> Tuple[float, ...]:
        out = []
        for k, rule in enumerate(self.follows):
            out.append(self.start[k] if rule is None else values.get(LATTICE_NAMES[rule], self.start[rule]))
        return tuple(out)


def lattice_freedom(structure: Structure, symmetry: CrystalSymmetry) -> LatticeFreedom:
    """The lattice constants a structure's space group lets vary, found from the metrics it allows.

    Metric tensors G left unchanged by every rotation (Rᵀ G R = G) form a
    linear space; random members of it show which constants stay fixed and
    which stay equal to one another. That covers every crystal system in
    any setting whose constraints are equalities and fixed angles.
    """
    transposed = symmetry.point_rotations().transpose(0, 2, 1)
    basis = invariant_basis(transposed, 6)
    start_metric = np.asarray(structure.lattice_matrix) @ np.asarray(structure.lattice_matrix).T
    start = lattice_constants(start_metric)
    rng = np.random.default_rng(7)
    start_components = np.array([start_metric[i, j] for i, j in TENSOR_COMPONENTS])
    samples = []
    for _ in range(4):
        # A small random step within the allowed metrics keeps the cell valid.
        coefficients = rng.normal(size=len(basis)) * 0.05 * float(np.max(np.abs(start_components)))
        metric = tensor_from_components(start_components + coefficients @ basis)
        samples.append(lattice_constants(metric))
    samples = np.array(samples)
    follows: List[object] = []
    free: List[str] = []
    for k in range(6):
        if np.ptp(samples[:, k]) < 1e-7 * max(1.0, abs(samples[0, k])):
            follows.append(None)
            continue
        same = [m for m in range(k) if follows[m] == m and np.allclose(samples[:, k], samples[:, m], rtol=1e-9)]
        follows.append(same[0] if same else k)
        if not same:
            free.append(LATTICE_NAMES[k])
    if len(free) != len(basis):
        raise ValueError(
            f"the lattice of space group {symmetry.space_group} in this setting is constrained in a way "
            "that is not a set of equal lengths and fixed angles; refine it in a standard setting"
        )
    return LatticeFreedom(free=free, follows=follows, start=start)


def cholesky_lattice(metric: np.ndarray) -> np.ndarray:
    """A lattice matrix (rows a, b, c) with this metric: a along x, b in the xy plane."""
    return np.linalg.cholesky(metric)
