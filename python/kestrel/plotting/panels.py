"""Many curves in one figure, cheaply: small panels drawn straight onto the figure.

A matplotlib ``Axes`` costs about as much as a whole small figure (its ticks
are objects, laid out and drawn one by one), so a grid of 37 partials drawn
as 37 axes costs 37 figures. Here every panel is a rectangle on one figure:
all curves go into a handful of line collections, and the only text is the
panel labels, the top of each panel's scale and the r ticks of the bottom
row. Positions are fixed in inches, so nothing is measured to lay them out.
A figure of any number of panels then costs a few bare figures.

One panel per file (``SinglePanelFigure``) reuses one figure, its canvas and
its axes for every file: only the lines' data, the limits and the label change.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from kestrel.plotting.style import _STYLE, FigureTools, _style_axes

# Inches: the panels, the gaps between them (room for the scale's labels at
# the left and the r ticks below) and the margins (title and key on top).
_PANEL_WIDTH, _PANEL_HEIGHT = 2.3, 1.45
_GAP_X, _GAP_Y = 0.5, 0.4
_LEFT, _RIGHT, _BOTTOM, _TOP = 0.5, 0.2, 0.6, 0.9
_DPI = 120
# Line drawings on white compress well at any level; zlib's slowest levels
# cost more than drawing the figure and save a few per cent.
_PNG = {"compress_level": 1}


@dataclass
class Curve:
    """One line of a panel: its values at the shared x, a colour and a line style ("-", "--", ":")."""

    y: Sequence[float]
    color: str
    style: str = "-"


@dataclass
class Panel:
    """A label, the curves and, optionally, a level drawn as a dotted line (the long-range limit)."""

    label: str
    curves: List[Curve]
    level: Optional[float] = None
    extra: Dict[str, Any] = field(default_factory=dict)


def nice_ceiling(value: float) -> float:
    """The smallest of 1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8 times a power of ten that is >= value (> 0)."""
    if not math.isfinite(value) or value <= 0:
        return 1.0
    power = 10.0 ** math.floor(math.log10(value))
    for step in (1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0):
        if step * power >= value * (1 - 1e-12):
            return step * power
    return 10.0 * power


def panel_range(panel: Panel) -> Tuple[float, float]:
    """The y range a panel shows: from 0 (or below, for negative values) to a round number above the highest."""
    values = [np.asarray(curve.y, dtype=float) for curve in panel.curves]
    finite = np.concatenate([v[np.isfinite(v)] for v in values] + [np.zeros(1)])
    if panel.level is not None and math.isfinite(panel.level):
        finite = np.append(finite, panel.level)
    high, low = float(finite.max()), float(finite.min())
    top = nice_ceiling(high * 1.05) if high > 0 else 0.0
    bottom = -nice_ceiling(-low * 1.05) if low < 0 else 0.0
    if top == bottom:
        top = 1.0
    return bottom, top


def grid_shape(count: int, most_columns: int = 6) -> Tuple[int, int]:
    """Rows and columns for ``count`` panels: wider than tall, at most ``most_columns`` across."""
    columns = max(1, min(most_columns, count, math.ceil(math.sqrt(1.5 * count))))
    return (count + columns - 1) // columns, columns


def _ticks(high: float) -> List[float]:
    # Steps of 1, 2 or 5 times a power of ten, five or so up to ``high``.
    power = 10.0 ** math.floor(math.log10(high / 5.0))
    step = next(k * power for k in (1.0, 2.0, 5.0, 10.0) if k * power >= high / 5.0 * (1 - 1e-9))
    return [k * step for k in range(int(high / step + 1e-9) + 1)]


def _x_high(xs: np.ndarray) -> float:
    # Bin centres stop half a bin short of the cutoff; the axis ends at the cutoff.
    if len(xs) == 0 or not math.isfinite(xs[-1]) or xs[-1] <= 0:
        return 1.0
    return float(xs[-1] + (xs[-1] - xs[-2]) / 2 if len(xs) > 1 else xs[-1])


def _short(value: float) -> str:
    return "{:.3g}".format(value)


def draw_panel_grid(
    figure_tools: FigureTools,
    path: str,
    x: Sequence[float],
    panels: Sequence[Panel],
    x_label: str,
    key: str,
    title: Optional[str],
) -> str:
    """Draw ``panels`` side by side in one PNG at ``path``; returns ``path``.

    Every panel shares ``x`` (from 0 to its last value); each has its own y
    scale, whose top is written at its upper left corner. ``key`` is a line
    above the panels that says what the line styles mean.
    """
    LineCollection = figure_tools.LineCollection
    rows, columns = grid_shape(len(panels))
    width = _LEFT + columns * _PANEL_WIDTH + (columns - 1) * _GAP_X + _RIGHT
    height = _BOTTOM + rows * _PANEL_HEIGHT + (rows - 1) * _GAP_Y + _TOP
    figure = figure_tools.Figure(figsize=(width, height), dpi=_DPI)
    figure_tools.FigureCanvasAgg(figure)
    xs = np.asarray(x, dtype=float)
    x_high = _x_high(xs)
    ticks = _ticks(x_high)

    def place(u: float, v: float) -> Tuple[float, float]:
        return u / width, v / height

    lines: Dict[Tuple[str, str, float], List[np.ndarray]] = {}
    frames, tick_marks = [], []
    texts: List[Tuple[float, float, str, Dict[str, Any]]] = []
    lowest_in_column = {}
    for index in range(len(panels)):
        lowest_in_column[index % columns] = index // columns
    for index, panel in enumerate(panels):
        row, column = divmod(index, columns)
        left = _LEFT + column * (_PANEL_WIDTH + _GAP_X)
        bottom = height - _TOP - (row + 1) * _PANEL_HEIGHT - row * _GAP_Y
        low, high = panel_range(panel)

        def to_figure(x_values, y_values, left=left, bottom=bottom, low=low, high=high):
            u = left + _PANEL_WIDTH * np.asarray(x_values, dtype=float) / x_high
            v = bottom + _PANEL_HEIGHT * (np.clip(np.asarray(y_values, dtype=float), low, high) - low) / (high - low)
            return np.column_stack(place(u, v))

        for curve in panel.curves:
            lines.setdefault((curve.color, curve.style, 1.0), []).append(to_figure(xs, curve.y))
        if panel.level is not None and math.isfinite(panel.level) and low < panel.level <= high:
            level = to_figure([0.0, x_high], [panel.level, panel.level])
            lines.setdefault(("0.45", ":", 0.8), []).append(level)
        corners = [(left, bottom), (left + _PANEL_WIDTH, bottom), (left + _PANEL_WIDTH, bottom + _PANEL_HEIGHT)]
        corners += [(left, bottom + _PANEL_HEIGHT), (left, bottom)]
        frames.append([place(u, v) for u, v in corners])
        for tick in ticks:
            u = left + _PANEL_WIDTH * tick / x_high
            tick_marks.append([place(u, bottom), place(u, bottom + 0.05)])
            if lowest_in_column[column] == row:
                texts.append((u, bottom - 0.06, _short(tick), {"ha": "center", "va": "top", "fontsize": 7}))
        # Above the frame, where no curve can run through it.
        texts.append((left, bottom + _PANEL_HEIGHT + 0.04, panel.label, {"ha": "left", "va": "bottom"}))
        texts.append(
            (left - 0.04, bottom + _PANEL_HEIGHT, _short(high), {"ha": "right", "va": "center", "fontsize": 7})
        )
        texts.append((left - 0.04, bottom, _short(low), {"ha": "right", "va": "center", "fontsize": 7}))

    for (color, style, width_points), segments in lines.items():
        figure.add_artist(
            LineCollection(
                segments, colors=color, linestyles=style, linewidths=width_points * 1.1, transform=figure.transFigure
            )
        )
    figure.add_artist(LineCollection(frames + tick_marks, colors="black", linewidths=0.6, transform=figure.transFigure))
    for u, v, text, style in texts:
        figure.text(*place(u, v), text, fontsize=style.pop("fontsize", 8), parse_math=False, **style)
    figure.text(*place(width / 2, 0.12), x_label, ha="center", va="bottom", fontsize=9, parse_math=False)
    if title:
        figure.text(*place(_LEFT, height - 0.12), str(title), ha="left", va="top", fontsize=11, parse_math=False)
    figure.text(*place(_LEFT, height - 0.42), key, ha="left", va="top", fontsize=8, parse_math=False)
    figure.savefig(path, pil_kwargs=_PNG)
    return path


class SinglePanelFigure:
    """One figure, canvas and axes, redrawn for each panel that gets a file of its own."""

    def __init__(
        self, figure_tools: FigureTools, x: Sequence[float], x_label: str, y_label: str, most_curves: int = 2
    ) -> None:
        with figure_tools.matplotlib.rc_context(_STYLE):
            self.figure = figure_tools.Figure(figsize=(6.4, 3.6), dpi=_DPI)
            figure_tools.FigureCanvasAgg(self.figure)
            # Fixed margins: a layout engine would measure every label again for every file.
            self.figure.subplots_adjust(left=0.13, right=0.97, bottom=0.15, top=0.84)
            self.axes = self.figure.add_subplot()
            self.x = np.asarray(x, dtype=float)
            self.lines = [self.axes.plot(self.x, np.zeros_like(self.x))[0] for _ in range(most_curves)]
            self.level = self.axes.axhline(0.0, color="0.45", linewidth=0.8, linestyle=":")
            self.axes.set_xlabel(x_label)
            self.axes.set_ylabel(y_label)
            _style_axes(self.axes)
            self.axes.set_xlim(0.0, _x_high(self.x))
            self.label = self.axes.set_title("", fontsize=10, loc="left")
            self.title = self.figure.suptitle("")

    def save(self, path: str, panel: Panel, labels: Sequence[str] = (), title: Optional[str] = None) -> str:
        for k, line in enumerate(self.lines):
            if k < len(panel.curves):
                curve = panel.curves[k]
                line.set_data(self.x, np.asarray(curve.y, dtype=float))
                line.set_color(curve.color)
                line.set_linestyle(curve.style)
                line.set_label(labels[k] if k < len(labels) else "_")
                line.set_visible(True)
            else:
                line.set_visible(False)
        self.level.set_visible(panel.level is not None and math.isfinite(panel.level))
        if self.level.get_visible():
            self.level.set_ydata([panel.level, panel.level])
        self.axes.set_ylim(*panel_range(panel))
        self.label.set_text(panel.label)
        self.title.set_text(str(title) if title else "")
        legend = self.axes.get_legend()
        if legend is not None:
            legend.remove()
        if labels:
            self.axes.legend(handles=[line for line in self.lines if line.get_visible()], loc="upper right")
        self.figure.savefig(path, pil_kwargs=_PNG)
        return path
