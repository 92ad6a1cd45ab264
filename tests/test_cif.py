"""CIF reading: scanning, values, cell parameters, symmetry operations and merging."""

import math
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrel import CifReadWarning, Structure, StructureFileError

CELL = "_cell_length_a 5.0\n_cell_length_b 5.0\n_cell_length_c 5.0\n"
SITES_HEADER = (
    "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
    "_atom_site_fract_z\n_atom_site_occupancy\n"
)


def cif(rows, ops=None, cell=CELL, header=SITES_HEADER):
    text = "data_test\n" + cell
    if ops is not None:
        text += "loop_\n_symmetry_equiv_pos_as_xyz\n" + "".join(f"'{op}'\n" for op in ops)
    return text + header + "".join(row + "\n" for row in rows)


def read(text, **kwargs):
    return Structure.from_cif_str(text, **kwargs)


def error(text, **kwargs):
    with pytest.raises(ValueError) as info:
        read(text, **kwargs)
    return str(info.value)


# ---- the 48 operations of m-3m, with the F centring: 192 -----------------------------------


def m3m_operations():
    import itertools

    ops = []
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product((1, -1), repeat=3):
            ops.append((perm, signs))
    return ops


def fm3m_symops():
    texts = []
    for shift in [(0, 0, 0), (0, 0.5, 0.5), (0.5, 0, 0.5), (0.5, 0.5, 0)]:
        for perm, signs in m3m_operations():
            parts = []
            for i in range(3):
                term = ("-" if signs[i] < 0 else "") + "xyz"[perm[i]]
                if shift[i]:
                    term += "+1/2"
                parts.append(term)
            texts.append(", ".join(parts))
    return texts


def test_rocksalt_from_192_operations():
    s = read(cif(["Na1 Na 0 0 0 1", "Cl1 Cl 0.5 0.5 0.5 1"], ops=fm3m_symops()))
    assert s.n_sites == 8
    assert s.composition == {"Cl": 4.0, "Na": 4.0}
    assert all(len(d) == 1 and list(d.values()) == [1.0] for d in s.species)
    assert sorted(map(tuple, s.frac_coords[:4])) == [(0, 0, 0), (0, 0.5, 0.5), (0.5, 0, 0.5), (0.5, 0.5, 0)]


def test_general_position_gives_192_sites_and_symprec_zero_keeps_duplicates():
    ops = fm3m_symops()
    assert read(cif(["C1 C 0.11 0.23 0.37 1"], ops=ops)).n_sites == 192
    assert read(cif(["C1 C 0 0 0 1"], ops=ops)).n_sites == 4
    assert read(cif(["C1 C 0 0 0 1"], ops=ops), symprec=0).n_sites == 192
    assert read(cif(["C1 C 0 0 0 1"], ops=ops), symprec=-1).n_sites == 192


# ---- merging -------------------------------------------------------------------------------


def test_mixed_site_keeps_elements_in_first_met_order():
    s = read(cif(["Fe1 Fe 0 0 0 0.5", "Co1 Co 0 0 0 0.5"]))
    assert s.n_sites == 1
    assert s.species == [{"Co": 0.5, "Fe": 0.5}]
    assert repr(s) == "Structure(1 sites, Co0.5000 Fe0.5000, disordered)"


def test_special_position_does_not_double_occupancy():
    s = read(cif(["Fe1 Fe 0 0 0 0.5"], ops=["x,y,z", "-x,-y,-z"]))
    assert s.species == [{"Fe": 0.5}]


def test_disorder_parts_of_one_element_add_up():
    with pytest.warns(CifReadWarning, match=r"added the occupancies of 1 row to another row .* \(Cl1'\)$"):
        s = read(cif(["Cl1 Cl 0 0 0.6474 0.47", "Cl1' Cl 0 0 0.6474 0.53"]))
    assert s.species == [{"Cl": pytest.approx(1.0)}]


def test_rows_repeating_a_full_atom_keep_one_atom():
    # Some files list every image of an atom as its own row.
    rows = ["Te1 Te 0.334 0.834 0 1", "Te1_445 Te -0.666 -0.166 0 1", "Te1_665 Te 1.334 1.834 0 1"]
    with pytest.warns(CifReadWarning, match=r"counted 2 rows that repeat an atom .* \(Te1_445, Te1_665\)$"):
        s = read(cif(rows))
    assert s.species == [{"Te": 1.0}]


def test_periodic_matching_and_first_position_kept():
    s = read(cif(["A1 Fe 0.99999 0 0 0.5", "B1 Ni 0.00001 0 0 0.5"]))
    assert s.n_sites == 1 and s.frac_coords == [[0.99999, 0.0, 0.0]]
    # Kept apart by a tighter symprec, two half-occupied positions this close cannot both be filled.
    with pytest.warns(CifReadWarning, match="as alternatives of one place"):
        assert read(cif(["A1 Fe 0.99999 0 0 0.5", "B1 Ni 0.00001 0 0 0.5"]), symprec=1e-5).n_sites == 2


def test_positions_are_wrapped_into_the_unit_interval():
    s = read(cif(["A1 Fe -0.25 1.5 -1e-18 1"]))
    assert s.frac_coords == [[0.75, 0.5, 0.0]]


def test_overfull_site_fails():
    assert error(cif(["A1 Fe 0 0 0 0.7", "B1 Ni 0 0 0 0.7"])) == (
        "the occupancies of A1 and B1 on one site add up to 1.4000, above 1 by more than the tolerance for "
        "rounding (0.0100); pass a larger occupancy_tolerance to scale it down to 1 as rounding"
    )


