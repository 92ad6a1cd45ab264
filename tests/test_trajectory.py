"""read_xyz_trajectory: frame selection, the frame layout and its failures,
comment-line fields, streaming details (CR LF, UTF-8, buffer boundaries),
agreement with ASE, and the interpreter lock."""

import errno
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

from conftest import cpu_seconds
from kestrel import StructureFileError, read_xyz_trajectory, trajectory_rdf

CUBE = 'Lattice="10 0 0 0 10 0 0 0 10"'
CELL = [[10, 0, 0], [0, 10, 0], [0, 0, 10]]
NO_CELL = (
    'frame {} has no Lattice="..." and no cell was given; an RDF of a periodic system '
    "needs the cell, so pass cell=[[a],[b],[c]]"
)
BAD_UTF8 = "error reading {}: stream did not contain valid UTF-8"


def frame(atoms=(("Si", 1.0, 2.0, 3.0),), comment=CUBE, count=None):
    lines = [str(len(atoms) if count is None else count), comment]
    lines += [" ".join(str(v) for v in atom) for atom in atoms]
    return "\n".join(lines) + "\n"


def frames(n, **kw):
    """n frames whose single atom's x coordinate is the frame index."""
    return "".join(frame(atoms=(("Si", float(d), 0.0, 0.0),), **kw) for d in range(n))


@pytest.fixture
def write(tmp_path):
    def write(content, name="traj.xyz"):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


def fails(path, message, **kw):
    """The call fails with `message`: about the file's content, a StructureFileError naming the file."""
    with pytest.raises(ValueError) as info:
        read_xyz_trajectory(path, **kw)
    if isinstance(info.value, StructureFileError):
        assert info.value.filename == str(path)
        assert str(info.value) == f"{path}: {message}"
    else:
        assert str(info.value) == message


# ---- selection -------------------------------------------------------------


@pytest.mark.parametrize(
    "n, kw",
    [
        (3, {}),
        (6, dict(start=1, every=2)),
        (6, dict(start=1, every=2, stop=4)),
        (6, dict(start=1, every=2, stop=None)),
        (7, dict(every=3)),
        (7, dict(start=6)),
        (7, dict(start=2, stop=3)),
        (5, dict(stop=100)),
        (5, dict(every=2**64 - 1)),
    ],
)
def test_selection_keeps_start_every_before_stop(write, n, kw):
    structures, indices, frames_read = read_xyz_trajectory(write(frames(n)), **kw)
    start, every, stop = kw.get("start", 0), kw.get("every", 1), kw.get("stop")
    end = n if stop is None else min(n, stop)
    expected = list(range(start, end, every))
    assert indices == expected
    assert frames_read == end
    # Each kept structure really is that frame: x = 10 * frac_x = frame index.
    assert [round(s.frac_coords[0][0] * 10, 9) for s in structures] == expected


@pytest.mark.parametrize(
    "content, kw, message",
    [
        (frames(3), dict(stop=0), "no frames found in the file"),
        ("", {}, "no frames found in the file"),
        ("\n  \n\t\r\n\u3000\n", {}, "no frames found in the file"),
        (frames(4), dict(start=10), "the file has 4 frame(s) but none matched start/every/stop"),
        (frames(4), dict(start=3, stop=3), "the file has 3 frame(s) but none matched start/every/stop"),
    ],
)
def test_nothing_kept(write, content, kw, message):
    fails(write(content), message, **kw)


def test_frames_from_stop_on_are_never_read(write):
    # Garbage after frame 1 is not looked at when stop=2.
    path = write(frames(2) + "not a count\n")
    assert read_xyz_trajectory(path, stop=2)[1:] == ([0, 1], 2)
    path = write(frames(2).encode() + b"\xff\xfe garbage\n")
    assert read_xyz_trajectory(path, stop=2)[1:] == ([0, 1], 2)
    fails(path, BAD_UTF8.format("the atom count"))


# ---- frame layout ----------------------------------------------------------


def test_blank_lines_between_and_before_frames_are_skipped(write):
    text = "\n \t\n" + frame() + "\n\u00a0\n\r\n" + frame() + "\n\n"
    assert read_xyz_trajectory(write(text))[1:] == ([0, 1], 2)


def test_blank_line_inside_a_frame_is_an_incomplete_atom_line(write):
    text = frame() + "2\n" + CUBE + "\nSi 0 0 0\n\nO 1 1 1\n"
    fails(write(text), "frame 1, atom line 2 is incomplete")


@pytest.mark.parametrize("count", ["+1", " 1 ", "\t01\u3000"])
def test_atom_count_forms(write, count):
    structures, _, _ = read_xyz_trajectory(write(frame(count=count)))
    assert structures[0].n_sites == 1


@pytest.mark.parametrize("count", ["-1", "1.0", "one", "1 atoms", "1e0", str(2**64)])
def test_bad_atom_count_names_the_frame(write, count):
    fails(write(frame() + frame(count=count)), f"frame 1: expected an atom count, found '{count.strip()}'")


