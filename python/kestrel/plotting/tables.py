"""CSV tables of curves and the conversions the figures and tables share."""

from __future__ import annotations

import csv
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

if TYPE_CHECKING:
    pass

Pair = Tuple[str, str]


def dimensionless(
    partials: Mapping[Pair, Iterable[float]], partner_densities: Mapping[str, float]
) -> Dict[Pair, List[float]]:
    """g_AB(r) = (rho_B g_AB(r)) / rho_B for every pair; 0 where rho_B is 0."""
    result = {}
    for (a, b), curve in partials.items():
        rho = float(partner_densities.get(b, 0.0))
        result[(a, b)] = [float(x) / rho if rho > 0 else 0.0 for x in curve]
    return result


def bin_centres(r: Iterable[float], bin_size: Optional[float]) -> List[float]:
    half = 0.5 * float(bin_size) if bin_size else 0.0
    return [float(x) + half for x in r]


# ---- shared CSV and figure helpers ---------------------------------------------


def _short(value: float) -> str:
    # Ten significant digits: bin edges such as 3 x 0.1 print as 0.3, not
    # 0.30000000000000004, and no curve loses a digit anyone can measure.
    return "{:.10g}".format(float(value))


def write_table(path: str, columns: Mapping[str, Any], comments: Sequence[str] = ()) -> str:
    """A CSV with ``#`` comment lines, a header row and one row per index of the columns.

    Each column is a list or a NumPy array of numbers, all of one length.
    """
    names = list(columns)
    length = len(next(iter(columns.values()))) if columns else 0
    with open(path, "w", newline="", encoding="utf-8") as handle:
        for comment in comments:
            handle.write("# {}\n".format(comment))
        writer = csv.writer(handle)
        writer.writerow(names)
        for k in range(length):
            writer.writerow([_short(columns[name][k]) for name in names])
    return path