# The comparison is the subject; what the reader had to decide on each file
# (its CifReadWarnings) is tested where the warnings are.
@pytest.mark.filterwarnings("ignore::kestrel.CifReadWarning")
@pytest.mark.parametrize("symprec", [0.01, 0.05, 0.1, 0.2, 0.34, 0.5, 0.6, 1e-12, 1e-300])
def test_grid_search_matches_a_plain_scan(symprec):
    import random

    rng = random.Random(7)

    def coordinate():
        # Half of them crowd the faces of the search grid and of the cell.
        if rng.random() < 0.5:
            return f"{rng.random():.3f}"
        return f"{(rng.randrange(8) / 7 + rng.uniform(-0.012, 0.012)) % 1.0:.4f}"

    rows = [
        f"X{i} {rng.choice(['Fe', 'Ni', 'Co'])} {coordinate()} {coordinate()} {coordinate()} 0.001" for i in range(300)
    ]
    s = read(cif(rows), symprec=symprec)

    # Reference: first matching site in creation order.
    sites = []
    for row in rows:
        _, el, *xyz, occ = row.split()
        p = [float(v) % 1.0 for v in xyz]
        for q, species in sites:
            if all(min(abs(a - b), 1 - abs(a - b)) < symprec for a, b in zip(p, q)):
                species[el] = species.get(el, 0) + float(occ)
                break
        else:
            sites.append((p, {el: float(occ)}))
    assert s.n_sites == len(sites)
    assert s.frac_coords == [q for q, _ in sites]
    assert s.species == [pytest.approx(d) for _, d in sites]


# ---- values --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "occupancy, expected", [("0.75(2)", 0.75), ("?", 1.0), (".", 1.0), ("'0.5'", 0.5), ("abc", 1.0)]
)
def test_occupancy_values(occupancy, expected):
    assert read(cif([f"Fe1 Fe 0 0 0 {occupancy}"])).species == [{"Fe": expected}]


@pytest.mark.parametrize("occupancy", ["0", "-0.5", "0.0(1)"])
def test_non_positive_occupancy_skips_the_row(occupancy):
    with pytest.warns(CifReadWarning, match=r"^skipped 1 atom-site row with zero or negative occupancy \(Fe1\)$"):
        s = read(cif([f"Fe1 Fe 0 0 0 {occupancy}", "O1 O 0.5 0.5 0.5 1"]))
    assert s.species == [{"O": 1.0}]


@pytest.mark.parametrize(
    "symbol, label, element",
    [
        ("Fe3+", "X1", "Fe"),
        ("?", "O2", "O"),
        ("fe", "X", "Fe"),
        ("FE", "X", "Fe"),
        ("O2-", "X", "O"),
        ("1Fe", "Ca1", "Ca"),
        ("CL", "X", "Cl"),
        ("C.ar", "X", "C"),
        ("D", "X", "D"),
    ],
)
def test_element_from_type_symbol_then_label(symbol, label, element):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CifReadWarning)
        assert read(cif([f"{label} {symbol} 0 0 0 1"])).elements == [element]


def test_no_element_fails_even_for_an_empty_site():
    header = "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
    assert error(cif(["12 0 0 0"], header=header)) == "could not determine the element of an atom site"


@pytest.mark.parametrize("coordinate", ["?", ".", "nan", "inf", "x"])
def test_unusable_coordinates_skip_the_row(coordinate):
    with pytest.warns(CifReadWarning, match=r"^skipped 1 atom-site row without usable coordinates \(Fe1\)$"):
        s = read(cif([f"Fe1 Fe {coordinate} 0 0 1", "O1 O 0.5 0.5 0.5 1"]))
    assert s.elements == ["O"]
    assert error(cif([f"Fe1 Fe {coordinate} 0 0 1"])) == "CIF contains no usable atom sites"


# ---- scanning ------------------------------------------------------------------------------


def test_tags_are_case_insensitive_and_values_may_follow_on_later_lines():
    text = (
        "_CELL_LENGTH_A 5.0\n_cell_length_b\n\n  5.431(2)\n_Cell_Length_C\n;\n  6.0\n\n;\n"
        + SITES_HEADER
        + "Fe1 Fe 0 0 0 1\n"
    )
    assert read(text).lattice_matrix[2][2] == pytest.approx(6.0)
    assert read(text).lattice_matrix[1][1] == pytest.approx(5.431)


def test_loop_keyword_forms():
    body = "_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\nFe 0 0 0\n"
    assert read(CELL + "LOOP_\n" + body).n_sites == 1
    # Tags and values are separated by whitespace, not lines.
    assert read(CELL + "loop_ " + body).n_sites == 1


def test_rows_may_span_lines_and_share_lines():
    s = read(cif(["Fe1 Fe", "0 0 0 1", "Ni1 Ni 0.5 0.5 0.5 1 O1 O 0.5 0 0 1"]))
    assert s.elements == ["Fe", "Ni", "O"] and s.n_sites == 3


def test_comments_quotes_and_text_fields_in_loops():
    rows = [
        "# a comment line",
        "'Fe 1' Fe 0 0 0 1 # trailing comment",
        ";",
        "O1",
        ";",
        "O 0.5 0.5 0.5 1",
        "C1' C 0.25 0.25 0.25 1",
        '"O\'H" O 0.75 0.75 0.75 1',
    ]
    s = read(cif(rows))
    assert s.n_sites == 4
    assert [list(d) for d in s.species] == [["Fe"], ["O"], ["C"], ["O"]]


