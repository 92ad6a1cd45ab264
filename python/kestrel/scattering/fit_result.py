"""The outcome of a PDF refinement: values with uncertainties, agreement, curves and a readable table."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Optional

import numpy as np

from kestrel._kestrel import Structure
from kestrel.plotting.refinement import with_uncertainty
from kestrel.scattering.q_files import KIND_NAMES, POINT_UNITS


@dataclass(repr=False)
class DataSetFit:
    """One data set of a refinement and the model on it.

    ``kind`` is "gr", "sq", "fq" or "iq"; ``x`` the points of the fit range
    (r in Å or Q in Å⁻¹), ``observed``, ``calculated`` and ``difference``
    (observed − calculated) on them, ``uncertainties`` the data's own (or
    None). ``rw`` is sqrt(Σ w (y_obs − y_calc)² / Σ w y_obs²) with
    w = 1/uncertainty², or w = 1 without them; ``rw_unweighted`` the same
    with w = 1. ``scale`` names the data set's own scale parameter (None:
    it takes the phases' scales).
    """

    label: str
    kind: str
    x: np.ndarray
    observed: np.ndarray
    calculated: np.ndarray
    difference: np.ndarray
    uncertainties: Optional[np.ndarray]
    rw: float
    rw_unweighted: float
    scale: Optional[str] = None

    @property
    def weighted(self) -> bool:
        return self.uncertainties is not None

    @property
    def name(self) -> str:
        """What the data set holds: "G(r)", "S(Q)", "F(Q)" or "I(Q)"."""
        return KIND_NAMES[self.kind]

    def summary(self) -> str:
        """One line: its Rw, how it is weighted, its points and their range."""
        kind = "weighted by its uncertainties" if self.weighted else "unweighted"
        return (
            f"{self.label} ({self.name}): Rw = {self.rw:.4f} ({kind}), unweighted Rw = {self.rw_unweighted:.4f}, "
            f"{len(self.x)} points over {self.x[0]:g}-{self.x[-1]:g} {POINT_UNITS[self.kind]}"
        )

    def __repr__(self) -> str:
        return f"DataSetFit({self.label!r}, {self.name}, rw={self.rw:.4f}, {len(self.x)} points)"


@dataclass(repr=False)
class PdfRefinement:
    """A structure model refined against a measured G(r).

    Attributes:

    - rw: the agreement factor sqrt(Σ w (G_obs − G_calc)² / Σ w G_obs²) over
      the fit range, weighted by w = 1/dG² when the data give dG (then
      ``weighted`` is True), else the unweighted one. With several data sets
      (G(r), S(Q), F(Q), I(Q)) the joint one: the root mean square of their
      Rw, the quantity the fit minimised.
    - rw_unweighted: the same with w = 1.
    - data_sets: one :class:`DataSetFit` per data set (the G(r) first), each
      with its own Rw, points and curves; ``rw_of(label)`` reads one Rw.
    - values: every parameter's refined (or fixed) value, by name.
    - uncertainties: one standard deviation of each varied parameter, from
      the Jacobian at the solution, scaled by the reduced χ².
    - reduced_chi2: Σ (w (y_obs − y_calc))² / (points − varied); with several
      data sets, of the residuals as the fit weighed them (each divided by
      sqrt(Σ w y_obs²) of its data set).
    - varied: the varied parameters' names, the order of ``correlations``.
    - correlations: their correlation matrix.
    - r, g_obs, g_calc, difference, dg: the fit points of the G(r) data, the
      data, the model on them, G_obs − G_calc, and dG (or None); empty
      without G(r) data.
    - phase_curves: each phase's scaled contribution on the fit points
      (several phases, or the orderings of an ensemble).
    - phase_fractions: with several phases, each one's share of the atoms,
      x_p ∝ scale_p / <b>_p² (the scales weigh each phase's G by its
      atoms' share and its mean scattering power squared).
    - converged, message: whether the least-squares solver met its
      tolerance, and its own words.
    - at_bounds: varied parameters that ended on a bound.
    - warnings: what the fit noticed (not converged, a bound, settings
      taken from the data's header).
    - settings: qmax, qdamp start and radiation with where each came from.
    - structures: the refined structure of each phase (lattice, positions,
      occupancies).
    - origin_held: a sentence per position parameter the fit held because
      the space group lets the origin slide along its direction (a polar
      axis), naming the parameter, its value and the direction.
    """

    rw: float
    rw_unweighted: float
    weighted: bool
    values: Dict[str, float]
    uncertainties: Dict[str, float]
    varied: List[str]
    correlations: np.ndarray
    r: np.ndarray
    g_obs: np.ndarray
    g_calc: np.ndarray
    difference: np.ndarray
    dg: Optional[np.ndarray]
    rmin: float
    rmax: float
    reduced_chi2: float
    converged: bool
    message: str
    n_evaluations: int
    seconds: float
    at_bounds: List[str] = field(default_factory=list)
    warnings: List[str] = field(default_factory=list)
    settings: Dict[str, str] = field(default_factory=dict)
    phase_curves: List[np.ndarray] = field(default_factory=list)
    phase_names: List[str] = field(default_factory=list)
    phase_fractions: Optional[Dict[str, float]] = None
    ensemble: bool = False
    structures: List[Structure] = field(default_factory=list)
    origin_held: List[str] = field(default_factory=list)
    data_sets: List[DataSetFit] = field(default_factory=list)

    def rw_of(self, label: str) -> float:
        """The Rw of one data set, by its label (its file name)."""
        for data in self.data_sets:
            if data.label == label:
                return data.rw
        raise KeyError(f"no data set '{label}': the data sets are {', '.join(d.label for d in self.data_sets)}")

    def correlation(self, first: str, second: str) -> float:
        """The correlation coefficient of two varied parameters."""
        return float(self.correlations[self.varied.index(first), self.varied.index(second)])

    def table(self) -> List[Dict[str, object]]:
        """One row per parameter: name, value, uncertainty (None when fixed), varied."""
        return [
            {"name": name, "value": value, "uncertainty": self.uncertainties.get(name), "varied": name in self.varied}
            for name, value in self.values.items()
        ]

    def report(self) -> str:
        """A plain-text table of the parameters with their uncertainties, then the agreement."""
        lines = []
        for text in self.warnings:
            lines.append(f"warning: {text}")
        for text in self.origin_held:
            lines.append(f"origin: {text}")
        width = max([len(name) for name in self.values] + [9])
        lines.append(f"{'parameter':<{width}}  {'value':>14}  {'uncertainty':>12}")
        for row in self.table():
            value, error = with_uncertainty(row["value"], row["uncertainty"])
            mark = "  (at a bound)" if row["name"] in self.at_bounds else ""
            lines.append(f"{row['name']:<{width}}  {value:>14}  {error:>12}{mark}")
        if self.phase_fractions:
            lines.append(
                "phase fractions (atoms): " + ", ".join(f"{k} {v:.4f}" for k, v in self.phase_fractions.items())
            )
        lines += self._agreement_lines()
        pairs = self.strong_correlations()
        if pairs:
            lines.append("correlations beyond 0.8: " + ", ".join(f"{a}/{b} {c:+.3f}" for a, b, c in pairs))
        state = "converged" if self.converged else "NOT converged"
        lines.append(f"{state} after {self.n_evaluations} model evaluations in {self.seconds:.3f} s: {self.message}")
        return "\n".join(lines)

    def _agreement_lines(self) -> List[str]:
        if len(self.data_sets) > 1:
            lines = [data.summary() for data in self.data_sets]
            points = sum(len(data.x) for data in self.data_sets)
            lines.append(
                f"joint Rw = {self.rw:.4f} (the root mean square of the {len(self.data_sets)} data sets' Rw), "
                f"reduced chi2 = {self.reduced_chi2:.4g}, {points} points"
            )
            return lines
        data = self.data_sets[0] if self.data_sets else None
        if data is None or data.kind == "gr":
            kind = "weighted by dG" if self.weighted else "unweighted"
            return [
                f"Rw = {self.rw:.4f} ({kind}), unweighted Rw = {self.rw_unweighted:.4f}, "
                f"reduced chi2 = {self.reduced_chi2:.4g}, {len(self.r)} points over {self.rmin:g}-{self.rmax:g} Å"
            ]
        kind = "weighted by its uncertainties" if self.weighted else "unweighted"
        what = data.name if data.label == data.name else f"{data.label} ({data.name})"
        return [
            f"Rw = {self.rw:.4f} ({kind}), unweighted Rw = {self.rw_unweighted:.4f}, "
            f"reduced chi2 = {self.reduced_chi2:.4g}, {len(data.x)} points of {what} over "
            f"{data.x[0]:g}-{data.x[-1]:g} Å⁻¹"
        ]

    def strong_correlations(self, threshold: float = 0.8):
        out = []
        for i, first in enumerate(self.varied):
            for j in range(i + 1, len(self.varied)):
                value = float(self.correlations[i, j])
                if abs(value) > threshold:
                    out.append((first, self.varied[j], value))
        return out

    def __repr__(self) -> str:
        shown = ", ".join(
            "{}={}±{}".format(name, *with_uncertainty(value, self.uncertainties[name]))
            for name, value in self.values.items()
            if name in self.varied
        )
        flags = "" if self.converged else ", NOT converged"
        if self.at_bounds:
            flags += f", at a bound: {', '.join(self.at_bounds)}"
        each = ""
        if len(self.data_sets) > 1:
            each = " (" + ", ".join(f"{data.label} {data.rw:.4f}" for data in self.data_sets) + ")"
        return f"PdfRefinement(rw={self.rw:.4f}{each}, {shown}{flags})"

    def save_plots(self, folder: str, title: Optional[str] = None) -> List[str]:
        """Write ``refinement.csv``, ``refinement.png`` and ``parameters.csv`` into ``folder``; returns the paths."""
        from kestrel.plotting.refinement import save_refinement_plots

        return save_refinement_plots(self, folder, title)
