"""Figures and the CSV of one structure's RDF curves: ``Structure.prdf(save_plots=...)``."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Dict, Iterable, List, Mapping, Optional, Sequence

from kestrel.plotting.style import (
    _BLUE,
    _RED,
    _STYLE,
    _canvas_figure,
    _file_safe,
    _finish,
    _matplotlib,
    _new_figure,
    _pair_label,
    _panel_grid,
    _partial_axis_label,
    _save,
    _style_axes,
)
from kestrel.plotting.tables import Pair, _short, bin_centres, dimensionless, write_table

if TYPE_CHECKING:
    pass


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
    std_total: Optional[Iterable[float]] = None,
    std_partials: Optional[Mapping[Pair, Iterable[float]]] = None,
) -> List[str]:
    """Write the RDF curves into ``folder`` (created if needed).

    Files:

    - ``rdf.csv``: r (lower edges), r_centre, the total and every ordered
      partial, one row per bin, after ``#`` comment lines stating the
      conventions and the number densities;
    - ``total_rdf.png``: the total pair density rho g(r) and, when ``density``
      is given, g(r), which tends to 1;
    - ``partial_{A}-{B}.png``: rho_B g_AB and rho_A g_BA for each unordered element pair;
    - ``partials.png``: all unordered pairs side by side, one panel each.

    Parameters: ``r``, ``partials`` and ``total`` as ``Structure.prdf`` returns them (Å, Å⁻³);
    ``folder``; ``title`` of the figures; ``density``, the number density N / V (Å⁻³).

    ``bin_size`` (Å) places each value at its bin centre. ``partner_densities``
    maps each element B to rho_B = N_B / V (Å⁻³); with it and
    ``normalised=True`` the figures show the dimensionless g_AB(r) instead.
    ``std_total`` and ``std_partials`` (same units as the curves), the spread
    over the frames of a trajectory or the orderings of an ensemble, add the
    columns ``total_std`` and ``{A}-{B}_std`` to the CSV. Returns the paths written.
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
    if std_total is not None:
        comments.append("*_std columns: the standard deviation of each curve over the frames, same units")
        columns["total_std"] = [float(x) for x in std_total]
    for (a, b), curve in (std_partials or {}).items():
        columns["{}-{}_std".format(a, b)] = [float(x) for x in curve]
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
