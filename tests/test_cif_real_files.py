"""CIFs as real files come: a cell and a symmetry that disagree, fractions where numbers belong,
labels that name their element, warnings worth reading, Latin-1 text, compressed files."""

import bz2
import gzip
import lzma
import re
import warnings

import pytest

from kestrel import CifReadWarning, Structure, read_cif_blocks, read_structure, write_structure

SITES = "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"


def cell(a, b, c, alpha=90, beta=90, gamma=90):
    return (
        f"_cell_length_a {a}\n_cell_length_b {b}\n_cell_length_c {c}\n"
        f"_cell_angle_alpha {alpha}\n_cell_angle_beta {beta}\n_cell_angle_gamma {gamma}\n"
    )


def read_text(text):
    """The structure and the warnings' messages."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = Structure.from_cif_str(text)
    assert all(w.category is CifReadWarning for w in caught)
    return s, [str(w.message) for w in caught]


def refusal(text):
    with pytest.raises(ValueError) as info:
        Structure.from_cif_str(text)
    return str(info.value)


# ---- the operations must fit the cell --------------------------------------------------------

DIAMOND_PRIMITIVE = (
    "data_diamond\n" + cell(3.8117, 3.8117, 3.8117, 60, 60, 60) + "_symmetry_space_group_name_H-M 'F d -3 m'\n"
    "_chemical_formula_sum C\n" + SITES + "C1 0 0 0\n"
)


def test_a_primitive_cell_with_a_centred_symbol_is_refused():
    assert refusal(DIAMOND_PRIMITIVE) == (
        "space group 'F d -3 m' does not fit this cell (a = b = c = 3.812 Å, α = β = γ = 60°): the file probably "
        "gives a primitive cell; add its symmetry operations or the conventional cell"
    )


def test_the_same_primitive_cell_with_its_operations_reads():
    # Diamond's primitive cell with operations written for it (a few of its 48 suffice here).
    text = DIAMOND_PRIMITIVE.replace("_symmetry_space_group_name_H-M 'F d -3 m'\n", "")
    text += "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n-x+1/4,-y+1/4,-z+1/4\ny,x,z\nz,x,y\n"
    s, messages = read_text(text)
    assert s.n_sites == 2 and messages == []


@pytest.mark.parametrize(
    "tags, described",
    [
        ("_symmetry_space_group_name_H-M 'R -3 m'", "'R -3 m'"),
        ("_space_group_IT_number 166", "number 166"),
    ],
)
def test_an_r_symbol_without_setting_on_rhombohedral_axes_reads_as_r(tags, described):
    spglib = pytest.importorskip("spglib")
    import numpy as np

    text = "data_r\n" + cell(5, 5, 5, 50, 50, 50) + tags + "\n" + SITES + "C1 0.1234 0.2345 0.3456\n"
    s, messages = read_text(text)
    assert messages[-1] == (
        f"space group {described} names no setting and the cell has rhombohedral axes "
        "(a = b = c = 5 Å, α = β = γ = 50°): read it as R -3 m:R"
    )
    data = spglib.get_symmetry_from_database(459)  # R -3 m on rhombohedral axes
    expected = {
        tuple(round(v % 1.0, 6) % 1.0 for v in r @ np.array([0.1234, 0.2345, 0.3456]) + t)
        for r, t in zip(data["rotations"], data["translations"])
    }
    assert sorted(tuple(round(v % 1.0, 6) % 1.0 for v in p) for p in s.frac_coords) == sorted(expected)
    assert s.n_sites == 12  # not the 36 of the hexagonal setting


@pytest.mark.parametrize(
    "symbol, the_cell, described, advice",
    [
        (
            "'R -3 m :H'",
            cell(5, 5, 5, 50, 50, 50),
            "a = b = c = 5 Å, α = β = γ = 50°",
            "the file probably gives a primitive cell; add its symmetry operations or the conventional cell",
        ),
        (
            "'P 63/m m c'",
            cell(3, 3, 5),
            "a = b = 3 Å, c = 5 Å, α = β = γ = 90°",
            "the cell or the symbol is wrong; add the symmetry operations or correct the cell",
        ),
        (
            "'I 4/m m m'",
            cell(3, 3.5, 5),
            "a = 3 Å, b = 3.5 Å, c = 5 Å, α = β = γ = 90°",
            "the file probably gives a primitive cell; add its symmetry operations or the conventional cell",
        ),
    ],
)
def test_other_misfits_are_refused(symbol, the_cell, described, advice):
    text = "data_x\n" + the_cell + f"_symmetry_space_group_name_H-M {symbol}\n" + SITES + "C1 0.1 0.2 0.3\n"
    assert refusal(text) == f"space group {symbol} does not fit this cell ({described}): {advice}"


def test_a_cell_rounded_as_published_still_fits():
    # Cubic, with the lengths refined apart in the last digits: well inside the tolerance.
    text = (
        "data_x\n" + cell("5.6402(3)", "5.6398(4)", "5.6405(2)", "90.02", "89.99", 90) + "_space_group_IT_number 225\n"
    )
    s, _ = read_text(text + SITES + "Na1 0 0 0\nCl1 0.5 0.5 0.5\n")
    assert s.composition == {"Cl": 4.0, "Na": 4.0}


def pymatgen_structures():
    mg = pytest.importorskip("pymatgen.core")
    rhombohedral = mg.Lattice.rhombohedral(4.75, 57.2)
    return {
        "Bi rhombohedral": mg.Structure(rhombohedral, ["Bi", "Bi"], [[0.234, 0.234, 0.234], [0.766, 0.766, 0.766]]),
        "Mg hexagonal": mg.Structure(
            mg.Lattice.hexagonal(3.21, 5.21), ["Mg", "Mg"], [[1 / 3, 2 / 3, 0.25], [2 / 3, 1 / 3, 0.75]]
        ),
        "Si diamond": mg.Structure.from_spacegroup("Fd-3m", mg.Lattice.cubic(5.431), ["Si"], [[0, 0, 0]]),
        "monoclinic": mg.Structure(
            mg.Lattice.monoclinic(5.1, 6.2, 7.3, 103.4), ["Ca", "O"], [[0.1, 0.2, 0.3], [0.4, 0.15, 0.8]]
        ),
    }


# The comparison is the subject; what the reader had to decide on each file
# (its CifReadWarnings) is tested where the warnings are.
@pytest.mark.filterwarnings("ignore::kestrel.CifReadWarning")
@pytest.mark.parametrize("name", ["Bi rhombohedral", "Mg hexagonal", "Si diamond", "monoclinic"])
def test_files_written_with_their_symmetry_by_pymatgen_read_back(name, tmp_path):
    from pymatgen.io.cif import CifParser, CifWriter

    structure = pymatgen_structures()[name]
    path = tmp_path / "x.cif"
    CifWriter(structure, symprec=0.01).write_file(str(path))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = CifParser(str(path)).parse_structures(primitive=False)[0]
    ours = Structure.from_cif(str(path))
    assert ours.n_atoms == pytest.approx(len(theirs))
    assert ours.volume == pytest.approx(theirs.volume, rel=1e-4)


# ---- numbers where numbers belong ------------------------------------------------------------

ROCK = "data_x\n" + cell(5, 5, 5)
OCCUPANCY_SITES = SITES + "_atom_site_occupancy\n_atom_site_U_iso_or_equiv\n"


@pytest.mark.parametrize(
    "text, what, value",
    [
        (
            "data_x\n_cell_length_a 1/4 #17.633(4)\n_cell_length_b 5\n_cell_length_c 5\n" + SITES + "C1 0 0 0\n",
            "_cell_length_a",
            "1/4",
        ),
        (ROCK.replace("_cell_angle_beta 90", "_cell_angle_beta 1/3") + SITES + "C1 0 0 0\n", "_cell_angle_beta", "1/3"),
        (ROCK + OCCUPANCY_SITES + "Fe1 0 0 0 1 0.01\nFe2 0.5 0.5 0.5 1/2 0.01\n", "_atom_site_occupancy of Fe2", "1/2"),
        (ROCK + OCCUPANCY_SITES + "Fe1 0 0 0 1 1/100\n", "_atom_site_u_iso_or_equiv of Fe1", "1/100"),
        (
            ROCK + SITES + "Fe1 0 0 0\nloop_\n_atom_site_aniso_label\n_atom_site_aniso_U_11\n_atom_site_aniso_U_22\n"
            "_atom_site_aniso_U_33\nFe1 0.01 0.01 1/50\n",
            "_atom_site_aniso_u_33 of Fe1",
            "1/50",
        ),
    ],
)
def test_a_fraction_in_a_measured_value_refuses_the_file(text, what, value):
    assert refusal(text) == (
        f"{what} is '{value}', a fraction: cell parameters, occupancies and displacement parameters take a number "
        "such as 17.633(4)"
    )


def test_fractions_stay_allowed_in_coordinates():
    s, messages = read_text(ROCK + SITES + "C1 1/4 1/4 3/4\n")
    assert s.frac_coords == [pytest.approx([0.25, 0.25, 0.75])] and messages == []


@pytest.mark.parametrize(
    "volume, warned",
    [
        ("130(1)", "_cell_volume gives 130 ± 1 Å³ but the cell parameters give 125 Å³"),
        ("130", "_cell_volume gives 130 Å³ but the cell parameters give 125 Å³"),
        ("126.0(2)", None),  # within 1%
        ("128(2)", None),  # 2.4% off, but within 3 uncertainties
        ("?", None),
    ],
)
def test_cell_volume_that_the_cell_does_not_have(volume, warned):
    _, messages = read_text(ROCK + f"_cell_volume {volume}\n" + SITES + "C1 0 0 0\n")
    assert messages == ([warned] if warned else [])


# ---- elements from labels --------------------------------------------------------------------

KESTERITE = (
    "data_cztse\n" + cell(5.43, 5.43, 10.8) + "_chemical_formula_sum 'Cu2 Fe S4 Sn'\n_cell_formula_units_Z 2\n"
    "_symmetry_space_group_name_H-M 'I -4 2 m'\n" + SITES + "Cu1 0 0.5 0.25\nFe1 0 0 0\nSn1 0 0 0.5\n"
)
FROM_SYMBOL = "no symmetry operations in the file: took the 16 operations of space group 'I -4 2 m'"


def test_a_proper_case_label_names_its_element_over_a_stale_formula():
    s, messages = read_text(KESTERITE + "Se1 0.25 0.25 0.125\n")
    assert s.composition == {"Cu": 4.0, "Fe": 2.0, "Se": 8.0, "Sn": 2.0}
    assert messages == [
        FROM_SYMBOL,
        "the atoms read disagree with _chemical_formula_sum 'Cu2 Fe S4 Sn' times Z = 2 for S, Se "
        "(S 0 read for 8, Se 8 read for 0)",
    ]


@pytest.mark.parametrize(
    "label, element, message",
    [
        ("S1", "S", None),  # the formula agrees: nothing to say
        ("SE1", "S", "SE1 -> S by the formula, not Se"),  # case cannot decide; the formula names S only
        ("se1", "S", "se1 -> S by the formula, not Se"),
    ],
)
def test_the_formula_breaks_ties_only_where_case_cannot(label, element, message):
    s, messages = read_text(KESTERITE + f"{label} 0.25 0.25 0.125\n")
    assert s.elements == sorted(["Cu", "Fe", "Sn", element])
    expected = (
        []
        if message is None
        else [f"chose the element of 1 atom-site row whose label allows more than one reading ({message})"]
    )
    assert messages == [FROM_SYMBOL] + expected


def test_hydrogen_aside_the_formula_check_stays_quiet():
    # Hydrogen atoms are often left out or placed in part; they do not count.
    text = "data_x\n" + cell(5, 5, 5) + "_chemical_formula_sum 'C H4'\n_cell_formula_units_Z 1\n" + SITES
    s, messages = read_text(text + "C1 0 0 0\nH1 0.2 0.2 0.2\n")
    assert s.composition == {"C": 1.0, "H": 1.0} and messages == []


NO_Z = "data_x\n" + cell(5.43, 5.43, 10.8) + SITES + "Cu1 0 0 0\nCu2 0.5 0.5 0.5\nSe1 0.25 0.25 0.25\n"


@pytest.mark.parametrize(
    "formula, message",
    [
        ("'Cu2 Se'", None),  # two formula units of Cu2Se, in proportion
        ("'Cu4 Se2'", None),
        ("'Cu2 Se H6'", None),  # hydrogen aside, as with Z
        (
            "'Cu2 Fe S4 Sn'",  # a stale formula: the element sets differ
            "the atoms read disagree in proportion with _chemical_formula_sum 'Cu2 Fe S4 Sn' (no "
            "_cell_formula_units_Z) for Cu, Fe, S, Se, Sn (per formula unit of 8 atoms besides hydrogen: "
            "Cu 5.33 read for 2, Fe 0 read for 1, S 0 read for 4, Se 2.67 read for 0, Sn 0 read for 1)",
        ),
        (
            "'Cu Se'",  # the same elements in another proportion
            "the atoms read disagree in proportion with _chemical_formula_sum 'Cu Se' (no _cell_formula_units_Z) "
            "for Cu, Se (per formula unit of 2 atoms besides hydrogen: Cu 1.33 read for 1, Se 0.67 read for 1)",
        ),
    ],
)
@pytest.mark.parametrize("z", ["", "_cell_formula_units_Z ?\n"])
def test_without_z_the_formula_is_compared_in_proportion(formula, message, z):
    _, messages = read_text(NO_Z.replace("loop_", f"_chemical_formula_sum {formula}\n{z}loop_", 1))
    assert messages == ([message] if message else [])


# ---- warnings name the file ------------------------------------------------------------------


def test_each_warning_names_the_file(tmp_path):
    path = tmp_path / "water.cif"
    path.write_text("data_x\n" + cell(5, 5, 5) + SITES + "OW1 0 0 0\n")
    with pytest.warns(CifReadWarning) as record:
        Structure.from_cif(str(path))
    assert [str(w.message) for w in record] == [
        f"{path}: chose the element of 1 atom-site row whose label allows more than one reading (OW1 -> O as water)"
    ]


# ---- Latin-1 bytes -----------------------------------------------------------------------------

LATIN1 = (
    b"data_x\n# M\xfcller's sample\n_publ_author_name 'M\xfcller, J.'\n_journal_name_full Z.Kristallogr.\xe9\n"
    b";\nGr\xfc\xdfe\n;\n" + cell(5, 5, 5).encode() + SITES.encode() + b"Fe1 0 0 0\n"
)


def test_latin1_in_comments_and_text_values_is_read_with_one_warning(tmp_path):
    path = tmp_path / "old.cif"
    path.write_bytes(LATIN1)
    with pytest.warns(CifReadWarning) as record:
        s = Structure.from_cif(str(path))
    assert s.elements == ["Fe"]
    assert [str(w.message) for w in record] == [
        f"{path}: read 5 non-UTF-8 bytes in comments and text values as Latin-1 (line 2, line 3, line 4, line 6)"
    ]


@pytest.mark.parametrize(
    "line, number",
    [
        (b"_cell_angle_gamma 90\xb0\n", 2),  # a number
        (b"_cell_\xe0ngle_gamma 90\n", 2),  # a tag
        (b"loop_\n_symmetry_equiv_pos_as_xyz\n'x,y,z\xb4'\n", 4),  # a symmetry operation
    ],
)
def test_latin1_where_the_reader_takes_meaning_is_refused_naming_the_line(tmp_path, line, number):
    path = tmp_path / "bad.cif"
    path.write_bytes(b"data_x\n" + line + cell(5, 5, 5).encode() + SITES.encode() + b"Fe1 0 0 0\n")
    with pytest.raises(OSError) as info:
        Structure.from_cif(str(path))
    assert re.fullmatch(
        rf"could not read .*bad\.cif: line {number}: byte 0x[0-9A-F]{{2}} is not UTF-8, and only comments and text "
        "values may hold Latin-1 text; save the file as UTF-8",
        str(info.value),
    )


# ---- compressed files --------------------------------------------------------------------------

COMPRESSORS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
@pytest.mark.parametrize("name", ["NaCl.cif", "POSCAR", "x.xyz"])
def test_compressed_files_read_by_every_reader(tmp_path, suffix, name):
    from conftest import EXAMPLES

    original = Structure.from_cif(str(EXAMPLES / "NaCl.cif"))
    plain = tmp_path / name
    write_structure(original, plain)
    packed = tmp_path / (name + suffix)
    packed.write_bytes(COMPRESSORS[suffix](plain.read_bytes()))
    reader = {"NaCl.cif": Structure.from_cif, "POSCAR": Structure.from_poscar, "x.xyz": Structure.from_xyz}[name]
    for s in (reader(str(packed)), read_structure(packed)):
        assert s.composition == original.composition and s.volume == pytest.approx(original.volume)
    # Written compressed by name, read back the same.
    again = tmp_path / ("again-" + name + suffix)
    write_structure(original, again)
    assert read_structure(again).composition == original.composition


@pytest.mark.parametrize("suffix, kind", [(".gz", "gzip"), (".bz2", "bzip2"), (".xz", "xz")])
def test_a_corrupt_archive_is_one_clear_error(tmp_path, suffix, kind):
    path = tmp_path / ("broken.cif" + suffix)
    path.write_bytes(COMPRESSORS[suffix](b"data_x\n" * 100)[:-7] + b"garbage")
    for read in (Structure.from_cif, read_structure, read_cif_blocks):
        with pytest.raises(OSError, match=rf"^could not read {re.escape(str(path))}: not a valid {kind} file \("):
            read(str(path))


# ---- blocks --------------------------------------------------------------------------------------


def test_a_block_by_name(tmp_path):
    path = tmp_path / "two.cif"
    path.write_text(
        "data_one\n" + cell(5, 5, 5) + SITES + "Fe1 0 0 0\ndata_Two\n" + cell(4, 4, 4) + SITES + "Ni1 0 0 0\n"
    )
    assert Structure.from_cif(str(path), block="two").elements == ["Ni"]
    assert read_structure(path, block="ONE").elements == ["Fe"]
    with pytest.raises(
        ValueError, match=r"two\.cif: no data block 'three' in the file; its blocks with atom sites are: one, Two$"
    ):
        Structure.from_cif(str(path), block="three")


def test_a_compressed_trajectory_is_refused_clearly(tmp_path):
    from kestrel import read_xyz_trajectory

    path = tmp_path / "frames.xyz.gz"
    path.write_bytes(gzip.compress(b'1\nLattice="4 0 0 0 4 0 0 0 4"\nFe 0 0 0\n'))
    with pytest.raises(OSError, match=r"frames\.xyz\.gz: a trajectory is read in pieces from the file, which a gzip "):
        read_xyz_trajectory(str(path))
