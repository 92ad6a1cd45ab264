"""Figures and CSVs of RDF curves: ``Structure.prdf(save_plots=...)`` and ordering ensembles.

matplotlib is an optional dependency (``pip install "kestrel[plot]"``); it is
imported when a figure is drawn, never when kestrel is imported, and only
through its Agg canvas, so the caller's pyplot backend is left alone. The CSV
is written first, so a missing matplotlib costs the figures only.

What the curves are: ``r`` holds the lower bin edges (Å); the partial curve of
the pair (A, B) is the pair density rho_B g_AB(r) in Å⁻³, A being the centre
atom, which tends to rho_B = N_B / V at large r; the total is rho g(r), tending
to the number density rho = N / V. Dividing by the density gives the
dimensionless g(r), which tends to 1.
"""

from __future__ import annotations

import csv
import os
import re
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

if TYPE_CHECKING:
    from kestrel.ensemble import EnsembleResult

__all__ = ["save_prdf_plots", "save_ensemble_plots", "dimensionless"]

_INSTALL_HINT = 'saving RDF plots needs matplotlib; install it with: pip install "kestrel[plot]"'

Pair = Tuple[str, str]

_CONVENTIONS = [
    "r: lower bin edge (Å); r_centre: bin centre (Å)",
    "partial A-B: pair density rho_B g_AB(r) (Å^-3), A the centre atom; total: rho g(r) (Å^-3)",
    "divide a column by the density of its partner element (below) for the dimensionless g_AB(r)",
]


def save_prdf_plots(
    r: Iterable[float],
    partials: Mapping[Pair, Iterable[float]],
    total: Iterable[float],
    folder: str,
    bin_size: Optional[float] = None,
    title: Optional[str] = None,
    density: Optional[float] = None,
    partner_densities: Optional[Mapping[str, float]] = None,
    normalised: bool = False,
) -> List[str]:
    """Write the RDF curves into ``folder`` (created if needed).

    Files:
      ``rdf.csv``               r (lower edges), r_centre, the total and every ordered
                                partial, one row per bin, after ``#`` comment lines
                                stating the conventions and the number densities;
      ``total_rdf.png``         the total pair density rho g(r) and, when ``density``
                                is given, g(r), which tends to 1;
      ``partial_{A}-{B}.png``   rho_B g_AB and rho_A g_BA for each unordered element pair;
      ``partials.png``          all unordered pairs side by side, one panel each.

    ``bin_size`` (Å) places each value at its bin centre. ``partner_densities``
    maps each element B to rho_B = N_B / V (Å⁻³); with it and
    ``normalised=True`` the figures show the dimensionless g_AB(r) instead.
    Returns the paths written.
    """
    os.makedirs(folder, exist_ok=True)
    edges = [float(x) for x in r]
    total_curve = [float(x) for x in total]
    curves = {(str(a), str(b)): [float(x) for x in curve] for (a, b), curve in partials.items()}
    centres = bin_centres(edges, bin_size)

    comments = list(_CONVENTIONS)
    if density:
        comments.append("number density rho = {} Å^-3".format(_short(density)))
    for element, value in (partner_densities or {}).items():
        comments.append("rho_{} = {} Å^-3".format(element, _short(value)))
    columns: Dict[str, Sequence[float]] = {"r": edges, "r_centre": centres, "total": total_curve}
    columns.update({"{}-{}".format(a, b): curve for (a, b), curve in curves.items()})
    csv_path = write_table(os.path.join(folder, "rdf.csv"), columns, comments)

    if normalised:
        if not partner_densities or not density:
            raise ValueError("normalised figures need density and partner_densities, the number densities in Å^-3")
        curves = dimensionless(curves, partner_densities)
        total_curve = [g / density for g in total_curve]
        density = None
    figure_tools = _matplotlib(csv_path)
    written = [csv_path]
    written.append(
        _plot_total(
            figure_tools, os.path.join(folder, "total_rdf.png"), centres, total_curve, title, density, normalised
        )
    )
    elements = sorted({name for pair in curves for name in pair})
    pairs = [(a, b) for i, a in enumerate(elements) for b in elements[i:] if (a, b) in curves or (b, a) in curves]
    for a, b in pairs:
        name = "partial_{}-{}.png".format(_file_safe(a), _file_safe(b))
        written.append(_plot_pair(figure_tools, os.path.join(folder, name), centres, curves, a, b, title, normalised))
    if pairs:
        written.append(
            _plot_all_pairs(
                figure_tools, os.path.join(folder, "partials.png"), centres, curves, pairs, title, normalised
            )
        )
    return written


def dimensionless(
    partials: Mapping[Pair, Iterable[float]], partner_densities: Mapping[str, float]
) -> Dict[Pair, List[float]]:
    """g_AB(r) = (rho_B g_AB(r)) / rho_B for every pair; 0 where rho_B is 0."""
    result = {}
    for (a, b), curve in partials.items():
        rho = float(partner_densities.get(b, 0.0))
        result[(a, b)] = [float(x) / rho if rho > 0 else 0.0 for x in curve]
    return result


def bin_centres(r: Iterable[float], bin_size: Optional[float]) -> List[float]:
    half = 0.5 * float(bin_size) if bin_size else 0.0
    return [float(x) + half for x in r]


# ---- shared CSV and figure helpers ---------------------------------------------


def _short(value: float) -> str:
    # Ten significant digits: bin edges such as 3 x 0.1 print as 0.3, not
    # 0.30000000000000004, and no curve loses a digit anyone can measure.
    return "{:.10g}".format(float(value))


