"""CIF files that give their space group only as a symbol or a number."""

import warnings

import pytest

from kestrel import CifReadWarning, Structure

spglib = pytest.importorskip("spglib")

GENERAL = (0.1234, 0.2345, 0.3456)
ONE_CARBON = ("C1 C {} {} {}".format(*GENERAL),)


def cell_for(number, choice):
    if choice == "R":
        return (
            "_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 10\n"
            "_cell_angle_alpha 70\n_cell_angle_beta 70\n_cell_angle_gamma 70\n"
        )
    if 143 <= number <= 194:
        return "_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 12\n_cell_angle_gamma 120\n"
    # The operations must keep the cell's metric: tetragonal a = b, cubic a = b = c.
    if 75 <= number <= 142:
        return "_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 12\n"
    if number >= 195:
        return "_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 10\n"
    return "_cell_length_a 10\n_cell_length_b 11\n_cell_length_c 12\n"


def symbol_cif(tags, cell="_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 10\n", rows=ONE_CARBON):
    text = "data_sg\n" + cell + "".join(f"{tag} {value}\n" for tag, value in tags)
    text += (
        "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
    )
    return text + "".join(row + "\n" for row in rows)


def read_quietly(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CifReadWarning)
        return Structure.from_cif_str(text)


def orbit(hall_number, point=GENERAL):
    """The images of a point under spglib's operations of one setting, sorted and rounded."""
    import numpy as np

    data = spglib.get_symmetry_from_database(hall_number)
    images = set()
    for rotation, translation in zip(data["rotations"], data["translations"]):
        image = (rotation @ np.array(point) + translation) % 1.0
        images.add(tuple(round(v % 1.0, 6) % 1.0 for v in image))
    return sorted(images)


def positions(structure):
    return sorted(tuple(round(v % 1.0, 6) % 1.0 for v in p) for p in structure.frac_coords)


def hall_numbers():
    return range(1, 531)


@pytest.mark.parametrize("hall_number", hall_numbers())
def test_every_setting_by_hall_symbol_matches_spglib(hall_number):
    kind = spglib.get_spacegroup_type(hall_number)
    text = symbol_cif([("_space_group_name_Hall", f"'{kind.hall_symbol}'")], cell=cell_for(kind.number, kind.choice))
    assert positions(read_quietly(text)) == orbit(hall_number)


@pytest.mark.parametrize("hall_number", hall_numbers())
def test_every_setting_by_hermann_mauguin_symbol_matches_spglib(hall_number):
    kind = spglib.get_spacegroup_type(hall_number)
    symbol = kind.international_full.replace("_", "") + (f":{kind.choice}" if kind.choice else "")
    text = symbol_cif([("_space_group_name_H-M_alt", f"'{symbol}'")], cell=cell_for(kind.number, kind.choice))
    assert positions(read_quietly(text)) == orbit(hall_number)


def default_hall_number(number):
    """The setting a bare number or symbol means: origin choice 2 (the origin on an
    inversion centre) where the tables give two, hexagonal axes for R groups,
    otherwise the first setting listed."""
    settings = [h for h in range(1, 531) if spglib.get_spacegroup_type(h).number == number]
    for choice in ("2", "H"):
        for h in settings:
            if spglib.get_spacegroup_type(h).choice == choice:
                return h
    return settings[0]


def hall_number_of(full_symbol, choice=""):
    return next(
        h
        for h in range(1, 531)
        if spglib.get_spacegroup_type(h).international_full.replace("_", "") == full_symbol
        and spglib.get_spacegroup_type(h).choice == choice
    )


@pytest.mark.parametrize("number", range(1, 231))
def test_every_number_gives_the_default_setting(number):
    text = symbol_cif([("_space_group_IT_number", number)], cell=cell_for(number, ""))
    assert positions(read_quietly(text)) == orbit(default_hall_number(number))


# ---- the forms a symbol is written in -------------------------------------------------------

FM3M, P21C, P21N = ("F 4/m -3 2/m",), ("P 1 21/c 1", "b1"), ("P 1 21/n 1", "b2")
FD3M_1, FD3M_2 = ("F 41/d -3 2/m", "1"), ("F 41/d -3 2/m", "2")


@pytest.mark.parametrize(
    "tag, value, setting",
    [
        ("_symmetry_space_group_name_H-M", "'F m -3 m'", FM3M),
        ("_symmetry_space_group_name_H-M", "'Fm-3m'", FM3M),
        ("_symmetry_space_group_name_H-M", "'fm-3m'", FM3M),
        ("_symmetry_space_group_name_H-M", "F m -3 m", FM3M),  # unquoted, spaces and all
        ("_space_group_name_H-M_alt", "'P 1 21/c 1'", P21C),
        ("_space_group_name_H-M_alt", "'P21/c'", P21C),
        ("_space_group_name_H-M_alt", "'P 21/c'", P21C),
        ("_space_group_name_H-M_alt", "'P 1 21/n 1'", P21N),
        ("_space_group_name_H-M_alt", "'P21/n'", P21N),
        ("_space_group_name_H-M_alt", "'F d -3 m'", FD3M_2),
        ("_space_group_name_H-M_alt", "'F d -3 m:1'", FD3M_1),
        ("_space_group_name_H-M_alt", "'F d -3 m:2'", FD3M_2),
        ("_space_group_name_H-M_alt", "'F d -3 m :1'", FD3M_1),
        ("_space_group_name_H-M_alt", "'F d -3 m (origin choice 1)'", FD3M_1),
        ("_space_group_name_Hall", "'-F 4vw 2vw 3'", FD3M_2),
        ("_space_group_name_Hall", "'F 4d 2 3 -1d'", FD3M_1),
        ("_symmetry_space_group_name_Hall", "-F 4 2 3", FM3M),
        ("_space_group_IT_number", "225", FM3M),
        ("_symmetry_Int_Tables_number", "14", P21C),
        ("_space_group_IT_number", "227", FD3M_2),
    ],
)
def test_symbol_forms(tag, value, setting):
    s = read_quietly(symbol_cif([(tag, value)]))
    assert positions(s) == orbit(hall_number_of(*setting))


