"""Writers for ordered structures: POSCAR and extended XYZ.

What kestrel reads it can hand on: an expanded structure goes straight into a
DFT or MD code. Numbers are written with ``repr`` so that a file read back
gives the same doubles.
"""

from __future__ import annotations

import os
from typing import Dict, List, Tuple, Union

from kestrel._kestrel import Structure

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["write_poscar", "write_xyz", "write_structure", "poscar_text", "xyz_text"]


def _ordered_elements(structure: Structure, what: str) -> List[str]:
    if not structure.is_ordered:
        raise ValueError(
            f"{what} holds only ordered structures, and this one has partly occupied or mixed sites; "
            "call expand_occupancies() first"
        )
    return [next(iter(site)) for site in structure.species]


def _number(value: float) -> str:
    return repr(float(value))


def poscar_text(structure: Structure, comment: str = "") -> str:
    """The POSCAR (VASP 5, direct coordinates) of an ordered structure.

    Sites are grouped by element in order of first appearance, as VASP needs
    one block per species; within a block the site order is kept.
    """
    symbols = _ordered_elements(structure, "POSCAR")
    groups: Dict[str, List[int]] = {}
    for index, symbol in enumerate(symbols):
        groups.setdefault(symbol, []).append(index)
    frac = structure.frac_coords
    lines = [(comment or " ".join(groups)).replace("\n", " "), "1.0"]
    lines += ["  " + " ".join(_number(x) for x in row) for row in structure.lattice_matrix]
    lines.append("  " + " ".join(groups))
    lines.append("  " + " ".join(str(len(members)) for members in groups.values()))
    lines.append("Direct")
    for members in groups.values():
        lines += ["  " + " ".join(_number(x) for x in frac[i]) for i in members]
    return "\n".join(lines) + "\n"


def xyz_text(structure: Structure, comment: str = "") -> str:
    """The extended XYZ frame of an ordered structure, sites in their own order."""
    symbols = _ordered_elements(structure, "extended XYZ")
    lattice = " ".join(_number(x) for row in structure.lattice_matrix for x in row)
    header = f'Lattice="{lattice}" Properties=species:S:1:pos:R:3 pbc="T T T"'
    if comment:
        header += f' comment="{comment.replace(chr(34), chr(39))}"'
    lines = [str(len(symbols)), header]
    for symbol, xyz in zip(symbols, structure.cart_coords):
        lines.append(f"{symbol} " + " ".join(_number(x) for x in xyz))
    return "\n".join(lines) + "\n"


def _format_of(path: PathLike) -> str:
    name = os.path.basename(os.fspath(path)).lower()
    if name.endswith((".xyz", ".extxyz")):
        return "xyz"
    if name.endswith((".vasp", ".poscar")) or "poscar" in name or "contcar" in name:
        return "poscar"
    raise ValueError(
        f"cannot tell the output format of '{os.fspath(path)}': name it *.vasp, *.poscar, POSCAR or CONTCAR "
        "for POSCAR, or *.xyz / *.extxyz for extended XYZ"
    )


def write_poscar(structure: Structure, path: PathLike, comment: str = "") -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(poscar_text(structure, comment))


def write_xyz(structure: Structure, path: PathLike, comment: str = "") -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(xyz_text(structure, comment))


def write_structure(structure: Structure, path: PathLike, comment: str = "") -> str:
    """Write POSCAR or extended XYZ, chosen by the file name; returns the format used."""
    fmt = _format_of(path)
    (write_xyz if fmt == "xyz" else write_poscar)(structure, path, comment)
    return fmt


def read_structure(path: PathLike, fmt: Union[str, None] = None, symprec: float = 1e-4) -> Structure:
    """Read a structure file, choosing the reader by ``fmt`` or by the file name."""
    path = os.fspath(path)
    if fmt is not None:
        with open(path, "rb") as handle:
            data = handle.read()
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            raise OSError(f"could not read {path}: stream did not contain valid UTF-8") from None
        return Structure.from_str(text, fmt, symprec)
    name = os.path.basename(path).lower()
    if name.endswith(".cif"):
        return Structure.from_cif(path, symprec)
    if name.endswith((".xyz", ".extxyz")):
        return Structure.from_xyz(path)
    if name.endswith((".vasp", ".poscar")) or "poscar" in name or "contcar" in name:
        return Structure.from_poscar(path)
    raise ValueError(f"cannot tell the format of '{path}' from its name; pass the format (cif, poscar or xyz)")


def species_runs(structure: Structure) -> List[Tuple[str, int]]:
    """Consecutive runs of one element, in site order (for display)."""
    runs: List[Tuple[str, int]] = []
    for site in structure.species:
        label = "/".join(site)
        if runs and runs[-1][0] == label:
            runs[-1] = (label, runs[-1][1] + 1)
        else:
            runs.append((label, 1))
    return runs
