"""The settings of a batch run, the optional dependencies it needs and the table's metadata key."""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from itertools import combinations_with_replacement
from typing import Any, Dict, Iterable, List, Optional, Tuple

from kestrel._defaults import MAX_BYTES, OCCUPANCY_TOLERANCE
from kestrel._kestrel import __version__, rdf_bins

INSTALL_HINT = 'pip install "kestrel[batch]"'
CURVES = ("both", "total", "partials")
METADATA_KEY = b"kestrel"
TABLE_VERSION = 1


def _require(module: str):
    """Import one of the optional batch dependencies, naming the extra when it is missing."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"kestrel's batch tables need {module.split('.')[0]}: {INSTALL_HINT}") from error


# ---- settings ------------------------------------------------------------------


@dataclass(frozen=True)
class _Settings:
    """The RDF parameters of a run: what every row of one table shares."""

    cutoff: float
    bin_size: float
    curves: str
    elements: Optional[Tuple[str, ...]]
    symprec: float
    occupancy_tolerance: float = OCCUPANCY_TOLERANCE  # CIF sites adding up to at most 1 + this are scaled to 1
    max_bytes: int = MAX_BYTES  # the most text one file may hold, decompressed

    @property
    def pairs(self) -> List[Tuple[str, str]]:
        """Feature pairs: unordered pairs of the element list, each once, in list order."""
        return list(combinations_with_replacement(self.elements, 2)) if self.elements else []

    @property
    def wants_partials(self) -> bool:
        return self.curves != "total" or bool(self.elements)

    def bin_edges(self) -> List[float]:
        return list(_bin_edges(self.cutoff, self.bin_size))

    def metadata(self) -> Dict[str, Any]:
        return {
            "table_version": TABLE_VERSION,
            "kestrel_version": __version__,
            "cutoff": self.cutoff,
            "bin_size": self.bin_size,
            "curves": self.curves,
            "elements": list(self.elements) if self.elements else None,
            "feature_pairs": [list(pair) for pair in self.pairs],
            "bin_edges": self.bin_edges(),
            "symprec": self.symprec,
        }


def _bin_edges(cutoff: float, bin_size: float) -> Tuple[float, ...]:
    # The engine's own rule, with its own messages for parameters it refuses.
    return tuple(rdf_bins(cutoff, bin_size)["edges"])


def _settings(
    cutoff: float,
    bin_size: float,
    curves: str,
    elements: Optional[Iterable[str]],
    symprec: float,
    occupancy_tolerance: float = OCCUPANCY_TOLERANCE,
    max_bytes: int = MAX_BYTES,
) -> _Settings:
    if curves not in CURVES:
        raise ValueError(f"curves must be one of {', '.join(CURVES)}, not '{curves}'")
    element_list: Optional[Tuple[str, ...]] = None
    if elements is not None:
        element_list = tuple(str(e).strip() for e in elements)
        if not element_list or any(not e for e in element_list):
            raise ValueError("the element list is empty or has an empty name")
        repeated = sorted({e for e in element_list if element_list.count(e) > 1})
        if repeated:
            raise ValueError(f"the element list names {', '.join(repeated)} more than once")
    settings = _Settings(
        float(cutoff), float(bin_size), curves, element_list, float(symprec), float(occupancy_tolerance), max_bytes
    )
    settings.bin_edges()  # refuses a bad cutoff or bin size before any work starts
    return settings