@pytest.mark.parametrize("value", ["'R -3 m:H'", "'R -3 m :H'", "'R -3 m H'", "'R -3 m'"])
def test_rhombohedral_groups_default_to_hexagonal_axes(value):
    cell = cell_for(166, "H")
    assert positions(read_quietly(symbol_cif([("_space_group_name_H-M_alt", value)], cell=cell))) == orbit(458)


@pytest.mark.parametrize("value", ["'R -3 m:R'", "'R -3 m :R'", "'R -3 m R'"])
def test_rhombohedral_axes_on_request(value):
    cell = cell_for(166, "R")
    assert positions(read_quietly(symbol_cif([("_space_group_name_H-M_alt", value)], cell=cell))) == orbit(459)


def test_rock_salt_from_its_symbol_alone():
    text = symbol_cif(
        [("_symmetry_space_group_name_H-M", "'F m -3 m'")],
        cell="_cell_length_a 5.64\n_cell_length_b 5.64\n_cell_length_c 5.64\n",
        rows=["Na1 Na 0 0 0", "Cl1 Cl 0.5 0.5 0.5"],
    )
    with pytest.warns(CifReadWarning) as record:
        s = Structure.from_cif_str(text)
    assert s.n_sites == 8 and s.composition == {"Cl": 4.0, "Na": 4.0}
    assert [str(w.message) for w in record] == [
        "no symmetry operations in the file: took the 192 operations of space group 'F m -3 m'"
    ]


# ---- the lookup order ------------------------------------------------------------------------


def test_operations_loop_wins_over_every_symbol():
    text = symbol_cif([("_space_group_name_Hall", "'-F 4 2 3'"), ("_space_group_IT_number", "225")])
    text = text.replace(
        "loop_\n_atom_site", "loop_\n_space_group_symop_operation_xyz\nx,y,z\n-x,-y,-z\nloop_\n_atom_site"
    )
    assert read_quietly(text).n_sites == 2


@pytest.mark.parametrize(
    "tags, setting",
    [
        ([("_space_group_name_Hall", "'-P 2ybc'"), ("_space_group_name_H-M_alt", "'F m -3 m'")], P21C),
        ([("_space_group_name_Hall", "'no such'"), ("_space_group_name_H-M_alt", "'P 21/c'")], P21C),
        ([("_space_group_name_H-M_alt", "'P 21/c'"), ("_space_group_IT_number", "225")], P21C),
        ([("_space_group_name_H-M_alt", "'X 99'"), ("_space_group_IT_number", "225")], FM3M),
        ([("_space_group_name_H-M_alt", "?"), ("_symmetry_Int_Tables_number", "225")], FM3M),
    ],
)
def test_hall_then_hermann_mauguin_then_number(tags, setting):
    assert positions(read_quietly(symbol_cif(tags))) == orbit(hall_number_of(*setting))


@pytest.mark.parametrize(
    "tags, message",
    [
        ([("_symmetry_space_group_name_H-M", "'Q 99'")], "cannot resolve space group 'Q 99'"),
        ([("_space_group_name_Hall", "'-Q 4'")], "cannot resolve space group '-Q 4'"),
        ([("_space_group_IT_number", "231")], "cannot resolve space group number '231'"),
        ([("_space_group_IT_number", "12.5")], "cannot resolve space group number '12.5'"),
    ],
)
def test_unresolvable_symbol_refuses_the_file(tags, message):
    with pytest.raises(ValueError) as info:
        Structure.from_cif_str(symbol_cif(tags))
    assert (
        str(info.value)
        == message + " and the file lists no symmetry operations; add a loop of _space_group_symop_operation_xyz"
    )


@pytest.mark.parametrize(
    "tags",
    [
        [],
        [("_symmetry_space_group_name_H-M", "'P 1'")],
        [("_symmetry_space_group_name_H-M", "P1")],
        [("_space_group_IT_number", "1")],
        [("_space_group_name_H-M_alt", "'P1'"), ("_space_group_IT_number", "?")],
    ],
)
def test_p1_and_no_symbol_keep_the_asymmetric_unit_without_a_word(tags):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        s = Structure.from_cif_str(symbol_cif(tags))
    assert s.frac_coords == [list(GENERAL)]


def test_centred_triclinic_setting():
    s = read_quietly(symbol_cif([("_symmetry_space_group_name_H-M", "'A -1'")]))
    x, y, z = GENERAL
    expected = [(x, y, z), (1 - x, 1 - y, 1 - z), (x, y + 0.5, z + 0.5), (1 - x, 0.5 - y, 0.5 - z)]
    assert positions(s) == sorted(tuple(round(v % 1.0, 6) for v in p) for p in expected)
