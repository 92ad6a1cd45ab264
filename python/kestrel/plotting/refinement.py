"""A PDF refinement's CSVs and figure: data, model and the difference hung below, the parameters beside."""

from __future__ import annotations

import csv
import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, List, Optional

import numpy as np

from kestrel.plotting.style import _STYLE, _matplotlib

if TYPE_CHECKING:
    from kestrel.scattering.fit_result import PdfRefinement

_DATA_COLOUR = "#1f4e79"
_MODEL_COLOUR = "#a23b2a"
_DIFFERENCE_COLOUR = "#2a7a3b"


# Axis labels of each kind of data: the points, then the values.
_AXES = {
    "gr": ("r (Å)", "G(r) (Å$^{-2}$)"),
    "sq": ("Q (Å$^{-1}$)", "S(Q)"),
    "fq": ("Q (Å$^{-1}$)", "F(Q) (Å$^{-1}$)"),
    "iq": ("Q (Å$^{-1}$)", "I(Q)"),
}


@dataclass
class _Panel:
    """One data set as a figure draws it."""

    kind: str
    label: str
    x: np.ndarray
    observed: np.ndarray
    calculated: np.ndarray
    difference: np.ndarray
    rw: float


def save_refinement_plots(fit: PdfRefinement, folder: str, title: Optional[str] = None) -> List[str]:
    """Write ``refinement.csv`` (the G(r) curves), ``parameters.csv`` and ``refinement.png`` into ``folder``.

    The figure draws each data set in a panel of its own: the measured
    curve as points, the model over them and the difference hung below on
    its own zero line; several phases are drawn each on its own, an
    ensemble's orderings as the band of their spread around the mean. The
    parameter table stands beside the curves. Each data set in Q has its
    curves in ``refinement_<kind>.csv`` (``refinement_fq.csv``, ...,
    numbered when two share a kind). Returns the paths written.
    """

    os.makedirs(folder, exist_ok=True)
    written = [_write_curves(os.path.join(folder, "refinement.csv"), fit)] if len(fit.r) else []
    written += _write_q_curves(folder, fit)
    written.append(_write_parameters(os.path.join(folder, "parameters.csv"), fit))
    figure_tools = _matplotlib()
    written.append(_plot(figure_tools, os.path.join(folder, "refinement.png"), fit, title, _STYLE))
    return written


def _draw_spread(ax, fit: PdfRefinement) -> None:
    """The difference beside ±2σ of the orderings' curves around their mean, on the scale of both."""

    spread = 2.0 * np.std(np.array(fit.phase_curves), axis=0)
    ax.fill_between(
        fit.r,
        -spread,
        spread,
        color=_MODEL_COLOUR,
        alpha=0.3,
        linewidth=0,
        label=f"±2σ of the {len(fit.phase_curves)} orderings around their mean",
    )
    ax.plot(fit.r, fit.difference, color=_DIFFERENCE_COLOUR, linewidth=0.7, label="difference")
    ax.axhline(0.0, color="0.5", linewidth=0.5)
    ax.set_xlim(fit.rmin, fit.rmax)
    ax.set_xlabel("r (Å)")
    ax.set_ylabel("Å$^{-2}$")
    ax.legend(loc="upper right", fontsize=7)
    ax.grid(True, linewidth=0.4, alpha=0.4)


def _write_curves(path: str, fit: PdfRefinement) -> str:
    names = [f"G_{name.replace(' ', '_')}" for name in fit.phase_names]
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["r", "G_obs", "G_calc", "difference"] + (["dG"] if fit.dg is not None else []) + names)
        for k in range(len(fit.r)):
            row = [fit.r[k], fit.g_obs[k], fit.g_calc[k], fit.difference[k]]
            row += [fit.dg[k]] if fit.dg is not None else []
            row += [curve[k] for curve in fit.phase_curves]
            writer.writerow([repr(float(v)) for v in row])
    return path


