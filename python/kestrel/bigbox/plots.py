"""A big-box fit's figures and CSVs: fit and difference per data set, α per shell, the partials, Rw over the run."""

from __future__ import annotations

import csv
import os
from typing import TYPE_CHECKING, List, Optional

import numpy as np

from kestrel.plotting.style import (
    _BLUE,
    _ORANGE,
    _RED,
    _STYLE,
    _canvas_figure,
    _file_safe,
    _matplotlib,
    _pair_label,
    _save,
)

if TYPE_CHECKING:
    from kestrel.bigbox.result import BigBoxFit

_GREEN = "#2a7a3b"


def save_big_box_plots(fit: BigBoxFit, folder: str, title: Optional[str] = None) -> List[str]:
    """Write ``fit.png`` (data, model and the difference below, per data set), ``sro.png`` (α per
    shell with its spread over the replicas), ``partials.png`` (g_AB(r)), ``rw.png`` (Rw over the
    run) and the CSVs ``fit_<label>.csv``, ``partials.csv`` and ``sro.csv`` into ``folder``.
    Returns the paths written."""
    figure_tools = _matplotlib()
    matplotlib = figure_tools.matplotlib
    os.makedirs(folder, exist_ok=True)
    written = _write_csvs(fit, folder)
    with matplotlib.rc_context(_STYLE):
        written.append(_plot_fit(figure_tools, fit, os.path.join(folder, "fit.png"), title))
        if fit.sro is not None:
            written.append(_plot_sro(figure_tools, fit, os.path.join(folder, "sro.png"), title))
        written.append(_plot_partials(figure_tools, fit, os.path.join(folder, "partials.png"), title))
        written.append(_plot_history(figure_tools, fit, os.path.join(folder, "rw.png"), title))
    return written


# Per kind of data set: the CSV's column names and the figure's axis labels.
_COLUMNS = {"gr": ("r", "g"), "fq": ("q", "f"), "sq": ("q", "s")}
_AXES = {
    "gr": ("r (Å)", "G(r) (Å$^{-2}$)"),
    "fq": ("Q (Å$^{-1}$)", "F(Q) (Å$^{-1}$)"),
    "sq": ("Q (Å$^{-1}$)", "S(Q)"),
}


def _kinds(fit: BigBoxFit) -> List[str]:
    return list(fit.kinds) or ["gr"] * len(fit.labels)


def _write_csvs(fit: BigBoxFit, folder: str) -> List[str]:
    written = []
    for label, kind, r, g, model, difference in zip(
        fit.labels, _kinds(fit), fit.r, fit.data, fit.model, fit.difference
    ):
        path = os.path.join(folder, "fit_{}.csv".format(_file_safe(os.path.splitext(label)[0])))
        with open(path, "w", newline="") as handle:
            out = csv.writer(handle)
            x, y = _COLUMNS[kind]
            out.writerow([x, f"{y}_obs", f"{y}_calc", "difference"])
            out.writerows(zip(r, g, model, difference))
        written.append(path)
    path = os.path.join(folder, "partials.csv")
    pairs = sorted({tuple(sorted(p)) for p in fit.partials})
    with open(path, "w", newline="") as handle:
        out = csv.writer(handle)
        out.writerow(["r"] + ["g_{}-{}".format(a, b) for a, b in pairs])
        out.writerows(zip(fit.partial_r, *(fit.partials[p] for p in pairs)))
    written.append(path)
    if fit.sro is not None:
        path = os.path.join(folder, "sro.csv")
        with open(path, "w", newline="") as handle:
            out = csv.writer(handle)
            out.writerow(["sublattice", "pair", "shell", "radius", "alpha", "alpha_std"])
            for index in range(len(fit.sro.sublattices)):
                radii = fit.sro.radii(index)
                for a, b in fit.sro.pairs(index):
                    mean, sd = fit.sro.alpha(a, b, index), fit.sro.alpha_std(a, b, index)
                    for s, (r, m, d) in enumerate(zip(radii, mean, sd)):
                        out.writerow([index, f"{a}-{b}", s + 1, r, m, d])
        written.append(path)
    return written


