"""Deprecated module name: the scale fit lives in kestrel.scattering.agreement, the ensemble G(r) in
kestrel.scattering.orderings."""

import warnings

from kestrel.scattering.agreement import PdfAgreement, fit_scale, fit_to_data
from kestrel.scattering.orderings import EnsemblePdf, OrderingPdfs

__all__ = ["PdfAgreement", "fit_scale", "fit_to_data", "EnsemblePdf", "OrderingPdfs"]

warnings.warn(
    "kestrel.scattering.fitting is deprecated; import from kestrel.scattering.agreement "
    "and kestrel.scattering.orderings",
    DeprecationWarning,
    stacklevel=2,
)
