"""Conversion to and from ASE and pymatgen, both optional.

pymatgen holds partial and mixed occupancies, so they cross over unchanged.
ASE holds whole atoms only: a disordered structure has to be expanded first.
"""

from __future__ import annotations

from typing import Any, Dict, List

from _kestrel import Structure

__all__ = ["from_ase", "to_ase", "from_pymatgen", "to_pymatgen"]


def _require(module: str, extra: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"this needs {extra}: pip install {extra}") from error


def from_ase(atoms: Any) -> Structure:
    """A Structure from an ``ase.Atoms`` with a cell; one whole atom per site.

    Atoms read by ASE's CIF reader with fractional occupancies (tags plus
    ``info["occupancy"]``) become shared sites again.
    """
    import numpy as np

    cell = np.asarray(atoms.cell[:], dtype=float)
    if abs(np.linalg.det(cell)) < 1e-12:
        raise ValueError("the Atoms object has no periodic cell (zero volume)")
    frac = np.linalg.solve(cell.T, np.asarray(atoms.positions, dtype=float).T).T
    symbols = atoms.get_chemical_symbols()
    occupancy = atoms.info.get("occupancy") if hasattr(atoms, "info") else None
    if not occupancy:
        return Structure(cell.tolist(), frac.tolist(), [{symbol: 1.0} for symbol in symbols])
    # ASE repeats a shared site once per element, all with the site's tag.
    tags = atoms.get_tags()
    coords: List[List[float]] = []
    species: List[Dict[str, float]] = []
    seen: Dict[tuple, int] = {}
    for position, tag in zip(frac, tags):
        key = (int(tag), *np.round(np.mod(position, 1.0), 6))
        if key in seen:
            continue
        seen[key] = len(coords)
        coords.append(position.tolist())
        species.append({str(k): float(v) for k, v in occupancy.get(str(int(tag)), {}).items()})
    for index, site in enumerate(species):
        if not site:
            species[index] = {symbols[index]: 1.0}
    return Structure(cell.tolist(), coords, species)


def to_ase(structure: Structure) -> Any:
    """An ``ase.Atoms`` of an ordered structure (periodic in all three directions)."""
    ase = _require("ase", "ase")
    if not structure.is_ordered:
        raise ValueError(
            "ASE holds whole atoms only, and this structure has partly occupied or mixed sites; "
            "call expand_occupancies() first to get an ordered supercell"
        )
    symbols = [next(iter(site)) for site in structure.species]
    return ase.Atoms(symbols=symbols, scaled_positions=structure.frac_coords, cell=structure.lattice_matrix, pbc=True)


def from_pymatgen(structure: Any) -> Structure:
    """A Structure from a ``pymatgen.core.Structure``, occupancies kept.

    Oxidation states are dropped ("Fe2+" becomes "Fe"), as kestrel keys
    partial curves by element.
    """
    species: List[Dict[str, float]] = []
    for site in structure:
        entry: Dict[str, float] = {}
        for specie, amount in site.species.items():
            symbol = getattr(specie, "symbol", str(specie))
            entry[symbol] = entry.get(symbol, 0.0) + float(amount)
        species.append(entry)
    return Structure(
        [list(map(float, row)) for row in structure.lattice.matrix],
        [list(map(float, site.frac_coords)) for site in structure],
        species,
    )


def to_pymatgen(structure: Structure) -> Any:
    """A ``pymatgen.core.Structure`` with the same sites and occupancies."""
    core = _require("pymatgen.core", "pymatgen")
    return core.Structure(
        core.Lattice(structure.lattice_matrix),
        structure.species,
        structure.frac_coords,
        coords_are_cartesian=False,
    )
