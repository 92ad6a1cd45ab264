"""Deprecated module name: one phase of a model lives in kestrel.scattering.phases."""

import warnings

from kestrel.scattering.phases import UNITS_WEIGHED_INDEPENDENTLY, PhaseModel

__all__ = ["UNITS_WEIGHED_INDEPENDENTLY", "PhaseModel"]

warnings.warn(
    "kestrel.scattering.phase is deprecated; import from kestrel.scattering.phases",
    DeprecationWarning,
    stacklevel=2,
)
