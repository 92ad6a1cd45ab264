"""The disorder summary: which sites are listed, and the entry layout."""

import pytest

from kestrel import Structure

CUBE = [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]


def one_site(species, frac=(0.1, 0.2, 0.3)):
    return Structure(CUBE, [list(frac)], [species])


def test_ordered_structure_lists_nothing(rocksalt):
    assert rocksalt.disorder_summary() == []


@pytest.mark.parametrize("occupancy", [1.0, 0.9999995, 1.0000009])
def test_within_a_millionth_of_one_is_ordered(occupancy):
    assert one_site({"Si": occupancy}).disorder_summary() == []


@pytest.mark.parametrize(
    ("species", "total", "vacancy"),
    [
        ({"Fe": 0.5, "Ni": 0.5}, 1.0, 0.0),
        ({"O": 0.8}, 0.8, 1.0 - 0.8),
        ({"Fe": 1.0, "Ni": 0.0}, 1.0, 0.0),  # two species, however the occupancy falls
        ({"Si": 1.0005}, 1.0005, 0.0),  # above one: nothing vacant
        ({"Si": 0.999999}, 0.999999, 1.0 - 0.999999),
        ({"A": 0.1, "B": 0.2, "C": 0.3}, 0.1 + 0.2 + 0.3, 1.0 - (0.1 + 0.2 + 0.3)),
    ],
)
def test_listed_sites(species, total, vacancy):
    [entry] = one_site(species).disorder_summary()
    assert list(entry) == ["site_index", "frac_coords", "occupancies", "total_occupancy", "vacancy"]
    assert entry["site_index"] == 0
    assert entry["frac_coords"] == [0.1, 0.2, 0.3]
    assert entry["occupancies"] == species
    # Exact: added one by one in stored order, and 1 - total clamped at 0.
    assert entry["total_occupancy"] == total
    assert entry["vacancy"] == vacancy


def test_indices_count_every_site_and_coordinates_are_unwrapped():
    species = [{"Si": 1.0}, {"Si": 1.0}, {"Fe": 0.5, "Ni": 0.5}, {"Si": 1.0}, {"O": 0.75}]
    coords = [[0, 0, 0], [0.5, 0, 0], [1.25, -0.5, 0.5], [0, 0.5, 0], [0.5, 0.5, 0.5]]
    summary = Structure(CUBE, coords, species).disorder_summary()
    assert [e["site_index"] for e in summary] == [2, 4]
    assert summary[0]["frac_coords"] == [1.25, -0.5, 0.5]
    # Fresh objects on every call.
    again = Structure(CUBE, coords, species).disorder_summary()
    assert again == summary and again is not summary


def test_stored_species_order_is_kept():
    # Readers keep species in the order of the file; the constructor sorts them.
    text = """data_mixed
_cell_length_a 4
_cell_length_b 4
_cell_length_c 4
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
Ni1 Ni 0 0 0 0.4
Fe1 Fe 0 0 0 0.6
"""
    try:
        structure = Structure.from_cif_str(text)
    except NotImplementedError:
        pytest.skip("the CIF reader is not built in this tree")
    [entry] = structure.disorder_summary()
    assert list(entry["occupancies"].items()) == [("Ni", 0.4), ("Fe", 0.6)]
    assert entry["total_occupancy"] == 0.4 + 0.6