def _write_q_curves(folder: str, fit: PdfRefinement) -> List[str]:
    written = []
    seen: Dict[str, int] = {}
    for data in fit.data_sets:
        if data.kind == "gr":
            continue
        seen[data.kind] = seen.get(data.kind, 0) + 1
        suffix = data.kind if seen[data.kind] == 1 else f"{data.kind}_{seen[data.kind]}"
        path = os.path.join(folder, f"refinement_{suffix}.csv")
        letter = data.kind[0].upper()
        with open(path, "w", newline="", encoding="utf-8") as handle:
            handle.write(f"# {data.label}: {data.name}, Rw {data.rw!r}\n")
            writer = csv.writer(handle)
            errors = data.uncertainties
            writer.writerow(
                ["Q", f"{letter}_obs", f"{letter}_calc", "difference"] + ([f"d{letter}"] if errors is not None else [])
            )
            for k in range(len(data.x)):
                row = [data.x[k], data.observed[k], data.calculated[k], data.difference[k]]
                row += [errors[k]] if errors is not None else []
                writer.writerow([repr(float(v)) for v in row])
        written.append(path)
    return written


def _write_parameters(path: str, fit: PdfRefinement) -> str:
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["parameter", "value", "uncertainty", "varied"])
        for row in fit.table():
            error = "" if row["uncertainty"] is None else repr(row["uncertainty"])
            writer.writerow([row["name"], repr(row["value"]), error, "yes" if row["varied"] else "no"])
        writer.writerow(["Rw", repr(fit.rw), "", ""])
        writer.writerow(["Rw_unweighted", repr(fit.rw_unweighted), "", ""])
        if len(fit.data_sets) > 1:
            for data in fit.data_sets:
                writer.writerow([f"Rw({data.label})", repr(data.rw), "", ""])
    return path


def _parameter_text(fit: PdfRefinement) -> str:
    lines = []
    for row in fit.table():
        if not row["varied"] and row["value"] in (0.0, float("inf")):
            continue  # unused effects (no sharpening, no particle envelope) only crowd the table
        value, error = with_uncertainty(row["value"], row["uncertainty"])
        lines.append(f"{row['name']} = {value}" + (" (fixed)" if row["uncertainty"] is None else f" ± {error}"))
    if fit.phase_fractions:
        lines.append("")
        lines += [f"{name}: {share:.3f} of atoms" for name, share in fit.phase_fractions.items()]
    lines.append("")
    kind = "weighted" if fit.weighted else "unweighted"
    if len(fit.data_sets) > 1:
        lines += [f"Rw = {data.rw:.4f}: {data.label}" for data in fit.data_sets]
        kind = "joint, " + kind
    lines.append(f"Rw = {fit.rw:.4f} ({kind})")
    if fit.weighted:
        lines.append(f"Rw = {fit.rw_unweighted:.4f} (unweighted)")
    if not fit.converged:
        lines.append("NOT converged")
    if fit.at_bounds:
        lines.append("at a bound: " + ", ".join(fit.at_bounds))
    return "\n".join(lines)


def _panels(fit: PdfRefinement) -> List[_Panel]:
    if not fit.data_sets:  # a result built by hand, from the G(r) fields alone
        return [_Panel("gr", "", fit.r, fit.g_obs, fit.g_calc, fit.difference, fit.rw)]
    return [_Panel(d.kind, d.label, d.x, d.observed, d.calculated, d.difference, d.rw) for d in fit.data_sets]


