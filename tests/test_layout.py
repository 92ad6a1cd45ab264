"""The core's folders and the Python package's parts keep to their layers
(tools/check_layers.py), and no Python module grows past one sitting's reading."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "kestrel"


def test_no_layer_reaches_a_higher_one_and_no_import_cycle():
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "check_layers.py")], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize("path", sorted(PACKAGE.rglob("*.py")), ids=lambda p: str(p.relative_to(PACKAGE)))
def test_python_modules_stay_short(path):
    assert len(path.read_text().splitlines()) <= 420


# What users import: moving code between the package's modules must not change it.
PUBLIC_NAMES = {
    "kestrel": [
        "BigBoxData",
        "BigBoxFit",
        "CifReadWarning",
        "EnsembleResult",
        "MeasuredPdf",
        "PdfAgreement",
        "PdfRefinement",
        "PdfResult",
        "ShortLastBinWarning",
        "ShortRangeOrder",
        "SqsReport",
        "Structure",
        "StructureFileError",
        "TrajectoryRdf",
        "WorkLimitError",
        "__version__",
        "compute_pdf",
        "compute_sq",
        "cut_particle",
        "debye_intensity",
        "feature_matrix",
        "fit_to_data",
        "from_ase",
        "from_pymatgen",
        "ordering_ensemble",
        "rdf_bins",
        "rdf_table",
        "read_cif_blocks",
        "read_gr",
        "read_rdf_table",
        "read_structure",
        "read_trajectory",
        "read_xyz_trajectory",
        "refine_big_box",
        "refine_pdf",
        "sqs",
        "to_ase",
        "to_pymatgen",
        "trajectory_rdf",
        "warren_cowley",
        "write_cif",
        "write_poscar",
        "write_rdf_table",
        "write_structure",
        "write_xyz",
    ],
    "kestrel.plotting": ["save_prdf_plots", "save_ensemble_plots", "save_pdf_plots"],
    "kestrel.batch": ["rdf_table", "write_rdf_table", "read_rdf_table", "feature_matrix", "table_settings"],
    "kestrel.io": ["read_structure", "write_structure", "poscar_text", "xyz_text", "cif_text", "format_from_name"],
    "kestrel.scattering": [
        "compute_pdf",
        "read_gr",
        "write_gr",
        "fit_scale",
        "fit_to_data",
        "cif_u_iso",
        "refine_pdf",
        "model_pdf",
        "PdfRefinement",
    ],
    "kestrel.ordering": ["warren_cowley", "sqs", "ShortRangeOrder", "SublatticeOrder", "SqsReport", "VACANCY"],
    "kestrel.cli": ["main"],
}


@pytest.mark.parametrize("module", list(PUBLIC_NAMES))
def test_public_names_stay_where_users_import_them(module):
    imported = __import__(module, fromlist=["_"])
    for name in PUBLIC_NAMES[module]:
        assert hasattr(imported, name), f"{module}.{name}"
    if module == "kestrel":
        assert sorted(imported.__all__) == PUBLIC_NAMES["kestrel"]
