"""Reading a structure file, the reader chosen by its name."""

from __future__ import annotations

import errno
import os
from typing import Optional, Union

from kestrel._defaults import MAX_BYTES, OCCUPANCY_TOLERANCE, SYMPREC
from kestrel._kestrel import Structure
from kestrel.io.compression import without_compression

PathLike = Union[str, "os.PathLike[str]"]

# Format names as Structure.from_str knows them, to the file reader of each.
_FILE_READERS = {
    "cif": "cif",
    "poscar": "poscar",
    "contcar": "poscar",
    "vasp": "poscar",
    "xyz": "xyz",
    "extxyz": "xyz",
}


def format_from_name(path: PathLike) -> Optional[str]:
    """The reader a file name asks for ("cif", "poscar" or "xyz"), or None when it does not say.

    A compression suffix (.gz, .bz2, .xz) is looked through: "x.cif.gz" is a CIF. Parameters: path
    (str or os.PathLike); only its last component is looked at. Returns the format name or None.
    """
    name = os.path.basename(without_compression(path)).lower()
    if name.endswith(".cif"):
        return "cif"
    if name.endswith((".xyz", ".extxyz")):
        return "xyz"
    if name.endswith((".vasp", ".poscar")) or "poscar" in name or "contcar" in name:
        return "poscar"
    return None


def read_structure(
    path: PathLike,
    fmt: Optional[str] = None,
    symprec: float = SYMPREC,
    block: Optional[str] = None,
    *,
    occupancy_tolerance: float = OCCUPANCY_TOLERANCE,
    max_bytes: int = MAX_BYTES,
) -> Structure:
    """Read a structure file, choosing the reader by ``fmt`` or by the file name.

    Parameters: ``path`` (str or os.PathLike); ``fmt``, any format name ``Structure.from_str``
    knows (cif, poscar, vasp, contcar, xyz, extxyz), or None to go by the file name; ``symprec``
    (fractional coordinates, CIF only), the distance within which symmetry copies of a site are
    merged; ``block`` names the data block of a CIF to read (by default the first with a cell and
    atom sites); ``occupancy_tolerance`` (CIF only), how far above 1 a site's occupancies may add up
    and be scaled to 1 as rounding; ``max_bytes``, the most text the file may hold once
    decompressed. Files ending in .gz, .bz2 or .xz are decompressed, a piece at a time.

    Returns a ``Structure``. Raises ``StructureFileError`` (a ValueError) naming the file, and the
    line where known, for content the reader refuses; ``FileNotFoundError`` and the other
    ``OSError`` subclasses, with ``errno`` and ``filename``, when the file cannot be read (a
    broken or truncated archive too); ``WorkLimitError`` for a text beyond ``max_bytes``;
    ``ValueError`` when neither ``fmt`` nor the name tells the format.
    """
    if os.path.isdir(path):
        # Before the name: a folder's name says nothing of a format.
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    if fmt is None:
        fmt = format_from_name(path)
        if fmt is None:
            reason = f"cannot tell the format of '{path}' from its name"
            error = ValueError(f"{reason}; pass the format (cif, poscar or xyz)")
            # As the library's own errors do: the command line words the advice itself.
            error.reason, error.parameter = reason, "fmt"
            raise error
    reader = _FILE_READERS.get(fmt.lower())
    if reader is None:
        # The core words the refusal of a format name, so it is worded once.
        Structure.from_str("", fmt)
    if block is not None and reader != "cif":
        raise ValueError(f"a data block ('{block}') can only be picked from a CIF; {path} is read as {fmt}")
    if reader == "cif":
        return Structure.from_cif(
            path, symprec, block=block, occupancy_tolerance=occupancy_tolerance, max_bytes=max_bytes
        )
    if reader == "poscar":
        return Structure.from_poscar(path, max_bytes=max_bytes)
    return Structure.from_xyz(path, max_bytes=max_bytes)