@pytest.mark.parametrize("selected", [True, False])
@pytest.mark.parametrize(
    "tail, message",
    [
        ("1\n", "frame 1 ends before its comment line"),
        ("3\n" + CUBE + "\nSi 0 0 0\nSi 1 1 1\n", "frame 1 ends after 2 of 3 atoms"),
        ("3\n" + CUBE + "\nSi 0 0 0\nSi 1 1 1", "frame 1 ends after 2 of 3 atoms"),
        ("3\n" + CUBE + "\n", "frame 1 ends after 0 of 3 atoms"),
        (
            f"{10**15}\n{CUBE}\nSi 0 0 0\nSi 1 1 1\n",
            "frame 1 ends after 2 of 1000000000000000 atoms",
        ),
        (
            f"{2**64 - 1}\n{CUBE}\nSi 0 0 0\n",
            f"frame 1 ends after 1 of {2**64 - 1} atoms",
        ),
    ],
)
def test_truncated_frames(write, selected, tail, message):
    # Huge counts must fail by running out of lines, never by reserving memory.
    fails(write(frame() + tail), message, start=0 if selected else 2)


def test_truncation_is_reported_before_a_bad_line_of_the_same_frame(write):
    fails(write(f"3\n{CUBE}\nSi x 0 0\nSi 0 0 0\n"), "frame 0 ends after 2 of 3 atoms")
    fails(write(f"3\n{CUBE.replace('10', 'x', 1)}\nSi 0 0 0\n"), "frame 0 ends after 1 of 3 atoms")


def test_unselected_frames_are_not_parsed(write):
    broken = [
        frame(comment="no cell here"),
        frame(comment='Lattice="1 2 3"'),
        frame(comment="Properties=bad"),
        frame(atoms=(("Si", "x", "y"),)),
        frame(count=0, atoms=()),
    ]
    text = "".join(broken) + frame()
    assert read_xyz_trajectory(write(text), start=len(broken))[1:] == ([len(broken)], len(broken) + 1)


@pytest.mark.parametrize("every, start", [(1, 0), (2, 0)])
def test_a_kept_last_frame_whose_last_line_has_no_line_feed_is_refused(write, every, start):
    # The file may have been cut inside that line, as a trajectory read while it is written often is.
    fails(
        write(frames(3).rstrip("\n")),
        "frame 2: the file ends without a line end on atom line 1, so its last value may be cut short; end the "
        "file with a line end if it is complete",
        every=every,
        start=start,
    )


def test_a_last_line_without_line_feed_in_a_frame_not_kept_reads(write):
    assert read_xyz_trajectory(write(frames(3).rstrip("\n")), every=2, start=1)[1:] == ([1], 3)


def test_atom_count_zero_in_a_kept_frame(write):
    fails(write(frame(count=0, atoms=())), "structure has no sites")


@pytest.mark.parametrize(
    "line, message",
    [
        ("Si 1 2", "frame 0, atom line 2 is incomplete"),
        ("Si 1 2 z", "expected a number, found 'z'"),
        ("Si 1 2 1.5D3", "expected a number, found '1.5D3'"),
        ("Si 1 2 3.0.0", "expected a number, found '3.0.0'"),
        ("Si 1 2 1e", "expected a number, found '1e'"),
    ],
)
def test_bad_atom_lines(write, line, message):
    fails(write(f"2\n{CUBE}\nSi 0 0 0\n{line}\n"), message)


@pytest.mark.parametrize(
    "token, value",
    [
        ("1.5e3", 1500.0),
        ("+.5", 0.5),
        ("5.", 5.0),
        ("-0.00000001", -1e-8),
        ("0.1", 0.1),
        ("12345678901234567890", 12345678901234567890.0),  # more digits than 64 bits hold
        ("9007199254740993", 9007199254740993.0),  # above 2**53: rounds to even
        ("1.7976931348623157e308", 1.7976931348623157e308),
        ("1e-400", 0.0),
        ("4.35e-5", 4.35e-5),
        ("123.456789012345678", 123.456789012345678),
    ],
)
def test_coordinates_are_read_exactly(write, token, value):
    # With the unit cell the fractional coordinate is the Cartesian one.
    unit = 'Lattice="1 0 0 0 1 0 0 0 1"'
    structures, _, _ = read_xyz_trajectory(write(f"1\n{unit}\nSi {token} 0 0\n"))
    assert structures[0].frac_coords[0][0] == value


def test_coordinates_match_python_float_parsing(write):
    rng = np.random.default_rng(3)
    values = np.concatenate([rng.normal(0, 20, 300), rng.normal(0, 1e-3, 100), rng.uniform(-1e6, 1e6, 100)])
    tokens = [f"{v:.{rng.integers(1, 18)}f}" for v in values] + [f"{v:.12e}" for v in values[:100]]
    atoms = [("O", tokens[i], tokens[i + 1], tokens[i + 2]) for i in range(0, len(tokens) - 2, 3)]
    unit = 'Lattice="1 0 0 0 1 0 0 0 1"'
    structure = read_xyz_trajectory(write(frame(atoms, comment=unit)))[0][0]
    assert structure.frac_coords == [[float(t) for t in atom[1:]] for atom in atoms]


def test_species_symbols(write):
    atoms = [(s, 0, 0, 0) for s in ("fe", "Fe2+", "O1", "FE", "*", "12")]
    structure = read_xyz_trajectory(write(frame(atoms)))[0][0]
    assert [list(site)[0] for site in structure.species] == ["Fe", "Fe", "O", "F", "*", "12"]


