"""CIF text of a structure, in space group P1 with every site listed.

Cell lengths, angles and coordinates are written as a person would
(``kestrel.io.numbers``: 120 rather than 119.99999999999999), each within 1e-14
of the value, so a file read again gives the same numbers to 1e-12. A CIF
keeps no orientation: readers rebuild the cell with a along x and b in the xy
plane, so compare lattice parameters and fractional coordinates, not the
Cartesian matrix.
"""

from __future__ import annotations

import math
import re
from typing import Dict, List, Sequence

from kestrel._kestrel import Structure
from kestrel.io.numbers import plain_number

__all__ = ["cif_text"]


def _quoted(text: str) -> str:
    # A CIF value with spaces or quotes of one kind is quoted with the other kind.
    text = " ".join(text.split())
    return "'{}'".format(text.replace("'", '"')) if text else "?"


def lattice_parameters(matrix: Sequence[Sequence[float]]) -> List[float]:
    """a, b, c in Å and alpha, beta, gamma in degrees of a lattice matrix (rows a, b, c)."""
    lengths = [math.sqrt(sum(x * x for x in row)) for row in matrix]

    def angle(i: int, j: int) -> float:
        cosine = sum(x * y for x, y in zip(matrix[i], matrix[j])) / (lengths[i] * lengths[j])
        return math.degrees(math.acos(max(-1.0, min(1.0, cosine))))

    return lengths + [angle(1, 2), angle(0, 2), angle(0, 1)]


def _data_name(comment: str) -> str:
    # The block name is one word of printable characters.
    return re.sub(r"[^A-Za-z0-9_.+-]", "_", comment.strip())[:60] or "kestrel"


def cif_text(structure: Structure, comment: str = "") -> str:
    """The CIF of a structure: P1, one row per element of every site, occupancies kept.

    A shared or partly occupied site becomes several rows at one position,
    which CIF readers (kestrel's included) merge back into one site. Units of
    correlated disorder become disorder assemblies (one per unit, "U0",
    "U1", ...) whose groups are the alternatives, each site written where
    its unit puts it (a coordinate may then lie outside 0 to 1), so that a
    reader finds the same units again.

    Parameters: ``structure``; ``comment``, the data block's name and creation note. Returns the
    text.
    """
    a, b, c, alpha, beta, gamma = lattice_parameters(structure.lattice_matrix)
    lines = [f"data_{_data_name(comment)}"]
    if comment:
        lines.append(f"_audit_creation_method {_quoted(comment)}")
    lines += [
        f"_cell_length_a {plain_number(a)}",
        f"_cell_length_b {plain_number(b)}",
        f"_cell_length_c {plain_number(c)}",
        f"_cell_angle_alpha {plain_number(alpha)}",
        f"_cell_angle_beta {plain_number(beta)}",
        f"_cell_angle_gamma {plain_number(gamma)}",
        "_symmetry_space_group_name_H-M 'P 1'",
        "_symmetry_Int_Tables_number 1",
        "loop_",
        "_symmetry_equiv_pos_as_xyz",
        "'x, y, z'",
        "loop_",
        "_atom_site_label",
        "_atom_site_type_symbol",
        "_atom_site_fract_x",
        "_atom_site_fract_y",
        "_atom_site_fract_z",
        "_atom_site_occupancy",
    ]
    units = structure.units
    with_units = any(units)
    if with_units:
        lines += ["_atom_site_disorder_assembly", "_atom_site_disorder_group"]
    positions = _unit_positions(structure) if with_units else structure.frac_coords
    counts: Dict[str, int] = {}
    for frac, site, place in zip(positions, structure.species, units):
        codes = ""
        if with_units:
            codes = " . ." if place is None else f" U{place[0]} {place[1] + 1}"
        for element, occupancy in site.items():
            counts[element] = counts.get(element, 0) + 1
            coordinates = " ".join(plain_number(x) for x in frac)
            lines.append(f"{element}{counts[element]} {element} {coordinates} {plain_number(occupancy)}{codes}")
    return "\n".join(lines) + "\n"


def _unit_positions(structure: Structure) -> List[List[float]]:
    """Each site of a unit at its image nearest the unit's first site, where the unit puts it."""
    frac = structure.frac_coords
    matrix = structure.lattice_matrix
    first: Dict[int, List[float]] = {}
    out = []
    for position, place in zip(frac, structure.units):
        if place is None:
            out.append(position)
            continue
        anchor = first.setdefault(place[0], position)
        best = min(
            (_cartesian_length([p + shift - q for p, q, shift in zip(position, anchor, shifts)], matrix), shifts)
            for shifts in _shifts_near(position, anchor)
        )[1]
        out.append([p + shift for p, shift in zip(position, best)])
    return out


def _shifts_near(position: Sequence[float], anchor: Sequence[float]) -> List[List[int]]:
    base = [round(q - p) for p, q in zip(position, anchor)]
    return [[base[0] + i, base[1] + j, base[2] + k] for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1)]


def _cartesian_length(delta: Sequence[float], matrix: Sequence[Sequence[float]]) -> float:
    return math.sqrt(sum(sum(delta[i] * matrix[i][j] for i in range(3)) ** 2 for j in range(3)))
