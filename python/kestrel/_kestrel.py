"""The compiled extension, seen from inside the package.

The extension stays a top-level module named ``_kestrel`` (its classes say so
in ``__module__``, and ``import _kestrel`` keeps working); this module hands
its names to the package so that ``_kestrel.pyi`` beside it, shipped with
``py.typed``, gives type checkers and editors the signatures.
"""

from _kestrel import Structure, __version__, read_xyz_trajectory

__all__ = ["Structure", "read_xyz_trajectory", "__version__"]
