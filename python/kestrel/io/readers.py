"""Reading a structure file, the reader chosen by its name."""

from __future__ import annotations

import errno
import os
from typing import Optional, Union

from kestrel._kestrel import Structure

PathLike = Union[str, "os.PathLike[str]"]


def format_from_name(path: PathLike) -> Optional[str]:
    """The reader a file name asks for ("cif", "poscar" or "xyz"), or None when it does not say."""
    name = os.path.basename(os.fspath(path)).lower()
    if name.endswith(".cif"):
        return "cif"
    if name.endswith((".xyz", ".extxyz")):
        return "xyz"
    if name.endswith((".vasp", ".poscar")) or "poscar" in name or "contcar" in name:
        return "poscar"
    return None


def read_structure(path: PathLike, fmt: Optional[str] = None, symprec: float = 1e-4) -> Structure:
    """Read a structure file, choosing the reader by ``fmt`` or by the file name.

    ``fmt`` is any format name ``Structure.from_str`` knows (cif, poscar, vasp,
    contcar, xyz, extxyz); ``symprec`` (fractional coordinates, CIF only) is
    the distance within which symmetry copies of a site are merged.
    """
    path = os.fspath(path)
    if os.path.isdir(path):
        raise IsADirectoryError(
            f"could not read {path}: {os.strerror(errno.EISDIR)} (os error {errno.EISDIR}); "
            "give a structure file, not a directory"
        )
    if fmt is None:
        fmt = format_from_name(path)
        if fmt is None:
            raise ValueError(f"cannot tell the format of '{path}' from its name; pass the format (cif, poscar or xyz)")
    # The core picks the reader by format name, so there is one dispatch and
    # one set of format names.
    return Structure.from_str(_read_text(path), fmt, symprec)


def _read_text(path: str) -> str:
    """The file as text, failures worded like the core's own file reading."""
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as error:
        code = error.errno if error.errno is not None else 0
        raise type(error)(f"could not read {path}: {error.strerror} (os error {code})") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise OSError(f"could not read {path}: stream did not contain valid UTF-8") from None