def _plot(figure_tools, path: str, fit: PdfRefinement, title: Optional[str], style) -> str:

    Figure, FigureCanvasAgg = figure_tools.Figure, figure_tools.FigureCanvasAgg
    panels = _panels(fit)
    with figure_tools.matplotlib.rc_context(style):
        height = 5.0 if len(panels) == 1 else 0.6 + 3.4 * len(panels)
        figure = Figure(figsize=(10.0, height), dpi=200, layout="constrained")
        FigureCanvasAgg(figure)
        spread = fit.ensemble and bool(fit.phase_curves)
        rows = [[f"data{k}", "table"] for k in range(len(panels))]
        ratios = [3.0] * len(panels)
        if spread:
            # The orderings' spread is far smaller than G(r) itself: it gets a panel of its own scale.
            rows.insert(1, ["spread", "table"])
            ratios.insert(1, 1.2)
        axes = figure.subplot_mosaic(rows, width_ratios=[3.2, 1.0], height_ratios=ratios)
        if spread:
            _draw_spread(axes["spread"], fit)
        for k, panel in enumerate(panels):
            _draw_fit(axes[f"data{k}"], panel, fit, several=len(panels) > 1)
        table = axes["table"]
        table.axis("off")
        table.text(0.0, 1.0, _parameter_text(fit), va="top", ha="left", family="monospace", fontsize=7.5)
        if title:
            figure.suptitle(str(title))
        figure.savefig(path)
    return path


def _draw_fit(curves, panel: _Panel, fit: PdfRefinement, several: bool) -> None:
    """The data as points, the model over them, the difference hung below on its own zero line."""
    curves.plot(
        panel.x,
        panel.observed,
        "o",
        markersize=2.0,
        markerfacecolor="none",
        markeredgewidth=0.6,
        color=_DATA_COLOUR,
        label="measured",
    )
    curves.plot(panel.x, panel.calculated, color=_MODEL_COLOUR, linewidth=1.0, label="model")
    if panel.kind == "gr" and fit.phase_curves and not fit.ensemble:
        for name, curve in zip(fit.phase_names, fit.phase_curves):
            curves.plot(panel.x, curve, linewidth=0.7, alpha=0.8, label=name)
    low = min(float(np.min(panel.observed)), float(np.min(panel.calculated)))
    offset = low - 1.2 * float(np.max(np.abs(panel.difference))) - 0.05 * float(np.ptp(panel.observed))
    curves.plot(panel.x, panel.difference + offset, color=_DIFFERENCE_COLOUR, linewidth=0.8, label="difference")
    curves.axhline(offset, color="0.5", linewidth=0.6, linestyle="--")
    curves.axhline(1.0 if panel.kind == "sq" else 0.0, color="0.6", linewidth=0.5)
    curves.set_xlim(float(panel.x[0]), float(panel.x[-1]))
    x_label, y_label = _AXES[panel.kind]
    curves.set_xlabel(x_label)
    curves.set_ylabel(y_label)
    curves.legend(loc="upper right", fontsize=8)
    curves.grid(True, linewidth=0.4, alpha=0.4)
    unit = "Å" if panel.kind == "gr" else "Å$^{-1}$"
    name = f"{panel.label}: " if (several or panel.kind != "gr") and panel.label else ""
    curves.set_title(f"{name}Rw = {panel.rw:.4f} over {panel.x[0]:g}–{panel.x[-1]:g} {unit}", fontsize=10, loc="left")


def format_number(value: float) -> str:
    """A number in six significant digits, or in exponent form when very small or large."""
    if value is None:
        return ""
    if not math.isfinite(value):
        return str(value)
    if value == 0.0:
        return "0"
    magnitude = abs(value)
    if 1e-3 <= magnitude < 1e5:
        return f"{value:.6g}"
    return f"{value:.4e}"


def with_uncertainty(value: float, error: Optional[float]):
    """The value and its uncertainty as texts, both to the uncertainty's second significant digit.

    Without an uncertainty (a fixed parameter) the second text is 'fixed'.
    """
    if error is None:
        return format_number(value), "fixed"
    if not (math.isfinite(error) and error > 0 and math.isfinite(value)):
        return format_number(value), format_number(error)
    digits = max(0, 1 - math.floor(math.log10(error)))
    return f"{value:.{digits}f}", f"{error:.{digits}f}"
