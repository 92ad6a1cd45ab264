"""Radial distribution functions of periodic crystals, partial occupancies included."""

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
from kestrel.batch import feature_matrix, rdf_table, read_rdf_table, write_rdf_table
from kestrel.ensemble import EnsembleResult, ordering_ensemble
from kestrel.io import read_structure, write_cif, write_poscar, write_structure, write_xyz
from kestrel.io.interop import from_ase, from_pymatgen, to_ase, to_pymatgen
from kestrel.ordering import ShortRangeOrder, SqsReport, sqs, warren_cowley
from kestrel.trajectory import TrajectoryRdf, read_trajectory, trajectory_rdf

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
    "fit_to_data",
    "read_gr",
    "PdfResult",
    "PdfAgreement",
    "PdfRefinement",
    "refine_pdf",
    "MeasuredPdf",
]

# The PDF's names load kestrel.scattering (and NumPy) when first asked for.
_SCATTERING_NAMES = {
    "MeasuredPdf",
    "PdfAgreement",
    "PdfRefinement",
    "PdfResult",
    "compute_pdf",
    "fit_to_data",
    "read_gr",
    "refine_pdf",
}


def __getattr__(name: str):
    if name in _SCATTERING_NAMES:
        import kestrel.scattering

        return getattr(kestrel.scattering, name)
    raise AttributeError(f"module 'kestrel' has no attribute '{name}'")
