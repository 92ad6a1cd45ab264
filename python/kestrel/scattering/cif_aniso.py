"""The anisotropic displacement parameters of a CIF's rows, placed on the sites they describe.

The CIF's syntax is read with gemmi (``gemmi.cif``: blocks, tags and
loops); kestrel's own reader has already merged the rows into sites. Each
row's position finds its site, and its U_ij (or B_ij / 8π²) are carried
back to the representative of that site's orbit by the symmetry operation
between them, W_rep = R⁻¹ W R⁻ᵀ with W = N U N (N = diag(a*, b*, c*)).
"""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Dict

import numpy as np

if TYPE_CHECKING:
    from kestrel.scattering.constraints import CrystalSymmetry

_U_TAGS = ["label", "U_11", "U_22", "U_33", "U_12", "U_13", "U_23"]
_B_TAGS = ["label", "B_11", "B_22", "B_33", "B_12", "B_13", "B_23"]


def _gemmi_cif():
    try:
        from gemmi import cif
    except ImportError as error:
        raise ImportError('anisotropic U are read from a CIF with gemmi: pip install "kestrel[pdf]"') from error
    return cif


def cif_aniso_u(
    path: str, frac: np.ndarray, metric: np.ndarray, symmetry: CrystalSymmetry, tolerance: float = 1e-3
) -> Dict[int, np.ndarray]:
    """{orbit representative: its 3×3 U_ij in Å²} for the orbits a row of the CIF's aniso loop describes."""

    cif = _gemmi_cif()
    block = cif.read(os.fspath(path))[0]
    positions = {}
    for row in block.find("_atom_site_", ["label", "fract_x", "fract_y", "fract_z"]):
        positions[row[0]] = np.array([cif.as_number(row[k]) for k in (1, 2, 3)])
    rows = [(list(r), 1.0) for r in block.find("_atom_site_aniso_", _U_TAGS)]
    rows += [(list(r), 1.0 / (8.0 * math.pi**2)) for r in block.find("_atom_site_aniso_", _B_TAGS)]
    scaling = np.sqrt(np.diag(np.linalg.inv(metric)))
    wrapped = np.mod(frac, 1.0)
    out: Dict[int, np.ndarray] = {}
    for values, factor in rows:
        position = positions.get(values[0])
        numbers = [cif.as_number(v) for v in values[1:]]
        if position is None or any(math.isnan(v) for v in numbers + list(position)):
            continue
        offset = wrapped - np.mod(position, 1.0)
        distance = np.max(np.abs(offset - np.rint(offset)), axis=1)
        site = int(np.argmin(distance))
        if distance[site] > tolerance:
            continue
        u11, u22, u33, u12, u13, u23 = (v * factor for v in numbers)
        u = np.array([[u11, u12, u13], [u12, u22, u23], [u13, u23, u33]])
        w = np.diag(scaling) @ u @ np.diag(scaling)
        back = np.linalg.inv(symmetry.rotations[symmetry.carrier[site]])
        w_rep = back @ w @ back.T
        out[int(symmetry.orbit[site])] = np.diag(1.0 / scaling) @ w_rep @ np.diag(1.0 / scaling)
    return out
