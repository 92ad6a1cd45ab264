"""Deprecated module name: the model over all phases lives in kestrel.scattering.pdf."""

import warnings

from kestrel.scattering.parameters import U_FLOOR, Parameter
from kestrel.scattering.pdf import PdfModel
from kestrel.scattering.peaks import SHARPENING_FLOOR, sphere_envelope

__all__ = ["PdfModel", "U_FLOOR", "Parameter", "SHARPENING_FLOOR", "sphere_envelope"]

warnings.warn(
    "kestrel.scattering.pdf_model is deprecated; import from kestrel.scattering.pdf",
    DeprecationWarning,
    stacklevel=2,
)
