"""Figures and the CSV of one structure's RDF curves: ``Structure.prdf(save_plots=...)``."""

from __future__ import annotations

import os
from typing import Dict, Iterable, List, Mapping, Optional, Sequence

from kestrel.plotting.panels import Curve, Panel, SinglePanelFigure, draw_panel_grid
from kestrel.plotting.style import _BLUE, _RED, _file_safe, _matplotlib, _pair_label, _partial_axis_label
from kestrel.plotting.tables import Pair, _short, bin_centres, dimensionless, write_table

# What save_prdf_plots draws: one figure of every curve, that and a file per
# curve, or the CSV alone.
FIGURES = ("grid", "each", "none")

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
    figures: str = "grid",
) -> List[str]:
    """Write the RDF curves into ``folder`` (created if needed).

    Files:

    - ``rdf.csv``: r (lower edges), r_centre, the total and every ordered
      partial, one row per bin, after ``#`` comment lines stating the
      conventions and the number densities;
    - ``rdf.png``: one figure of small panels, the total rho g(r) first,
      then each unordered element pair A-B with rho_B g_AB (solid, A at the
      centre) and rho_A g_BA (dashed); a dotted line marks the long-range
      level where the densities are given;
    - with ``figures="each"`` also ``total_rdf.png`` and ``partial_{A}-{B}.png``,
      the same panels one to a file; ``figures="none"`` writes the CSV alone.

    Parameters: ``r``, ``partials`` and ``total`` as ``Structure.prdf`` returns them (Å, Å⁻³);
    ``folder``; ``title`` of the figures; ``density``, the number density N / V (Å⁻³).

    ``bin_size`` (Å) places each value at its bin centre. ``partner_densities``
    maps each element B to rho_B = N_B / V (Å⁻³); with it and
    ``normalised=True`` the figures show the dimensionless g_AB(r) instead.
    ``std_total`` and ``std_partials`` (same units as the curves), the spread
    over the frames of a trajectory or the orderings of an ensemble, add the
    columns ``total_std`` and ``{A}-{B}_std`` to the CSV. Returns the paths written.
    """
    if figures not in FIGURES:
        raise ValueError("figures must be 'grid', 'each' or 'none', got {!r}".format(figures))
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
    if figures == "none":
        return [csv_path]
    figure_tools = _matplotlib(csv_path)
    elements = sorted({name for pair in curves for name in pair})
    pairs = [(a, b) for i, a in enumerate(elements) for b in elements[i:] if (a, b) in curves or (b, a) in curves]
    levels = {} if normalised else dict(partner_densities or {})
    panels = [_total_panel(total_curve, density, normalised)]
    panels += [_pair_panel(curves, a, b, 1.0 if normalised else levels.get(b)) for a, b in pairs]
    written = [
        csv_path,
        draw_panel_grid(
            figure_tools,
            os.path.join(folder, "rdf.png"),
            centres,
            panels,
            "r (Å)",
            _key(normalised, bool(levels) or normalised),
            title,
        ),
    ]
    if figures == "each":
        single = SinglePanelFigure(figure_tools, centres, "r (Å)", "g(r)" if normalised else "ρ g(r) (Å$^{-3}$)")
        written.append(single.save(os.path.join(folder, "total_rdf.png"), panels[0], title=title))
        single.axes.set_ylabel(_partial_axis_label(normalised))
        for (a, b), panel in zip(pairs, panels[1:]):
            name = "partial_{}-{}.png".format(_file_safe(a), _file_safe(b))
            labels = [_pair_label(x, y, normalised) for x, y in panel.extra["pairs"]]
            written.append(single.save(os.path.join(folder, name), panel, labels, title))
    return written


def _total_panel(total: List[float], density: Optional[float], normalised: bool) -> Panel:
    if normalised:
        return Panel("total g(r)", [Curve(total, _BLUE)], level=1.0)
    return Panel("total ρ g(r)", [Curve(total, _BLUE)], level=density if density and density > 0 else None)


def _pair_panel(curves: Mapping[Pair, List[float]], a: str, b: str, level: Optional[float]) -> Panel:
    drawn = [(x, y) for x, y in ((a, b), (b, a)) if (x, y) in curves][: 1 if a == b else 2]
    lines = [Curve(curves[pair], colour, style) for pair, (colour, style) in zip(drawn, ((_BLUE, "-"), (_RED, "--")))]
    # The level belongs to the solid line: rho_B for the curve centred on A.
    return Panel(
        "{}–{}".format(a, b), lines, level=level if drawn and drawn[0] == (a, b) else None, extra={"pairs": drawn}
    )


def _key(normalised: bool, with_levels: bool) -> str:
    if normalised:
        return "g(r), dimensionless. Panel A–B: solid g_AB(r), A at the centre; dashed g_BA(r); dotted: 1"
    dotted = "; dotted: the long-range level, ρ_B (ρ for the total)" if with_levels else "; dotted: ρ"
    return "pair densities in Å⁻³. Panel A–B: solid ρ_B g_AB(r), A at the centre; dashed ρ_A g_BA(r)" + dotted
