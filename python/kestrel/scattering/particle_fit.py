"""A phase refined as a nanoparticle in Q: the Debye intensity of a sphere cut from its structure.

Which atoms a sphere of diameter D keeps changes in steps as D (or the
lattice) changes, so the intensity of a sharp cut is a staircase in D that
a least-squares fit cannot follow. The particle here has a soft surface
instead: atoms nearer the centre than D/2 − w/2 count whole, atoms beyond
D/2 + w/2 not at all, and those between with a weight falling linearly
from 1 to 0, taken as their occupancy. Its Debye intensity is then the mean
over particles whose surfaces lie anywhere in that shell, and it changes
smoothly with D and with the lattice. The shell's width w is the mean
spacing of the atoms, (V/N)^(1/3) of the structure (2.2 Å for nickel): one
atomic layer. D is the diameter at which the weight is 1/2.

Each pair of atoms A-B is damped by exp(−(U_A + U_B)Q²/2), as in
:func:`compute_sq`; an atom with itself is not. The resolution qdamp is not
applied to the particle: its broadening is small beside the particle's own
(about 2π/D).
"""

from __future__ import annotations

from typing import Mapping, Tuple

import numpy as np

from kestrel._kestrel import Structure
from kestrel.scattering.debye import debye_result
from kestrel.scattering.form_factors import form_factors
from kestrel.scattering.particles import cut_particle, particle_images


def surface_shell(structure: Structure) -> float:
    """The width of the soft surface: the mean spacing of the structure's atoms, (V/N)^(1/3) in Å."""
    return (structure.volume / max(structure.n_atoms, 1e-12)) ** (1.0 / 3.0)


def soft_particle(structure: Structure, diameter: float) -> Structure:
    """The sphere of ``diameter`` (Å) around the origin with a soft surface one atomic layer wide,
    each atom's occupancy times its weight (see the module's notes)."""
    shell = surface_shell(structure)
    outer = diameter + shell
    cart, _, _ = particle_images(structure, outer)
    cluster = cut_particle(structure, outer)
    weight = np.clip(0.5 + (0.5 * diameter - np.linalg.norm(cart, axis=1)) / shell, 0.0, 1.0)
    keep = np.flatnonzero(weight > 0)
    if len(keep) == 0:
        raise ValueError(f"a particle of {diameter:g} Å holds no atom of this structure")
    frac = np.asarray(cluster.frac_coords, dtype=float)[keep]
    species = cluster.species
    units = cluster.units
    return Structure(
        cluster.lattice_matrix,
        frac.tolist(),
        [{element: amount * float(weight[k]) for element, amount in species[k].items()} for k in keep],
        units=[units[k] for k in keep] if any(units) else None,
    )


def particle_terms(
    structure: Structure, diameter: float, q: np.ndarray, radiation: str, u: Mapping[str, float], n_threads: int = 0
) -> Tuple[np.ndarray, np.ndarray]:
    """S(Q) − 1 and I(Q)/N (per atom) of the soft particle of ``diameter`` cut from ``structure``.

    ``u`` holds U (Å²) per element; an element it does not name is not damped.
    """
    cluster = soft_particle(structure, diameter)
    result = debye_result(cluster, q, radiation=radiation, n_threads=n_threads)
    n_atoms = result.n_atoms
    pairs = np.zeros(len(q))
    for (first, second), term in result.partials.items():
        pairs += term * np.exp(-0.5 * (u.get(first, 0.0) + u.get(second, 0.0)) * q * q)
    per_atom = (result.self_term + pairs) / n_atoms
    composition = cluster.composition
    powers = form_factors(result.elements, radiation, q)
    mean = sum(composition.get(e, 0.0) * powers[e] for e in result.elements) / n_atoms
    if not np.all(np.abs(mean) > 0):
        raise ValueError("the particle's mean scattering power is zero: S(Q) is undefined")
    excess = pairs / n_atoms / mean**2
    return excess, per_atom
