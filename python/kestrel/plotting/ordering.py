"""Figures of an ordering searched for its short-range order: the objective over time, and the ordering's
partial RDFs beside the occupancy-weighted ones (and, for ensembles, beside random fills)."""

from __future__ import annotations

import math
from typing import Dict, Optional, Tuple

from kestrel.plotting.style import (
    _BLUE,
    _ORANGE,
    _STYLE,
    _canvas_figure,
    _matplotlib,
    _partial_axis_label,
    _save,
    _style_axes,
)
from kestrel.plotting.tables import bin_centres

Pair = Tuple[str, str]


def unordered_pairs(partials: Dict[Pair, object]) -> list:
    """(A, B) with A <= B: one panel per pair of elements."""
    return [pair for pair in partials if pair[0] <= pair[1]]


def save_sqs_plot(
    path: str,
    trace,
    r,
    ordered_partials: Dict[Pair, object],
    weighted_partials: Dict[Pair, object],
    bin_size: float,
    title: Optional[str] = None,
) -> str:
    """One figure: the best objective over time (first panel), then one panel per element pair with the
    ordering's partial pair density beside the occupancy-weighted one and, below, their difference.
    Returns the path."""
    return _pair_grid(path, r, {"ordering": ordered_partials}, weighted_partials, bin_size, title, trace=trace)


def save_sro_comparison(
    path: str,
    r,
    curves: Dict[str, Dict[Pair, object]],
    spreads: Dict[str, Dict[Pair, object]],
    weighted_partials: Dict[Pair, object],
    bin_size: float,
    title: Optional[str] = None,
) -> str:
    """Per element pair, the mean curve of each kind of ordering (e.g. "random fill", "SQS") beside the
    occupancy-weighted one, and below it how far one ordering of each kind typically lies from the
    weighted curve: the root mean square over the orderings, sqrt((mean - weighted)² + std²), with
    ``spreads`` holding the standard deviations."""
    return _pair_grid(path, r, curves, weighted_partials, bin_size, title, spreads=spreads)


_CURVE_COLOURS = {"ordering": _BLUE, "SQS": _BLUE, "random fill": _ORANGE}


def _pair_grid(path, r, curves, weighted, bin_size, title, trace=None, spreads=None) -> str:
    figure_tools = _matplotlib()
    centres = bin_centres(r, bin_size)
    pairs = unordered_pairs(weighted)
    panels = len(pairs) + (trace is not None)
    columns = min(3, panels)
    rows = -(-panels // columns)
    with figure_tools.matplotlib.rc_context(_STYLE):
        figure = _canvas_figure(figure_tools, 3.6 * columns, 3.4 * rows + 0.6)
        grid = figure.add_gridspec(2 * rows, columns, height_ratios=[2.0, 1.0] * rows)
        slots = [divmod(index, columns) for index in range(panels)]
        if trace is not None:
            row, column = slots.pop(0)
            _trace_panel(figure.add_subplot(grid[2 * row : 2 * row + 2, column]), trace)
        for index, (pair, (row, column)) in enumerate(zip(pairs, slots)):
            top = figure.add_subplot(grid[2 * row, column])
            bottom = figure.add_subplot(grid[2 * row + 1, column], sharex=top)
            _pair_panels(top, bottom, centres, pair, curves, weighted, spreads)
            if column == 0 or (trace is not None and row == 0 and column == 1):
                top.set_ylabel(_partial_axis_label(False))
                bottom.set_ylabel("− weighted" if spreads is None else "rms from weighted")
            if index == 0:
                top.legend(loc="best", fontsize="small")
        return _save(figure, path, title)


def _trace_panel(ax, trace) -> None:
    seconds = [max(point[0], 1e-6) for point in trace]
    objective = [point[2] for point in trace]
    ax.step(seconds, objective, where="post", color=_BLUE, linewidth=1.2)
    ax.set_xscale("log")
    if min(objective) > 0 and max(objective) > 3 * min(objective):
        ax.set_yscale("log")
    ax.set_xlabel("time (s)")
    ax.set_ylabel("best objective")
    ax.set_title("search", fontsize=10, loc="left")
    ax.grid(True, linewidth=0.4, alpha=0.4)


def _pair_panels(top, bottom, centres, pair, curves: Dict[str, Dict[Pair, object]], weighted, spreads=None) -> None:
    # The weighted curve is drawn last, dashed, so it stays visible where the curves coincide.
    for label, partials in curves.items():
        colour = _CURVE_COLOURS.get(label, _BLUE)
        top.plot(centres, partials[pair], color=colour, linewidth=1.2, label=label)
        difference = [c - w for c, w in zip(partials[pair], weighted[pair])]
        if spreads is not None:
            difference = [math.hypot(d, s) for d, s in zip(difference, spreads[label][pair])]
        bottom.plot(centres, difference, color=colour, linewidth=1.0, label=label)
    top.plot(centres, weighted[pair], color="black", linewidth=0.9, linestyle="--", label="occupancy-weighted")
    top.set_title("{}–{}".format(*pair), fontsize=10, loc="left")
    top.tick_params(labelbottom=False)
    bottom.axhline(0.0, color="0.4", linewidth=0.6)
    bottom.set_xlabel("r (Å)")
    for ax in (top, bottom):
        _style_axes(ax)
