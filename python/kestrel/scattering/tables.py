"""X-ray and neutron scattering powers of the elements."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Dict, Sequence

if TYPE_CHECKING:
    pass

RADIATIONS = ("xray", "neutron")


# ---- scattering data -------------------------------------------------------------------


def _periodictable():
    try:
        import periodictable
    except ImportError as error:
        raise ImportError('scattering data come from periodictable: pip install "kestrel[pdf]"') from error
    return periodictable


def scattering_source() -> str:
    """The library the scattering powers come from, with its version."""
    return f"periodictable {_periodictable().__version__}"


def _lookup_element(label: str):
    elements = _periodictable().elements
    # Labels of ions ('Fe2+', 'O2-') scatter as the neutral atom here.
    for candidate in (label, re.sub(r"\d*[+-]$", "", label)):
        try:
            atom = elements.symbol(candidate)
        except ValueError:
            continue
        if atom.number > 0:
            return atom
    raise ValueError(f"no scattering data for element '{label}': it is not a chemical element symbol")


def scattering_powers(elements: Sequence[str], radiation: str) -> Dict[str, float]:
    """Scattering power of each element, from the periodictable package.

    ``radiation="neutron"``: the bound coherent scattering length b_c in fm of
    the element with its natural isotopic abundance (labels 'D' and 'T' give
    the isotopes). ``radiation="xray"``: the form factor at Q = 0, the number
    of electrons Z of the neutral atom.
    """
    if radiation not in RADIATIONS:
        raise ValueError(f"radiation must be 'xray' or 'neutron', got '{radiation}'")
    powers = {}
    for label in elements:
        atom = _lookup_element(label)
        if radiation == "xray":
            powers[label] = float(atom.number)
            continue
        length = atom.neutron.b_c
        if length is None:
            raise ValueError(f"{scattering_source()} has no neutron scattering length for '{label}'")
        powers[label] = float(length)
    return powers