def write_table(path: str, columns: Mapping[str, Any], comments: Sequence[str] = ()) -> str:
    """A CSV with ``#`` comment lines, a header row and one row per index of the columns.

    Each column is a list or a NumPy array of numbers, all of one length.
    """
    names = list(columns)
    length = len(next(iter(columns.values()))) if columns else 0
    with open(path, "w", newline="", encoding="utf-8") as handle:
        for comment in comments:
            handle.write("# {}\n".format(comment))
        writer = csv.writer(handle)
        writer.writerow(names)
        for k in range(length):
            writer.writerow([_short(columns[name][k]) for name in names])
    return path


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


# ---- RDF figures -----------------------------------------------------------------


def _plot_total(figure_tools, path, centres, total, title, density, normalised=False):
    with_density = bool(density) and density > 0
    with figure_tools[0].rc_context(_STYLE):
        figure, axes = _new_figure(figure_tools, rows=2 if with_density else 1)
        axes[0].plot(centres, total, color=_BLUE, linewidth=1.2)
        if normalised:
            axes[0].axhline(1.0, color="0.4", linewidth=0.8, linestyle="--")
            axes[0].set_ylabel("g(r)")
            axes[0].set_title("total g(r), divided by the number density", fontsize=10, loc="left")
        else:
            axes[0].set_ylabel("ρ g(r) (Å$^{-3}$)")
            axes[0].set_title("total pair density", fontsize=10, loc="left")
        if with_density:
            axes[1].plot(centres, [g / density for g in total], color=_RED, linewidth=1.2)
            axes[1].axhline(1.0, color="0.4", linewidth=0.8, linestyle="--")
            axes[1].set_ylabel("g(r)")
            axes[1].set_title(
                "divided by the number density ρ = {:.4g} Å$^{{-3}}$".format(density), fontsize=10, loc="left"
            )
        return _finish(figure, axes, path, title)


def _plot_pair(figure_tools, path, centres, partials, a, b, title, normalised=False):
    with figure_tools[0].rc_context(_STYLE):
        figure, axes = _new_figure(figure_tools)
        ax = axes[0]
        if (a, b) in partials:
            ax.plot(centres, partials[(a, b)], linewidth=1.2, color=_BLUE, label=_pair_label(a, b, normalised))
        if a != b and (b, a) in partials:
            ax.plot(
                centres,
                partials[(b, a)],
                linewidth=1.2,
                color=_RED,
                linestyle="--",
                label=_pair_label(b, a, normalised),
            )
        ax.set_ylabel(_partial_axis_label(normalised))
        what = "partial g(r)" if normalised else "partial pair density"
        ax.set_title("{} {}–{} (first element at the centre)".format(what, a, b), fontsize=10, loc="left")
        ax.legend(loc="best")
        return _finish(figure, axes, path, title)


def _plot_all_pairs(figure_tools, path, centres, partials, pairs, title, normalised=False):
    rows, columns = _panel_grid(len(pairs))
    with figure_tools[0].rc_context(_STYLE):
        figure = _canvas_figure(figure_tools, 3.4 * columns, 2.5 * rows + 0.5)
        grid = figure.subplots(rows, columns, sharex=True, squeeze=False)
        for ax, (a, b) in zip(grid.flat, pairs):
            key = (a, b) if (a, b) in partials else (b, a)
            ax.plot(centres, partials[key], linewidth=1.1, color=_BLUE)
            ax.set_title(_pair_label(*key, normalised=normalised), fontsize=10, loc="left")
            _style_axes(ax)
        for ax in list(grid.flat)[len(pairs) :]:
            ax.set_visible(False)
        for ax in grid[:, 0]:
            ax.set_ylabel(_partial_axis_label(normalised))
        for ax in grid[-1, :]:
            ax.set_xlabel("r (Å)")
        return _save(figure, path, title)


# ---- ordering ensembles ------------------------------------------------------------


def save_ensemble_plots(result: "EnsembleResult", folder: str, title: Optional[str] = None) -> List[str]:
    """Write ensemble.csv and ensemble.png for an ordering ensemble.

    The CSV holds, per bin, the occupancy-weighted curve, the mean and the
    standard deviation over the orderings of the total and of every ordered
    pair (pair densities in Å⁻³). The figure has one column per curve (the
    total and each unordered pair): above, the weighted curve and the mean of
    the orderings; below, on its own scale, mean − weighted with a band of
    ±1 standard deviation, so that the spread stays visible where the curves
    overlap. Returns the paths written.
    """
    os.makedirs(folder, exist_ok=True)
    centres = bin_centres(result.r, result.bin_size)
    columns: Dict[str, Any] = {"r": list(result.r), "r_centre": centres}
    for label, weighted, mean, std in result.curves():
        columns.update({label + "_weighted": weighted, label + "_mean": mean, label + "_std": std})
    comments = list(_CONVENTIONS[:2]) + [
        "{} orderings, seeds {} to {}".format(len(result.seeds), result.seeds[0], result.seeds[-1]),
        "weighted: the disordered structure, occupancies as weights; mean, std: over the orderings",
    ]
    csv_path = write_table(os.path.join(folder, "ensemble.csv"), columns, comments)

    figure_tools = _matplotlib(csv_path)
    panels = [curve for curve in result.curves() if curve[0] == "total" or curve[0] in result.unordered_labels()]
    rows, columns_count = _panel_grid(len(panels))
    with figure_tools[0].rc_context(_STYLE):
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
    return [csv_path, png_path]


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
