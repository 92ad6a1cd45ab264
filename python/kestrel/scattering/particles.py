"""Finite clusters: particles cut from a crystal, and the objects taken as a cluster.

A cluster is a kestrel Structure whose sites are read as a finite object:
each site sits where its stored (unwrapped) coordinates put it, and the
lattice only frames the coordinates. The box the functions here build for
a cluster is a cube around its atoms.
"""

from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from kestrel._kestrel import Structure, read_xyz_trajectory
from kestrel.io.interop import as_structure

SHAPES = ("sphere", "cube")

# Å added around the atoms of a cluster to make its framing box.
_BOX_MARGIN = 1.0


def _box(cart: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """A cubic box around Cartesian positions and the positions moved into it."""

    low = cart.min(axis=0) if len(cart) else np.zeros(3)
    high = cart.max(axis=0) if len(cart) else np.zeros(3)
    edge = float(np.max(high - low)) + 2.0 * _BOX_MARGIN
    return np.eye(3) * edge, cart - low + _BOX_MARGIN


def cluster_from_positions(positions, symbols: Sequence[str], occupancies=None) -> Structure:
    """A cluster of whole or partly occupied atoms at Cartesian positions (Å), one element each."""

    cart = np.asarray(positions, dtype=float)
    if cart.ndim != 2 or cart.shape[1] != 3:
        raise ValueError(f"positions must have shape (n, 3), got {cart.shape}")
    lattice, moved = _box(cart)
    return Structure.from_arrays(lattice, moved, list(symbols), occupancies, cartesian=True)


def _molecule(obj: Any) -> Optional[Structure]:
    """An ASE Atoms without a cell or a pymatgen Molecule, as a cluster; None for anything else."""

    module = type(obj).__module__.split(".")[0]
    if module == "ase" and hasattr(obj, "get_chemical_symbols"):
        if abs(np.linalg.det(np.asarray(obj.cell[:], dtype=float))) < 1e-12:
            return cluster_from_positions(obj.positions, obj.get_chemical_symbols())
    if module == "pymatgen" and hasattr(obj, "sites") and not hasattr(obj, "lattice"):
        species: List[Dict[str, float]] = [
            {str(getattr(el, "symbol", el)): float(amount) for el, amount in site.species.items()} for site in obj.sites
        ]
        cart = np.array([site.coords for site in obj.sites], dtype=float)
        lattice, moved = _box(cart)
        frac = np.linalg.solve(lattice.T, moved.T).T
        return Structure(lattice.tolist(), frac.tolist(), species)
    return None


def as_cluster(obj: Any, caller: str) -> Structure:
    """``obj`` as a cluster Structure: a Structure as it is, ASE / pymatgen objects converted,
    a tuple ``(positions, symbols[, occupancies])`` of Cartesian positions built into one."""
    if isinstance(obj, Structure):
        return obj
    if isinstance(obj, tuple) and len(obj) in (2, 3):
        return cluster_from_positions(*obj)
    molecule = _molecule(obj)
    if molecule is not None:
        return molecule
    return as_structure(obj, caller)


def read_cluster(path: Union[str, "os.PathLike[str]"]) -> Structure:
    """A cluster from a file: an XYZ file with or without a lattice, or any structure file
    :func:`kestrel.read_structure` reads (whose sites are then taken as they stand, without images)."""
    from kestrel.io import read_structure
    from kestrel.io.readers import format_from_name

    path = os.fspath(path)
    if format_from_name(path) != "xyz":
        return read_structure(path)
    # A frame without a Lattice field takes this cell; a unit cube leaves the
    # Cartesian coordinates as they are, stored unwrapped.
    frames, _, _ = read_xyz_trajectory(path, stop=1, cell=[[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
    if not frames:
        raise ValueError(f"'{path}' holds no frame")
    cluster = frames[0]
    if cluster.lattice_matrix == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]:
        lattice, moved = _box(np.asarray(cluster.cart_coords, dtype=float))
        frac = np.linalg.solve(lattice.T, moved.T).T
        return Structure(lattice.tolist(), frac.tolist(), cluster.species)
    return cluster


def unit_offsets(structure: Structure, frac: np.ndarray) -> np.ndarray:
    """Per site the lattice translation that puts it next to the first member of its unit (zeros outside units)."""

    offsets = np.zeros_like(frac)
    first: Dict[int, int] = {}
    for index, place in enumerate(structure.units):
        if place is None:
            continue
        anchor = first.setdefault(place[0], index)
        offsets[index] = -np.rint(frac[index] - frac[anchor])
    return offsets


def particle_images(
    structure: Structure, diameter: float, shape: str = "sphere", center: Optional[Sequence[float]] = None
) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The images of sites inside a particle, as :func:`cut_particle` keeps them and in its order:
    their Cartesian positions from the centre (Å), and per image its translation's row and its site."""

    if shape not in SHAPES:
        raise ValueError(f"shape must be one of {', '.join(SHAPES)}, got '{shape}'")
    diameter = float(diameter)
    if not (math.isfinite(diameter) and diameter > 0):
        raise ValueError(f"diameter must be a positive number of Å, got {diameter!r}")
    matrix = np.asarray(structure.lattice_matrix, dtype=float)
    raw = np.asarray(structure.frac_coords, dtype=float)
    units = structure.units
    has_units = any(place is not None for place in units)
    # Each unit's members moved next to one another, the rest into the cell.
    frac = np.mod(raw, 1.0)
    if has_units:
        frac = frac + unit_offsets(structure, frac)
    centre_frac = np.zeros(3) if center is None else np.asarray(center, dtype=float)
    if centre_frac.shape != (3,):
        raise ValueError("center must hold three fractional coordinates")
    centre = centre_frac @ matrix
    radius = 0.5 * diameter * (math.sqrt(3.0) if shape == "cube" else 1.0)
    # Translations whose images can reach the bounding sphere: along axis k,
    # R |b_k| cells either side (b_k the reciprocal rows), plus the sites' spread.
    reciprocal = np.linalg.inv(matrix).T
    spread = np.ptp(frac, axis=0) if len(frac) else np.zeros(3)
    reach = [int(math.ceil(radius * np.linalg.norm(reciprocal[k]) + spread[k])) + 1 for k in range(3)]
    low = np.floor(centre_frac).astype(int)
    axes = [np.arange(low[k] - reach[k], low[k] + reach[k] + 1) for k in range(3)]
    translations = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3).astype(float)
    site_cart = frac @ matrix
    shift_cart = translations @ matrix
    kept_translation, kept_site = [], []
    rows = max(1, 4_000_000 // max(len(frac), 1))
    half = 0.5 * diameter
    for start in range(0, len(translations), rows):
        offset = shift_cart[start : start + rows, None, :] + site_cart[None, :, :] - centre
        if shape == "sphere":
            inside = np.einsum("tsa,tsa->ts", offset, offset) <= half * half
        else:
            inside = np.all(np.abs(offset) <= half, axis=-1)
        t, s = np.nonzero(inside)
        kept_translation.append(t + start)
        kept_site.append(s)
    t = np.concatenate(kept_translation)
    s = np.concatenate(kept_site)
    if len(s) == 0:
        raise ValueError(f"a {shape} of {diameter:g} Å around the centre holds no site of this structure")
    cart = shift_cart[t] + site_cart[s] - centre
    return cart, t, s


def cut_particle(
    structure: Any,
    diameter: float,
    shape: str = "sphere",
    center: Optional[Sequence[float]] = None,
) -> Structure:
    """A finite particle cut from a crystal: every periodic image of a site inside the shape.

    ``shape="sphere"`` of the given ``diameter`` (Å), or ``"cube"`` with that
    edge, its faces along x, y and z. ``center`` is a point in fractional
    coordinates of the crystal (default: its origin, 0, 0, 0). Occupancies
    are kept site by site, and so are units of correlated disorder: each
    image of a unit is a unit of the particle with the same alternatives,
    whose members are kept or dropped each by its own place (a unit cut by
    the surface keeps what lies inside). Returns a cluster Structure for
    :func:`debye_intensity`, framed by a cube around its atoms.
    """

    structure = as_structure(structure, "cut_particle")
    cart, t, s = particle_images(structure, diameter, shape, center)
    units = structure.units
    has_units = any(place is not None for place in units)
    lattice, moved = _box(cart)
    species = structure.species
    if not has_units and all(len(species[i]) == 1 for i in range(len(species))):
        symbols = [next(iter(species[i])) for i in range(len(species))]
        occupancy = np.array([next(iter(species[i].values())) for i in range(len(species))])
        return Structure.from_arrays(
            lattice, moved, np.asarray(symbols, dtype=object)[s].tolist(), occupancy[s], cartesian=True
        )
    frac_out = np.linalg.solve(lattice.T, moved.T).T
    cluster_units = None
    if has_units:
        numbers: Dict[Tuple[int, int], int] = {}
        cluster_units = []
        for translation, site in zip(t.tolist(), s.tolist()):
            place = units[site]
            if place is None:
                cluster_units.append(None)
                continue
            number = numbers.setdefault((place[0], translation), len(numbers))
            cluster_units.append((number, place[1]))
    return Structure(lattice.tolist(), frac_out.tolist(), [species[i] for i in s.tolist()], units=cluster_units)