def _plot_fit(figure_tools, fit: BigBoxFit, path: str, title) -> str:
    n = len(fit.labels)
    figure = _canvas_figure(figure_tools, 7.0, 3.2 * n + 0.4)
    axes = figure.subplots(n, 1, squeeze=False)[:, 0]
    for ax, label, kind, r, g, model, difference, rw in zip(
        axes, fit.labels, _kinds(fit), fit.r, fit.data, fit.model, fit.difference, fit.rw_per_data
    ):
        span = float(np.max(g) - np.min(g))
        offset = float(np.min(g)) - 0.15 * span - float(np.max(difference))
        ax.plot(r, g, "o", markersize=1.6, color=_BLUE, label="data")
        ax.plot(r, model, color=_RED, linewidth=0.9, label="model")
        ax.plot(r, difference + offset, color=_GREEN, linewidth=0.8, label="difference")
        ax.axhline(offset, color="0.6", linewidth=0.5)
        ax.set_ylabel(_AXES[kind][1])
        ax.set_title(f"{label}: Rw = {rw:.4f}", fontsize=10)
        ax.set_xlabel(_AXES[kind][0])
        ax.grid(True, linewidth=0.4, alpha=0.4)
        ax.legend(loc="upper right", fontsize=8)
    return _save(figure, path, title)


def _plot_sro(figure_tools, fit: BigBoxFit, path: str, title) -> str:
    sro = fit.sro
    n = len(sro.sublattices)
    figure = _canvas_figure(figure_tools, 5.5, 3.0 * n + 0.4)
    axes = figure.subplots(n, 1, squeeze=False)[:, 0]
    colours = [_BLUE, _RED, _ORANGE, _GREEN]
    for index, ax in enumerate(axes):
        shells = np.arange(1, len(sro.radii(index)) + 1)
        for k, (a, b) in enumerate(sro.pairs(index)):
            ax.errorbar(
                shells + 0.06 * (k - 1),
                sro.alpha(a, b, index),
                yerr=sro.alpha_std(a, b, index),
                marker="o",
                capsize=3,
                color=colours[k % len(colours)],
                label=f"{a}-{b}",
            )
        ax.axhline(0.0, color="0.5", linewidth=0.6)
        ax.set_xticks(shells)
        ax.set_xticklabels([f"{s}\n{r:.2f} Å" for s, r in zip(shells, sro.radii(index))])
        ax.set_xlabel("shell")
        ax.set_ylabel("Warren–Cowley α")
        ax.set_title(
            "sublattice {} ({}), ± sd over {} replicas".format(
                index, ", ".join(sro.sublattices[index].species), len(sro.replicas)
            ),
            fontsize=10,
        )
        ax.grid(True, linewidth=0.4, alpha=0.4)
        ax.legend(fontsize=8)
    return _save(figure, path, title)


def _plot_partials(figure_tools, fit: BigBoxFit, path: str, title) -> str:
    figure = _canvas_figure(figure_tools, 6.4, 3.4)
    ax = figure.subplots()
    pairs = sorted({tuple(sorted(p)) for p in fit.partials})
    colours = [_BLUE, _RED, _ORANGE, _GREEN, "#6b3fa0", "#777777"]
    for k, (a, b) in enumerate(pairs):
        ax.plot(
            fit.partial_r,
            fit.partials[(a, b)],
            linewidth=0.8,
            color=colours[k % len(colours)],
            label=_pair_label(a, b, normalised=True),
        )
    ax.axhline(1.0, color="0.6", linewidth=0.5)
    ax.set_xlim(0.0, float(fit.partial_r[-1]))
    ax.set_xlabel("r (Å)")
    ax.set_ylabel("g$_{AB}$(r)")
    ax.grid(True, linewidth=0.4, alpha=0.4)
    ax.legend(fontsize=8)
    return _save(figure, path, title)


def _plot_history(figure_tools, fit: BigBoxFit, path: str, title) -> str:
    figure = _canvas_figure(figure_tools, 5.5, 3.0)
    ax = figure.subplots()
    for k, history in enumerate(fit.history):
        if len(history):
            ax.plot(history[:, 0], history[:, 2], linewidth=0.9, label=f"replica {k}")
    ax.set_xlabel("trial moves")
    ax.set_ylabel("Rw (running)")
    ax.set_yscale("log")
    ax.grid(True, linewidth=0.4, alpha=0.4)
    if len(fit.history) <= 8:
        ax.legend(fontsize=8)
    return _save(figure, path, title)
