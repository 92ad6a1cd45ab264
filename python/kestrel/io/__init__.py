"""Structure files in and out: readers by name, the POSCAR, XYZ and CIF writers, and
conversion to and from ASE and pymatgen."""

from kestrel.io.cif_writer import cif_text
from kestrel.io.interop import from_ase, from_pymatgen, to_ase, to_pymatgen
from kestrel.io.readers import format_from_name, read_structure
from kestrel.io.writers import poscar_text, write_cif, write_poscar, write_structure, write_xyz, xyz_text

__all__ = [
    "write_poscar",
    "write_xyz",
    "write_cif",
    "write_structure",
    "read_structure",
    "format_from_name",
    "poscar_text",
    "xyz_text",
    "cif_text",
    "from_ase",
    "to_ase",
    "from_pymatgen",
    "to_pymatgen",
]