@pytest.mark.parametrize("field", [";Fe2 O3\n;", ";Fe2\n O3\n;", ";\nFe2\nO3\n;"])
def test_a_formula_in_a_text_field_is_read_from_its_opening_line_on(field):
    # Only a formula read whole agrees with the atoms; a part of it would not.
    text = cif(["Fe1 Fe 0 0 0 1", "Fe2 Fe 0.5 0.5 0.5 1", "O1 O 0.5 0 0 1", "O2 O 0 0.5 0 1", "O3 O 0 0 0.5 1"])
    s, warned = read_with_warnings(text.replace("loop_", "_chemical_formula_sum\n" + field + "\nloop_", 1))
    assert s.n_sites == 5 and warned == []


# Whitespace of every kind CIF files carry, and comments, between values.
SEPARATORS = [" ", "\t", "\n", " \r\n", "  \u00a0", "\u3000\n", " # a comment 'x\n", "\n\n  "]


@given(st.data())
def test_values_read_the_same_whatever_separates_or_encloses_them(data):
    rows = [
        ["Fe1", "Fe", "0", "0", "0", "1"],
        ["O2", "O", "0.5", "0.25", "0.125", "0.5(1)"],
        ["Ni3", "Ni", "0.75", "0.5", "1/3", "0.5"],
    ]
    plain = cif([" ".join(row) for row in rows])
    text = cif([])
    for value in (v for row in rows for v in row):
        form = data.draw(st.sampled_from(["bare", "single", "double", "field"]))
        if form == "field":  # a text field opens at the start of a line
            text += f"\n;{value}\n;"
        else:
            text += {"bare": value, "single": f"'{value}'", "double": f'"{value}"'}[form]
        text += data.draw(st.sampled_from(SEPARATORS))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CifReadWarning)
        assert read(text + "\n").to_dict() == read(plain).to_dict()


def test_primes_in_labels_do_not_shift_columns():
    s = read(cif(["C11' C 0.1 0.2 0.3 0.467(8)", "O1'' O 0.4 0.5 0.6 1"]))
    assert s.species == [{"C": 0.467}, {"O": 1.0}]


def test_two_data_blocks_are_kept_apart():
    first = cif(["Fe1 Fe 0 0 0 1"], cell=CELL)
    second = "data_two\n_cell_length_a 7\n" + SITES_HEADER + "Ni1 Ni 0 0 0 1\n"
    with pytest.warns(CifReadWarning, match="read data block 'test', the first of 2 blocks with atom sites"):
        s = read(first + second)
    assert s.elements == ["Fe"] and s.lattice_matrix[0][0] == 5.0


@pytest.mark.parametrize(
    "header",
    ["_title " + "'" * 10_000 + '"' * 10_000 + "\n", "\x00\x00 _journal_name_full \x00\n"],
    ids=["quotes", "nul"],
)
def test_unclosed_quotes_end_at_the_line_end(header):
    s = read(cif(["Fe1 Fe 0 0 0 1"], cell=CELL + header))
    assert s.elements == ["Fe"]


NEVER_CLOSED = (
    "the text field that opens here (a line starting with ';') is never closed by a ';' line: the file is cut "
    "short, or the closing line is missing"
)


@pytest.mark.parametrize(
    "tail, line, message",
    [
        (";\nnever closed\n" * 3, 17, NEVER_CLOSED),
        ("_publ_section_title\n;\nno end\n", 14, NEVER_CLOSED),
        (
            "loop_\n_x\n_y\n'open 'a'b \"c\n",
            16,
            "the last row of the loop of _x has 1 of its 2 values: the file is cut short, or a row lacks a value",
        ),
        ("_journal_name_full 'Acta", 13, "the file ends inside a quoted value: it is cut short"),
    ],
)
def test_files_that_end_inside_a_field_a_quote_or_a_row_are_refused(tail, line, message):
    with pytest.raises(StructureFileError) as info:
        read(cif(["Fe1 Fe 0 0 0 1"]) + tail)
    assert (str(info.value), info.value.line) == (message, line)


def test_a_tag_within_a_line_is_a_tag():
    # A later value replaces the cell length, and a NUL byte is not a number.
    assert error(cif(["Fe1 Fe 0 0 0 1"]) + "_a \x00\x00 _cell_length_a \x00\n") == "missing _cell_length_a"


def test_text_field_that_never_closes_is_refused_not_swallowing_the_rest():
    text = CELL + "_title\n;\n" + SITES_HEADER + "Fe1 Fe 0 0 0 1\n"
    assert error(text) == NEVER_CLOSED


# ---- cell parameters -----------------------------------------------------------------------


def cell(a=5, b=5, c=5, alpha=None, beta=None, gamma=None):
    text = f"_cell_length_a {a}\n_cell_length_b {b}\n_cell_length_c {c}\n"
    for name, value in (("alpha", alpha), ("beta", beta), ("gamma", gamma)):
        if value is not None:
            text += f"_cell_angle_{name} {value}\n"
    return text


def test_cell_without_angles_is_orthogonal():
    m = read(cif(["Fe1 Fe 0 0 0 1"], cell=cell())).lattice_matrix
    assert m[0] == [5.0, 0.0, 0.0]
    assert m[1] == [5 * 6.123233995736766e-17, 5.0, 0.0]
    assert read(cif(["Fe1 Fe 0 0 0 1"], cell=cell(alpha=90, beta=90, gamma=90))).lattice_matrix == m