def test_unicode_spaces_separate_tokens(write):
    text = f"1\n{CUBE}\n\u3000Si\u00a01\u20032\t3\u2028\n"
    structure = read_xyz_trajectory(write(text))[0][0]
    assert structure.cart_coords == [pytest.approx([1, 2, 3])]


# ---- cells -----------------------------------------------------------------


@pytest.mark.parametrize(
    "comment",
    [
        'lattice="2 0 0 0 2 0 0 0 2"',
        'LATTICE="2 0 0 0 2 0 0 0 2"',
        'energy=1\tLattice="2 0 0 0 2 0 0 0 2" pbc="T T T"',
        'xLattice="9 0 0 0 9 0 0 0 9" Lattice="2 0 0 0 2 0 0 0 2"',
        'Lattice="2 0 0 0 2 0 0 0 2',  # no closing quote: to the end of the line
        'Lattice=2\u00a0Lattice="2 0 0 0 2 0 0 0 2"',  # the first counting match wins
    ],
)
def test_lattice_field_forms(write, comment):
    if comment.startswith("Lattice=2"):
        fails(write(frame(comment=comment)), 'Lattice="..." must hold 9 numbers, found 1')
        return
    structure = read_xyz_trajectory(write(frame(comment=comment)), cell=CELL)[0][0]
    assert structure.lattice_matrix == [[2, 0, 0], [0, 2, 0], [0, 0, 2]]


def test_key_glued_to_a_word_is_not_a_field(write):
    fails(write(frame(comment='xLattice="2 0 0 0 2 0 0 0 2"')), NO_CELL.format(0))
    fails(write(frame(comment='a\vLattice="2 0 0 0 2 0 0 0 2"')), NO_CELL.format(0))


@pytest.mark.parametrize(
    "comment, message",
    [
        ('Lattice="1 0 0 0 1 0 0 0"', 'Lattice="..." must hold 9 numbers, found 8'),
        ("Lattice=", 'Lattice="..." must hold 9 numbers, found 0'),
        ('Lattice="1 0 0 0 1 0 0 0 1 0"', 'Lattice="..." must hold 9 numbers, found 10'),
        ('Lattice="1 0 0 0 1 0 0 0 a"', "expected a number, found 'a'"),
        ('Lattice="1 0 0 0 1 0 a"', "expected a number, found 'a'"),
        ('Lattice="1 0 0 2 0 0 0 0 1"', "cell matrix is singular (zero volume)"),
    ],
)
def test_bad_lattice_field(write, comment, message):
    fails(write(frame(comment=comment)), message, cell=CELL)


def test_each_frame_has_its_own_cell_and_the_argument_fills_gaps(write):
    text = (
        frame(atoms=(("Si", 1, 1, 1),), comment='Lattice="2 0 0 0 4 0 0 0 8"')
        + frame(atoms=(("Si", 1, 1, 1),), comment="no cell")
        + frame(atoms=(("Si", 1, 1, 1),), comment='Lattice="4 0 0 1 4 0 0 0 4"')
    )
    structures, _, _ = read_xyz_trajectory(write(text), cell=np.diag([5.0, 5.0, 5.0]))
    assert [s.lattice_matrix[0][0] for s in structures] == [2, 5, 4]
    assert structures[0].frac_coords[0] == [0.5, 0.25, 0.125]
    assert structures[2].cart_coords[0] == pytest.approx([1, 1, 1])
    fails(write(text), NO_CELL.format(1))
    # The cell argument is checked only when a frame needs it.
    singular = [[1, 0, 0], [1, 0, 0], [0, 0, 1]]
    assert read_xyz_trajectory(write(text), cell=singular, stop=1)[1] == [0]
    fails(write(text), "cell matrix is singular (zero volume)", cell=singular)


# ---- Properties ------------------------------------------------------------


@pytest.mark.parametrize(
    "properties, line, symbol, position",
    [
        ("species:S:1:pos:R:3", "Fe 1 2 3", "Fe", [1, 2, 3]),
        ("pos:R:3:element:S:1", "1 2 3 Fe", "Fe", [1, 2, 3]),
        ('"id:I:1:Symbols:S:1:Positions:R:3"', "7 Fe 1 2 3", "Fe", [1, 2, 3]),
        ("SPECIES:S:1:forces:R:3:POS:R:3", "Fe 9 9 9 1 2 3", "Fe", [1, 2, 3]),
        ("elements:S:1:pos:R:3:species:S:1", "Fe 1 2 3 O", "O", [1, 2, 3]),  # last one wins
        ("species:S:+1:pos:R:03:pos:R:3", "Fe 9 9 9 1 2 3", "Fe", [1, 2, 3]),
        ("species:S:1:empty:R:0:pos:R:3", "Fe 1 2 3", "Fe", [1, 2, 3]),
        ("::1:species:S:1:pos:R:3", "x Fe 1 2 3", "Fe", [1, 2, 3]),
    ],
)
def test_properties_column_layout(write, properties, line, symbol, position):
    comment = f'{CUBE} Properties={properties} pbc="T T T"'
    structure = read_xyz_trajectory(write(f"1\n{comment}\n{line}\n"))[0][0]
    assert structure.species == [{symbol: 1.0}]
    assert structure.cart_coords[0] == pytest.approx(position)


