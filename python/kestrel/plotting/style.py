"""Shared figure machinery: matplotlib on its own Agg canvas, the house style and labels."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any, Optional, Tuple

if TYPE_CHECKING:
    pass

_INSTALL_HINT = 'saving RDF plots needs matplotlib; install it with: pip install "kestrel[plot]"'


def _matplotlib(written: Optional[str] = None) -> Any:
    try:
        import matplotlib
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as error:
        hint = _INSTALL_HINT if written is None else "{} ({} was written)".format(_INSTALL_HINT, written)
        raise ImportError(hint) from error
    return matplotlib, Figure, FigureCanvasAgg


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
    _, Figure, FigureCanvasAgg = figure_tools
    figure = Figure(figsize=(width, height), dpi=200, layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def _panel_grid(count: int, most_columns: int = 3) -> Tuple[int, int]:
    columns = max(1, min(most_columns, count))
    return (count + columns - 1) // columns, columns


def _new_figure(figure_tools, rows=1):
    figure = _canvas_figure(figure_tools, 6.4, 2.8 * rows + 0.6)
    return figure, figure.subplots(rows, 1, sharex=True, squeeze=False)[:, 0]


def _style_axes(ax):
    ax.set_xlim(left=0.0)
    ax.grid(True, linewidth=0.4, alpha=0.4)


def _save(figure, path, title):
    if title:
        figure.suptitle(str(title))
    figure.savefig(path)
    return path


def _finish(figure, axes, path, title):
    for ax in axes:
        _style_axes(ax)
    axes[-1].set_xlabel("r (Å)")
    return _save(figure, path, title)


def _mathtext_label(label):
    # Element labels are free text; inside mathtext they are set upright with
    # its special characters escaped.
    return "\\mathrm{{{}}}".format(re.sub(r"([_{}$\\^#%&~ ])", r"\\\1", label))


def _pair_label(a, b, normalised=False):
    g = "g_{{{}\\,{}}}(r)".format(_mathtext_label(a), _mathtext_label(b))
    return "${}$".format(g) if normalised else "$\\rho_{{{}}}\\,{}$".format(_mathtext_label(b), g)


def _partial_axis_label(normalised):
    return "g$_{AB}$(r)" if normalised else "ρ$_B$ g$_{AB}$(r) (Å$^{-3}$)"
