"""Deprecated module name: the scattering powers live in :mod:`kestrel.scattering.powers`."""

import warnings

from kestrel.scattering.powers import RADIATIONS, scattering_powers, scattering_source

__all__ = ["RADIATIONS", "scattering_powers", "scattering_source"]

warnings.warn(
    "kestrel.scattering.tables is deprecated; import from kestrel.scattering.powers",
    DeprecationWarning,
    stacklevel=2,
)
