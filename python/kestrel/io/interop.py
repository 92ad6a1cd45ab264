"""Conversion to and from ASE and pymatgen, both optional.

pymatgen holds partial and mixed occupancies, so they cross over unchanged.
ASE holds whole atoms only: a disordered structure has to be expanded first.
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, List, Tuple

import numpy as np

from kestrel._kestrel import Structure

__all__ = ["from_ase", "to_ase", "from_pymatgen", "to_pymatgen", "as_structure"]


def _require(module: str, extra: str) -> Any:

    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"this needs {extra}: pip install {extra}") from error


def _library_of(obj: Any) -> str:
    """ "ase" or "pymatgen" for their structure objects, "" for anything else.

    Told apart by the defining module, so neither library is imported to ask.
    """
    module = type(obj).__module__.split(".")[0]
    if module == "ase" and hasattr(obj, "get_chemical_symbols"):
        return "ase"
    if module == "pymatgen" and hasattr(obj, "lattice") and hasattr(obj, "sites"):
        return "pymatgen"
    return ""


def as_structure(obj: Any, caller: str) -> Structure:
    """``obj`` as a kestrel Structure: ASE Atoms and pymatgen structures are converted.

    ``caller`` names the function for the message that refuses anything else.
    """
    if isinstance(obj, Structure):
        return obj
    library = _library_of(obj)
    if library == "ase":
        return from_ase(obj)
    if library == "pymatgen":
        return from_pymatgen(obj)
    raise TypeError(
        f"{caller} needs a kestrel.Structure, an ase.Atoms or a pymatgen Structure, got "
        f"{type(obj).__module__}.{type(obj).__qualname__}; read a file with kestrel.read_structure()"
    )


def expand_hint(obj: Any) -> str:
    """How to get an ordered structure from ``obj``, in the words of its own library."""
    library = _library_of(obj)
    if library:
        return f"expand it first: kestrel.from_{library}(structure).expand_occupancies()"
    return "call expand_occupancies() first"


def from_ase(atoms: Any) -> Structure:
    """A Structure from an ``ase.Atoms`` with a periodic cell.

    Atoms read by ASE's CIF reader from a file with partial or mixed
    occupancies become shared sites again: ASE keeps one atom per position,
    labelled with the dominant element, and records the occupancies of each
    asymmetric-unit site in ``info["occupancy"]``; the atom's site is found
    from ``arrays["spacegroup_kinds"]`` (older ASE: the tags). Without
    occupancies every atom is a whole atom on its own site. An Atoms object
    whose occupancies cannot be matched to its atoms is refused rather than
    guessed at. ASE has no place for units of correlated disorder (which
    alternatives of a place never coexist): the structure comes back without
    units, its partial sites weighed independently; read the CIF with
    ``Structure.from_cif`` to keep them.

    Returns a kestrel ``Structure``.
    """

    if not hasattr(atoms, "get_chemical_symbols") or not hasattr(atoms, "cell"):
        raise TypeError(f"from_ase() needs an ase.Atoms, got {type(atoms).__module__}.{type(atoms).__qualname__}")
    cell = np.asarray(atoms.cell[:], dtype=float)
    if abs(np.linalg.det(cell)) < 1e-12:
        raise ValueError("the Atoms object has no periodic cell (zero volume)")
    frac = np.linalg.solve(cell.T, np.asarray(atoms.positions, dtype=float).T).T
    symbols = atoms.get_chemical_symbols()
    # ASE's keys are the site numbers as text; accept them as integers too.
    occupancy = {str(key): value for key, value in (atoms.info.get("occupancy") or {}).items()}
    if not occupancy:
        return Structure(cell.tolist(), frac.tolist(), [{symbol: 1.0} for symbol in symbols])
    kinds = _ase_site_kinds(atoms, occupancy)
    coords: List[List[float]] = []
    species: List[Dict[str, float]] = []
    seen: Dict[Tuple[str, float, float, float], int] = {}
    for index, (position, kind, symbol) in enumerate(zip(frac, kinds, symbols)):
        site = {str(element): float(amount) for element, amount in occupancy[kind].items()}
        if symbol not in site:
            raise ValueError(
                f"atom {index + 1} is {symbol}, but the occupancies of its site '{kind}' name only "
                f"{', '.join(site) or 'nothing'}; the Atoms object's occupancy information does not fit its atoms"
            )
        # ASE keeps one atom per shared position; should a caller's object
        # repeat one per element, the repeats are the same site.
        wrapped = np.round(np.mod(position, 1.0), 6) % 1.0
        key = (kind, float(wrapped[0]), float(wrapped[1]), float(wrapped[2]))
        if key in seen:
            continue
        seen[key] = len(coords)
        coords.append(position.tolist())
        species.append(site)
    return Structure(cell.tolist(), coords, species)


def _ase_site_kinds(atoms: Any, occupancy: Dict[str, Any]) -> List[str]:
    """The key of ``info["occupancy"]`` that each atom belongs to."""
    kinds = atoms.arrays.get("spacegroup_kinds")
    if kinds is None:
        kinds = atoms.get_tags()
        # Tags left at 0 carry no site information once there is more than one site.
        if len(occupancy) > 1 and not any(kinds):
            kinds = None
    if kinds is None:
        raise ValueError(
            "the Atoms object has occupancies (info['occupancy']) but no 'spacegroup_kinds' array or tags "
            "saying which site each atom is on, so its shared sites cannot be rebuilt; read the CIF with "
            "kestrel.read_structure() or Structure.from_cif() instead"
        )
    keys = [str(int(kind)) for kind in kinds]
    missing = sorted(set(keys) - set(occupancy), key=_site_order)
    if missing:
        raise ValueError(
            f"the Atoms object has no occupancies for site {missing[0]} of its atoms, so its shared sites "
            "cannot be rebuilt; read the CIF with kestrel.read_structure() or Structure.from_cif() instead"
        )
    _check_dropped_sites(occupancy, set(keys))
    return keys


def _site_order(key: str) -> Tuple[int, str]:
    return len(key), key


def _check_dropped_sites(occupancy: Dict[str, Any], kept: set) -> None:
    """Refuse occupancies that ASE merged with a loss.

    A CIF row with no atoms of its own was dropped by ASE because it sits on
    the position of another row; ASE then gives both rows the union of their
    occupancies, so the two dicts are equal. They differ when the two rows
    hold the same element: ASE keeps one value per element and each row's
    dict ends with the other row's value, and the sum the file meant is lost.
    """
    kept_sites = [occupancy[key] for key in kept]
    for key in sorted(set(occupancy) - kept, key=_site_order):
        if not any(occupancy[key] == site for site in kept_sites):
            raise ValueError(
                f"ASE merged site {key} of the CIF into another site at the same position holding the same "
                "element and kept only one of their occupancies, so the file's occupancies cannot be rebuilt; "
                "read the CIF with kestrel.read_structure() or Structure.from_cif() instead"
            )


def to_ase(structure: Structure) -> Any:
    """An ``ase.Atoms`` of an ordered structure (periodic in all three directions).

    Parameters: ``structure``, an ordered kestrel Structure. Returns an ``ase.Atoms`` with the cell
    and periodic boundaries.
    """
    ase = _require("ase", "ase")
    if not structure.is_ordered:
        raise ValueError(
            "ASE holds whole atoms only, and this structure has partly occupied or mixed sites; "
            "call expand_occupancies() first to get an ordered supercell"
        )
    symbols = [next(iter(site)) for site in structure.species]
    return ase.Atoms(symbols=symbols, scaled_positions=structure.frac_coords, cell=structure.lattice_matrix, pbc=True)


# The pymatgen site property that carries each site's unit of correlated
# disorder: None, or (unit, alternative) as Structure.units gives it.
UNIT_PROPERTY = "disorder_unit"


def from_pymatgen(structure: Any) -> Structure:
    """A Structure from a ``pymatgen.core.Structure``, occupancies kept.

    Oxidation states are dropped ("Fe2+" becomes "Fe"), as kestrel keys
    partial curves by element. Units of correlated disorder come back from
    the site property ``"disorder_unit"`` that ``to_pymatgen`` writes;
    pymatgen's own CIF reader keeps no disorder groups, so a structure it
    read has none.

    Parameters: ``structure``, a pymatgen ``Structure`` (partial occupancies kept). Returns a
    kestrel ``Structure``.
    """
    species: List[Dict[str, float]] = []
    for site in structure:
        entry: Dict[str, float] = {}
        for specie, amount in site.species.items():
            symbol = getattr(specie, "symbol", str(specie))
            entry[symbol] = entry.get(symbol, 0.0) + float(amount)
        species.append(entry)
    units = (getattr(structure, "site_properties", None) or {}).get(UNIT_PROPERTY)
    return Structure(
        [list(map(float, row)) for row in structure.lattice.matrix],
        [list(map(float, site.frac_coords)) for site in structure],
        species,
        units=None if units is None else [None if u is None else tuple(u) for u in units],
    )


def to_pymatgen(structure: Structure) -> Any:
    """A ``pymatgen.core.Structure`` with the same sites and occupancies.

    Units of correlated disorder go into the site property
    ``"disorder_unit"`` (None or (unit, alternative) per site), which
    ``from_pymatgen`` reads back; pymatgen itself does not use it, and its
    CIF writer leaves it out.
    """
    core = _require("pymatgen.core", "pymatgen")
    units = structure.units
    return core.Structure(
        core.Lattice(structure.lattice_matrix),
        structure.species,
        structure.frac_coords,
        coords_are_cartesian=False,
        site_properties={UNIT_PROPERTY: units} if any(units) else None,
    )
