"""The arguments of a big-box refinement, checked and put in the form the compiled core takes."""

from __future__ import annotations

import math
from typing import List, Mapping, Optional, Sequence, Tuple

import numpy as np

from kestrel._kestrel import Structure
from kestrel.scattering.fit_result import PdfRefinement

MOVES = ("swap", "displace")


def move_set_of(moves) -> frozenset:
    """The kinds of move asked for, checked."""
    names = [m.strip() for m in moves.split(",")] if isinstance(moves, str) else list(moves)
    for name in names:
        if name not in MOVES:
            raise ValueError(f"moves may be 'swap' and 'displace', got {name!r}")
    if not names:
        raise ValueError("give at least one kind of move")
    return frozenset(names)


def instrument_settings(fit: PdfRefinement, radiation, qmax, qdamp, u_iso):
    """qmax, qdamp, radiation and U of a small-box fit, where the arguments leave them open."""
    values = fit.values
    if qdamp == 0.0 and "qdamp" in values:
        qdamp = float(values["qdamp"])
    if qmax is None and fit.settings.get("qmax") not in (None, "", "none"):
        try:
            qmax = float(str(fit.settings["qmax"]).split()[0])
        except ValueError:
            qmax = None
    setting = str(fit.settings.get("radiation", "")).split()
    if setting and setting[0] in ("xray", "neutron"):
        radiation = setting[0]
    if u_iso is None:
        found = {k[2:-1]: float(v) for k, v in values.items() if k.startswith("U(") and k.endswith(")")}
        if found:
            u_iso = found
    return radiation, qmax, qdamp, u_iso


def repeats_of(structure: Structure, supercell, max_sites, default_max_sites: int) -> Tuple[int, int, int]:
    """The supercell's repeats: as given, or the largest n × n × n within max_sites."""
    if supercell is not None and max_sites is not None:
        raise ValueError("give either supercell or max_sites")
    if supercell is not None:
        values = (supercell,) * 3 if np.ndim(supercell) == 0 else tuple(supercell)
        if len(values) != 3 or any(int(v) != v or v < 1 for v in values):
            raise ValueError("supercell must be three whole numbers of at least 1")
        return tuple(int(v) for v in values)  # type: ignore[return-value]
    limit = default_max_sites if max_sites is None else int(max_sites)
    if structure.n_sites > limit:
        raise ValueError(f"the structure holds {structure.n_sites} sites, above max_sites {limit}")
    n = max(1, int(math.floor((limit / structure.n_sites) ** (1.0 / 3.0) + 1e-9)))
    return (n, n, n)


def min_distance_table(min_distance, elements: Sequence[str]) -> Optional[List[float]]:
    """min_distance as a flat table per species pair [a * m + b], or None."""
    if min_distance is None:
        return None
    m = len(elements)
    table = np.zeros((m, m))
    if isinstance(min_distance, Mapping):
        for key, value in min_distance.items():
            a, b = key.split("-") if isinstance(key, str) else key
            if a not in elements or b not in elements:
                raise ValueError(f"min_distance names the pair {a}-{b}, but the model holds {', '.join(elements)}")
            table[elements.index(a), elements.index(b)] = table[elements.index(b), elements.index(a)] = float(value)
    else:
        table[:] = float(min_distance)
    if not np.all(np.isfinite(table)) or np.any(table < 0):
        raise ValueError("min_distance must be finite distances, not negative")
    return [float(v) for v in table.ravel()]