def test_hexagonal_cell():
    m = read(cif(["Fe1 Fe 0 0 0 1"], cell=cell(3, 4, 5, 90, 90, 120))).lattice_matrix
    assert m[0] == [3.0, 0.0, 0.0]
    assert m[1] == [-1.9999999999999991, 3.464101615137755, 0.0]
    assert m[2] == pytest.approx([0, 0, 5], abs=1e-12)


@pytest.mark.parametrize(
    "params, message",
    [
        (dict(a=0), "cell lengths must be positive"),
        (dict(c=-1, gamma=0), "cell lengths must be positive"),
        (dict(gamma=0), "gamma must not be 0 or 180 degrees"),
        (dict(gamma=180), "gamma must not be 0 or 180 degrees"),
        (dict(gamma=360), "gamma must not be 0 or 180 degrees"),
        (dict(alpha=10, beta=10, gamma=90), "cell angles are geometrically inconsistent"),
        (dict(a="?"), "missing _cell_length_a"),
    ],
)
def test_cell_messages(params, message):
    assert error(cif(["Fe1 Fe 0 0 0 1"], cell=cell(**params))) == message


def test_nearly_flat_gamma_and_equilateral_rhombohedron_pass():
    assert read(cif(["Fe1 Fe 0 0 0 1"], cell=cell(gamma=179.9999999))).n_sites == 1
    v = read(cif(["Fe1 Fe 0 0 0 1"], cell=cell(alpha=60, beta=60, gamma=60))).volume
    assert v == pytest.approx(125 / math.sqrt(2))


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "not a CIF: no data block with a cell and atom sites"),
        ("_cell_length_a 5\n_cell_length_c 5\n", "missing _cell_length_b"),
        (CELL + "loop_\n_atom_site_label\nFe1\n", "no _atom_site loop with fractional coordinates found"),
        (
            CELL + "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_z\nFe 0 0\n",
            "missing _atom_site_fract_y",
        ),
        (
            CELL + "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\nFe 0 0\n",
            "missing _atom_site_fract_z",
        ),
        (CELL + SITES_HEADER, "CIF contains no usable atom sites"),
    ],
)
def test_reader_messages(text, message):
    assert error(text) == message


# ---- symmetry operations -------------------------------------------------------------------


HEXAGONAL_CELL = "_cell_length_a 5.0\n_cell_length_b 5.0\n_cell_length_c 7.0\n_cell_angle_gamma 120\n"


def image(op, position=(0.1, 0.2, 0.3), cell=CELL):
    """Where one operation beside the identity puts one atom."""
    s = read(cif(["C1 C {} {} {} 1".format(*position)], ops=["x,y,z", op], cell=cell))
    return s.frac_coords[-1:]


@pytest.mark.parametrize(
    "op, expected, cell",
    [
        ("x,y,z", [0.1, 0.2, 0.3], CELL),
        ("-x+1/2, y, z+1/4", [0.4, 0.2, 0.55], CELL),
        ("x-y, x, z+1/6", [0.9, 0.1, 0.3 + 1 / 6], HEXAGONAL_CELL),
        ("1/2+X, -Y, Z", [0.6, 0.8, 0.3], CELL),
        ("op1 x,y,z", [0.1, 0.2, 0.3], CELL),  # a label before the operation
    ],
)
def test_operations(op, expected, cell):
    assert image(op, cell=cell)[0] == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize(
    "op, cell, described",
    [
        ("x-y, x, z+1/6", CELL, "a = b = c = 5 Å, α = β = γ = 90°"),  # hexagonal operation, cubic cell
        ("y, x, z", cell(5, 6, 7), "a = 5 Å, b = 6 Å, c = 7 Å, α = β = γ = 90°"),
        ("2x, y/2, 0.5-z", CELL, "a = b = c = 5 Å, α = β = γ = 90°"),  # no rotation at all
        ("2 x,y,z", CELL, "a = b = c = 5 Å, α = β = γ = 90°"),  # parses at once: the label becomes a coefficient
        ("-x, y, -z", cell(5, 6, 7, beta=101.5), None),  # a monoclinic 2 along b fits
        ("x, -y, -z", cell(5, 6, 7, beta=101.5), "a = 5 Å, b = 6 Å, c = 7 Å, α = γ = 90°, β = 101.5°"),
    ],
)
def test_operations_must_keep_the_cell_metric(op, cell, described):
    text = cif(["C1 C 0.1 0.2 0.3 1"], ops=["x,y,z", op], cell=cell)
    if described is None:
        assert read(text).n_sites == 2
        return
    assert error(text) == (
        f"symmetry operation '{op}' does not fit this cell ({described}): the cell or the operations are wrong; "
        "correct the cell parameters or the operations"
    )


@pytest.mark.parametrize(
    "op",
    [
        "x, y",
        "x, , z",
        "x+, y, z",
        "+-x, y, z",
        "xy, y, z",
        "x+1/0, y, z",
        "x+a, y, z",
        "*x, y, z",
        "x/0, y, z",
        "x y z",
    ],
)
def test_bad_operations_are_skipped(op):
    # The identity is added to what is left, so the atom and its inverse remain.
    with pytest.warns(CifReadWarning) as record:
        s = read(cif(["C1 C 0.1 0.2 0.3 1"], ops=[op, "-x,-y,-z"]))
    assert s.frac_coords == [[0.1, 0.2, 0.3], pytest.approx([0.9, 0.8, 0.7])]
    assert [str(w.message) for w in record] == [
        f"skipped 1 unreadable symmetry operation ('{op}')",
        "the symmetry operations lack the identity x,y,z: added it",
    ]


