"""Errors a caller can catch: refused files name the file and line, limits are their own kind,
the operating system's errors keep errno and filename, and every reader takes a path-like."""

import errno
import pathlib
import pickle

import pytest

import kestrel
from kestrel import Structure, StructureFileError, WorkLimitError, read_cif_blocks, read_structure, read_xyz_trajectory

POSCAR_BAD_LATTICE = "Si\n1.0\n4 0 0\n0 4 x\n0 0 4\nSi\n1\nDirect\n0 0 0\n"
XYZ_BAD_ATOM = '2\nLattice="4 0 0 0 4 0 0 0 4"\nSi 0 0 0\nO 1 2 z\n'


def test_both_kinds_are_value_errors_and_exported():
    assert issubclass(StructureFileError, ValueError) and issubclass(WorkLimitError, ValueError)
    assert {"StructureFileError", "WorkLimitError"} <= set(kestrel.__all__)
    assert StructureFileError.__module__ == "kestrel" and WorkLimitError.__module__ == "kestrel"
    # Raised by hand, the fields read as unknown.
    assert StructureFileError("x").filename is None and StructureFileError("x").line is None


@pytest.mark.parametrize(
    "name, text, read, line, reason",
    [
        (
            "notacif.cif",
            "hello\nworld\n",
            Structure.from_cif,
            None,
            "not a CIF: no data block with a cell and atom sites",
        ),
        ("POSCAR", POSCAR_BAD_LATTICE, Structure.from_poscar, 4, "expected a number, found 'x'"),
        ("frame.xyz", XYZ_BAD_ATOM, Structure.from_xyz, 4, "expected a number, found 'z'"),
        ("frame.xyz", "two\n", Structure.from_xyz, None, "XYZ file is too short"),
        (
            "frame.xyz",
            'x\nLattice="4 0 0 0 4 0 0 0 4"\n',
            Structure.from_xyz,
            1,
            "first line of an XYZ file must be the atom count",
        ),
        (
            "frame.xyz",
            '1\nLattice="4 0 0"\nSi 0 0 0\n',
            Structure.from_xyz,
            2,
            'Lattice="..." must hold 9 numbers, found 3',
        ),
        (
            "nocell.cif",
            "data_x\nloop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\nFe 0 0 0\n",
            Structure.from_cif,
            None,
            "missing _cell_length_a",
        ),
    ],
)
def test_refused_files_name_the_file_and_line(tmp_path, name, text, read, line, reason):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(StructureFileError) as info:
        read(path)
    error = info.value
    assert (error.filename, error.line, error.reason) == (str(path), line, reason)
    where = f"{path}: " + (f"line {line}: " if line else "")
    assert str(error) == where + reason
    # Read by name, the same error.
    with pytest.raises(StructureFileError) as by_name:
        read_structure(path, fmt={"POSCAR": "poscar"}.get(name, name.rsplit(".", 1)[-1]))
    assert str(by_name.value) == str(error)


def test_a_cif_read_as_poscar_names_the_line_it_stumbled_on(tmp_path):
    path = tmp_path / "FeNi.cif"
    path.write_text((pathlib.Path(__file__).parent.parent / "examples" / "FeNi_disordered.cif").read_text())
    with pytest.raises(StructureFileError) as info:
        read_structure(path, fmt="poscar")
    assert str(info.value) == f"{path}: line 2: expected a number, found '#'"


def test_text_in_memory_keeps_the_reader_message_and_the_line_field():
    with pytest.raises(StructureFileError) as info:
        Structure.from_str(POSCAR_BAD_LATTICE, "poscar")
    assert str(info.value) == "expected a number, found 'x'"
    assert (info.value.filename, info.value.line) == (None, 4)
    # A wrong format name is a parameter, not the text's fault.
    with pytest.raises(ValueError) as name:
        Structure.from_str(POSCAR_BAD_LATTICE, "pdb")
    assert type(name.value) is ValueError


@pytest.mark.parametrize(
    "read",
    [
        Structure.from_cif,
        Structure.from_poscar,
        Structure.from_xyz,
        read_cif_blocks,
        read_xyz_trajectory,
        read_structure,
    ],
)
def test_a_missing_file_is_file_not_found_with_errno_and_filename(tmp_path, read):
    missing = tmp_path / "missing.cif"
    with pytest.raises(FileNotFoundError) as info:
        read(missing)
    assert (info.value.errno, info.value.filename) == (errno.ENOENT, str(missing))
    assert str(info.value) == f"[Errno 2] No such file or directory: '{missing}'"


