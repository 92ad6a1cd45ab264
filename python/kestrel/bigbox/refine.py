"""Big-box refinement: an ordered supercell fitted to measured total scattering by trial moves."""

from __future__ import annotations

import math
import time
from typing import Any, Callable, List, Mapping, Optional, Sequence, Union

import numpy as np

from kestrel._defaults import SEED, SHELLS
from kestrel._kestrel import Structure, _big_box_model, _big_box_refine
from kestrel.bigbox.arguments import instrument_settings, min_distance_table, move_set_of, repeats_of
from kestrel.bigbox.curves import (
    FINEST_BIN,
    FitCurve,
    ModelFacts,
    as_data_list,
    choose_bin,
    curve_spec,
    fit_curve,
    model_reach,
    q_spec,
    reciprocal_model,
)
from kestrel.bigbox.result import MOVE_KINDS, BigBoxFit, SroSummary, first_peak_distance, partial_curves
from kestrel.bigbox.start import shaken, sqs_start, take_start
from kestrel.ordering import warren_cowley
from kestrel.scattering.agreement import fit_scale
from kestrel.scattering.fit_result import PdfRefinement
from kestrel.scattering.pdf import compute_pdf

__all__ = ["refine_big_box"]


# With displacement moves the atoms carry their thermal motion themselves, so
# the peaks of the histogram get only this narrow width (Å², per element):
# enough to smooth the sampling of a model of a few thousand atoms.
DISPLACED_PEAK_U = 0.0005

# Without a u_iso, from the arguments or a small-box fit, a model on its sites
# broadens its peaks by this (Å²), the usual start of a PDF refinement.
DEFAULT_U = 0.005

# Without supercell or max_sites, the model holds at most this many sites.
DEFAULT_MAX_SITES = 4096


