"""Single-frame extended XYZ through Structure.from_xyz and from_str."""

import pytest

from kestrel import Structure

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


@pytest.mark.parametrize("comment", [
    'lattice="4 0 0 0 4 0 0 0 4"',
    'energy=-1.0 Lattice="4 0 0 0 4 0 0 0 4"',
    'lattice="1 0 0 0 1 0 0 0 1" Lattice="4 0 0 0 4 0 0 0 4"',  # the capitalised key wins wherever it stands
    'Lattice="4\t0 0  0 4 0 0 0 4 "',
])
def test_lattice_field_forms(comment):
    assert read(xyz(comment=comment)).volume == pytest.approx(64.0)


@pytest.mark.parametrize("count", ["  2  ", "+2", "2"])
def test_count_line_is_trimmed(count):
    assert read(xyz(count=count)).n_sites == 2


def test_extra_columns_and_later_frames_are_ignored():
    text = xyz(count="1", atoms=["O 0 0 0 0.1 0.2 0.3"]) + xyz(count="2")
    s = read(text)
    assert s.n_sites == 1 and s.species == [{"O": 1.0}]


@pytest.mark.parametrize("text, message", [
    ("3\n", "XYZ file is too short"),
    ("", "XYZ file is too short"),
    (xyz(count="3 atoms"), "first line of an XYZ file must be the atom count"),
    (xyz(count="-3"), "first line of an XYZ file must be the atom count"),
    (xyz(count=""), "first line of an XYZ file must be the atom count"),
    (xyz(comment='LATTICE="4 0 0 0 4 0 0 0 4"'),
     'this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can be computed'),
    (xyz(comment="Lattice=4,0,0"),
     'this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can be computed'),
    (xyz(comment='Lattice="4 0 0 0 4 0 0 0 4'), 'unterminated Lattice="..." field'),
    (xyz(comment='Lattice="4 0 0 0 4 0 0 0"'), 'Lattice="..." must hold 9 numbers, found 8'),
    (xyz(comment='Lattice=""'), 'Lattice="..." must hold 9 numbers, found 0'),
    (xyz(comment='Lattice="4 0 0 0 4 0 0 0 4 1"'), 'Lattice="..." must hold 9 numbers, found 10'),
    (xyz(comment='Lattice="4 0 0 0 4 0 0 0 x 1"'), "expected a number, found 'x'"),
    (xyz(comment='Lattice="4 0 0 4 0 0 0 0 4"'), "cell matrix is singular (zero volume)"),
    (xyz(count="5", atoms=["H 0 0 0"] * 4), "XYZ ends after 4 of 5 atoms"),
    (xyz(atoms=["H 0 0 0", "O 1.0 2.0"]), "atom line 2 is incomplete"),
    (xyz(atoms=["H 0 0 0", "O 1.0 2.0 z"]), "expected a number, found 'z'"),
    (xyz(count="0", atoms=[]), "structure has no sites"),
])
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
    with pytest.raises(OSError, match=r"^could not read .*missing\.xyz: No such file or directory \(os error 2\)$"):
        Structure.from_xyz(str(tmp_path / "missing.xyz"))
    path.write_bytes(b"1\n" + CUBIC.encode() + b"\nSi 0 0 0 \xc3\x28\n")
    with pytest.raises(OSError, match="stream did not contain valid UTF-8$"):
        Structure.from_xyz(str(path))
