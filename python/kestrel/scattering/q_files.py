"""Measured S(Q), F(Q) and I(Q) files: columns of Q and the curve, with optional uncertainties."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import List, Optional, Union

import numpy as np

from kestrel.scattering.gr_files import read_columns

# What each kind of file holds, as its suffix names it.
Q_KINDS = {"sq": "S", "fq": "F", "iq": "I"}

# What a data set of each kind holds, as reports and figures name it, and the unit of its points.
KIND_NAMES = {"gr": "G(r)", "sq": "S(Q)", "fq": "F(Q)", "iq": "I(Q)"}
POINT_UNITS = {"gr": "Å", "sq": "Å⁻¹", "fq": "Å⁻¹", "iq": "Å⁻¹"}


@dataclass
class MeasuredScattering:
    """A measured curve in Q: ``kind`` "sq" (S(Q)), "fq" (F(Q) = Q[S − 1], Å⁻¹) or "iq" (I(Q)).

    ``q`` in Å⁻¹, ``values`` and their uncertainties ``errors`` (or None), the header lines.
    """

    q: np.ndarray
    values: np.ndarray
    kind: str
    errors: Optional[np.ndarray] = None
    header: List[str] = field(default_factory=list)
    path: str = ""


def q_kind(path: Union[str, "os.PathLike[str]"], kind: Optional[str] = None) -> str:
    """The kind of a Q file: ``kind`` when given, else its suffix (.sq, .fq, .iq)."""
    # Named as given, folder and all, like the messages of the data readers.
    name = os.fspath(path)
    if kind is None:
        kind = os.path.splitext(os.path.basename(name))[1].lstrip(".").lower()
        if kind not in Q_KINDS:
            raise ValueError(
                f"{name}: cannot tell S(Q), F(Q) or I(Q) from the name; name it .sq, .fq or .iq or pass kind="
            )
    if kind not in Q_KINDS:
        raise ValueError(f"kind must be 'sq', 'fq' or 'iq', got '{kind}'")
    return kind


def read_q_data(path: Union[str, "os.PathLike[str]"], kind: Optional[str] = None) -> MeasuredScattering:
    """Read a measured S(Q), F(Q) or I(Q) from a text file of columns.

    The layout of :func:`read_gr`: header lines (``#### start data`` ends
    them when present), then rows of Q and the value, or Q, value and its
    uncertainty, or Q, value, dQ and the uncertainty; Q must increase. The
    kind comes from ``kind`` or the suffix (.sq, .fq, .iq). A broken file is
    one ``ValueError`` naming the file and the line.
    """
    chosen = q_kind(path, kind)
    q, values, errors, header = read_columns(path, "Q", Q_KINDS[chosen])
    return MeasuredScattering(q=q, values=values, kind=chosen, errors=errors, header=header, path=os.fspath(path))
