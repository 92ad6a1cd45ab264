"""Measured G(r) in ``.gr`` files: reading and writing."""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Union

import numpy as np

# ---- measured data ------------------------------------------------------------------------------


@dataclass
class MeasuredPdf:
    """A measured G(r): points, values, optional uncertainties, the header lines."""

    r: np.ndarray
    g: np.ndarray
    dg: Optional[np.ndarray] = None
    header: List[str] = field(default_factory=list)
    path: str = ""


_DATA_MARKER = re.compile(r"^#+\s*start data", re.IGNORECASE)


def _numbers(tokens: List[str]) -> Optional[List[float]]:
    try:
        return [float(t) for t in tokens]
    except ValueError:
        return None


def read_gr(path: Union[str, "os.PathLike[str]"]) -> MeasuredPdf:
    """Read a measured G(r) from a text file of columns.

    The usual ``.gr`` layout of PDF-reduction programs: header lines (a
    ``#### start data`` line ends the header when present), then one row per
    point: r and G, or r, G and dG, or r, G, dr and dG. Lines starting with
    '#' and blank lines among the rows are skipped. r must increase. Any
    other problem is one ``ValueError`` naming the file and the line.

    Parameters: ``path`` (str or os.PathLike). Returns a ``MeasuredPdf`` (``r`` in Å, ``g`` in Å⁻²,
    ``dg`` or None).
    """
    points, values, uncertainty, header = read_columns(path, "r", "G")
    return MeasuredPdf(r=points, g=values, dg=uncertainty, header=header, path=os.fspath(path))


def read_columns(path: Union[str, "os.PathLike[str]"], x: str, y: str):
    """(x, y, dy or None, header lines) of a file of columns laid out as :func:`read_gr` reads them;
    ``x`` and ``y`` name the columns in the messages."""

    # The path as the caller gave it, so a message tells apart files of one name in two folders.
    name = os.fspath(path)
    with open(name, encoding="utf-8", errors="replace") as handle:
        lines = handle.read().splitlines()
    start = 0
    for number, line in enumerate(lines):
        if _DATA_MARKER.match(line.strip()):
            start = number + 1
            break
    rows: List[List[float]] = []
    row_lines: List[int] = []
    header: List[str] = lines[:start]
    for number in range(start, len(lines)):
        text = lines[number].split("#", 1)[0].strip() if not lines[number].lstrip().startswith("#") else ""
        if not text:
            if not rows:
                header.append(lines[number])
            continue
        values = _numbers(text.replace(",", " ").split())
        where = f"{name}, line {number + 1}"
        if values is None:
            if not rows:
                header.append(lines[number])
                continue
            raise ValueError(f"{where}: expected numbers, found '{text}'")
        if len(values) < 2:
            raise ValueError(f"{where}: expected at least two columns ({x} and {y}), found one")
        if rows and len(values) != len(rows[0]):
            raise ValueError(
                f"{where}: expected {len(rows[0])} columns like the first data row "
                f"(line {row_lines[0]}), found {len(values)}"
            )
        if not all(math.isfinite(v) for v in values):
            raise ValueError(f"{where}: '{text}' holds a value that is not a finite number")
        if rows and not values[0] > rows[-1][0]:
            raise ValueError(
                f"{where}: {x} = {values[0]:g} does not increase (the previous row has {x} = {rows[-1][0]:g})"
            )
        rows.append(values)
        row_lines.append(number + 1)
    if not rows:
        raise ValueError(f"{name}: no rows of numbers found in {len(lines)} lines")
    table = np.array(rows)
    uncertainty = None
    if table.shape[1] == 3:
        uncertainty = table[:, 2]
    elif table.shape[1] >= 4:
        uncertainty = table[:, 3]
    return table[:, 0], table[:, 1], uncertainty, header


def write_gr(path, r, g, dg=None, header: Sequence[str] = ()) -> None:
    """Write r, G (and dG) columns with '#' header lines, readable by :func:`read_gr`.

    Parameters: ``path``; ``r`` (Å), ``g`` and ``dg`` (Å⁻², ``dg`` optional); ``header`` lines
    written as comments. Returns None.
    """
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        for line in header:
            handle.write(f"# {line}\n")
        handle.write("#### start data\n")
        for k in range(len(r)):
            row = [r[k], g[k]] + ([dg[k]] if dg is not None else [])
            handle.write(" ".join(repr(float(v)) for v in row) + "\n")


# ---- settings written in the header -------------------------------------------------------------

# Header keys read as instrument settings, written "key=value" or "key = value"
# anywhere on a header line (the layouts of the usual reduction programs).
# 'qmax' is matched as a whole word, so 'optqmax' or 'smoothqmax' are not it.
_HEADER_NUMBER_KEYS = ("qmax", "qdamp")
# Radiation: 'stype=X' / 'stype=N', or 'mode' / 'radiation' = xray / neutron.
_HEADER_RADIATION_KEYS = ("stype", "mode", "radiation")
_RADIATION_WORDS = {"x": "xray", "xray": "xray", "x-ray": "xray", "n": "neutron", "neutron": "neutron"}


def header_settings(data: MeasuredPdf) -> dict:
    """The qmax, qdamp and radiation a ``.gr`` file's header states, where it states them.

    Reads ``qmax`` and ``qdamp`` (numbers) and the radiation from ``stype``
    (X or N), ``mode`` or ``radiation`` (xray or neutron), the first of each
    found; returns only the keys found, as {"qmax": 40.0, "radiation": "xray"}.
    """
    found: dict = {}
    for line in data.header:
        for key in _HEADER_NUMBER_KEYS:
            match = re.search(rf"(?<![A-Za-z_]){key}\s*=\s*([-+0-9.eE]+)", line, re.IGNORECASE)
            if key not in found and match:
                try:
                    found[key] = float(match.group(1))
                except ValueError:
                    pass
        for key in _HEADER_RADIATION_KEYS:
            match = re.search(rf"(?<![A-Za-z_]){key}\s*=\s*([A-Za-z-]+)", line, re.IGNORECASE)
            if "radiation" not in found and match and match.group(1).lower() in _RADIATION_WORDS:
                found["radiation"] = _RADIATION_WORDS[match.group(1).lower()]
    return found