def test_no_usable_operation_means_identity():
    with pytest.warns(CifReadWarning, match=r"^skipped 1 unreadable symmetry operation \('x, y'\)$"):
        s = read(cif(["C1 C 0.1 0.2 0.3 1"], ops=["x, y"]))
    assert s.frac_coords == [[0.1, 0.2, 0.3]]


def test_double_quoted_and_unquoted_operations_agree():
    rows = ["C1 C 0.1 0.2 0.3 1"]
    quoted = cif(rows, ops=["-x+1/2,y,z"])
    double = quoted.replace("'", '"')
    bare = quoted.replace("'", "")
    with pytest.warns(CifReadWarning, match="lack the identity x,y,z: added it"):
        assert read(quoted).frac_coords == read(double).frac_coords == read(bare).frac_coords


def test_space_group_symop_column_and_first_loop_win():
    text = (
        CELL + "loop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n1 x,y,z\n2 -x,-y,-z\n"
        "loop_\n_symmetry_equiv_pos_as_xyz\nx+1/2,y,z\n" + SITES_HEADER + "C1 C 0.1 0.2 0.3 1\n"
    )
    assert read(text).n_sites == 2


def test_enormous_expansion_is_refused_before_any_work():
    ops = [f"x+{i}/100003,y,z" for i in range(5000)]
    rows = [f"C{i} C 0.{i:05d} 0.5 0.5 1" for i in range(5000)]
    message = error(cif(rows, ops=ops))
    assert message == (
        "CIF expands to 25000000 positions (5000 atom sites times 5000 symmetry operations), "
        "more than the 20000000 this reader accepts"
    )


def test_files(tmp_path):
    path = tmp_path / "x.cif"
    path.write_text(cif(["Fe1 Fe 0 0 0 1"]))
    assert Structure.from_cif(str(path), symprec=0.01).n_sites == 1
    with pytest.raises(FileNotFoundError, match=r"^\[Errno 2\] No such file or directory: '.*nothing\.cif'$"):
        Structure.from_cif(str(tmp_path / "nothing.cif"))
    path.write_bytes(b"_cell_length_a 5\n_cell_length_b 5\xed\xa0\x80\n")  # an encoded surrogate is not UTF-8
    with pytest.raises(OSError, match=r"x\.cif: line 2: byte 0xED is not UTF-8, and only comments and text values"):
        Structure.from_cif(str(path))
    with pytest.raises(TypeError, match=r"^argument 'symprec': must be real number, not NoneType$"):
        Structure.from_cif(str(path), None)


def test_examples():
    from conftest import EXAMPLES

    assert repr(Structure.from_cif(str(EXAMPLES / "NaCl.cif"))) == "Structure(8 sites, Cl4 Na4)"
    alloy = Structure.from_cif(str(EXAMPLES / "FeNi_disordered.cif"))
    assert repr(alloy) == "Structure(8 sites, C0.2000 Fe2.5600 Ni1.4400, disordered)"
    assert alloy.species[0] == {"Fe": 0.64, "Ni": 0.36}
    assert repr(Structure.from_poscar(str(EXAMPLES / "Si.poscar"))) == "Structure(8 sites, Si8)"


# ---- what real files need: blocks, syntax, elements, dummies, merging, warnings ---------------

H = "data_x\n_cell_length_a 5.0\n_cell_length_b 5.0\n_cell_length_c 5.0\n"
L = "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"


def read_with_warnings(text, **kwargs):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        s = read(text, **kwargs)
    assert all(w.category is CifReadWarning for w in record)
    return s, [str(w.message) for w in record]


def test_atoms_of_one_block_never_take_the_cell_of_another():
    text = (
        "data_a\n_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 10\n"
        + SITES_HEADER
        + "Si1 Si 0 0 0 1\ndata_b\n_cell_length_a 2\n_cell_length_b 2\n_cell_length_c 2\n"
    )
    s, messages = read_with_warnings(text)
    assert s.volume == pytest.approx(1000.0) and messages == []


def test_first_block_with_cell_and_atoms_is_read_and_the_others_named():
    text = (
        "data_pub\n_journal_name_full 'X'\n"
        + "data_one\n"
        + CELL
        + SITES_HEADER
        + "Fe1 Fe 0 0 0 1\n"
        + "data_two\n"
        + CELL
        + SITES_HEADER
        + "Ni1 Ni 0 0 0 1\n"
    )
    s, messages = read_with_warnings(text)
    assert s.elements == ["Fe"]
    assert messages == [
        "read data block 'one', the first of 2 blocks with atom sites (one, two); read_cif_blocks reads them all"
    ]


def test_read_cif_blocks(tmp_path):
    from kestrel import read_cif_blocks

    path = tmp_path / "blocks.cif"
    path.write_text(
        "data_pub\n_journal_name_full 'X'\n"
        + "data_one\n"
        + CELL
        + SITES_HEADER
        + "Fe1 Fe 0 0 0 1\n"
        + "data_two\n"
        + cell(7, 7, 7)
        + SITES_HEADER
        + "Ni1 Ni 0 0 0 0.5\nNI2 ? 0.5 0.5 0.5 1\n"
    )
    with pytest.warns(
        CifReadWarning,
        match=r"blocks\.cif: data block 'two': chose the element of 1 atom-site row whose label allows more than one "
        r"reading \(NI2 -> Ni, not N\)$",
    ):
        blocks = read_cif_blocks(str(path))
    assert list(blocks) == ["one", "two"]
    assert blocks["one"].elements == ["Fe"] and blocks["two"].composition == {"Ni": 1.5}
    assert blocks["two"].volume == pytest.approx(343.0)
    path.write_text(
        "data_one\n" + CELL + SITES_HEADER + "Fe1 Fe 0 0 0 1\ndata_bad\n" + SITES_HEADER + "Ni1 Ni 0 0 0 1\n"
    )
    with pytest.warns(CifReadWarning, match=r"blocks\.cif: data block 'bad' not read: missing _cell_length_a$"):
        assert list(read_cif_blocks(str(path))) == ["one"]
    with pytest.raises(ValueError, match=r"^.*blocks\.cif: data block 'bad': missing _cell_length_a$"):
        read_cif_blocks(str(path), strict=True)
    path.write_text("data_bad\n" + SITES_HEADER + "Ni1 Ni 0 0 0 1\n")
    with pytest.raises(ValueError, match=r"^.*blocks\.cif: data block 'bad': missing _cell_length_a$"):
        read_cif_blocks(str(path))  # nothing readable: the call fails
    with pytest.raises(FileNotFoundError, match="none.cif"):
        read_cif_blocks(str(tmp_path / "none.cif"))