@pytest.mark.parametrize("read", [Structure.from_cif, Structure.from_poscar, Structure.from_xyz, read_structure])
def test_a_directory_is_is_a_directory_error(tmp_path, read):
    with pytest.raises(IsADirectoryError) as info:
        read(tmp_path) if read is not read_structure else read(tmp_path, fmt="cif")
    assert (info.value.errno, info.value.filename) == (errno.EISDIR, str(tmp_path))


def test_every_reader_takes_path_like_objects(tmp_path):
    examples = pathlib.Path(__file__).parent.parent / "examples"
    for name, read in [
        ("NaCl.cif", Structure.from_cif),
        ("Si.poscar", Structure.from_poscar),
        ("MgO.xyz", Structure.from_xyz),
    ]:
        path = examples / name
        assert read(path) == read(str(path)) == read(bytes(path)) == read_structure(path)
    assert list(read_cif_blocks(examples / "NaCl.cif")) == list(read_cif_blocks(str(examples / "NaCl.cif")))
    frames, _, _ = read_xyz_trajectory(examples / "Cu_md.xyz", stop=1)
    assert frames[0] == read_xyz_trajectory(str(examples / "Cu_md.xyz"), stop=1)[0][0]


def test_trajectory_errors_name_the_file_and_the_parameter_that_mends_them(tmp_path):
    path = tmp_path / "nocell.xyz"
    path.write_text("1\nframe without a cell\nSi 0 0 0\n")
    with pytest.raises(StructureFileError) as info:
        read_xyz_trajectory(path)
    error = info.value
    assert error.parameter == "cell" and error.filename == str(path)
    assert error.reason == (
        'frame 0 has no Lattice="..." and no cell was given; an RDF of a periodic system needs the cell'
    )
    assert str(error) == f"{path}: {error.reason}, so pass cell=[[a],[b],[c]]"
    # A parameter out of range is the call's fault, whatever the file.
    with pytest.raises(ValueError) as every:
        read_xyz_trajectory(path, every=0)
    assert type(every.value) is ValueError and str(every.value) == "every must be at least 1"


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda s: s.make_supercell(2**20, 2**20, 2**20),
            "a 1048576x1048576x1048576 supercell of a 1-site structure would exceed the limit of 2147483647 sites",
        ),
        (lambda s: s.expand_occupancies(max_sites=0), "even a 1x1x1 cell holds 1 sites, above the limit of 0"),
        (
            lambda s: s.total_rdf(cutoff=100.0, bin_size=1e-7, n_threads=1),
            "cutoff and bin_size give 1000000000 bins, too many for 1 element on 1 worker thread: "
            "the histograms would need more than 4 GiB",
        ),
    ],
)
def test_limits_are_work_limit_errors(call, message):
    s = Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0]], [{"Si": 1.0}])
    with pytest.raises(WorkLimitError) as info:
        call(s)
    assert str(info.value) == message == info.value.reason


def test_a_cif_that_expands_too_far_is_a_limit_naming_the_file(tmp_path):
    rows = "".join(f"X{i} Fe {i / 5000:.6f} 0 0\n" for i in range(5000))
    ops = "".join(f"'x+{k}/5000, y, z'\n" for k in range(5000))
    path = tmp_path / "huge.cif"
    path.write_text(
        "data_x\n_cell_length_a 5\n_cell_length_b 5\n_cell_length_c 5\nloop_\n_symmetry_equiv_pos_as_xyz\n"
        + ops
        + "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
        + rows
    )
    with pytest.raises(WorkLimitError) as info:
        Structure.from_cif(path)
    assert info.value.filename == str(path)
    assert str(info.value) == f"{path}: {info.value.reason}"
    assert info.value.reason.startswith("CIF expands to 25000000 positions")


def test_errors_pickle_with_their_fields(tmp_path):
    path = tmp_path / "POSCAR"
    path.write_text(POSCAR_BAD_LATTICE)
    with pytest.raises(StructureFileError) as info:
        Structure.from_poscar(path)
    back = pickle.loads(pickle.dumps(info.value))
    assert type(back) is StructureFileError
    assert (str(back), back.filename, back.line, back.reason) == (
        str(info.value),
        str(path),
        4,
        "expected a number, found 'x'",
    )