@pytest.mark.parametrize(
    "properties, message",
    [
        ("species:S:1", "Properties=species:S:1 names no species or pos column"),
        ("pos:R:3", "Properties=pos:R:3 names no species or pos column"),
        ("species:S:1:pos:R", "cannot read Properties=species:S:1:pos:R"),
        ("", "cannot read Properties="),
        ("species:S:one:pos:R:3", "bad column count in Properties=species:S:one:pos:R:3"),
        ("species:S:-1:pos:R:3", "bad column count in Properties=species:S:-1:pos:R:3"),
        (f"species:S:1:pos:R:{2**64}", f"bad column count in Properties=species:S:1:pos:R:{2**64}"),
    ],
)
def test_bad_properties(write, properties, message):
    fails(write(f"1\n{CUBE} Properties={properties}\nFe 1 2 3\n"), message)


@pytest.mark.parametrize(
    "properties, line",
    [
        ("species:S:1:forces:R:3:pos:R:3", "Fe 1 2 3 4 5"),
        ("pos:R:3:species:S:1", "1 2 3"),
        # Column counts near 2**64 must not wrap round to small indices.
        (f"species:S:1:x:R:{2**64 - 1}:pos:R:3", "Fe 1 2 3"),
        (f"species:S:1:x:R:{2**64 - 2}:pos:R:3", "Fe 1 2 3"),
        (f"x:R:{2**64 - 1}:species:S:1:pos:R:3", "Fe 1 2 3"),
    ],
)
def test_short_lines_for_the_layout(write, properties, line):
    fails(write(f"1\n{CUBE} Properties={properties}\n{line}\n"), "frame 0, atom line 1 is incomplete")


# ---- streaming -------------------------------------------------------------


def test_crlf_reads_the_same_as_lf(write):
    text = "\n" + frames(3, comment=CUBE + ' Properties=species:S:1:pos:R:3 pbc="T T T"') + "\n"
    lf = read_xyz_trajectory(write(text))
    crlf = read_xyz_trajectory(write(text.replace("\n", "\r\n"), "crlf.xyz"))
    assert lf[1:] == crlf[1:]
    assert [s.frac_coords for s in lf[0]] == [s.frac_coords for s in crlf[0]]
    assert [s.species for s in lf[0]] == [s.species for s in crlf[0]]


def test_lone_carriage_returns_are_whitespace(write):
    text = f"1\r\r\n{CUBE}\r\nSi\r1 2 3\r"  # last line has no LF, so its CR stays
    structure = read_xyz_trajectory(write(text))[0][0]
    assert structure.cart_coords[0] == pytest.approx([1, 2, 3])


def test_lines_longer_than_the_buffer(write):
    comment = "x" * 20000 + " " + CUBE + " " + "y" * 9000
    atoms = [("Si", 1, 2, 3 + i) for i in range(3)]
    long_line = "O 4 5 6 " + " ".join(["0.5"] * 3000)
    text = frame(atoms, comment=comment) + f"2\n{comment}\n{long_line}\n{long_line}\n"
    for start in (0, 1):
        structures, indices, n = read_xyz_trajectory(write(text), start=start, every=2)
        assert (indices, n) == ([start], 2)
    assert structures[0].cart_coords[1] == pytest.approx([4, 5, 6])
    assert read_xyz_trajectory(write(text), stop=1)[1:] == ([0], 1)


def padded_to(prefix, offset):
    """A trajectory text whose byte `offset` falls at a chosen spot: blank
    lines before the first frame shift it."""
    pad = offset - len(prefix.encode())
    assert pad >= 0
    return "\n" * pad + prefix


@pytest.mark.parametrize("shift", range(-4, 5))
def test_multibyte_characters_across_the_buffer_boundary(write, shift):
    # A 4-byte character in the comment line straddles byte 8192 at several
    # cut points, and a 3-byte space straddles it inside an atom line.
    body = frame(comment=CUBE + " note=\U0001f600\U0001f600")
    at = body.index("\U0001f600")
    text = "\n" * (8192 - len(body[:at].encode()) + shift) + body
    assert read_xyz_trajectory(write(text))[1:] == ([0], 1)
    line = "Si 1 2\u30003\n"
    head = f"1\n{CUBE}\n"
    cut = 8192 - len(head.encode()) - line.index("\u3000") + shift
    text = "\n" * cut + head + line
    structure = read_xyz_trajectory(write(text))[0][0]
    assert structure.cart_coords[0] == pytest.approx([1, 2, 3])


@pytest.mark.parametrize("skipped", [False, True])
@pytest.mark.parametrize("shift", [-3, -2, -1, 0])
def test_invalid_utf8_across_the_buffer_boundary(write, skipped, shift):
    # A 3-byte lead whose third byte is not a continuation, placed so that
    # the buffer boundary falls before, inside or after the bad sequence.
    good = frame(atoms=[("Si", 0, 0, i) for i in range(100)]).encode()
    bad = frame(atoms=[("Si", 0, 0, i) for i in range(300)]).encode()
    where = bad.index(b"Si 0 0 150")
    bad = bad[:where] + b"Si\xe2\x80\x41 0 0 150" + bad[where + len(b"Si 0 0 150") :]
    lead = 8192 + shift - len(good) - where - 2
    text = b"\n" * lead + good + bad + good
    assert text.index(b"\xe2") == 8192 + shift
    kw = dict(start=2) if skipped else {}
    fails(write(text), BAD_UTF8.format("an atom line"), **kw)
    # The same bytes after stop are never read.
    assert read_xyz_trajectory(write(text), stop=1)[1:] == ([0], 1)


