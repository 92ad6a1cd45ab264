"""Shared figure machinery: matplotlib on its own Agg canvas, the house style and labels."""

from __future__ import annotations

import re
from typing import Any, NamedTuple, Optional, Tuple

_INSTALL_HINT = 'saving RDF plots needs matplotlib; install it with: pip install "kestrel[plot]"'


class FigureTools(NamedTuple):
    """The parts of matplotlib the figures use, imported when the first figure is drawn."""

    matplotlib: Any
    Figure: Any
    FigureCanvasAgg: Any
    LineCollection: Any


def _matplotlib(written: Optional[str] = None) -> FigureTools:
    # matplotlib is optional and slow to import: it is loaded here, when a
    # figure is asked for, never with kestrel.
    try:
        import matplotlib
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.collections import LineCollection
        from matplotlib.figure import Figure
    except ImportError as error:
        hint = _INSTALL_HINT if written is None else "{} ({} was written)".format(_INSTALL_HINT, written)
        raise ImportError(hint) from error
    return FigureTools(matplotlib, Figure, FigureCanvasAgg, LineCollection)


def _file_safe(label: str) -> str:
    # Element labels are free text; keep them from naming other directories.
    return re.sub(r"[^A-Za-z0-9_.+]", "_", label) or "_"


_STYLE = {
    "font.size": 10,
    "axes.labelsize": 11,
    "axes.linewidth": 0.8,
    "xtick.direction": "in",
    "ytick.direction": "in",
    "xtick.top": True,
    "ytick.right": True,
    "legend.frameon": False,
}

_BLUE, _RED, _ORANGE = "#1f4e79", "#a23b2a", "#d9822b"


def _canvas_figure(figure_tools, width: float, height: float):
    """A Figure on its own Agg canvas: pyplot and its backend are never involved."""
    figure = figure_tools.Figure(figsize=(width, height), dpi=200, layout="constrained")
    figure_tools.FigureCanvasAgg(figure)
    return figure


def _panel_grid(count: int, most_columns: int = 3) -> Tuple[int, int]:
    columns = max(1, min(most_columns, count))
    return (count + columns - 1) // columns, columns


def _style_axes(ax):
    ax.set_xlim(left=0.0)
    ax.grid(True, linewidth=0.4, alpha=0.4)


def _save(figure, path, title):
    if title:
        figure.suptitle(str(title))
    figure.savefig(path)
    return path


def _mathtext_label(label):
    # Element labels are free text; inside mathtext they are set upright with
    # its special characters escaped.
    return "\\mathrm{{{}}}".format(re.sub(r"([_{}$\\^#%&~ ])", r"\\\1", label))


def _pair_label(a, b, normalised=False):
    g = "g_{{{}\\,{}}}(r)".format(_mathtext_label(a), _mathtext_label(b))
    return "${}$".format(g) if normalised else "$\\rho_{{{}}}\\,{}$".format(_mathtext_label(b), g)


def _partial_axis_label(normalised):
    return "g$_{AB}$(r)" if normalised else "ρ$_B$ g$_{AB}$(r) (Å$^{-3}$)"
