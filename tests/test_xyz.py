"""Single-frame extended XYZ through Structure.from_xyz and from_str, and
its agreement with read_xyz_trajectory, which parses frames the same way."""

import io

import numpy as np
import pytest

from kestrel import Structure, read_xyz_trajectory

CUBIC = 'Lattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R:3 pbc="T T T"'


def xyz(count="2", comment=CUBIC, atoms=("Si 2 2 2", "O 0 0 1")):
    return "\n".join([count, comment, *atoms]) + "\n"


def read(text):
    return Structure.from_str(text, "xyz")


def test_reads_cell_and_fractional_positions():
    s = read(xyz())
    assert s.lattice_matrix == [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]
    assert s.frac_coords == [[0.5, 0.5, 0.5], [0.0, 0.0, 0.25]]
    assert s.species == [{"Si": 1.0}, {"O": 1.0}]


def test_triclinic_cell_converts_with_the_inverse():
    s = read(xyz(count="1", comment='Lattice="3 0 0 1 3 0 0.5 0.5 3"', atoms=["C 4.5 3.5 3"]))
    assert s.frac_coords[0] == pytest.approx([1.0, 1.0, 1.0], abs=1e-15)


@pytest.mark.parametrize(
    "comment",
    [
        'lattice="4 0 0 0 4 0 0 0 4"',
        'energy=-1.0 Lattice="4 0 0 0 4 0 0 0 4"',
        'Lattice="4\t0 0  0 4 0 0 0 4 "',
        'LATTICE="4 0 0 0 4 0 0 0 4"',  # the key in any letter case
        'Lattice="4 0 0 0 4 0 0 0 4',  # an unclosed quote runs to the end of the line
        'Lattice="4 0 0 0 4 0 0 0 4" lattice="1 0 0 0 1 0 0 0 1"',  # the first field wins
    ],
)
def test_lattice_field_forms(comment):
    assert read(xyz(comment=comment)).volume == pytest.approx(64.0)


@pytest.mark.parametrize("count", ["  2  ", "+2", "2"])
def test_count_line_is_trimmed(count):
    assert read(xyz(count=count)).n_sites == 2


def test_extra_columns_and_later_frames_are_ignored():
    text = xyz(count="1", atoms=["O 0 0 0 0.1 0.2 0.3"]) + xyz(count="2")
    s = read(text)
    assert s.n_sites == 1 and s.species == [{"O": 1.0}]


@pytest.mark.parametrize(
    "text, message",
    [
        ("3\n", "XYZ file is too short"),
        ("", "XYZ file is too short"),
        (xyz(count="3 atoms"), "first line of an XYZ file must be the atom count"),
        (xyz(count="-3"), "first line of an XYZ file must be the atom count"),
        (xyz(count=""), "first line of an XYZ file must be the atom count"),
        (
            xyz(comment='energy=1 pbc="T T T"'),
            'this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can be computed',
        ),
        (
            xyz(comment='xLattice="4 0 0 0 4 0 0 0 4"'),
            'this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can be computed',
        ),
        (xyz(comment="Lattice=4,0,0"), "expected a number, found '4,0,0'"),
        (xyz(comment='Lattice="4 0 0 0 4 0 0 0"'), 'Lattice="..." must hold 9 numbers, found 8'),
        (xyz(comment='Lattice=""'), 'Lattice="..." must hold 9 numbers, found 0'),
        (xyz(comment='Lattice="4 0 0 0 4 0 0 0 4 1"'), 'Lattice="..." must hold 9 numbers, found 10'),
        (xyz(comment='Lattice="4 0 0 0 4 0 0 0 x 1"'), "expected a number, found 'x'"),
        (xyz(comment='Lattice="4 0 0 4 0 0 0 0 4"'), "cell matrix is singular (zero volume)"),
        (xyz(count="5", atoms=["H 0 0 0"] * 4), "XYZ ends after 4 of 5 atoms"),
        (xyz(atoms=["H 0 0 0", "O 1.0 2.0"]), "atom line 2 is incomplete"),
        (xyz(atoms=["H 0 0 0", "O 1.0 2.0 z"]), "expected a number, found 'z'"),
        (xyz(count="0", atoms=[]), "structure has no sites"),
        (
            xyz(comment='Lattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R'),
            "cannot read Properties=species:S:1:pos:R",
        ),
        (
            xyz(comment='Lattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1'),
            "Properties=species:S:1 names no species or pos column",
        ),
        (
            xyz(comment='Lattice="4 0 0 0 4 0 0 0 4" Properties=species:S:x:pos:R:3'),
            "bad column count in Properties=species:S:x:pos:R:3",
        ),
        (
            xyz(
                comment='Lattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:mass:R:1:pos:R:3',
                atoms=["H 1 0 0 0", "O 16 1 2"],
            ),
            "atom line 2 is incomplete",
        ),
    ],
)
def test_messages(text, message):
    with pytest.raises(ValueError) as info:
        read(text)
    assert str(info.value) == message


def test_huge_count_fails_at_once():
    with pytest.raises(ValueError, match=r"^XYZ ends after 2 of 1000000000000000 atoms$"):
        read(xyz(count="1000000000000000"))


def test_one_huge_line():
    text = "1\n" + CUBIC + " " + "x" * 5_000_000
    with pytest.raises(ValueError, match="^XYZ ends after 0 of 1 atoms$"):
        read(text)


