"""The PDF's CSV and figures: the model, the data with the difference, the partial contributions."""

from __future__ import annotations

import csv
import os
from typing import TYPE_CHECKING, List, Optional

import numpy as np

from kestrel._kestrel import __version__
from kestrel.plotting.style import _STYLE, _matplotlib

if TYPE_CHECKING:
    from kestrel.scattering.agreement import PdfAgreement
    from kestrel.scattering.pdf import PdfResult


# ---- figures --------------------------------------------------------------------------------------


def save_pdf_plots(
    result: PdfResult,
    folder: str,
    fit: Optional[PdfAgreement] = None,
    title: Optional[str] = None,
    u_source: Optional[str] = None,
    source: Optional[str] = None,
) -> List[str]:
    """Write ``pdf.csv``, ``pdf.png`` and, with partials, ``pdf_partials.png`` into ``folder``.

    Parameters: ``result`` from ``compute_pdf`` (or ``fit.model``); ``folder`` (created if need be);
    ``fit`` from ``fit_to_data``, to draw the data and the difference; ``title`` of the figures;
    ``u_source``, where the U values came from, and ``source``, the structure file, for the CSV's
    header lines. ``pdf.csv`` opens with ``#`` lines (radiation, Q range, density, scattering
    powers, U per element and its source, the columns and their units; ``pandas.read_csv(path,
    comment="#")`` reads it). ``pdf.png`` is the model alone, or with ``fit`` the measured G(r) as
    points, the scaled model over it and the difference curve offset below. ``pdf_partials.png``
    draws each weighted partial contribution and their sum. Returns the paths written.
    """

    figure_tools = _matplotlib()
    os.makedirs(folder, exist_ok=True)
    written = [_write_pdf_csv(os.path.join(folder, "pdf.csv"), result, fit, _csv_notes(result, fit, u_source, source))]
    written.append(_plot_model_and_data(figure_tools, os.path.join(folder, "pdf.png"), result, fit, title, _STYLE))
    if result.partials:
        written.append(_plot_partials(figure_tools, os.path.join(folder, "pdf_partials.png"), result, title, _STYLE))
    return written


def _csv_notes(
    result: PdfResult, fit: Optional[PdfAgreement], u_source: Optional[str], source: Optional[str]
) -> List[str]:
    """The ``#`` lines that open pdf.csv: what the numbers below were computed from."""

    unit = "fm" if result.radiation == "neutron" else "electrons"
    notes = [f"kestrel {__version__}: reduced pair distribution function G(r) = 4 pi r [rho(r) - rho0]"]
    if source is not None:
        notes.append(f"structure: {source}")
    notes.append(f"radiation: {_describe(result)}")
    notes.append(f"number density rho0: {result.density!r} atoms/A^3")
    notes.append(
        f"scattering powers ({unit}, {result.source}): "
        + ", ".join(f"{el} {value!r}" for el, value in result.scattering.items())
    )
    notes.append(
        "u_iso (A^2"
        + (f", {u_source}" if u_source else "")
        + "): "
        + ", ".join(f"{el} {u!r}" for el, u in result.u_iso.items())
    )
    columns = "r in A; G_calc and each pair's weighted contribution A-B in A^-2"
    if fit is not None:
        columns += f"; G_obs, the scaled model (scale {fit.scale!r}) and their difference, Rw {fit.rw!r}"
    notes.append(f"columns: {columns}")
    return notes


def _write_pdf_csv(path: str, result: PdfResult, fit: Optional[PdfAgreement], notes: List[str]) -> str:

    partials = result.partials or {}
    pairs = list(partials)
    header = ["r", "G_calc"] + [f"{a}-{b}" for a, b in pairs]
    if fit is not None:
        header += ["G_obs", "scale_times_G_calc", "difference"]
    with open(path, "w", newline="", encoding="utf-8") as handle:
        for note in notes:
            handle.write(f"# {note}\n")
        writer = csv.writer(handle)
        writer.writerow(header)
        for k in range(len(result.r)):
            row = [result.r[k], result.g[k]] + [partials[p][k] for p in pairs]
            if fit is not None:
                row += [fit.g_obs[k], fit.scale * fit.g_calc[k], fit.difference[k]]
            writer.writerow([repr(float(v)) for v in row])
    return path