@pytest.mark.parametrize(
    "text",
    [
        H.replace("\n_cell_length_b", " _cell_length_b").replace("\n_cell_length_c", " _cell_length_c")
        + L
        + "Na1 0 0 0\nCl1 0.5 0.5 0.5\n",
        H + "loop_ _atom_site_label _atom_site_fract_x _atom_site_fract_y _atom_site_fract_z\n"
        "Na1 0 0 0 Cl1 0.5 0.5 0.5\n",
        H + L + "Na1\n0\n0 0\nCl1 0.5\n0.5 0.5\n_journal_year 1999\n",
        H + L + "Na1 0 0 0\nCl1 0.5 0.5 0.5 loop_ _x _y\n1 2\n",
        H + "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
        "Na1 0 0 0 Cl1 0.5 0.5 0.5 _cell_angle_gamma 90\n",
        "#\\#CIF_1.1\n" + H + L + "'Na1' \"0\" 0 0 # comment 'x\n;\nCl1\n;\n0.5 0.5 0.5\n",
    ],
)
def test_cif_1_1_whitespace_syntax(text):
    s, messages = read_with_warnings(text)
    assert s.n_sites == 2 and s.composition == {"Cl": 1.0, "Na": 1.0}
    assert messages == []


@pytest.mark.parametrize(
    "label, element, choice",
    [
        ("Wat1", "O", "Wat1 -> O as water"),
        ("WAT", "O", "WAT -> O as water"),
        ("OW1", "O", "OW1 -> O as water"),
        ("Ow2", "O", "Ow2 -> O as water"),
        ("HW1", "H", "HW1 -> H as water"),
        ("Hw12", "H", "Hw12 -> H as water"),
        ("CL1", "Cl", "CL1 -> Cl, not C"),
        ("BR2", "Br", "BR2 -> Br, not B"),
        ("ca1", "Ca", "ca1 -> Ca, not C"),
        # An element symbol followed by digits or letters is ordinary practice: no warning.
        ("Sl", "S", None),
        ("Cl1", "Cl", None),
        ("C1", "C", None),
        ("N12A", "N", None),
        ("D1", "D", None),
        ("Fe1'", "Fe", None),
        ("ZN1", "Zn", None),
        ("Sn2a", "Sn", None),
    ],
)
def test_element_from_label(label, element, choice):
    s, messages = read_with_warnings(H + L + f"{label} 0 0 0\n")
    assert s.elements == [element]
    expected = f"chose the element of 1 atom-site row whose label allows more than one reading ({choice})"
    assert messages == ([expected] if choice else [])


@pytest.mark.parametrize(
    "formula, element",
    [
        ("'C12 H10 N2'", "C"),
        ("'Ca O3 Ti'", "Ca"),
        ("'Ca C O3'", "Ca"),
        ("?", "Ca"),
        ("'Cs Cl'", "Ca"),
    ],
)
def test_formula_decides_between_two_readings_of_a_label(formula, element):
    s, _ = read_with_warnings(H + f"_chemical_formula_sum {formula}\n" + L + "CA1 0 0 0\n")
    assert s.elements == [element]


@pytest.mark.parametrize("symbol, label", [("Wat", "Wat1"), ("Xx", "Q1"), ("?", "?"), ("12", "34")])
def test_no_invented_elements(symbol, label):
    if label == "Wat1":  # the type symbol is no element, the water label is
        assert read_with_warnings(cif([f"{label} {symbol} 0 0 0 1"]))[0].elements == ["O"]
        return
    assert error(cif([f"{label} {symbol} 0 0 0 1"])) == "could not determine the element of an atom site"


def test_poscar_and_xyz_names_are_not_checked():
    from kestrel import Structure

    s = Structure.from_str('1\nLattice="5 0 0 0 5 0 0 0 5"\nWa 0 0 0\n', "xyz")
    assert s.elements == ["Wa"]


DUMMY_HEADER = SITES_HEADER + "_atom_site_calc_flag\n"


@pytest.mark.parametrize("flag", ["dum", "DUM", "Dum"])
def test_dummy_atoms_are_skipped(flag):
    rows = ["O1 O 0.1 0.2 0.3 1 d", f"H99 H -1 -1 -1 5 {flag}", f"Cg1 ? 0.5 0.5 0.5 1 {flag}", "N1 N 0 0 0 1 ."]
    s, messages = read_with_warnings(cif(rows, header=DUMMY_HEADER))
    assert s.elements == ["N", "O"] and s.n_sites == 2
    assert messages == ["skipped 2 dummy atom rows (H99, Cg1)"]


