"""Curves in reciprocal space: a CSV and figures of S(Q), F(Q) or I(Q), with element-pair curves on request."""

from __future__ import annotations

import csv
import os
from typing import Dict, List, Mapping, Optional, Sequence, Tuple


def save_reciprocal_plots(
    q,
    curves: Mapping[str, object],
    folder: str,
    name: str,
    panels: Sequence[Tuple[str, str]],
    partials: Optional[Mapping[str, object]] = None,
    partial_label: str = "",
    notes: Sequence[str] = (),
    title: Optional[str] = None,
) -> List[str]:
    """Write ``{name}.csv``, ``{name}.png`` and, with ``partials``, ``{name}_partials.png`` into ``folder``.

    ``curves`` maps a column name to its values at ``q`` (Å⁻¹); ``panels``
    lists (column, axis label) of the curves drawn, one panel each, stacked.
    ``partials`` maps a label ("Fe-O") to a curve, all drawn in one panel
    labelled ``partial_label`` and written as further columns. ``notes``
    open the CSV as ``#`` lines (``pandas.read_csv(path, comment="#")``
    reads it). Returns the paths written.
    """
    from kestrel.plotting.style import _STYLE, _canvas_figure, _matplotlib

    figure_tools = _matplotlib()
    os.makedirs(folder, exist_ok=True)
    partials = dict(partials or {})
    path = os.path.join(folder, f"{name}.csv")
    columns: Dict[str, object] = {"Q": q, **curves, **partials}
    with open(path, "w", newline="", encoding="utf-8") as handle:
        for note in notes:
            handle.write(f"# {note}\n")
        writer = csv.writer(handle)
        writer.writerow(list(columns))
        for k in range(len(q)):
            writer.writerow([repr(float(values[k])) for values in columns.values()])
    written = [path]
    with figure_tools.matplotlib.rc_context(_STYLE):
        figure = _canvas_figure(figure_tools, 7.0, 2.6 + 2.0 * len(panels))
        axes = figure.subplots(len(panels), 1, sharex=True, squeeze=False)[:, 0]
        for ax, (column, label) in zip(axes, panels):
            ax.plot(q, curves[column], color="#1f4e79", linewidth=0.9)
            ax.set_ylabel(label)
            ax.grid(True, linewidth=0.4, alpha=0.4)
        axes[-1].set_xlabel("Q (Å$^{-1}$)")
        if title:
            axes[0].set_title(title, fontsize=10, loc="left")
        written.append(os.path.join(folder, f"{name}.png"))
        figure.savefig(written[-1])
    if partials:
        with figure_tools.matplotlib.rc_context(_STYLE):
            figure = _canvas_figure(figure_tools, 7.0, 4.4)
            ax = figure.subplots()
            for label, values in partials.items():
                ax.plot(q, values, linewidth=0.9, label=label)
            ax.set_xlabel("Q (Å$^{-1}$)")
            ax.set_ylabel(partial_label)
            ax.legend(loc="upper right")
            ax.grid(True, linewidth=0.4, alpha=0.4)
            if title:
                ax.set_title(title, fontsize=10, loc="left")
            written.append(os.path.join(folder, f"{name}_partials.png"))
            figure.savefig(written[-1])
    return written