def _describe(result: PdfResult) -> str:
    text = "X-ray" if result.radiation == "xray" else "neutron"
    if result.qmax is not None:
        text += f", Qmax {result.qmax:g} Å⁻¹"
    if result.qdamp:
        text += f", Qdamp {result.qdamp:g} Å⁻¹"
    return text


def _plot_model_and_data(figure_tools, path, result, fit, title, style):
    Figure, FigureCanvasAgg = figure_tools.Figure, figure_tools.FigureCanvasAgg
    with figure_tools.matplotlib.rc_context(style):
        figure = Figure(figsize=(7.0, 4.4), dpi=200, layout="constrained")
        FigureCanvasAgg(figure)
        ax = figure.subplots()
        if fit is None:
            ax.plot(result.r, result.g, color="#1f4e79", linewidth=1.1, label="model")
            ax.set_title(f"model G(r), {_describe(result)}", fontsize=10, loc="left")
        else:
            calc = fit.scale * fit.g_calc
            ax.plot(
                fit.r,
                fit.g_obs,
                "o",
                markersize=2.2,
                markerfacecolor="none",
                markeredgewidth=0.6,
                color="#1f4e79",
                label="measured",
            )
            ax.plot(fit.r, calc, color="#a23b2a", linewidth=1.1, label=f"model × {fit.scale:.4g}")
            # The difference hangs below the curves, as in the usual fit figure.
            offset = min(np.min(fit.g_obs), np.min(calc)) - 1.2 * np.max(np.abs(fit.difference)) - 0.05 * np.ptp(calc)
            ax.plot(fit.r, fit.difference + offset, color="#2a7a3b", linewidth=0.9, label="difference")
            ax.axhline(offset, color="0.5", linewidth=0.6, linestyle="--")
            ax.set_title(
                f"Rw = {fit.rw:.4f} over {fit.rmin:g}–{fit.rmax:g} Å, {_describe(result)}", fontsize=10, loc="left"
            )
        ax.axhline(0.0, color="0.6", linewidth=0.5)
        ax.set_xlabel("r (Å)")
        ax.set_ylabel("G(r) (Å$^{-2}$)")
        ax.legend(loc="upper right")
        ax.grid(True, linewidth=0.4, alpha=0.4)
        if title:
            figure.suptitle(str(title))
        figure.savefig(path)
    return path


def _plot_partials(figure_tools, path, result, title, style):

    Figure, FigureCanvasAgg = figure_tools.Figure, figure_tools.FigureCanvasAgg
    pairs = list(result.partials)
    with figure_tools.matplotlib.rc_context(style):
        figure = Figure(figsize=(7.0, 3.6 + 0.55 * len(pairs)), dpi=200, layout="constrained")
        FigureCanvasAgg(figure)
        ax = figure.subplots()
        # One vertical scale for every curve, so the weights show; the
        # partials hang below the total, each on its own zero line.
        spacing = 1.15 * max(float(np.ptp(result.partials[p])) for p in pairs) or 1.0
        level = 0.0
        curves = [("total", result.g, "black")] + [
            (f"{a}–{b}  (w = {result.weights[(a, b)]:.3g})", result.partials[(a, b)], "#1f4e79") for a, b in pairs
        ]
        for k, (label, curve, colour) in enumerate(curves):
            if k == 1:
                level = float(np.min(result.g)) - 0.6 * spacing
            elif k > 1:
                level -= spacing
            ax.axhline(level, color="0.7", linewidth=0.5)
            ax.plot(result.r, curve + level, color=colour, linewidth=0.9)
            ax.annotate(
                label,
                (1.0, level),
                xycoords=("axes fraction", "data"),
                xytext=(4, 0),
                textcoords="offset points",
                va="center",
                fontsize=8,
            )
        ax.set_title(f"weighted partial contributions to G(r), {_describe(result)}", fontsize=10, loc="left")
        ax.set_xlabel("r (Å)")
        ax.set_ylabel("G(r), partials offset (Å$^{-2}$)")
        ax.set_xlim(float(result.r[0]), float(result.r[-1]))
        if title:
            figure.suptitle(str(title))
        figure.savefig(path)
    return path