def hexagonal(rows, ops):
    return cif(rows, ops=ops, cell=cell(5, 5, 5, 90, 90, 120))


THREEFOLD = ["x,y,z", "-y,x-y,z", "-x+y,-x,z"]


def test_images_of_an_atom_on_an_axis_written_with_three_decimals_are_one_atom():
    s, messages = read_with_warnings(hexagonal(["Mn1 Mn 0.333 0.667 0 1"], THREEFOLD))
    assert s.n_sites == 1 and s.species == [{"Mn": 1.0}] and s.frac_coords == [[0.333, 0.667, 0.0]]
    assert messages == ["merged 2 symmetry images lying within 0.1 angstrom of another image of the same atom (Mn1)"]
    # Exactly on the axis the images coincide within symprec: nothing to say.
    s, messages = read_with_warnings(hexagonal(["Mn1 Mn 1/3 2/3 0 1"], THREEFOLD))
    assert s.n_sites == 1 and messages == []


@pytest.mark.parametrize("occupancy, sites", [("1", 1), ("0.5", 1), ("0.34", 1), ("0.333", 3), ("0.3", 3)])
def test_near_images_merge_only_when_they_would_overfill(occupancy, sites):
    # Three images 0.005 angstrom apart: one atom, unless the three together fit in one site.
    s, _ = read_with_warnings(hexagonal([f"Mn1 Mn 0.333 0.667 0 {occupancy}"], THREEFOLD))
    assert s.n_sites == sites
    assert s.n_atoms == pytest.approx(float(occupancy) * sites)


def test_split_position_near_a_mirror_stays_split():
    # 0.0004 from the mirror x -> -x: two half atoms 0.004 angstrom apart.
    s, messages = read_with_warnings(cif(["Cl1 Cl 0.0004 0.2 0.3 0.5"], ops=["x,y,z", "-x,y,z"], cell=cell(5, 5, 5)))
    assert s.n_sites == 2 and s.n_atoms == pytest.approx(1.0)
    # Never both at once: the two halves are alternatives of one place.
    assert s.units == [(0, 0), (0, 1)]
    assert messages == [
        "took 1 set of partly occupied positions closer than 0.7 angstrom, which cannot be occupied together, "
        "as alternatives of one place (sites 0/1)"
    ]
    s, _ = read_with_warnings(cif(["Cl1 Cl 0.0004 0.2 0.3 1"], ops=["x,y,z", "-x,y,z"]))
    assert s.n_sites == 1 and s.n_atoms == 1.0


def test_near_images_need_merging_enabled():
    s, messages = read_with_warnings(hexagonal(["Mn1 Mn 0.333 0.667 0 1"], THREEFOLD), symprec=0)
    assert s.n_sites == 3 and messages == []


def test_disorder_parts_summing_above_one_are_refused_not_cut():
    assert error(cif(["C23 C 0.1 0.2 0.3 0.813", "C23X C 0.1 0.2 0.3 0.21"])) == (
        "the occupancies of C23 and C23X on one site add up to 1.0230, above 1 by more than the tolerance for "
        "rounding (0.0100); pass a larger occupancy_tolerance to scale it down to 1 as rounding"
    )


OVER_TOLERANCE = (
    ", above 1 by more than the tolerance for rounding ({:.4f}); pass a larger occupancy_tolerance to scale it "
    "down to 1 as rounding"
)


def test_occupancies_rounded_above_one_are_scaled_to_one_with_one_warning():
    rows = ["Ca1 Ca 0.1 0.2 0.3 0.502", "Na1 Na 0.1 0.2 0.3 0.500", "Ca2 Ca 0 0 0 0.6", "Na2 Na 0 0 0 0.405"]
    s, messages = read_with_warnings(cif(rows, ops=["x,y,z", "-x,-y,-z"]))
    assert messages == [
        "scaled down to 1 the occupancies of 2 sites that add up to more than 1 within the tolerance for rounding "
        "(Ca1+Na1: 1.0020, Ca2+Na2: 1.0050)"
    ]
    assert s.species[0] == {"Ca": pytest.approx(0.502 / 1.002), "Na": pytest.approx(0.5 / 1.002)}
    assert s.n_sites == 3 and all(sum(site.values()) == pytest.approx(1.0) for site in s.species)


def test_sums_within_the_last_written_digit_are_kept_as_written():
    s, messages = read_with_warnings(cif(["Fe1 Fe 0 0 0 0.6675", "Ni1 Ni 0 0 0 0.333"]))
    assert messages == [] and s.species == [{"Fe": 0.6675, "Ni": 0.333}]


@pytest.mark.parametrize(
    "rows, tolerance, message",
    [
        (
            ["Ca1 Ca 0 0 0 0.6", "Na1 Na 0 0 0 0.402"],
            0.0,
            "the occupancies of Ca1 and Na1 on one site add up to 1.0020",
        ),
        (
            ["A Ca 0 0 0 0.5", "B Na 0 0 0 0.3", "C K 0 0 0 0.3"],
            0.05,
            "the occupancies of A, B and C on one site add up to 1.1000",
        ),
        (["Fe1 Fe 0.5 0.5 0.5 1.25"], 0.2, "the occupancy of Fe1 is 1.2500"),
    ],
)
def test_sums_beyond_the_tolerance_are_refused_naming_rows_and_sum(rows, tolerance, message):
    with pytest.raises(StructureFileError) as info:
        read(cif(rows), occupancy_tolerance=tolerance)
    assert str(info.value) == message + OVER_TOLERANCE.format(tolerance)
    assert info.value.parameter == "occupancy_tolerance"