def refine_big_box(
    structure: Structure,
    data,
    *,
    radiation: str = "xray",
    supercell: Union[int, Sequence[int], None] = None,
    max_sites: Optional[int] = None,
    moves: Union[str, Sequence[str]] = ("swap",),
    u_iso=None,
    qmax: Optional[float] = None,
    qdamp: float = 0.0,
    rmin: float = 1.0,
    rmax: float = 20.0,
    sublattices: Optional[Sequence[int]] = None,
    min_distance: Union[None, float, Mapping[Any, float]] = None,
    max_step: float = 0.1,
    shells: int = SHELLS,
    start: Union[str, Structure] = "random",
    time_limit: Optional[float] = 60.0,
    iterations: Optional[int] = None,
    replicas: int = 1,
    n_threads: int = 0,
    seed: int = SEED,
    progress: Optional[Callable[[float, float, int], Any]] = None,
    instrument: Optional[PdfRefinement] = None,
    client=None,
    resample: bool = False,
) -> BigBoxFit:
    """Refine an ordered supercell of ``structure`` against measured G(r), F(Q) or S(Q) data by trial moves.

    The model is a ``supercell`` (n or (na, nb, nc) repeats) or the largest
    n × n × n within ``max_sites``. A disordered structure's sites are filled
    as the expansion fills them (``start="random"``, each pool of equivalent
    sites with its atom counts and vacancies in a seeded random order), as an
    SQS (``start="sqs"``), or as a given ordered supercell (``start=`` a
    Structure on the same sites, positions kept). ``data``: a ``.gr`` path,
    ``(r, G)`` arrays, what :func:`read_gr` returns, a ``.fq``/``.sq`` path or
    what :func:`read_q_data` returns (F(Q), S(Q)), a :class:`BigBoxData`, or a
    list of them (X-ray and neutron data of one sample, G(r) beside F(Q),
    each with its weight).

    ``moves``: "swap" (sites of one pool trade species or vacancies, and copies
    of a unit of correlated disorder trade whole alternatives) and
    "displace" (an atom moves uniformly within ``max_step`` Å; a move that
    brings a pair closer than ``min_distance`` Å, one number or {"A-B": d},
    is refused). Ordered structures swap only with ``sublattices``: one label
    per site of ``structure``; sites with the same label ≥ 0 trade places.

    The model's G(r) follows the scattering engine (Faber-Ziman weights,
    ``radiation``, peaks of width U_A + U_B from ``u_iso``, ``qdamp``
    envelope, ``qmax`` cut-off); a scale factor per data set is refined in
    closed form at every move. ``instrument=`` a small-box
    :class:`PdfRefinement` supplies qmax, qdamp, radiation and U where they
    are not given. With "displace", the atoms carry the thermal motion: the
    start is shaken by u_iso and the peaks are only 0.0005 Å² wide.

    The cost is Σ w_d Rw_d² / Σ w_d, lowered by annealing: each replica
    cools geometrically from half the mean rise of trial moves at the start to
    a thousandth of it by the end of ``iterations`` trial moves or
    ``time_limit`` seconds (iterations alone reproduce exactly). ``replicas``
    independent runs (seeds derived from ``seed``) go on the pool's threads,
    or onto a Dask cluster with ``client=`` (a Client or its address); the
    same seed gives the same replicas either way. ``progress(seconds, rw,
    moves tried)`` is called a few times a second. Returns a :class:`BigBoxFit`.

    ``resample=True``: each replica fits the data plus its own normal draw
    of the data's noise (each data set's uncertainties: its file's error
    column or ``BigBoxData(noise=σ)``), so the spread of α over the replicas
    holds what the noise leaves open as well as what the search does.
    """
    began = time.perf_counter()
    move_set = move_set_of(moves)
    if instrument is not None:
        radiation, qmax, qdamp, u_iso = instrument_settings(instrument, radiation, qmax, qdamp, u_iso)
    if not (isinstance(replicas, int) and replicas >= 1):
        raise ValueError(f"replicas must be a whole number of at least 1, got {replicas!r}")
    if not (rmin < rmax):
        raise ValueError(f"rmin must be below rmax, got {rmin:g} and {rmax:g}")
    repeats = repeats_of(structure, supercell, max_sites, DEFAULT_MAX_SITES)
    model = _big_box_model(structure, repeats, sublattices, seed)
    elements = list(model["elements"])
    lattice = np.asarray(model["lattice"]).reshape(3, 3)
    frac = np.asarray(model["frac"]).reshape(-1, 3)
    species = np.asarray(model["species"]).astype(int)
    if isinstance(start, Structure):
        frac, species = take_start(start, lattice, frac, species, elements)
    elif start == "sqs":
        species = sqs_start(structure, repeats, shells, seed, n_threads, frac, species, lattice, elements)
    elif start != "random":
        raise ValueError(f"start must be 'random', 'sqs' or a Structure, got {start!r}")
    if "swap" in move_set and not model["pools"] and not model["units"]:
        raise ValueError(
            "nothing can be swapped: every site holds one whole atom; give sublattices to say which sites "
            "may trade places, or use moves=('displace',)"
        )
    counts = {e: int(np.count_nonzero(species == k)) for k, e in enumerate(elements)}
    volume = abs(float(np.linalg.det(lattice)))
    displace = "displace" in move_set
    model_u = u_iso if u_iso is not None else DEFAULT_U
    if displace and not isinstance(start, Structure):
        frac = shaken(frac, species, lattice, model_u, elements, seed)
    peak_u = DISPLACED_PEAK_U if displace else model_u

    items = as_data_list(data)
    first_curves = [fit_curve(item, radiation, qmax, qdamp, rmin, rmax, 1.0) for item in items]
    steps = [float(c.r[1] - c.r[0]) for c in first_curves if c.kind == "gr"]
    bin_ = choose_bin(steps) if steps else FINEST_BIN
    curves = [fit_curve(item, radiation, qmax, qdamp, rmin, rmax, bin_) for item in items]
    specs, reach = [], 0.0
    q_reach = model_reach(lattice)
    facts = ModelFacts(elements, counts, volume, peak_u, bin_)
    for curve in curves:
        if curve.kind == "gr":
            spec, profile_reach = curve_spec(curve, facts)
            specs.append(spec)
            reach = max(reach, float(curve.r[-1]) + profile_reach + bin_)
        else:
            specs.append(None)
            reach = max(reach, q_reach + bin_)
    n_bins = int(math.ceil(reach / bin_))
    for k, curve in enumerate(curves):
        if specs[k] is None:
            specs[k] = q_spec(curve, facts, n_bins, q_reach)
        if resample:
            if curve.noise is None:
                raise ValueError(
                    f"resample needs the uncertainties of data set '{curve.label}': "
                    "a file with an error column, or BigBoxData(noise=σ)"
                )
            specs[k]["noise"] = curve.noise

    fitted_model = dict(model, frac=frac.ravel(), species=species)
    settings = dict(
        swap="swap" in move_set,
        displace=displace,
        max_step=float(max_step),
        min_distance=min_distance_table(min_distance, elements),
        bin=bin_,
        n_bins=n_bins,
        iterations=iterations,
        time_limit=time_limit if iterations is None else None,
        seed=seed,
    )
    if iterations is None and time_limit is None:
        raise ValueError("give a time limit or a number of iterations")
    if client is not None:
        outcomes = _on_dask(client, fitted_model, specs, settings, replicas)
    else:
        outcomes = _big_box_refine(
            fitted_model, specs, replicas=list(range(replicas)), n_threads=n_threads, progress=progress, **settings
        )
    return _fit_result(
        structure,
        outcomes,
        curves,
        specs,
        elements,
        lattice,
        model,
        species,
        bin_,
        peak_u,
        shells,
        repeats,
        began,
        dict(
            radiation=radiation,
            qmax=qmax,
            qdamp=qdamp,
            u_iso=model_u,
            peak_u=peak_u,
            moves=tuple(sorted(move_set)),
            resample=bool(resample),
        ),
    )


# ---- running -----------------------------------------------------------------------------------


def _run_replica(model: dict, specs: list, settings: dict, replica: int) -> dict:
    """One replica, on whichever machine runs it."""
    return _big_box_refine(model, specs, replicas=[replica], n_threads=1, **settings)[0]


