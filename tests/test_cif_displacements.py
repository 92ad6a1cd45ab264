"""Displacement parameters read from a CIF for the thermal broadening of G(r)."""

import math
import os
import warnings

import numpy as np
import pytest

from _kestrel import _cif_site_u_iso
from conftest import run_kestrel
from kestrel import CifReadWarning, Structure
from kestrel.scattering import cif_u_iso, compute_pdf

EIGHT_PI2 = 8.0 * math.pi**2
CORPUS = os.path.join(os.path.dirname(__file__), "fuzz", "corpus", "cif")

HEADER = """data_test
_cell_length_a 5.0
_cell_length_b 6.0
_cell_length_c 7.0
_cell_angle_alpha 90
_cell_angle_beta 95
_cell_angle_gamma 90
"""


def write(tmp_path, text, name="u.cif"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


# One row per way a file gives (or fails to give) U: label, element, the
# U_iso and B_iso columns, the anisotropic U and B rows (11 22 33), expected U.
FORMS = [
    ("Fe1", "Fe", "0.0123(4)", "?", None, None, 0.0123),
    ("Ni1", "Ni", "?", "0.79(2)", None, None, 0.79 / EIGHT_PI2),
    ("Cu1", "Cu", ".", ".", ("0.01(1)", "0.02", "0.03"), None, 0.02),
    ("Zn1", "Zn", "?", "?", None, ("0.8", "1.6", "2.4"), 1.6 / EIGHT_PI2),
    ("Co1", "Co", "0.007", "?", ("0.01", "0.02", "0.03"), None, 0.007),  # U_iso wins over the trace
    ("Mn1", "Mn", "?", "?", None, None, None),
    ("Cr1", "Cr", "0", "?", None, None, None),  # 0 is "not refined"
    ("Ti1", "Ti", "?", "?", ("0.01", "?", "0.03"), None, None),  # an incomplete trace gives nothing
]


def forms_cif():
    lines = [
        HEADER,
        "_symmetry_space_group_name_H-M 'P 1'",
        "loop_",
        "_atom_site_label",
        "_atom_site_type_symbol",
        "_atom_site_fract_x",
        "_atom_site_fract_y",
        "_atom_site_fract_z",
        "_atom_site_U_iso_or_equiv",
        "_atom_site_B_iso_or_equiv",
    ]
    for k, (label, element, u, b, _, _, _) in enumerate(FORMS):
        lines.append(f"{label} {element} {0.1 * k + 0.05:.3f} 0.25 0.5 {u} {b}")
    lines += (
        ["loop_", "_atom_site_aniso_label"]
        + [f"_atom_site_aniso_U_{i}" for i in ("11", "22", "33")]
        + [f"_atom_site_aniso_B_{i}" for i in ("11", "22", "33")]
    )
    for label, _, _, _, aniso_u, aniso_b, _ in FORMS:
        if aniso_u or aniso_b:
            lines.append(" ".join([label, *(aniso_u or ("?",) * 3), *(aniso_b or ("?",) * 3)]))
    return "\n".join(lines) + "\n"


def test_every_form_of_the_displacement_parameter(tmp_path):
    path = write(tmp_path, forms_cif())
    structure = Structure.from_cif(path)
    values = _cif_site_u_iso(path)
    assert [list(site) for site in structure.species] == [[f[1]] for f in FORMS]
    for site, (_, element, *_, expected) in zip(values, FORMS):
        assert list(site) == [element]
        if expected is None:
            assert site[element] is None
        else:
            assert site[element] == pytest.approx(expected, rel=1e-14)


def test_symmetry_images_and_mixed_sites_are_weighted_per_element(tmp_path):
    # Fe on a general position of P-1 (two images, U 0.010), and a mixed
    # Fe/Ni site on the inversion centre (one image) where each element has
    # its own U, plus an O without any value.
    text = (
        HEADER
        + """_symmetry_space_group_name_H-M 'P -1'
loop_
_symmetry_equiv_pos_as_xyz
x,y,z
-x,-y,-z
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
_atom_site_U_iso_or_equiv
Fe1 Fe 0.1 0.2 0.3 1 0.010
Fe2 Fe 0 0 0 0.5 0.004
Ni2 Ni 0 0 0 0.5 0.006
O1 O 0.3 0.1 0.2 1 ?
"""
    )
    path = write(tmp_path, text)
    structure = Structure.from_cif(path)
    sites = _cif_site_u_iso(path)
    assert len(sites) == len(structure.species) == 5
    for species, values in zip(structure.species, sites):
        assert list(values) == list(species)
    assert {"Fe": 0.004, "Ni": 0.006} in sites
    u, notes = cif_u_iso(path, structure, default=0.02)
    assert u["Fe"] == pytest.approx((2 * 0.010 + 0.5 * 0.004) / 2.5, rel=1e-14)
    assert u["Ni"] == pytest.approx(0.006, rel=1e-14)
    assert u["O"] == 0.02
    o_sites = [i for i, species in enumerate(structure.species) if "O" in species]
    assert notes == [
        f"2 of 5 sites have no displacement parameter and take u_iso = 0.02 Å² (sites {o_sites[0]}, {o_sites[1]})"
    ]


def gemmi_element_u(path):
    """Occupancy-weighted U per element over every atom of the cell, as gemmi reads the file."""
    gemmi = pytest.importorskip("gemmi")
    small = gemmi.read_small_structure(path)
    sums, weights = {}, {}
    for site in small.get_all_unit_cell_sites():
        u = site.u_iso if site.u_iso > 0 else (site.aniso.u11 + site.aniso.u22 + site.aniso.u33) / 3.0
        element = site.element.name
        sums[element] = sums.get(element, 0.0) + site.occ * u
        weights[element] = weights.get(element, 0.0) + site.occ
    return {e: sums[e] / weights[e] for e in sums}


@pytest.mark.parametrize("name", ["cod9002550", "cod9001833"])
def test_per_element_u_of_published_files_matches_gemmi(tmp_path, name):
    path = os.path.join(CORPUS, name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        structure = Structure.from_cif(path)
    u, notes = cif_u_iso(path, structure)
    assert notes == []
    expected = gemmi_element_u(path)
    # gemmi names the deuterium of labels 'Dw', 'Dd' by its own rules; compare the elements both name alike.
    common = set(u) & set(expected)
    assert common >= {"O", "Si", "Al"}
    for element in common:
        assert u[element] == pytest.approx(expected[element], rel=1e-9), element


def test_compute_pdf_on_the_file_values_equals_the_explicit_dict(tmp_path):
    pytest.importorskip("periodictable")
    path = os.path.join(CORPUS, "cod9001833")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        structure = Structure.from_cif(path)
    u, _ = cif_u_iso(path, structure)
    explicit = {element: float(value) for element, value in u.items()}
    from_file = compute_pdf(structure, cutoff=8.0, u_iso=u)
    by_hand = compute_pdf(structure, cutoff=8.0, u_iso=explicit)
    assert from_file.u_iso == explicit
    np.testing.assert_array_equal(from_file.g, by_hand.g)


def test_a_file_the_reader_refuses_gives_its_error(tmp_path):
    path = write(tmp_path, "data_x\n_cell_length_a 5\n")
    with pytest.raises(Exception) as from_cif:
        Structure.from_cif(path)
    with pytest.raises(type(from_cif.value)) as displacements:
        _cif_site_u_iso(path)
    assert str(displacements.value) == str(from_cif.value)


def test_command_takes_u_from_the_cif_unless_given(tmp_path):
    pytest.importorskip("periodictable")
    path = write(tmp_path, forms_cif(), "forms.cif")
    result = run_kestrel("pdf", path, "--rmax", 6)
    assert result.returncode == 0, result.stderr
    assert "u_iso (Å², from the displacement parameters of forms.cif): " in result.stdout, result.stdout
    assert "Fe 0.0123," in result.stdout
    assert "3 of 8 sites have no displacement parameter and take u_iso = 0.005 Å² (sites 5, 6, 7)" in result.stderr
    given = run_kestrel("pdf", path, "--rmax", 6, "--u-iso", "0.004")
    assert given.returncode == 0, given.stderr
    assert "u_iso (Å², from --u-iso): Co 0.004, Cr 0.004," in given.stdout, given.stdout
    assert "displacement parameter" not in given.stderr


def test_a_cif_written_by_gemmi_with_iso_and_anisotropic_u(tmp_path):
    # gemmi writes U_iso 0 beside an anisotropic row: the trace is then the value.
    gemmi = pytest.importorskip("gemmi")
    small = gemmi.SmallStructure()
    small.cell = gemmi.UnitCell(5.64, 5.64, 5.64, 90, 90, 90)
    small.spacegroup_hm = "F m -3 m"
    small.setup_cell_images()
    for label, element, position, u, occupancy in [
        ("Na1", "Na", (0, 0, 0), 0.012, 1.0),
        ("Cl1", "Cl", (0.5, 0.5, 0.5), 0.0, 0.6),
        ("Br1", "Br", (0.5, 0.5, 0.5), 0.02, 0.4),
    ]:
        site = gemmi.SmallStructure.Site()
        site.label, site.element, site.fract = label, gemmi.Element(element), gemmi.Fractional(*position)
        site.u_iso, site.occ = u, occupancy
        if element == "Cl":
            site.aniso.u11, site.aniso.u22, site.aniso.u33 = 0.01, 0.02, 0.035
        small.add_site(site)
    path = write(tmp_path, small.make_cif_block().as_string(), "gemmi.cif")
    with pytest.warns(CifReadWarning, match="no symmetry operations in the file: took the 192 operations"):
        structure = Structure.from_cif(path)
    assert len(structure.species) == 8
    u, notes = cif_u_iso(path, structure)
    assert notes == []
    assert u == pytest.approx({"Na": 0.012, "Cl": 0.065 / 3.0, "Br": 0.02}, rel=1e-14)
    assert {"Cl": pytest.approx(0.065 / 3.0), "Br": pytest.approx(0.02)} in _cif_site_u_iso(path)