@pytest.mark.parametrize(
    "content, what",
    [
        (b"\xff1\n" + CUBE.encode() + b"\nSi 0 0 0\n", "the atom count"),
        (b"\n\n \xc0\xaf\n", "the atom count"),
        (b"1\n" + CUBE.encode() + b" \xed\xa0\x80\nSi 0 0 0\n", "the comment line"),  # surrogate
        (b"1\n" + CUBE.encode() + b"\nSi 0 0 0 \xf4\x90\x80\x80\n", "an atom line"),  # above U+10FFFF
        (b"1\n" + CUBE.encode() + b"\nSi 0 0 0 \xe2\x82", "an atom line"),  # cut short at the end
        (b"1\n" + CUBE.encode() + b"\nSi 0 0 0 \xe2\x82\n", "an atom line"),
        (b"1\n" + CUBE.encode() + b"\nSi 0 0 0\n\xe2", "the atom count"),
    ],
)
@pytest.mark.parametrize("skipped", [False, True])
def test_invalid_utf8_names_the_line_being_read(write, content, what, skipped):
    # Skipped frames are not parsed, but their lines are still read.
    prefix = frame().encode() if skipped else b""
    fails(write(prefix + content), BAD_UTF8.format(what), start=1 if skipped else 0, every=5)


def test_valid_multibyte_text_in_every_kind_of_line(write):
    text = f'\u00a0\n1\u3000\n{CUBE} name="Fe\u00b2\u207a \U0001f600"\n\u00e9 1 2 3 \u00e9\n'
    structure = read_xyz_trajectory(write(text * 3), every=2)[0][0]
    assert structure.species == [{"\u00e9": 1.0}]


# ---- the Python function ---------------------------------------------------


def test_three_frames_with_lattice_fields(write):
    text = "".join(
        frame(atoms=(("Na", 0, 0, 0), ("Cl", a / 2, a / 2, a / 2)), comment=f'Lattice="{a} 0 0 0 {a} 0 0 0 {a}"')
        for a in (5.0, 5.5, 6.0)
    )
    structures, indices, frames_read = read_xyz_trajectory(write(text))
    assert (indices, frames_read) == ([0, 1, 2], 3)
    assert all(type(i) is int for i in indices)
    assert [s.volume for s in structures] == pytest.approx([125.0, 166.375, 216.0])
    assert [s.frac_coords for s in structures] == [[[0, 0, 0], [0.5, 0.5, 0.5]]] * 3
    assert repr(structures[1]) == "Structure(2 sites, Cl1 Na1)"


@pytest.mark.parametrize(
    "cell",
    [
        [[10, 0, 0], [0, 10, 0]],
        [[10, 0, 0], [0, 10], [0, 0, 10]],
        [[10, 0, 0, 0], [0, 10, 0], [0, 0, 10]],
        [],
        np.zeros((4, 3)),
    ],
)
def test_cell_must_be_3x3_before_anything_else(write, tmp_path, cell):
    for path, kw in [(write(frames(1)), {}), (write(frames(1)), dict(every=0)), (str(tmp_path / "missing"), {})]:
        fails(path, "cell must be 3x3", cell=cell, **kw)


def test_argument_checks(write, tmp_path):
    path = write(frames(3))
    fails(path, "every must be at least 1", every=0)
    fails(str(tmp_path / "missing.xyz"), "every must be at least 1", every=0)
    missing = str(tmp_path / "missing.xyz")
    with pytest.raises(FileNotFoundError) as info:
        read_xyz_trajectory(missing)
    assert (info.value.errno, info.value.filename) == (errno.ENOENT, missing)
    fails(str(tmp_path), "error reading the atom count: Is a directory (os error 21)")
    fails("a\0b", "could not open a\0b: path contains a NUL byte")
    assert read_xyz_trajectory(path, 1, 0, None, None)[1] == read_xyz_trajectory(path)[1] == [0, 1, 2]
    assert read_xyz_trajectory(path=path, stop=2, cell=((10, 0, 0), (0, 10, 0), (0, 0, 10)))[1] == [0, 1]
    assert read_xyz_trajectory(path, start=np.uint8(1), every=np.int64(2))[1] == [1]


@pytest.mark.parametrize(
    "kw, error, message",
    [
        (dict(step=2), TypeError, "read_xyz_trajectory() got an unexpected keyword argument 'step'"),
        (dict(path=3), TypeError, "argument 'path': expected str, bytes or os.PathLike object, not int"),
        (dict(every=None), TypeError, None),
        (dict(start=-1), OverflowError, None),
        (dict(stop=-1), OverflowError, None),
        (dict(cell="abc"), TypeError, "argument 'cell': Can't extract `str` to `Vec`"),
        (dict(cell=[[1, 0, 0], "010", [0, 0, 1]]), TypeError, "argument 'cell': Can't extract `str` to `Vec`"),
    ],
)
def test_argument_conversion(kw, error, message):
    kw.setdefault("path", "p")
    with pytest.raises(error) as info:
        read_xyz_trajectory(**kw)
    if message is not None:
        assert str(info.value) == message


# ---- agreement with ASE ----------------------------------------------------


