"""G(r) over the orderings of a disordered structure, beside its occupancy-weighted G(r)."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping

import numpy as np

from kestrel._kestrel import Structure
from kestrel.scattering.pdf import compute_pdf


@dataclass
class EnsemblePdf:
    """G(r) over many orderings beside the occupancy-weighted G(r).

    ``difference`` is the mean over the orderings minus the weighted curve;
    ``options`` are the :func:`compute_pdf` arguments every curve shares.
    """

    r: np.ndarray
    mean: np.ndarray
    std: np.ndarray
    disordered: np.ndarray
    difference: np.ndarray
    options: Dict[str, object] = field(default_factory=dict)


class OrderingPdfs:
    """Collects the G(r) of each ordering for ``ordering_ensemble(pdf=...)``."""

    def __init__(self, structure: Structure, options: Mapping[str, Any], cutoff: float, n_threads: int):
        self.options: Dict[str, Any] = {"cutoff": cutoff, "n_threads": n_threads, **dict(options)}
        self.options.pop("partials", None)
        self.disordered = compute_pdf(structure, **self.options)
        self.curves: List[np.ndarray] = []

    def add(self, ordered: Structure) -> None:
        self.curves.append(compute_pdf(ordered, **self.options).g)

    def result(self) -> EnsemblePdf:
        mean = np.mean(self.curves, axis=0)
        return EnsemblePdf(
            r=self.disordered.r,
            mean=mean,
            std=np.std(self.curves, axis=0),
            disordered=self.disordered.g,
            difference=mean - self.disordered.g,
            options=self.options,
        )
