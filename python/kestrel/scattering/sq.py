"""The total-scattering structure factor S(Q) of a periodic crystal, and F(Q) = Q[S(Q) − 1].

Conventions (Faber and Ziman; Keen, J. Appl. Cryst. 34 (2001) 172), with
``c_A`` the occupancy-weighted concentrations, ``f_A(Q)`` the scattering
powers, ``<f> = Σ c_A f_A`` and ``<f²> = Σ c_A f_A²``:

* the coherent intensity per atom is ``I(Q)/N = <f²> + <f>² [S(Q) − 1]``;
* the partials ``S_AB(Q)`` are normalised so that
  ``S(Q) − 1 = Σ_AB c_A c_B f_A f_B [S_AB(Q) − 1] / <f>²``;
* ``F(Q) = Q [S(Q) − 1]`` (Å⁻¹) and the G(r) of :func:`compute_pdf` are a
  sine-transform pair: ``G(r) = (2/π) ∫ F(Q) sin(Qr) dQ``.

The model is that of :func:`compute_pdf`: occupancies as independent
weights (units of correlated disorder weighed as they are there), every
atom displaced isotropically by U_A (Å²), so that a pair A-B is damped by
exp(−(U_A + U_B) Q²/2), and an instrument resolution ``qdamp`` that
multiplies G(r) by exp(−(qdamp r)²/2), which is F(Q) convolved with a
Gaussian of standard deviation qdamp. The sum over the infinite crystal is
done in reciprocal space: the Bragg reflections of the average structure up
to the largest Q (plus the resolution's reach), each a peak of that
Gaussian, less each site's pairing with itself, plus the pairs of sites
within one unit at their correlated weight. Nothing is cut off in r, so
there are no truncation ripples; I(Q) is never negative (S(Q) of a crystal
with several elements may be: Faber–Ziman's S(Q) reaches down to
1 − <f²>/<f>² between Bragg peaks, where the crystal scatters nothing).
With ``qdamp = 0`` the Bragg peaks are sharp: each is shared between its
two neighbouring Q points so that its area is kept.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from kestrel._kestrel import _bragg_sums
from kestrel.io.interop import as_structure
from kestrel.scattering.displacements import DEFAULT_U_ISO
from kestrel.scattering.form_factors import form_factors
from kestrel.scattering.parameters import UIso, check_positive, element_u
from kestrel.scattering.particles import unit_offsets
from kestrel.scattering.powers import check_radiation, scattering_source, scattering_weights

Pair = Tuple[str, str]


@dataclass
class SqResult:
    """S(Q), F(Q) and I(Q) of a crystal, with what went into them.

    ``sq`` is the Faber–Ziman S(Q), ``fq`` = Q[S(Q) − 1] in Å⁻¹, ``iq`` the
    coherent intensity per atom I(Q)/N = <f²> + <f>²[S(Q) − 1] in
    electrons² (X-ray) or fm² (neutron). ``partials`` maps each unordered
    element pair (A, B), A before B in the structure's element order, to
    S_AB(Q) (S_AB = S_BA). ``mean_scattering`` is <f>(Q) and
    ``mean_square_scattering`` <f²>(Q). ``n_reflections`` counts the Bragg
    reflections summed (±G apart), those of the smallest cell the average
    structure repeats.
    """

    q: np.ndarray
    sq: np.ndarray
    fq: np.ndarray
    iq: np.ndarray
    partials: Dict[Pair, np.ndarray]
    radiation: str
    concentrations: Dict[str, float]
    u_iso: Dict[str, float]
    density: float
    qdamp: float
    mean_scattering: np.ndarray
    mean_square_scattering: np.ndarray
    n_reflections: int
    source: str = ""


def _unit_pair_terms(structure, cart_offsets, occupancy, elements, q) -> Optional[np.ndarray]:
    """Σ over ordered pairs of sites within one unit of (correlated − product weight) sin(Qr)/(Qr),
    per element pair (len(q) × n_el × n_el); None without units."""

    units = structure.units
    if all(place is None for place in units):
        return None
    members: Dict[int, List[int]] = {}
    for site, place in enumerate(units):
        if place is not None:
            members.setdefault(place[0], []).append(site)
    n_el = len(elements)
    out = np.zeros((len(q), n_el, n_el))
    for sites in members.values():
        for m, i in enumerate(sites):
            for j in sites[m + 1 :]:
                same = units[i][1] == units[j][1]
                correlated = np.minimum.outer(occupancy[i], occupancy[j]) if same else 0.0
                change = correlated - np.multiply.outer(occupancy[i], occupancy[j])
                change = np.where(np.multiply.outer(occupancy[i] > 0, occupancy[j] > 0), change, 0.0)
                x = q * float(np.linalg.norm(cart_offsets[j] - cart_offsets[i]))
                sinc = np.sinc(x / math.pi)
                out += np.multiply.outer(sinc, change + change.T)
    return out


def compute_sq(
    structure: Any,
    q,
    *,
    radiation: str = "xray",
    u_iso: Optional[UIso] = None,
    qdamp: float = 0.0,
) -> SqResult:
    """The Faber–Ziman total structure factor S(Q) of a periodic crystal, F(Q) = Q[S(Q) − 1] and I(Q).

    Returns an :class:`SqResult` with ``q``, ``sq``, ``fq`` (Å⁻¹), ``iq``
    (per atom, electrons² or fm²) and the partials S_AB(Q). ``q`` in Å⁻¹,
    any order, Q ≥ 0.

    The model and its weights are those of :func:`compute_pdf`, so that the
    sine transform of F(Q) over 0..Qmax gives back
    ``compute_pdf(structure, u_iso=..., qmax=Qmax, qdamp=...)``:
    occupancies (units of correlated disorder included) as the expectation
    over the disorder; ``u_iso`` the isotropic displacement parameter U in
    Å², one number or a dict per element (None: 0.005 Å², the default of
    :func:`compute_pdf`), which damps a pair A-B by exp(−(U_A + U_B)Q²/2);
    ``qdamp`` (Å⁻¹) the instrument resolution, a Gaussian of that standard
    deviation in Q (exp(−(qdamp r)²/2) on G(r)).

    ``radiation="xray"`` takes the form factors f0(Q) of the neutral atoms
    from periodictable's Cromer–Mann coefficients
    (``periodictable.cromermann.fxrayatq``), so the Faber–Ziman weights
    change with Q (:func:`compute_pdf` weighs X-ray pairs by Z, f0 at
    Q = 0); ``radiation="neutron"`` the bound coherent scattering lengths.

    The crystal is summed in reciprocal space, reflection by reflection up
    to the largest Q asked for, in the compiled core on every core. The cost
    is reflections × sites of the smallest cell the average structure
    repeats: a supercell built from a cell costs what that cell costs (its
    other reflections cancel exactly, so the curves are the same), while an
    ordered box of N sites with no repeat costs N × its reflections.
    """

    structure = as_structure(structure, "compute_sq")
    check_radiation(radiation)
    qdamp = check_positive("qdamp", qdamp, allow_zero=True)
    q = np.asarray(q, dtype=float)
    if q.ndim != 1:
        raise ValueError(f"q must be one-dimensional, got shape {q.shape}")
    if not np.all(np.isfinite(q)) or np.any(q < 0):
        raise ValueError("q must hold finite values of at least 0")
    # The weights G(r) takes (f at Q = 0), for the concentrations and the
    # refusals of an empty or null-scattering composition.
    at_zero = scattering_weights(structure.composition, radiation)
    elements = list(at_zero.elements)
    u = element_u(DEFAULT_U_ISO if u_iso is None else u_iso, elements)
    n_atoms = at_zero.n_atoms
    concentration = at_zero.concentrations
    powers = form_factors(elements, radiation, q)

    matrix = np.asarray(structure.lattice_matrix, dtype=float)
    volume = abs(float(np.linalg.det(matrix)))
    frac = np.asarray(structure.frac_coords, dtype=float)
    occupancy = np.zeros((len(frac), len(elements)))
    index = {e: k for k, e in enumerate(elements)}
    for site, species in enumerate(structure.species):
        for element, amount in species.items():
            if element in index:
                occupancy[site, index[element]] += amount
    n_el = len(elements)
    u_vector = np.array([u[e] for e in elements])
    pair_u = u_vector[:, None] + u_vector[None, :]

    # The average crystal's pairs, summed in reciprocal space in the
    # compiled core: per atom, each Bragg line a Gaussian of the resolution
    # damped by its pairs' displacements.
    distinct, n_reflections, _ = _bragg_sums(matrix, frac.ravel(), occupancy.ravel(), u_vector, q, qdamp=qdamp)
    # Less each site's pairing with itself, which the average structure holds and no crystal does.
    damping = np.exp(-0.5 * np.multiply.outer(q**2, pair_u))
    same_site = occupancy.T @ occupancy / n_atoms
    distinct -= same_site[None] * damping
    cart_offsets = (frac + unit_offsets(structure, frac)) @ matrix
    units = _unit_pair_terms(structure, cart_offsets, occupancy, elements, q)
    if units is not None:
        distinct += units / n_atoms * damping

    c = np.array([concentration[e] for e in elements])
    f = np.stack([powers[e] for e in elements], axis=1)  # (Q, A)
    mean = f @ c
    mean_square = (f**2) @ c
    weighted = np.einsum("qa,qb,qab->q", f, f, distinct)
    sq = 1.0 + weighted / mean**2
    partials = {}
    for a in range(n_el):
        for b in range(a, n_el):
            partials[(elements[a], elements[b])] = 1.0 + distinct[:, a, b] / (c[a] * c[b])
    return SqResult(
        q=q,
        sq=sq,
        fq=q * (sq - 1.0),
        iq=mean_square + weighted,
        partials=partials,
        radiation=radiation,
        concentrations=concentration,
        u_iso=u,
        density=n_atoms / volume,
        qdamp=qdamp,
        mean_scattering=mean,
        mean_square_scattering=mean_square,
        n_reflections=int(n_reflections),
        source=scattering_source(),
    )
