"""Figures and a CSV of RDF curves, as written by ``Structure.prdf(save_plots=...)``.

matplotlib is an optional dependency (``pip install "kestrel[plot]"``); it is
imported when a figure is drawn, never when kestrel is imported, and only
through its Agg canvas, so the caller's pyplot backend is left alone.
"""

from __future__ import annotations

import csv
import os
import re

__all__ = ["save_prdf_plots"]

_INSTALL_HINT = 'saving RDF plots needs matplotlib; install it with: pip install "kestrel[plot]"'


def save_prdf_plots(r, partials, total, folder, bin_size=None, title=None, density=None):
    """Write the RDF curves into ``folder`` (created if needed).

    Files:
      ``rdf.csv``               r, the total and every ordered partial, one row per bin;
      ``total_rdf.png``         the total pair density g(r) and, when ``density``
                                is given, g(r) / density, which tends to 1;
      ``partial_{A}-{B}.png``   g_AB and g_BA for each unordered element pair;
      ``partials.png``          all unordered pairs side by side, one panel each.

    ``r`` holds the lower bin edges in angstrom; ``bin_size`` (angstrom)
    places each value at its bin centre in the figures. Returns the paths written.
    """
    figure_tools = _matplotlib()
    os.makedirs(folder, exist_ok=True)
    r = [float(x) for x in r]
    total = [float(x) for x in total]
    partials = {(str(a), str(b)): [float(x) for x in curve] for (a, b), curve in partials.items()}
    half = 0.5 * float(bin_size) if bin_size else 0.0
    centres = [x + half for x in r]

    written = [_write_csv(os.path.join(folder, "rdf.csv"), r, total, partials)]
    written.append(_plot_total(figure_tools, os.path.join(folder, "total_rdf.png"), centres, total, title, density))
    elements = sorted({name for pair in partials for name in pair})
    pairs = [(a, b) for i, a in enumerate(elements) for b in elements[i:]
             if (a, b) in partials or (b, a) in partials]
    for a, b in pairs:
        name = "partial_{}-{}.png".format(_file_safe(a), _file_safe(b))
        written.append(_plot_pair(figure_tools, os.path.join(folder, name), centres, partials, a, b, title))
    if pairs:
        written.append(_plot_all_pairs(figure_tools, os.path.join(folder, "partials.png"), centres, partials, pairs,
                                       title))
    return written


def _matplotlib():
    try:
        import matplotlib
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    return matplotlib, Figure, FigureCanvasAgg


def _file_safe(label):
    # Element labels are free text; keep them from naming other directories.
    return re.sub(r"[^A-Za-z0-9_.+]", "_", label) or "_"


def _write_csv(path, r, total, partials):
    keys = list(partials)
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["r", "total"] + ["{}-{}".format(a, b) for a, b in keys])
        for k, radius in enumerate(r):
            writer.writerow([repr(radius), repr(total[k])] + [repr(partials[key][k]) for key in keys])
    return path


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


def _new_figure(figure_tools, rows=1):
    _, Figure, FigureCanvasAgg = figure_tools
    figure = Figure(figsize=(6.4, 2.8 * rows + 0.6), dpi=200, layout="constrained")
    FigureCanvasAgg(figure)
    return figure, figure.subplots(rows, 1, sharex=True, squeeze=False)[:, 0]


def _finish(figure, axes, path, title):
    for ax in axes:
        ax.set_xlim(left=0.0)
        ax.grid(True, linewidth=0.4, alpha=0.4)
    axes[-1].set_xlabel("r (Å)")
    if title:
        figure.suptitle(str(title))
    figure.savefig(path)
    return path


def _plot_total(figure_tools, path, centres, total, title, density):
    normalised = bool(density) and density > 0
    with figure_tools[0].rc_context(_STYLE):
        figure, axes = _new_figure(figure_tools, rows=2 if normalised else 1)
        axes[0].plot(centres, total, color="#1f4e79", linewidth=1.2)
        axes[0].set_ylabel("g(r) (Å$^{-3}$)")
        axes[0].set_title("total pair density", fontsize=10, loc="left")
        if normalised:
            axes[1].plot(centres, [g / density for g in total], color="#a23b2a", linewidth=1.2)
            axes[1].axhline(1.0, color="0.4", linewidth=0.8, linestyle="--")
            axes[1].set_ylabel("g(r) / ρ")
            axes[1].set_title("normalised by the number density ρ = {:.4g} Å$^{{-3}}$".format(density),
                              fontsize=10, loc="left")
        return _finish(figure, axes, path, title)


def _plot_pair(figure_tools, path, centres, partials, a, b, title):
    with figure_tools[0].rc_context(_STYLE):
        figure, axes = _new_figure(figure_tools)
        ax = axes[0]
        if (a, b) in partials:
            ax.plot(centres, partials[(a, b)], linewidth=1.2, color="#1f4e79", label=_pair_label(a, b))
        if a != b and (b, a) in partials:
            ax.plot(centres, partials[(b, a)], linewidth=1.2, color="#a23b2a", linestyle="--", label=_pair_label(b, a))
        ax.set_ylabel("g$_{AB}$(r) (Å$^{-3}$)")
        ax.set_title("partial pair density {}–{}".format(a, b), fontsize=10, loc="left")
        ax.legend(loc="best")
        return _finish(figure, axes, path, title)


def _plot_all_pairs(figure_tools, path, centres, partials, pairs, title):
    _, Figure, FigureCanvasAgg = figure_tools
    columns = min(3, len(pairs))
    rows = (len(pairs) + columns - 1) // columns
    with figure_tools[0].rc_context(_STYLE):
        figure = Figure(figsize=(3.4 * columns, 2.5 * rows + 0.5), dpi=200, layout="constrained")
        FigureCanvasAgg(figure)
        grid = figure.subplots(rows, columns, sharex=True, squeeze=False)
        for ax, (a, b) in zip(grid.flat, pairs):
            key = (a, b) if (a, b) in partials else (b, a)
            ax.plot(centres, partials[key], linewidth=1.1, color="#1f4e79")
            ax.set_title("{}–{}".format(*key), fontsize=10, loc="left")
            ax.set_xlim(left=0.0)
            ax.grid(True, linewidth=0.4, alpha=0.4)
        for ax in list(grid.flat)[len(pairs):]:
            ax.set_visible(False)
        for ax in grid[:, 0]:
            ax.set_ylabel("g$_{AB}$(r) (Å$^{-3}$)")
        for ax in grid[-1, :]:
            ax.set_xlabel("r (Å)")
        if title:
            figure.suptitle(str(title))
        figure.savefig(path)
    return path


def _pair_label(a, b):
    # Element labels are free text; inside mathtext they are set upright with
    # its special characters escaped.
    def upright(label):
        return "\\mathrm{{{}}}".format(re.sub(r"([_{}$\\^#%&~ ])", r"\\\1", label))

    return "g$_{{{}\\,{}}}$(r)".format(upright(a), upright(b))
