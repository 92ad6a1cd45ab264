"""The model against measured data: one scale factor and Rw."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from kestrel._kestrel import Structure
from kestrel.scattering.gr_files import MeasuredPdf
from kestrel.scattering.pdf import PdfResult, compute_pdf

# ---- model against data -------------------------------------------------------------------------


@dataclass
class PdfAgreement:
    """One scale factor fitted by least squares over [rmin, rmax], and Rw.

    ``g_calc`` is the unscaled model at the data points ``r``; ``difference``
    is ``g_obs - scale * g_calc``;
    ``rw = sqrt(sum(difference²) / sum(g_obs²))``.
    """

    scale: float
    rw: float
    r: np.ndarray
    g_obs: np.ndarray
    g_calc: np.ndarray
    difference: np.ndarray
    rmin: float
    rmax: float
    model: Optional[PdfResult] = None


def fit_scale(r, g_obs, g_calc, rmin: Optional[float] = None, rmax: Optional[float] = None) -> PdfAgreement:
    """Fit G_obs ≈ scale · G_calc over rmin ≤ r ≤ rmax and report Rw.

    Parameters: ``r`` (Å), ``g_obs`` and ``g_calc`` (Å⁻², on the grid of ``r``), ``rmin`` and
    ``rmax`` (Å). Returns a ``PdfAgreement`` with the least-squares scale and Rw.
    """
    r, g_obs, g_calc = (np.asarray(v, dtype=float) for v in (r, g_obs, g_calc))
    if not (len(r) == len(g_obs) == len(g_calc)):
        raise ValueError("r, g_obs and g_calc must have the same length")
    low = float(r[0]) if rmin is None else float(rmin)
    high = float(r[-1]) if rmax is None else float(rmax)
    if not low < high:
        raise ValueError(f"rmin must be below rmax, got {low:g} and {high:g}")
    keep = (r >= low) & (r <= high)
    if not np.any(keep):
        raise ValueError(f"no data points between rmin = {low:g} and rmax = {high:g} Å")
    r, g_obs, g_calc = r[keep], g_obs[keep], g_calc[keep]
    model_norm = float(np.dot(g_calc, g_calc))
    data_norm = float(np.dot(g_obs, g_obs))
    if model_norm == 0.0:
        raise ValueError("the model G(r) is zero over the fitted range; no scale can be fitted")
    if data_norm == 0.0:
        raise ValueError("the measured G(r) is zero over the fitted range; Rw is undefined")
    scale = float(np.dot(g_obs, g_calc)) / model_norm
    difference = g_obs - scale * g_calc
    return PdfAgreement(
        scale=scale,
        rw=math.sqrt(float(np.dot(difference, difference)) / data_norm),
        r=r,
        g_obs=g_obs,
        g_calc=g_calc,
        difference=difference,
        rmin=low,
        rmax=high,
    )


def fit_to_data(
    structure: Structure, data: MeasuredPdf, rmin: Optional[float] = None, rmax: Optional[float] = None, **options
) -> PdfAgreement:
    """Compute the model at the measured points in [rmin, rmax], fit its scale, report Rw.

    ``options`` go to :func:`compute_pdf` (radiation, u_iso, qmax, qdamp,
    partials, n_threads); the model is kept in ``fit.model``.

    Parameters: ``structure``, the model's structure; ``data``, a ``MeasuredPdf`` (from
    ``read_gr``); ``rmin`` and ``rmax`` in Å. Returns a ``PdfAgreement``: ``r``, ``g_obs``,
    ``g_calc``, ``scale``, ``difference``, ``rw`` and the model ``PdfResult``.
    """
    low = float(data.r[0]) if rmin is None else float(rmin)
    high = float(data.r[-1]) if rmax is None else float(rmax)
    keep = (data.r >= low) & (data.r <= high)
    if not np.any(keep):
        raise ValueError(f"no data points between rmin = {low:g} and rmax = {high:g} Å")
    model = compute_pdf(structure, r=data.r[keep], **options)
    fit = fit_scale(data.r[keep], data.g[keep], model.g, low, high)
    fit.model = model
    return fit
