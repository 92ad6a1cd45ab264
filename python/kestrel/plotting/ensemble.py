"""Figures of an ordering ensemble: the spread of single orderings around the weighted curves."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from kestrel.plotting.ordering import save_sro_comparison
from kestrel.plotting.rdf import _CONVENTIONS
from kestrel.plotting.style import (
    _ORANGE,
    _STYLE,
    _canvas_figure,
    _matplotlib,
    _panel_grid,
    _partial_axis_label,
    _save,
    _style_axes,
)
from kestrel.plotting.tables import bin_centres, write_table

if TYPE_CHECKING:
    from kestrel.ensemble import EnsembleResult


# ---- ordering ensembles ------------------------------------------------------------


def save_ensemble_plots(result: "EnsembleResult", folder: str, title: Optional[str] = None) -> List[str]:
    """Write ensemble.csv and ensemble.png for an ordering ensemble.

    The CSV holds, per bin, the occupancy-weighted curve, the mean and the
    standard deviation over the orderings of the total and of every ordered
    pair (pair densities in Å⁻³). The figure has one column per curve (the
    total and each unordered pair): above, the weighted curve and the mean of
    the orderings; below, on its own scale, mean − weighted with a band of
    ±1 standard deviation, so that the spread stays visible where the curves
    overlap. With searched orderings (``result.sro``) their mean curves join
    the CSV, and sro.png sets them beside the random fills' and the weighted
    curves.

    Parameters: ``result`` from ``ordering_ensemble``; ``folder`` (created if need be); ``title`` of
    the figures. Returns the paths written.
    """
    os.makedirs(folder, exist_ok=True)
    centres = bin_centres(result.r, result.bin_size)
    columns: Dict[str, Any] = {"r": list(result.r), "r_centre": centres}
    for label, weighted, mean, std in result.curves():
        columns.update({label + "_weighted": weighted, label + "_mean": mean, label + "_std": std})
    sro = result.sro
    if sro is not None:
        # The searched orderings' curves beside the random fills' (their starting points).
        columns[f"total_{sro.label}_mean"] = sro.mean_total
        for (a, b), curve in sro.mean_partials.items():
            columns[f"{a}-{b}_{sro.label}_mean"] = curve
            columns[f"{a}-{b}_{sro.label}_std"] = sro.std_partials[(a, b)]
    comments = list(_CONVENTIONS[:2]) + [
        "{} orderings, seeds {} to {}".format(len(result.seeds), result.seeds[0], result.seeds[-1]),
        "weighted: the disordered structure, occupancies as weights; mean, std: over the orderings",
    ]
    csv_path = write_table(os.path.join(folder, "ensemble.csv"), columns, comments)

    figure_tools = _matplotlib(csv_path)
    panels = [curve for curve in result.curves() if curve[0] == "total" or curve[0] in result.unordered_labels()]
    rows, columns_count = _panel_grid(len(panels))
    with figure_tools.matplotlib.rc_context(_STYLE):
        figure = _canvas_figure(figure_tools, 3.6 * columns_count, 3.6 * rows + 0.6)
        grid = figure.add_gridspec(2 * rows, columns_count, height_ratios=[2.0, 1.0] * rows)
        for index, (label, weighted, mean, std) in enumerate(panels):
            row, column = divmod(index, columns_count)
            top = figure.add_subplot(grid[2 * row, column])
            bottom = figure.add_subplot(grid[2 * row + 1, column], sharex=top)
            _ensemble_panel(top, bottom, centres, label, weighted, mean, std)
            if column == 0:
                top.set_ylabel("ρ g(r) (Å$^{-3}$)" if label == "total" else _partial_axis_label(False))
                bottom.set_ylabel("mean − weighted")
            if index == 0:
                top.legend(loc="best", fontsize="small")
                bottom.legend(loc="best", fontsize="small")
        default = "{} orderings against the occupancy-weighted curves".format(len(result.seeds))
        png_path = _save(figure, os.path.join(folder, "ensemble.png"), title or default)
    written = [csv_path, png_path]
    if sro is not None:
        curves = {"random fill": result.mean_partials, sro.label: sro.mean_partials}
        spreads = {"random fill": result.std_partials, sro.label: sro.std_partials}
        default = "mean of {} random fills and of {} {} orderings against the weighted curves".format(
            len(result.seeds), len(sro.reports), sro.label
        )
        path = os.path.join(folder, "sro.png")
        written.append(
            save_sro_comparison(
                path, result.r, curves, spreads, result.disordered_partials, result.bin_size, title or default
            )
        )
    return written


def _ensemble_panel(top, bottom, centres, label, weighted, mean, std):
    # The weighted curve is drawn last, dashed, so it stays visible where the two coincide.
    top.plot(centres, mean, color=_ORANGE, linewidth=1.6, label="mean of the orderings")
    top.plot(centres, weighted, color="black", linewidth=0.9, linestyle="--", label="occupancy-weighted")
    top.set_title(label.replace("-", "–"), fontsize=10, loc="left")
    top.tick_params(labelbottom=False)
    difference = [m - w for m, w in zip(mean, weighted)]
    bottom.fill_between(
        centres,
        [d - s for d, s in zip(difference, std)],
        [d + s for d, s in zip(difference, std)],
        color=_ORANGE,
        alpha=0.3,
        linewidth=0,
        label="±1σ over the orderings",
    )
    bottom.plot(centres, difference, color=_ORANGE, linewidth=1.0)
    bottom.axhline(0.0, color="0.4", linewidth=0.6)
    bottom.set_xlabel("r (Å)")
    for ax in (top, bottom):
        _style_axes(ax)
