"""The compiled extension, seen from inside the package.

The extension stays a top-level module named ``_kestrel`` (its classes say so
in ``__module__``, and ``import _kestrel`` keeps working); this module hands
its names to the package so that ``_kestrel.pyi`` beside it, shipped with
``py.typed``, gives type checkers and editors the signatures.
"""

# The package's own helpers, kept out of __all__; every module of the package
# reaches the extension through this one.
from _kestrel import (  # noqa: F401, I001
    CifReadWarning,
    ShortLastBinWarning,
    Structure,
    StructureFileError,
    WorkLimitError,
    __version__,
    _big_box_model,
    _big_box_refine,
    _bragg_sums,
    _cif_site_u_iso,
    _count_xyz_trajectory_frames,
    _debye_sums,
    _find_space_group_setting,
    _gaussian_peak_slopes,
    _gaussian_peak_sums,
    _next_trajectory_chunk,
    _open_trajectory,
    _read_xyz_trajectory_chunk,
    _space_group_operations,
    _site_pairs,
    _sqs,
    _warren_cowley,
    rdf_bins,
    read_cif_blocks,
    read_xyz_trajectory,
)

__all__ = [
    "Structure",
    "read_xyz_trajectory",
    "__version__",
    "read_cif_blocks",
    "CifReadWarning",
    "rdf_bins",
    "ShortLastBinWarning",
    "StructureFileError",
    "WorkLimitError",
]
