"""Where a big-box model starts: a given ordering matched onto the model's sites, an SQS, thermal shaking."""

from __future__ import annotations

from typing import Mapping

import numpy as np

from kestrel._kestrel import Structure
from kestrel.ordering import sqs

# Sites of a start structure are matched to the model's within this (Å).
START_MATCH = 0.5

# An SQS start searches this many trial swaps per site: a count, not a time,
# so the start reproduces.
SQS_TRIALS_PER_SITE = 1000


def _match(frac_model: np.ndarray, lattice: np.ndarray, frac_start: np.ndarray) -> np.ndarray:
    """The model site each start position sits on (within START_MATCH Å), by a periodic k-d tree."""
    from scipy.spatial import cKDTree

    tree = cKDTree(np.mod(frac_model, 1.0), boxsize=1.0 + 1e-12)
    tolerance = START_MATCH / float(np.max(np.linalg.norm(lattice, axis=1)))
    distance, index = tree.query(np.mod(frac_start, 1.0) % 1.0, distance_upper_bound=tolerance * 4)
    cart_gap = np.linalg.norm(
        ((np.mod(frac_start, 1.0) - frac_model[np.minimum(index, len(frac_model) - 1)] + 0.5) % 1.0 - 0.5) @ lattice,
        axis=1,
    )
    if np.any(~np.isfinite(distance)) or np.any(cart_gap > START_MATCH):
        raise ValueError(f"the start structure has atoms more than {START_MATCH} Å from every site of the model")
    if len(set(index.tolist())) != len(index):
        raise ValueError("the start structure puts two atoms on one site of the model")
    return index


def take_start(start: Structure, lattice, frac, species, elements):
    if not start.is_ordered:
        raise ValueError("a start structure must be ordered: every site one whole atom")
    if not np.allclose(start.lattice_matrix, lattice, atol=1e-3):
        raise ValueError("the start structure's lattice differs from the model's supercell")
    symbols = [next(iter(site)) for site in start.species]
    unknown = sorted(set(symbols) - set(elements))
    if unknown:
        raise ValueError(f"the start structure holds {', '.join(unknown)}, which the model does not")
    index = _match(frac, lattice, np.asarray(start.frac_coords))
    new_frac = frac.copy()
    new_species = np.full(len(species), -1)
    new_frac[index] = start.frac_coords
    new_species[index] = [elements.index(s) for s in symbols]
    return new_frac, new_species


def sqs_start(structure, repeats, shells, seed, n_threads, frac, species, lattice, elements):
    found, _ = sqs(
        structure,
        supercell=repeats,
        shells=shells,
        seed=seed,
        n_threads=n_threads,
        time_limit=None,
        iterations=SQS_TRIALS_PER_SITE * len(species),
    )
    symbols = [next(iter(site)) for site in found.species]
    index = _match(frac, lattice, np.asarray(found.frac_coords))
    out = np.full(len(species), -1)
    out[index] = [elements.index(s) for s in symbols]
    return out


def shaken(frac, species, lattice, u_iso, elements, seed) -> np.ndarray:
    """Positions moved by Gaussian steps of variance U per axis: a start with thermal motion."""
    rng = np.random.default_rng(seed)
    u = np.array([u_iso[e] if isinstance(u_iso, Mapping) else float(u_iso) for e in elements] + [0.0])
    sigma = np.sqrt(u[species])  # species -1 (a vacancy) reads the trailing 0
    steps = rng.standard_normal(frac.shape) * sigma[:, None]
    return frac + steps @ np.linalg.inv(lattice)
