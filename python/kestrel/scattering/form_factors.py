"""Scattering powers that depend on Q: the X-ray form factors of the neutral atoms.

Neutrons scatter from the nucleus, so their power is the same at every Q
(the bound coherent length of :func:`scattering_powers`). X-rays scatter from
the electron cloud, whose form factor f0(Q) falls from Z at Q = 0; it is
taken from periodictable's Cromer–Mann coefficients
(``periodictable.cromermann.fxrayatq``), the maintained library the rest of
the scattering code already takes its tables from.
"""

from __future__ import annotations

from typing import Dict, Sequence

import numpy as np

from kestrel.scattering.powers import _lookup_element, _periodictable, check_radiation, scattering_powers


def form_factors(elements: Sequence[str], radiation: str, q) -> Dict[str, np.ndarray]:
    """Per element its scattering power at each Q (Å⁻¹): f0(Q) in electrons, or b_c in fm at every Q.

    Ions ('Fe2+') scatter as their neutral atom, as in :func:`scattering_powers`.
    """

    check_radiation(radiation)
    q = np.asarray(q, dtype=float)
    if radiation == "neutron":
        powers = scattering_powers(elements, radiation)
        return {e: np.full(q.shape, powers[e]) for e in elements}
    periodictable = _periodictable()
    from periodictable.cromermann import fxrayatq

    out = {}
    for label in elements:
        symbol = periodictable.elements[_lookup_element(label).number].symbol
        out[label] = np.asarray(fxrayatq(symbol, q), dtype=float).reshape(q.shape)
    return out