def test_files(tmp_path):
    path = tmp_path / "frame.xyz"
    path.write_text(xyz())
    assert Structure.from_xyz(str(path)).n_sites == 2
    with pytest.raises(FileNotFoundError, match=r"^\[Errno 2\] No such file or directory: '.*missing\.xyz'$"):
        Structure.from_xyz(str(tmp_path / "missing.xyz"))
    path.write_bytes(b"1\n" + CUBIC.encode() + b"\nSi 0 0 0 \xc3\x28\n")
    with pytest.raises(OSError, match="stream did not contain valid UTF-8$"):
        Structure.from_xyz(str(path))


# ---- one frame parser: the single-frame reader and the trajectory agree ------


def both_readers(text, tmp_path):
    """The structure of `text` by from_str and by read_xyz_trajectory."""
    path = tmp_path / "frame.xyz"
    path.write_text(text)
    single = read(text)
    structures, indices, frames_read = read_xyz_trajectory(str(path), stop=1)
    assert indices == [0] and frames_read == 1
    return single, structures[0]


def same_structure(a, b):
    assert a.lattice_matrix == b.lattice_matrix
    assert a.frac_coords == b.frac_coords
    assert a.species == b.species


@pytest.mark.parametrize(
    "comment, atoms, symbols, cart",
    [
        # The mass column comes before the positions: it must not be read as x.
        (
            'Lattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:mass:R:1:pos:R:3',
            ["Si 28.085 2 2 2", "O 15.999 0 0 1"],
            ["Si", "O"],
            [[2, 2, 2], [0, 0, 1]],
        ),
        (
            'Lattice="4 0 0 0 4 0 0 0 4" properties=pos:R:3:Z:I:1:element:S:1',
            ["1 1 1 14 si", "0 0 3 8 O2-"],
            ["Si", "O"],
            [[1, 1, 1], [0, 0, 3]],
        ),
        (
            'lattice="4 0 0 0 4 0 0 0 4" Properties="species:S:1:pos:R:3:forces:R:3" pbc="T T T"',
            ["Fe 1 2 3 0.1 0.2 0.3"],
            ["Fe"],
            [[1, 2, 3]],
        ),
        (
            'Lattice="4 0 0 0 4 0 0 0 4" xProperties=mass:R:1:species:S:1:pos:R:3',  # glued key: not a field
            ["Cu 1 2 3 9"],
            ["Cu"],
            [[1, 2, 3]],
        ),
    ],
)
def test_properties_decide_the_columns_in_both_readers(tmp_path, comment, atoms, symbols, cart):
    single, frame = both_readers(xyz(count=str(len(atoms)), comment=comment, atoms=atoms), tmp_path)
    same_structure(single, frame)
    assert [next(iter(site)) for site in single.species] == symbols
    np.testing.assert_allclose(single.cart_coords, cart, atol=1e-12)


@pytest.mark.parametrize(
    "comment",
    [
        'Lattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R',
        'Lattice="4 0 0 0 4 0 0 0"',
        'Lattice="4 0 0 0 4 0 0 0 q"',
        'Lattice="4 0 0 4 0 0 0 0 4"',
        'Properties=species:S:1 Lattice="4 0 0 0 4 0 0 0 4"',
    ],
)
def test_comment_line_failures_are_the_same_in_both_readers(tmp_path, comment):
    path = tmp_path / "frame.xyz"
    text = xyz(comment=comment)
    path.write_text(text)
    with pytest.raises(ValueError) as single:
        read(text)
    with pytest.raises(ValueError) as frame:
        read_xyz_trajectory(str(path))
    assert str(single.value) == frame.value.reason
    assert str(frame.value) == f"{path}: {frame.value.reason}"


@pytest.fixture
def ase_written():
    """Extended XYZ as ASE writes it, with per-atom columns beyond the positions."""
    pytest.importorskip("ase")
    import ase.io
    from ase.build import bulk

    atoms = bulk("NaCl", "rocksalt", a=5.64).repeat((2, 2, 1))
    atoms.rattle(0.1, seed=3)
    atoms.set_initial_charges(np.linspace(-1, 1, len(atoms)))
    atoms.set_momenta(np.arange(3 * len(atoms), dtype=float).reshape(-1, 3))
    atoms.arrays["mass_first"] = atoms.get_masses()
    buffer = io.StringIO()
    ase.io.write(buffer, atoms, format="extxyz")
    return atoms, buffer.getvalue()


def test_ase_files_with_extra_columns(tmp_path, ase_written):
    atoms, text = ase_written
    assert "momenta:R:3" in text.splitlines()[1]
    single, frame = both_readers(text, tmp_path)
    same_structure(single, frame)
    np.testing.assert_allclose(single.cart_coords, atoms.positions, atol=1e-7)
    assert [next(iter(site)) for site in single.species] == atoms.get_chemical_symbols()
    np.testing.assert_allclose(single.lattice_matrix, atoms.cell[:], atol=1e-12)


def test_ase_file_with_columns_moved_before_the_positions(tmp_path, ase_written):
    # The same atoms with the mass and charge columns written first: only the
    # Properties field says where x, y and z are.
    atoms, text = ase_written
    lines = text.splitlines()
    header = lines[1].replace(
        "Properties=species:S:1:pos:R:3:", "Properties=masses:R:1:charge:R:1:species:S:1:pos:R:3:"
    )
    assert header != lines[1]
    body = [f"{m:.6f} {q:.3f} {line}" for m, q, line in zip(atoms.get_masses(), atoms.get_initial_charges(), lines[2:])]
    single, frame = both_readers("\n".join([lines[0], header, *body]) + "\n", tmp_path)
    same_structure(single, frame)
    np.testing.assert_allclose(single.cart_coords, atoms.positions, atol=1e-7)
