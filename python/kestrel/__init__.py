"""Radial distribution functions of periodic crystals, partial occupancies included."""

from _kestrel import Structure, __version__, read_xyz_trajectory

__all__ = ["Structure", "read_xyz_trajectory", "__version__"]