@pytest.fixture
def ase_images():
    ase = pytest.importorskip("ase")
    from ase.build import bulk

    rng = np.random.default_rng(11)
    images = []
    for k in range(7):
        atoms = bulk("NaCl", "rocksalt", a=5.6).repeat((2, 2, 2)) if k % 2 else bulk("Fe", "bcc", a=2.87).repeat(3)
        cell = np.array(atoms.cell) + rng.normal(0, 0.2, (3, 3))  # triclinic, different per frame
        atoms.set_cell(cell, scale_atoms=True)
        atoms.rattle(0.1, seed=k)
        atoms.positions += rng.normal(0, 3, 3)  # some atoms outside the cell
        atoms.set_array("charges", rng.normal(size=len(atoms)))
        if k % 3 == 0:
            atoms.set_momenta(rng.normal(size=(len(atoms), 3)))
        atoms.info["energy"] = float(k)
        images.append(atoms)
    assert ase.__version__
    return images


@pytest.mark.parametrize("every, start, stop", [(1, 0, None), (2, 1, None), (3, 0, 6), (10, 4, None)])
def test_agrees_with_ase(tmp_path, ase_images, every, start, stop):
    import ase.io

    path = str(tmp_path / "ase.xyz")
    ase.io.write(path, ase_images, format="extxyz")
    structures, indices, frames_read = read_xyz_trajectory(path, every=every, start=start, stop=stop)
    expected = ase.io.read(path, index=slice(start, stop, every), format="extxyz")
    assert indices == list(range(len(ase_images)))[start:stop:every]
    assert frames_read == (len(ase_images) if stop is None else stop)
    assert len(structures) == len(expected)
    for structure, atoms in zip(structures, expected):
        assert np.allclose(structure.lattice_matrix, atoms.cell[:], rtol=0, atol=1e-12)
        assert np.allclose(structure.cart_coords, atoms.positions, rtol=0, atol=1e-9)
        assert [next(iter(site)) for site in structure.species] == atoms.get_chemical_symbols()


# ---- threads and signals ---------------------------------------------------


def test_other_threads_run_while_it_reads(tmp_path):
    atoms = "".join(f"Cu {i % 7}.12345678 {i % 11}.23456789 {i % 13}.34567890\n" for i in range(2000))
    path = tmp_path / "big.xyz"
    path.write_text(f"2000\n{CUBE}\n{atoms}" * 300)
    ticks = 0
    stop = threading.Event()

    def count():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.0002)  # gives the lock back between ticks

    # With a long switch interval the counter only runs when the reading
    # thread lets the lock go, not because the interpreter forces a switch.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    thread = threading.Thread(target=count)
    thread.start()
    try:
        time.sleep(0.01)
        before = ticks
        structures, _, _ = read_xyz_trajectory(str(path))
        during = ticks - before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert len(structures) == 300
    assert during >= 20


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_reads_interrupted_by_signals_are_retried(tmp_path):
    # A pipe delivers the file in small pieces while a timer keeps
    # interrupting the blocked read.
    fifo = tmp_path / "pipe.xyz"
    os.mkfifo(fifo)
    text = frames(40).encode()

    def feed():
        with open(fifo, "wb", buffering=0) as out:
            for k in range(0, len(text), 97):
                out.write(text[k : k + 97])
                time.sleep(0.002)

    alarms = 0

    def on_alarm(signum, frame):
        nonlocal alarms
        alarms += 1

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.siginterrupt(signal.SIGALRM, True)
    writer = threading.Thread(target=feed)
    writer.start()
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        structures, indices, _ = read_xyz_trajectory(str(fifo), every=3)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, previous)
        writer.join()
    assert indices == list(range(0, 40, 3))
    assert alarms >= 1


# ---- chunked reading ---------------------------------------------------------


def mixed_frames(n, seed=5):
    """n frames of differing size, composition and cell, with blank lines between."""
    rng = np.random.default_rng(seed)
    out = []
    for d in range(n):
        side = 6.0 + 0.05 * d
        count = int(rng.integers(20, 40))
        # Every third frame holds no Cl: its Cl partials are missing there.
        elements = ["Na", "Cl"] if d % 3 else ["Na", "K"]
        lines = [str(count), f'Lattice="{side} 0 0 0.3 {side} 0 0 0 {side}" Properties=species:S:1:pos:R:3 pbc="T T T"']
        for _ in range(count):
            x, y, z = rng.uniform(0, side, 3)
            lines.append(f"{rng.choice(elements)} {x:.8f} {y:.8f} {z:.8f}")
        out.append("\n".join(lines) + "\n" + "\n" * (d % 2))
    return "".join(out)


SELECTIONS = [dict(), dict(every=3), dict(start=2, every=2, stop=11), dict(start=13)]


@pytest.mark.parametrize("limits", [dict(max_frames=1), dict(max_frames=3), dict(max_atoms=50), dict()])
@pytest.mark.parametrize("selection", SELECTIONS)
def test_chunks_join_into_the_whole_read(write, limits, selection):
    from _kestrel import _read_xyz_trajectory_chunk

    path = write(mixed_frames(14))
    whole, whole_indices, frames_read = read_xyz_trajectory(path, **selection)
    structures, indices, chunks = [], [], 0
    position = None
    while position is None or not position[3]:
        got, got_indices, position = _read_xyz_trajectory_chunk(path, position=position, **selection, **limits)
        assert len(got) <= limits.get("max_frames", len(got))
        assert sum(s.n_sites for s in got[:-1]) < limits.get("max_atoms", 2**64)
        structures += got
        indices += got_indices
        chunks += 1
    assert indices == whole_indices
    assert position[1:] == (frames_read, len(whole_indices), True)
    for a, b in zip(structures, whole):
        assert (a.lattice_matrix, a.frac_coords, a.species) == (b.lattice_matrix, b.frac_coords, b.species)
    if limits.get("max_frames") == 1:
        assert chunks >= len(whole_indices)