def test_a_larger_tolerance_accepts_the_sum_in_every_cif_reader(tmp_path):
    text = cif(["Mn1 Mn 0 0 0 0.622", "Fe1 Fe 0 0 0 0.145", "Mg1 Mg 0 0 0 0.143", "Zn1 Zn 0 0 0 0.101"])
    path = tmp_path / "x.cif"
    path.write_text(text)
    assert error(text) == "the occupancies of Mn1, Fe1, Mg1 and Zn1 on one site add up to 1.0110" + (
        OVER_TOLERANCE.format(0.01)
    )
    import kestrel

    readers = [
        lambda: read(text, occupancy_tolerance=0.02),
        lambda: Structure.from_str(text, "cif", occupancy_tolerance=0.02),
        lambda: Structure.from_cif(path, occupancy_tolerance=0.02),
        lambda: kestrel.read_structure(path, occupancy_tolerance=0.02),
        lambda: kestrel.read_cif_blocks(path, occupancy_tolerance=0.02)["test"],
    ]
    for reader in readers:
        with pytest.warns(CifReadWarning, match=r"\(Mn1\+Fe1\+Mg1\+Zn1: 1\.0110\)$"):
            s = reader()
        assert sum(s.species[0].values()) == pytest.approx(1.0)


@pytest.mark.parametrize("tolerance", [-0.01, math.nan])
def test_tolerance_must_not_be_negative(tolerance):
    with pytest.raises(ValueError, match="^occupancy_tolerance must be 0 or more"):
        read(cif(["Fe1 Fe 0 0 0 1"]), occupancy_tolerance=tolerance)


def test_tolerance_is_keyword_only():
    with pytest.raises(TypeError):
        Structure.from_cif_str(cif(["Fe1 Fe 0 0 0 1"]), 1e-4, 0.02)


def test_disorder_parts_and_repeated_rows_are_reported():
    s, messages = read_with_warnings(
        cif(["Cl1 Cl 0 0 0.6474 0.47", "Cl1' Cl 0 0 0.6474 0.53", "Te1 Te 0.5 0.5 0.5 1", "Te1_445 Te -0.5 -0.5 0.5 1"])
    )
    assert s.species == [{"Cl": pytest.approx(1.0)}, {"Te": 1.0}]
    assert messages == [
        "counted 1 row that repeats an atom already at the same place once (Te1_445)",
        "added the occupancies of 1 row to another row of the same element at the same place (Cl1')",
    ]


@pytest.mark.parametrize("text, value", [("3/4", 0.75), ("-1/4", 0.75), ("1/3", 1 / 3), ("'1/2'", 0.5)])
def test_coordinates_written_as_fractions(text, value):
    s, messages = read_with_warnings(cif([f"Fe1 Fe {text} 0 0 1"]))
    assert s.frac_coords == [[pytest.approx(value), 0.0, 0.0]] and messages == []


@pytest.mark.parametrize("op", ["x,y,0", "x,x,z", "x-y,y-x,z", "0.5*x,2*x,z"])
def test_operation_without_an_inverse_refuses_the_file(op):
    assert (
        error(cif(["C1 C 0.1 0.2 0.3 1"], ops=["x,y,z", op]))
        == f"symmetry operation '{op}' is not invertible: its rotation part has a zero determinant"
    )


def test_identity_added_when_missing():
    s, messages = read_with_warnings(cif(["C1 C 0.1 0.2 0.3 1"], ops=["-x,-y,-z"]))
    assert s.frac_coords == [[0.1, 0.2, 0.3], pytest.approx([0.9, 0.8, 0.7])]
    assert messages == ["the symmetry operations lack the identity x,y,z: added it"]
    # A lattice translation of the identity counts as the identity.
    assert read_with_warnings(cif(["C1 C 0.1 0.2 0.3 1"], ops=["x+1,y,z-1", "-x,-y,-z"]))[1] == []


def test_every_skipped_row_is_reported():
    rows = [f"A{i} Fe {i / 10} ? 0 1" for i in range(7)] + [
        "Z1 O 0.5 0.5 0.5 0",
        "Z2 O 0.5 0.5 0.5 -1",
        "Ok1 O 0.1 0.1 0.1 1",
    ]
    s, messages = read_with_warnings(cif(rows))
    assert s.elements == ["O"]
    assert messages == [
        "skipped 7 atom-site rows without usable coordinates (A0, A1, A2, A3, A4, ...)",
        "skipped 2 atom-site rows with zero or negative occupancy (Z1, Z2)",
    ]


def test_warnings_can_be_errors():
    with warnings.catch_warnings():
        warnings.simplefilter("error", CifReadWarning)
        with pytest.raises(CifReadWarning, match="dummy"):
            read(cif(["H1 H 0 0 0 1 dum", "O1 O 0.5 0.5 0.5 1 ."], header=DUMMY_HEADER))


def test_warning_class_is_a_user_warning():
    import kestrel

    assert issubclass(kestrel.CifReadWarning, UserWarning)
    assert kestrel.CifReadWarning.__module__ == "kestrel"


def test_from_str_and_read_structure_warn_too(tmp_path):
    from kestrel import read_structure

    text = cif(["H1 H 0 0 0 1 dum", "O1 O 0.5 0.5 0.5 1 ."], header=DUMMY_HEADER)
    with pytest.warns(CifReadWarning, match="^skipped 1 dummy atom row"):
        Structure.from_str(text, "cif")
    path = tmp_path / "d.cif"
    path.write_text(text)
    with pytest.warns(CifReadWarning, match=r"d\.cif: skipped 1 dummy atom row"):
        read_structure(path)
