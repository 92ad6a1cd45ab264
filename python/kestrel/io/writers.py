"""Writing POSCAR, extended XYZ and CIF, the writer chosen by the file name.

What kestrel reads it can hand on: an expanded structure goes straight into a
DFT or MD code. POSCAR and extended XYZ hold whole atoms only; CIF keeps
occupancies. Numbers are written as a person would (``kestrel.io.numbers``):
12.894 and 120 rather than float noise, each within 1e-14 of the value (relative above 1).
"""

from __future__ import annotations

import os
from typing import Any, Dict, List, Tuple

from kestrel._kestrel import Structure
from kestrel.io.cif_writer import cif_text
from kestrel.io.compression import open_for_writing
from kestrel.io.interop import as_structure, expand_hint
from kestrel.io.numbers import plain_number
from kestrel.io.readers import PathLike, format_from_name

# A kestrel Structure, an ase.Atoms or a pymatgen Structure (converted on the way in).
StructureLike = Any


def _ordered(obj: Any, what: str, caller: str) -> Tuple[Structure, List[str]]:
    """The structure (converted from ASE or pymatgen if need be) and its element per site."""
    structure = as_structure(obj, caller)
    if not structure.is_ordered:
        raise ValueError(
            f"{what} holds only ordered structures, and this one has partly occupied or mixed sites; "
            + expand_hint(obj)
        )
    return structure, [next(iter(site)) for site in structure.species]


def poscar_text(structure: StructureLike, comment: str = "") -> str:
    """The POSCAR (VASP 5, direct coordinates) of an ordered structure.

    Sites are grouped by element in order of first appearance, as VASP needs
    one block per species; within a block the site order is kept.

    Parameters: ``structure`` (kestrel, ASE or pymatgen, ordered); ``comment``, the title line.
    Returns the text.
    """
    structure, symbols = _ordered(structure, "POSCAR", "poscar_text()")
    groups: Dict[str, List[int]] = {}
    for index, symbol in enumerate(symbols):
        groups.setdefault(symbol, []).append(index)
    frac = structure.frac_coords
    lines = [(comment or " ".join(groups)).replace("\n", " "), "1.0"]
    lines += ["  " + " ".join(plain_number(x) for x in row) for row in structure.lattice_matrix]
    lines.append("  " + " ".join(groups))
    lines.append("  " + " ".join(str(len(members)) for members in groups.values()))
    lines.append("Direct")
    for members in groups.values():
        lines += ["  " + " ".join(plain_number(x) for x in frac[i]) for i in members]
    return "\n".join(lines) + "\n"


def xyz_text(structure: StructureLike, comment: str = "") -> str:
    """The extended XYZ frame of an ordered structure, sites in their own order.

    Parameters: ``structure`` (ordered); ``comment``, a comment field. Returns the text.
    """
    structure, symbols = _ordered(structure, "extended XYZ", "xyz_text()")
    lattice = " ".join(plain_number(x) for row in structure.lattice_matrix for x in row)
    header = f'Lattice="{lattice}" Properties=species:S:1:pos:R:3 pbc="T T T"'
    if comment:
        header += f' comment="{comment.replace(chr(34), chr(39))}"'
    lines = [str(len(symbols)), header]
    for symbol, xyz in zip(symbols, structure.cart_coords):
        lines.append(f"{symbol} " + " ".join(plain_number(x) for x in xyz))
    return "\n".join(lines) + "\n"


def _output_format(path: PathLike) -> str:
    fmt = format_from_name(path)
    if fmt is not None:
        return fmt
    raise ValueError(
        f"cannot tell the output format of '{os.fspath(path)}': name it *.vasp, *.poscar, POSCAR or CONTCAR "
        "for POSCAR, *.xyz / *.extxyz for extended XYZ, or *.cif for CIF (each may end in .gz, .bz2 or .xz)"
    )


def _write(path: PathLike, text: str) -> None:
    with open_for_writing(path) as handle:
        handle.write(text)


def write_poscar(structure: StructureLike, path: PathLike, comment: str = "") -> None:
    """Write the POSCAR of an ordered structure (see ``poscar_text``).

    Parameters: ``structure``, ``path`` (str or os.PathLike), ``comment`` (the title line). Returns
    None.
    """
    _write(path, poscar_text(structure, comment))


def write_xyz(structure: StructureLike, path: PathLike, comment: str = "") -> None:
    """Write the extended XYZ frame of an ordered structure (see ``xyz_text``).

    Parameters: ``structure``, ``path`` (str or os.PathLike), ``comment`` (written as a comment
    field). Returns None.
    """
    _write(path, xyz_text(structure, comment))


def write_cif(structure: StructureLike, path: PathLike, comment: str = "") -> None:
    """Write the CIF of a structure in P1 (see ``kestrel.cif_writer.cif_text``).

    Parameters: ``structure``, ``path`` (str or os.PathLike), ``comment`` (the data block's name and
    creation note). Returns None.
    """
    _write(path, cif_text(as_structure(structure, "write_cif()"), comment))


_WRITERS = {"poscar": write_poscar, "xyz": write_xyz, "cif": write_cif}


def write_structure(structure: StructureLike, path: PathLike, comment: str = "") -> str:
    """Write POSCAR, extended XYZ or CIF, chosen by the file name; returns the format used.

    Parameters: ``structure`` (kestrel, ASE or pymatgen); ``path`` (str or os.PathLike) whose name
    picks the format; ``comment`` for the file's title line.
    """
    fmt = _output_format(path)
    _WRITERS[fmt](structure, path, comment)
    return fmt