@pytest.mark.parametrize(
    "kw, message",
    [
        (dict(start=99), "the file has 14 frame(s) but none matched start/every/stop"),
        (dict(stop=0), "no frames found in the file"),
        (dict(every=0), "every must be at least 1"),
    ],
)
def test_frame_count_and_its_failures(write, kw, message):
    from _kestrel import _count_xyz_trajectory_frames

    path = write(mixed_frames(14))
    assert _count_xyz_trajectory_frames(path, every=3, stop=10) == (10, 4)
    fails(path, message, **kw)
    with pytest.raises(ValueError) as info:
        _count_xyz_trajectory_frames(path, **kw)
    file_error = isinstance(info.value, StructureFileError)
    assert (info.value.reason if file_error else str(info.value)) == message


# ---- trajectory_rdf ------------------------------------------------------------


def loop_reference(path, cutoff, bin_size, **selection):
    """Mean and population std of each curve over frames, from whole frames."""
    structures, indices, frames_read = read_xyz_trajectory(path, **selection)
    curves = [s.prdf(cutoff=cutoff, bin_size=bin_size) for s in structures]
    r = curves[0][0]
    pairs = sorted({pair for _, partials, _ in curves for pair in partials})
    stacks = {pair: np.array([partials.get(pair, np.zeros_like(r)) for _, partials, _ in curves]) for pair in pairs}
    totals = np.array([total for _, _, total in curves])
    return r, stacks, totals, indices, frames_read, structures


