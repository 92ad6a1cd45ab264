"""Isotropic displacement parameters taken from a structure file."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from kestrel._defaults import SYMPREC
from kestrel._kestrel import Structure

if TYPE_CHECKING:
    pass


# ---- displacement parameters -----------------------------------------------------------------


def average_u_iso(
    structure: Structure,
    site_u: Sequence[Union[None, float, Mapping[str, Optional[float]]]],
    default: Optional[float] = None,
) -> Tuple[Dict[str, float], List[str]]:
    """Per-element U (Å²) from one value per site, weighted by occupancy.

    ``site_u[i]`` is the isotropic displacement parameter of site i (from a
    CIF: U_iso, B_iso / 8π², or a third of the trace of the anisotropic U),
    or a dict giving it per element of a mixed site, or None where the file
    gives none; those sites (or elements of a site) take ``default`` and a
    warning says which. Returns the dict for ``compute_pdf(u_iso=...)`` and
    the warnings.
    """
    species = structure.species
    if len(site_u) != len(species):
        raise ValueError(f"site_u has {len(site_u)} values for {len(species)} sites")
    sums: Dict[str, float] = {}
    weights: Dict[str, float] = {}
    defaulted: List[int] = []
    for index, (occupancies, given) in enumerate(zip(species, site_u)):
        for element, occupancy in occupancies.items():
            value = given.get(element) if isinstance(given, Mapping) else given
            if value is None:
                if default is None:
                    raise ValueError(f"site {index} has no displacement parameter and no default was given")
                if not defaulted or defaulted[-1] != index:
                    defaulted.append(index)
                value = default
            sums[element] = sums.get(element, 0.0) + occupancy * float(value)
            weights[element] = weights.get(element, 0.0) + occupancy
    averaged = {e: (sums[e] / weights[e] if weights[e] > 0 else float(default or 0.0)) for e in sums}
    warnings = []
    if defaulted:
        listed = ", ".join(str(i) for i in defaulted[:10]) + (", ..." if len(defaulted) > 10 else "")
        warnings.append(
            f"{len(defaulted)} of {len(species)} sites have no displacement parameter "
            f"and take u_iso = {default:g} Å² (sites {listed})"
        )
    return averaged, warnings


DEFAULT_U_ISO = 0.005


def cif_u_iso(
    path: Union[str, "os.PathLike[str]"],
    structure: Optional[Structure] = None,
    default: float = DEFAULT_U_ISO,
    symprec: float = SYMPREC,
    block: Optional[str] = None,
) -> Tuple[Dict[str, float], List[str]]:
    """Per-element U (Å²) from the displacement parameters of a CIF.

    Each element of each site of ``Structure.from_cif(path, symprec, block)``
    takes the U of its rows merged into that site: ``_atom_site_U_iso_or_equiv``, else
    ``_atom_site_B_iso_or_equiv`` / 8π², else a third of the trace of its
    anisotropic U (``_atom_site_aniso_U_11/22/33``, or the anisotropic B
    / 8π²); standard uncertainties are dropped. :func:`average_u_iso` then
    weights them by occupancy per element; sites without a value (or with
    0, "not refined") take ``default`` and a warning says so. Pass the
    structure already read from ``path`` to skip reading it again. Returns
    the dict for ``compute_pdf(u_iso=...)`` and the warnings.
    """
    from kestrel._kestrel import _cif_site_u_iso

    path = os.fspath(path)
    if structure is None:
        structure = Structure.from_cif(path, symprec, block=block)
    site_u = _cif_site_u_iso(path, symprec, block=block)
    return average_u_iso(structure, site_u, default)
