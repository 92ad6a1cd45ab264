"""Structure.from_str: format names and what each reader receives."""

from contextlib import nullcontext

import pytest

from kestrel import CifReadWarning, Structure

POSCAR = "Si\n1.0\n4 0 0\n0 4 0\n0 0 4\nSi\n1\nDirect\n0 0 0\n"
XYZ = '1\nLattice="4 0 0 0 4 0 0 0 4"\nSi 0 0 0\n'
CIF = (
    "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n_atom_site_type_symbol\n"
    "_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\nSi 0 0 0\nSi 0.00001 0 0\n"
)


@pytest.mark.parametrize(
    "fmt, text",
    [
        ("cif", CIF),
        ("CIF", CIF),
        ("Cif", CIF),
        ("poscar", POSCAR),
        ("POSCAR", POSCAR),
        ("CONTCAR", POSCAR),
        ("Vasp", POSCAR),
        ("xyz", XYZ),
        ("XYZ", XYZ),
        ("ExtXYZ", XYZ),
    ],
)
def test_names_select_readers(fmt, text):
    # The CIF's second row is the first moved by less than symprec: merged, with a warning.
    merged = pytest.warns(CifReadWarning, match="repeats an atom") if text is CIF else nullcontext()
    with merged:
        s = Structure.from_str(text, fmt)
    assert s.species == [{"Si": 1.0}] and s.volume == pytest.approx(64.0)


@pytest.mark.parametrize(
    "fmt, shown", [("PDB", "pdb"), (" cif", " cif"), ("cif ", "cif "), ("", ""), ("\u00c9XYZ", "\u00c9xyz")]
)
def test_unknown_names(fmt, shown):
    with pytest.raises(ValueError) as info:
        Structure.from_str(POSCAR, fmt)
    assert str(info.value) == f"unknown format '{shown}'; kestrel reads cif, poscar and xyz"


def test_symprec_only_matters_for_cif():
    with pytest.warns(
        CifReadWarning, match=r"counted 1 row that repeats an atom already at the same place once \(Si\)"
    ):
        assert Structure.from_str(CIF, "cif").n_sites == 1
    assert Structure.from_str(CIF, "cif", symprec=0).n_sites == 2
    assert Structure.from_str(POSCAR, "poscar", 0.5).frac_coords == [[0.0, 0.0, 0.0]]


def test_reader_errors_are_value_errors_not_os_errors():
    with pytest.raises(ValueError, match="^POSCAR is too short to contain a structure$"):
        Structure.from_str("/no/such/file", "poscar")


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((POSCAR,), {}, TypeError, r"^Structure.from_str\(\) missing 1 required positional argument: 'fmt'$"),
        ((POSCAR, 1), {}, TypeError, r"^argument 'fmt': 'int' object cannot be converted to 'PyString'$"),
        ((b"x", "cif"), {}, TypeError, r"^argument 'text': 'bytes' object cannot be converted to 'PyString'$"),
        ((CIF, "cif"), {"symprec": "x"}, TypeError, r"^argument 'symprec': must be real number, not str$"),
        (
            (CIF, "cif", 1, 2),
            {},
            TypeError,
            r"^Structure.from_str\(\) takes from 2 to 3 positional arguments but 4 were given$",
        ),
        (
            (CIF,),
            {"fmt": "cif", "tolerance": 1},
            TypeError,
            r"^Structure.from_str\(\) got an unexpected keyword argument 'tolerance'$",
        ),
    ],
)
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        Structure.from_str(*args, **kwargs)


def test_readers_are_static():
    s = Structure.from_str(POSCAR, "poscar")
    assert type(s.from_str(XYZ, "xyz")) is Structure
