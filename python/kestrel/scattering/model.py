"""Deprecated module name: the G(r) model lives in kestrel.scattering.pdf."""

import warnings

from kestrel.scattering.pairs import HISTOGRAM_STEP
from kestrel.scattering.pdf import PdfResult, compute_pdf
from kestrel.scattering.peaks import GAUSSIAN_REACH, TERMINATION_PERIODS

__all__ = ["PdfResult", "compute_pdf", "GAUSSIAN_REACH", "TERMINATION_PERIODS", "HISTOGRAM_STEP"]

warnings.warn(
    "kestrel.scattering.model is deprecated; import from kestrel.scattering.pdf",
    DeprecationWarning,
    stacklevel=2,
)