def _on_dask(client, model: dict, specs: list, settings: dict, replicas: int) -> List[dict]:
    owned = None
    if isinstance(client, str):
        import distributed

        client = owned = distributed.Client(client)
    try:
        futures = [client.submit(_run_replica, model, specs, settings, k, pure=False) for k in range(replicas)]
        return client.gather(futures)
    finally:
        if owned is not None:
            owned.close()


# ---- the result --------------------------------------------------------------------------------


def _structure_of(lattice, frac, species, elements) -> Structure:
    keep = species >= 0
    return Structure(lattice, frac[keep], [{elements[k]: 1.0} for k in species[keep]])


def _sro(lattice, frac, species, elements, pool_labels, shells):
    """α of the swapped pools, vacancies as "Va"; fixed sites take no part."""
    if not np.any(pool_labels >= 0):
        return None
    inside = pool_labels >= 0
    sites = [{elements[k]: 1.0} if k >= 0 else {} for k in species[inside]]
    return warren_cowley(Structure(lattice, frac[inside], sites), shells=shells, sublattices=pool_labels[inside])


def _fit_result(
    structure,
    outcomes,
    curves: List[FitCurve],
    specs: List[dict],
    elements,
    lattice,
    model,
    start_species,
    bin_,
    peak_u,
    shells,
    repeats,
    began,
    settings,
) -> BigBoxFit:
    pool_labels = np.full(len(start_species), -1)
    for p, pool in enumerate(model["pools"]):
        pool_labels[np.asarray(pool, dtype=int)] = p
    structures, sros = [], []
    for outcome in outcomes:
        species = np.asarray(outcome["species"]).astype(int)
        frac = np.asarray(outcome["frac"]).reshape(-1, 3)
        structures.append(_structure_of(lattice, frac, species, elements))
        if settings["moves"] and "swap" in settings["moves"]:
            sro = _sro(lattice, frac, species, elements, pool_labels, shells)
            if sro is not None:
                sros.append(sro)
    best = int(np.argmin([o["rw_total"] for o in outcomes]))
    fitted = structures[best]

    # The final G(r) from the engine itself, on the fitted structure; a
    # curve in Q from the fitted counts, summed as the refinement sums it
    # (out to the model's reach, which the engine's S(Q) of the crystal has not).
    r_list, data_list, model_list, diff_list, rws, scales = [], [], [], [], [], []
    weights = np.array([c.weight for c in curves])
    for curve, spec in zip(curves, specs):
        if curve.kind == "gr":
            computed = compute_pdf(
                fitted, r=curve.r, radiation=curve.radiation, u_iso=peak_u, qmax=curve.qmax, qdamp=curve.qdamp
            ).g
        else:
            computed = reciprocal_model(curve, spec, outcomes[best]["counts"])
        agreement = fit_scale(curve.r, curve.g, computed)
        r_list.append(curve.r)
        data_list.append(curve.g)
        model_list.append(agreement.scale * computed)
        diff_list.append(curve.g - agreement.scale * computed)
        rws.append(agreement.rw)
        scales.append(agreement.scale)
    total = math.sqrt(float(np.dot(weights, np.square(rws)) / weights.sum())) if weights.sum() > 0 else rws[0]

    counts = np.asarray(outcomes[best]["counts"])
    atoms = {e: int(np.count_nonzero(np.asarray(outcomes[best]["species"]) == k)) for k, e in enumerate(elements)}
    volume = abs(float(np.linalg.det(lattice)))
    coarse = max(1, int(round(0.02 / bin_)))
    partial_r, partials = partial_curves(counts, elements, atoms, volume, bin_, coarse)
    table = counts.reshape(-1, counts.size // (len(elements) * (len(elements) + 1) // 2))
    bonds = {}
    p = 0
    for i, a in enumerate(elements):
        for b in elements[i:]:
            if atoms[a] and atoms[b]:
                bonds[(a, b)] = first_peak_distance(table[p].astype(float), bin_)
            p += 1

    tried = {kind: int(sum(o["tried"][k] for o in outcomes)) for k, kind in enumerate(MOVE_KINDS)}
    accepted = {kind: int(sum(o["accepted"][k] for o in outcomes)) for k, kind in enumerate(MOVE_KINDS)}
    settings = dict(
        settings,
        supercell="x".join(str(n) for n in repeats),
        formula=" ".join(f"{e}{atoms[e]}" for e in elements if atoms[e]),
        bin=bin_,
        seed_replicas=[int(o["replica"]) for o in outcomes],
    )
    return BigBoxFit(
        structure=fitted,
        structures=structures,
        rw=total,
        rw_per_data=rws,
        scale=scales,
        labels=[c.label for c in curves],
        r=r_list,
        data=data_list,
        model=model_list,
        difference=diff_list,
        sro=SroSummary(sros) if sros else None,
        partial_r=partial_r,
        partials=partials,
        bond_lengths=bonds,
        moves_tried=tried,
        moves_accepted=accepted,
        seconds=time.perf_counter() - began,
        history=[np.asarray(o["history"]) for o in outcomes],
        replica_rw=[float(o["rw_total"]) for o in outcomes],
        settings=settings,
        kinds=[c.kind for c in curves],
    )
