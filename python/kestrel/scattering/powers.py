"""X-ray and neutron scattering powers of the elements, and the averages that weigh each pair by them.

Every weighted sum over pairs (G(r), and the S(Q) and F(Q) built on the same
pairs) divides by the same average ``<b> = sum_A c_A b_A``, with
``c_A = N_A / N`` the occupancy-weighted concentration; :func:`scattering_weights`
is the one place it is computed.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Dict, Mapping, Sequence, Tuple

RADIATIONS = ("xray", "neutron")

Pair = Tuple[str, str]


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


def check_radiation(radiation: str) -> str:
    if radiation not in RADIATIONS:
        raise ValueError(f"radiation must be 'xray' or 'neutron', got '{radiation}'")
    return radiation


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
    check_radiation(radiation)
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


# ---- averages over a composition -------------------------------------------------------


@dataclass(frozen=True)
class ScatteringWeights:
    """The scattering powers of a composition and the averages its pair weights divide by.

    ``amounts`` are the (occupancy-weighted) atom counts per element,
    ``concentrations`` c_A = N_A / N, ``powers`` b_A, ``mean`` <b> = Σ c_A b_A
    and ``mean_square`` <b²> = Σ c_A b_A². ``pair_weight(a, b)`` is the
    Faber-Ziman weight of the unordered pair, (2 − δ_AB) c_A c_B b_A b_B / <b>²;
    the weights of all pairs add up to 1.
    """

    radiation: str
    amounts: Dict[str, float]
    concentrations: Dict[str, float]
    powers: Dict[str, float]
    mean: float
    mean_square: float

    @property
    def n_atoms(self) -> float:
        return sum(self.amounts.values())

    @property
    def elements(self) -> Tuple[str, ...]:
        return tuple(self.amounts)

    def pair_weight(self, a: str, b: str) -> float:
        c, p = self.concentrations, self.powers
        return (1.0 if a == b else 2.0) * c[a] * c[b] * p[a] * p[b] / self.mean**2

    def pair_weights(self) -> Dict[Pair, float]:
        """The weight of each unordered pair (a, b), a before b in the order of ``amounts``."""
        elements = self.elements
        return {(a, b): self.pair_weight(a, b) for i, a in enumerate(elements) for b in elements[i:]}


def scattering_weights(amounts: Mapping[str, float], radiation: str, powers=None) -> ScatteringWeights:
    """<b> and the pair weights of a composition: ``{element: atoms}`` (zero amounts are left out).

    ``powers`` (``{element: b}``) skips the table look-up, for a caller that
    varies them. Refuses a composition without atoms, and one whose average
    scattering power is zero (a null-scattering alloy), where the weights are
    undefined.
    """
    check_radiation(radiation)
    present = {e: float(n) for e, n in amounts.items() if n > 0}
    if not present:
        raise ValueError("the structure holds no atoms: every occupancy is zero")
    if powers is None:
        powers = scattering_powers(list(present), radiation)
    powers = {e: float(powers[e]) for e in present}
    total = sum(present.values())
    concentrations = {e: n / total for e, n in present.items()}
    mean = sum(concentrations[e] * powers[e] for e in present)
    # Where the scattering lengths cancel the weights divide by nothing;
    # rounding leaves only a few ulps behind.
    if abs(mean) <= 1e-9 * sum(concentrations[e] * abs(powers[e]) for e in present):
        raise ValueError(
            f"the average {radiation} scattering power of this composition is zero, "
            "so the Faber-Ziman weights are undefined"
        )
    mean_square = sum(concentrations[e] * powers[e] ** 2 for e in present)
    return ScatteringWeights(radiation, present, concentrations, powers, mean, mean_square)
