"""Radial distribution functions of periodic crystals, partial occupancies included."""

import importlib
from typing import TYPE_CHECKING, Any, List

from kestrel._kestrel import (
    CifReadWarning,
    ShortLastBinWarning,
    Structure,
    StructureFileError,
    WorkLimitError,
    __version__,
    rdf_bins,
    read_cif_blocks,
    read_xyz_trajectory,
)

# Everything above the extension loads on first use: ``import kestrel`` costs
# the extension alone, and NumPy, the batch table, the PDF and the plotting
# layers are imported when a name of theirs is first asked for. The modules
# themselves can then import what they need at their top.
_LAZY_NAMES = {
    "kestrel.batch": ("feature_matrix", "rdf_table", "read_rdf_table", "write_rdf_table"),
    "kestrel.bigbox": ("BigBoxData", "BigBoxFit", "refine_big_box"),
    "kestrel.ensemble": ("EnsembleResult", "ordering_ensemble"),
    "kestrel.io": ("read_structure", "write_cif", "write_poscar", "write_structure", "write_xyz"),
    "kestrel.io.interop": ("from_ase", "from_pymatgen", "to_ase", "to_pymatgen"),
    "kestrel.ordering": ("ShortRangeOrder", "SqsReport", "sqs", "warren_cowley"),
    "kestrel.scattering": (
        "MeasuredPdf",
        "PdfAgreement",
        "PdfRefinement",
        "PdfResult",
        "compute_pdf",
        "compute_sq",
        "cut_particle",
        "debye_intensity",
        "fit_to_data",
        "read_gr",
        "refine_pdf",
    ),
    "kestrel.trajectory": ("TrajectoryRdf", "read_trajectory", "trajectory_rdf"),
}
_HOME = {name: module for module, names in _LAZY_NAMES.items() for name in names}
_SUBPACKAGES = ("batch", "bigbox", "cli", "ensemble", "io", "ordering", "plotting", "scattering", "trajectory")

if TYPE_CHECKING:
    from kestrel.batch import feature_matrix, rdf_table, read_rdf_table, write_rdf_table
    from kestrel.bigbox import BigBoxData, BigBoxFit, refine_big_box
    from kestrel.ensemble import EnsembleResult, ordering_ensemble
    from kestrel.io import read_structure, write_cif, write_poscar, write_structure, write_xyz
    from kestrel.io.interop import from_ase, from_pymatgen, to_ase, to_pymatgen
    from kestrel.ordering import ShortRangeOrder, SqsReport, sqs, warren_cowley
    from kestrel.scattering import (
        MeasuredPdf,
        PdfAgreement,
        PdfRefinement,
        PdfResult,
        compute_pdf,
        compute_sq,
        cut_particle,
        debye_intensity,
        fit_to_data,
        read_gr,
        refine_pdf,
    )
    from kestrel.trajectory import TrajectoryRdf, read_trajectory, trajectory_rdf


def __getattr__(name: str) -> Any:
    if name in _HOME:
        value = getattr(importlib.import_module(_HOME[name]), name)
    elif name in _SUBPACKAGES:
        value = importlib.import_module("kestrel." + name)
    else:
        raise AttributeError(f"module 'kestrel' has no attribute {name!r}")
    globals()[name] = value  # asked once
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_HOME) | set(_SUBPACKAGES))


__all__ = [
    "Structure",
    "read_xyz_trajectory",
    "read_cif_blocks",
    "CifReadWarning",
    "rdf_bins",
    "ShortLastBinWarning",
    "StructureFileError",
    "WorkLimitError",
    "__version__",
    "ordering_ensemble",
    "warren_cowley",
    "sqs",
    "ShortRangeOrder",
    "SqsReport",
    "EnsembleResult",
    "from_ase",
    "to_ase",
    "from_pymatgen",
    "to_pymatgen",
    "read_structure",
    "write_structure",
    "write_poscar",
    "write_xyz",
    "write_cif",
    "trajectory_rdf",
    "read_trajectory",
    "TrajectoryRdf",
    "rdf_table",
    "write_rdf_table",
    "read_rdf_table",
    "feature_matrix",
    "compute_pdf",
    "compute_sq",
    "debye_intensity",
    "cut_particle",
    "fit_to_data",
    "read_gr",
    "PdfResult",
    "PdfAgreement",
    "PdfRefinement",
    "refine_pdf",
    "MeasuredPdf",
    "refine_big_box",
    "BigBoxFit",
    "BigBoxData",
]
