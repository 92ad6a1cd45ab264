"""Deprecated module name: the refinement's result lives in kestrel.scattering.fit_result."""

import warnings

from kestrel.scattering.fit_result import PdfRefinement

__all__ = ["PdfRefinement"]

warnings.warn(
    "kestrel.scattering.refinement is deprecated; import from kestrel.scattering.fit_result",
    DeprecationWarning,
    stacklevel=2,
)
