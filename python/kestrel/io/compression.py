"""Compressed structure files: .gz, .bz2 and .xz, by the standard library.

The file readers of the extension decompress on their own; this module names
the suffixes for choosing a format by name and writes compressed files.
"""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
from typing import IO, Union

PathLike = Union[str, "os.PathLike[str]"]

_OPENERS = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}


def compression_suffix(path: PathLike) -> str:
    """The compression suffix of a file name (".gz", ".bz2", ".xz"), or "" when it has none."""
    name = os.fspath(path).lower()
    return next((suffix for suffix in _OPENERS if name.endswith(suffix) and len(name) > len(suffix)), "")


def without_compression(path: PathLike) -> str:
    """The name under the compression suffix: "x.cif" for "x.cif.gz"."""
    name = os.fspath(path)
    return name[: len(name) - len(compression_suffix(name))]


def open_for_writing(path: PathLike) -> IO[str]:
    """A UTF-8 text file with LF line ends, compressed when its name asks for it."""
    opener = _OPENERS.get(compression_suffix(path))
    if opener is None:
        return open(path, "w", encoding="utf-8", newline="\n")
    return opener(path, "wt", encoding="utf-8", newline="\n")