@pytest.mark.parametrize("chunk_frames, chunk_atoms", [(1, 10**9), (4, 10**9), (100, 70)])
@pytest.mark.parametrize("selection", SELECTIONS)
def test_trajectory_rdf_matches_a_loop_over_frames(write, monkeypatch, selection, chunk_frames, chunk_atoms):
    import kestrel.trajectory

    monkeypatch.setattr(kestrel.trajectory, "CHUNK_FRAMES", chunk_frames)
    monkeypatch.setattr(kestrel.trajectory, "CHUNK_ATOMS", chunk_atoms)
    path = write(mixed_frames(14))
    result = trajectory_rdf(path, cutoff=4.0, bin_size=0.1, **selection)
    r, stacks, totals, indices, frames_read, structures = loop_reference(path, 4.0, 0.1, **selection)
    assert result.frame_indices == indices and result.frames_read == frames_read
    np.testing.assert_array_equal(result.r, r)
    assert list(result.mean_partials) == list(stacks) == list(result.std_partials)
    for pair, stack in stacks.items():
        np.testing.assert_allclose(result.mean_partials[pair], stack.mean(axis=0), rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(result.std_partials[pair], stack.std(axis=0), rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(result.mean_total, totals.mean(axis=0), rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(result.std_total, totals.std(axis=0), rtol=1e-9, atol=1e-12)
    assert result.mean_volume == pytest.approx(np.mean([s.volume for s in structures]), rel=1e-12)
    assert result.mean_n_atoms == pytest.approx(np.mean([s.n_atoms for s in structures]), rel=1e-12)
    assert repr(result.last_frame) == repr(structures[-1])


def test_frames_side_by_side_give_the_curves_of_frames_one_at_a_time(write, monkeypatch):
    import kestrel.trajectory

    path = write(mixed_frames(14))
    side_by_side = trajectory_rdf(path, cutoff=4.0, bin_size=0.1)  # small frames: one engine thread each
    monkeypatch.setattr(kestrel.trajectory, "FRAME_PAIRS_SIDE_BY_SIDE", 0.0)
    one_at_a_time = trajectory_rdf(path, cutoff=4.0, bin_size=0.1)
    for pair, mean in one_at_a_time.mean_partials.items():
        np.testing.assert_array_equal(side_by_side.mean_partials[pair], mean)
        np.testing.assert_array_equal(side_by_side.std_partials[pair], one_at_a_time.std_partials[pair])
    np.testing.assert_array_equal(side_by_side.mean_total, one_at_a_time.mean_total)
    np.testing.assert_array_equal(side_by_side.std_total, one_at_a_time.std_total)
    assert side_by_side.frame_indices == one_at_a_time.frame_indices


def test_trajectory_rdf_of_frames_with_different_elements(write):
    path = write(mixed_frames(6))
    result = trajectory_rdf(path, cutoff=3.0, bin_size=0.25)
    # Frames 0 and 3 hold K, the others Cl; every pair that occurs appears in
    # the mean (K never meets Cl).
    assert sorted({element for pair in result.mean_partials for element in pair}) == ["Cl", "K", "Na"]
    assert set(result.mean_composition) == {"Cl", "K", "Na"}
    assert repr(result) == "TrajectoryRdf(6 of 6 frames (0 to 5), 7 partials, 12 bins up to 3 Å)"


def test_trajectory_rdf_reports_progress(write):
    path = write(mixed_frames(9))
    calls = []
    result = trajectory_rdf(path, every=2, cutoff=3.0, progress=lambda done, total: calls.append((done, total)))
    assert calls == [(k, 5) for k in range(1, 6)]
    assert result.n_frames == 5


@pytest.mark.parametrize("progress", [None, lambda done, total: None])
@pytest.mark.parametrize(
    "kw, error, message",
    [
        (dict(cell=[[1, 0, 0]], every=0), ValueError, "cell must be 3x3"),
        (dict(every=0), ValueError, "every must be at least 1"),
        (dict(start=40), ValueError, "the file has 9 frame(s) but none matched start/every/stop"),
        (dict(cutoff=-1.0), ValueError, None),
        (dict(every=-1), OverflowError, None),
    ],
)
def test_trajectory_rdf_fails_as_its_parts_do(write, kw, error, message, progress):
    path = write(mixed_frames(9))
    with pytest.raises(error) as info:
        trajectory_rdf(path, progress=progress, **kw)
    if message is not None:
        # Failures of the file's content name the file.
        assert str(info.value).removeprefix(f"{path}: ") == message


def test_trajectory_rdf_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError, match=r"^\[Errno 2\] No such file or directory: .*missing.xyz'$"):
        trajectory_rdf(str(tmp_path / "missing.xyz"))


def test_an_error_in_progress_passes_through(write):
    def progress(done, total):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        trajectory_rdf(write(mixed_frames(40)), cutoff=3.0, progress=progress)


# ---- Ctrl-C ----------------------------------------------------------------------

INTERRUPTED_CHILD = r"""
import signal, sys, threading, time

# Started from a background job, SIGINT would be ignored here.
signal.signal(signal.SIGINT, signal.default_int_handler)
import numpy as np
from kestrel import StructureFileError, read_xyz_trajectory, trajectory_rdf

mode, path, small = sys.argv[1], sys.argv[2], sys.argv[3]
if mode == "reader":
    # An endless trajectory through a pipe: only Ctrl-C ends the read.
    frame = '3\nLattice="10 0 0 0 10 0 0 0 10"\n' + "Cu 1.5 2.5 3.5\n" * 3

    def feed():
        try:
            with open(path, "w") as out:
                while True:
                    out.write(frame * 1000)
        except OSError:  # the reader has gone
            pass

    threading.Thread(target=feed, daemon=True).start()
    call = lambda: read_xyz_trajectory(path)
else:
    call = lambda: trajectory_rdf(path, cutoff=40.0, bin_size=0.1, progress=lambda done, total: None)


def hook(frame, event, arg):
    # "calling" as the extension is first entered for the long work, so the
    # parent signals a call in progress whatever the machine's speed.
    if event == "c_call" and getattr(arg, "__name__", "") in ("read_xyz_trajectory", "prdf"):
        sys.setprofile(None)
        print("calling", flush=True)


print("ready", flush=True)
sys.setprofile(hook)
try:
    call()
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.stdin.readline()  # still, while the parent reads the processor time spent
structures, _, _ = read_xyz_trajectory(small)
result = trajectory_rdf(small, cutoff=3.0)
print("ok", len(structures), result.n_frames, flush=True)
"""


@pytest.mark.parametrize("mode", ["reader", "trajectory_rdf"])
def test_ctrl_c_ends_the_call_and_the_next_call_works(tmp_path, mode):
    import subprocess

    small = tmp_path / "small.xyz"
    small.write_text(mixed_frames(3))
    if mode == "reader":
        path = tmp_path / "endless.xyz"
        os.mkfifo(path)
    else:
        # 120 frames, each a long RDF (3,000 atoms at a 40 Å cutoff): a minute of work in all.
        rng = np.random.default_rng(1)
        path = tmp_path / "slow.xyz"
        lines = []
        for _ in range(120):
            lines += ["3000", 'Lattice="30 0 0 0 30 0 0 0 30"']
            lines += [f"Ar {x:.5f} {y:.5f} {z:.5f}" for x, y, z in rng.uniform(0, 30, (3000, 3))]
        path.write_text("\n".join(lines) + "\n")
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CHILD, mode, str(path), str(small)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=dict(os.environ),
    )
    # A call that ignores Ctrl-C would block the reads below for ever.
    watchdog = threading.Timer(60, child.kill)
    watchdog.start()
    try:
        assert child.stdout.readline().strip() == "ready"
        assert child.stdout.readline().strip() == "calling"
        time.sleep(0.2)
        child.send_signal(signal.SIGINT)
        sent = cpu_seconds(child.pid)
        assert child.stdout.readline().strip() == "interrupted"
        # Half a second for each thread that works on: the RDF's pool, or
        # the reader and the thread feeding the pipe. Counted in the child's
        # processor time, which a busy machine does not stretch.
        spent = cpu_seconds(child.pid) - sent
        assert spent < 0.5 * (os.cpu_count() if mode == "trajectory_rdf" else 2), spent
        child.stdin.write("go\n")
        child.stdin.flush()
        assert child.stdout.readline().split() == ["ok", "3", "3"]
        assert child.wait(timeout=30) == 0
    finally:
        watchdog.cancel()
        child.kill()
        child.wait()
