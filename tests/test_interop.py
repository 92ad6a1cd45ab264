"""Conversions to and from ASE and pymatgen, and the POSCAR / XYZ writers."""

import numpy as np
import pytest

import kestrel
from kestrel import Structure
from kestrel.io import poscar_text, write_structure, xyz_text

ase = pytest.importorskip("ase")
pymatgen_core = pytest.importorskip("pymatgen.core")


def random_ordered(seed, n=6, elements=("Fe", "O", "Si")):
    rng = np.random.default_rng(seed)
    matrix = np.diag(rng.uniform(3, 7, 3)) + rng.uniform(-1, 1, (3, 3))
    frac = rng.uniform(0, 1, (n, 3))
    species = [{str(rng.choice(elements)): 1.0} for _ in range(n)]
    return Structure(matrix.tolist(), frac.tolist(), species)


def disordered():
    return Structure(
        [[3.6, 0, 0], [0, 3.6, 0], [0, 0, 3.6]], [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Ni": 0.5}, {"O": 0.8}]
    )


def same_structure(a, b, tol=1e-9):
    np.testing.assert_allclose(a.lattice_matrix, b.lattice_matrix, atol=tol)
    assert a.n_sites == b.n_sites
    np.testing.assert_allclose(a.frac_coords, b.frac_coords, atol=tol)
    assert a.species == b.species


@pytest.mark.parametrize("seed", range(4))
def test_ase_round_trip(seed):
    s = random_ordered(seed)
    atoms = kestrel.to_ase(s)
    assert atoms.get_chemical_symbols() == [next(iter(d)) for d in s.species]
    np.testing.assert_allclose(atoms.cell[:], s.lattice_matrix)
    same_structure(kestrel.from_ase(atoms), s)


def test_to_ase_refuses_disorder():
    with pytest.raises(ValueError, match="expand_occupancies"):
        kestrel.to_ase(disordered())


@pytest.mark.parametrize("seed", range(3))
def test_pymatgen_round_trip_keeps_occupancies(seed):
    s = random_ordered(seed)
    same_structure(kestrel.from_pymatgen(kestrel.to_pymatgen(s)), s)
    d = disordered()
    p = kestrel.to_pymatgen(d)
    assert not p.is_ordered
    assert p[0].species.as_dict() == {"Fe": 0.5, "Ni": 0.5}
    same_structure(kestrel.from_pymatgen(p), d)


def test_from_pymatgen_drops_oxidation_states():
    p = pymatgen_core.Structure(
        pymatgen_core.Lattice.cubic(4.2), [{"Fe2+": 0.5, "Fe3+": 0.25}, "O2-"], [[0, 0, 0], [0.5, 0.5, 0.5]]
    )
    s = kestrel.from_pymatgen(p)
    assert s.species == [{"Fe": 0.75}, {"O": 1.0}]


@pytest.mark.parametrize("writer", [poscar_text, xyz_text])
def test_writers_refuse_disorder(writer):
    with pytest.raises(ValueError, match="expand_occupancies"):
        writer(disordered())


def test_poscar_groups_elements_in_first_appearance_order():
    s = Structure(np.eye(3).tolist(), [[0, 0, 0], [0.5, 0, 0], [0, 0.5, 0]], [{"O": 1}, {"Fe": 1}, {"O": 1}])
    lines = poscar_text(s).splitlines()
    assert lines[5].split() == ["O", "Fe"]
    assert lines[6].split() == ["2", "1"]
    assert [list(map(float, line.split())) for line in lines[8:]] == [[0, 0, 0], [0, 0.5, 0], [0.5, 0, 0]]


def test_writer_needs_a_known_extension(tmp_path):
    with pytest.raises(ValueError, match="cannot tell the output format"):
        write_structure(random_ordered(0), tmp_path / "out.pdb")


def sort_sites(s):
    order = sorted(range(s.n_sites), key=lambda i: (next(iter(s.species[i])), s.frac_coords[i]))
    return [s.frac_coords[i] for i in order], [s.species[i] for i in order]


@pytest.mark.parametrize("name", ["POSCAR", "out.vasp", "out.xyz", "out.extxyz"])
@pytest.mark.parametrize("seed", range(3))
def test_written_files_read_back(tmp_path, name, seed):
    s = random_ordered(seed, n=9)
    path = tmp_path / name
    write_structure(s, path)
    back = kestrel.read_structure(path)
    # The writers drop float noise below 1e-14 of each number, and no more.
    np.testing.assert_allclose(back.lattice_matrix, s.lattice_matrix, rtol=0, atol=1e-12)
    coords_a, species_a = sort_sites(s)
    coords_b, species_b = sort_sites(back)
    assert species_a == species_b
    np.testing.assert_allclose(coords_b, coords_a, rtol=0, atol=1e-12)


def test_ase_reads_our_files(tmp_path):
    import ase.io

    s = random_ordered(5, n=7)
    for name, fmt in (("POSCAR", "vasp"), ("out.xyz", "extxyz")):
        write_structure(s, tmp_path / name)
        atoms = ase.io.read(tmp_path / name, format=fmt)
        np.testing.assert_allclose(atoms.cell[:], s.lattice_matrix, atol=1e-12)
        assert sorted(atoms.get_chemical_symbols()) == sorted(next(iter(d)) for d in s.species)


# Disordered COD entries that ASE's CIF reader keeps whole (files with two
# rows of one element on one position lose an occupancy inside ASE, which
# from_ase refuses, tested below; deuterium, read by ASE as H, is left out, and
# so is 1100015, whose dummy H row ASE reads as an atom and kestrel skips).
DISORDERED_COD = [
    "1000023",
    "1000035",
    "1000049",
    "1011142",
    "1552546",
    "2009228",
    "2012180",
    "2013358",
    "2224635",
    "4117533",
    "8000003",
    "8103385",
    "9000020",
    "9000905",
    "9002107",
    "9005466",
    "9006017",
    "9011963",
]


def assert_same_sites(a, b, tol=1e-4):
    """Same lattice and the same sites in any order, matched by periodic position."""
    np.testing.assert_allclose(a.lattice_matrix, b.lattice_matrix, atol=1e-6)
    assert a.n_sites == b.n_sites
    fa, fb = np.array(a.frac_coords), np.array(b.frac_coords)
    for i, position in enumerate(fa):
        d = fb - position
        d -= np.round(d)
        j = int(np.argmin(np.linalg.norm(d, axis=1)))
        assert np.linalg.norm(d[j]) < tol, (i, position)
        assert b.species[j] == pytest.approx(a.species[i]), (i, a.species[i], b.species[j])


# The comparison is the subject; what the reader had to decide on each file
# (its CifReadWarnings) is tested where the warnings are.
@pytest.mark.filterwarnings("ignore::kestrel.CifReadWarning")
@pytest.mark.parametrize("entry", DISORDERED_COD)
def test_from_ase_rebuilds_shared_sites_of_real_cifs(corpus_dir, entry):
    import warnings

    import ase.io

    path = corpus_dir / f"{entry}.cif"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        atoms = ase.io.read(path)
    assert atoms.info.get("occupancy")
    ours = Structure.from_cif(str(path))
    converted = kestrel.from_ase(atoms)
    assert not converted.is_ordered
    assert converted.composition == pytest.approx(ours.composition)
    assert_same_sites(ours, converted)


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_from_ase_strontium_ruthenate_keeps_every_element(corpus_dir):
    import ase.io

    atoms = ase.io.read(corpus_dir / "2013358.cif")
    assert not any(atoms.get_tags())  # the converter once read the site from the tags alone
    assert repr(kestrel.from_ase(atoms)) == "Structure(14 sites, O8 Ru1.8580 Sr4 Ti0.1420, disordered)"


def shared_site_atoms():
    """A cell with one Fe/Ni site and one O site, as older ASE labelled them: by tags."""
    atoms = ase.Atoms("FeO", scaled_positions=[[0, 0, 0], [0.5, 0.5, 0.5]], cell=np.eye(3) * 3.6, pbc=True)
    atoms.info["occupancy"] = {"0": {"Fe": 0.6, "Ni": 0.4}, "1": {"O": 0.8}}
    atoms.set_tags([0, 1])
    return atoms


def test_from_ase_falls_back_to_tags_and_merges_repeated_sites():
    atoms = shared_site_atoms()
    s = kestrel.from_ase(atoms)
    assert s.species == [{"Fe": 0.6, "Ni": 0.4}, {"O": 0.8}]
    # One atom per element on the shared position, both tagged with the site.
    atoms += ase.Atoms("Ni", scaled_positions=[[1.0, 0, 0]], cell=atoms.cell)
    atoms.set_tags([0, 1, 0])
    assert kestrel.from_ase(atoms).species == s.species


def test_from_ase_accepts_a_row_merged_into_a_mixed_site():
    # Rows 0 (Fe) and 2 (Ni) of one position: ASE keeps the atoms of row 0 and gives both rows the mixed dict.
    atoms = shared_site_atoms()
    atoms.info["occupancy"]["2"] = {"Fe": 0.6, "Ni": 0.4}
    assert kestrel.from_ase(atoms).species == [{"Fe": 0.6, "Ni": 0.4}, {"O": 0.8}]


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_from_ase_refuses_occupancies_ase_lost(corpus_dir):
    import ase.io

    # Cl1 (0.773) and Cl1' (0.227) share a position; ASE keeps one Cl at 0.227.
    atoms = ase.io.read(corpus_dir / "2240189.cif")
    with pytest.raises(ValueError, match="ASE merged site 6 of the CIF into another site at the same position"):
        kestrel.from_ase(atoms)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda a: a.info["occupancy"].update({"2": {"O": 0.2}}), "ASE merged site 2 of the CIF"),
        (lambda a: a.set_tags([0, 0]), "no 'spacegroup_kinds' array or tags"),
        (
            lambda a: a.set_chemical_symbols(["Cu", "O"]),
            "atom 1 is Cu, but the occupancies of its site '0' name only Fe, Ni",
        ),
        (lambda a: a.new_array("spacegroup_kinds", np.array([0, 7])), "no occupancies for site 7"),
    ],
)
def test_from_ase_refuses_what_it_cannot_rebuild(change, message):
    atoms = shared_site_atoms()
    change(atoms)
    with pytest.raises(ValueError, match=message):
        kestrel.from_ase(atoms)


def test_writers_take_ase_and_pymatgen_structures(tmp_path):
    s = random_ordered(7)
    for foreign in (kestrel.to_ase(s), kestrel.to_pymatgen(s)):
        write_structure(foreign, tmp_path / "POSCAR")
        assert kestrel.read_structure(tmp_path / "POSCAR").composition == pytest.approx(s.composition)


@pytest.mark.parametrize(
    "obj, error, message",
    [
        (
            kestrel.to_pymatgen(disordered()),
            ValueError,
            r"POSCAR holds only ordered .*; expand it first: kestrel.from_pymatgen\(structure\).expand_occupancies\(\)",
        ),
        (disordered(), ValueError, r"POSCAR holds only ordered .*; call expand_occupancies\(\) first"),
        (
            {"Fe": 1},
            TypeError,
            r"poscar_text\(\) needs a kestrel.Structure, an ase.Atoms or a pymatgen Structure, "
            r"got builtins.dict",
        ),
    ],
)
def test_writers_say_what_they_need(tmp_path, obj, error, message):
    with pytest.raises(error, match=message):
        write_structure(obj, tmp_path / "POSCAR")


def cell_parameters(matrix):
    from kestrel.io.cif_writer import lattice_parameters

    return lattice_parameters(matrix)


@pytest.mark.parametrize("seed", range(3))
def test_cif_writer_round_trip_through_kestrel_ase_and_pymatgen(tmp_path, seed):
    import warnings

    import ase.io

    s = random_ordered(seed, n=8)
    path = tmp_path / "out.cif"
    assert write_structure(s, path, comment="random ordered") == "cif"
    expected_cell = cell_parameters(s.lattice_matrix)
    symbols = [next(iter(site)) for site in s.species]
    frac = np.array(s.frac_coords)

    ours = kestrel.read_structure(path)
    assert ours.species == s.species
    np.testing.assert_allclose(ours.frac_coords, frac, rtol=0, atol=1e-12)  # noise below 1e-14 dropped
    np.testing.assert_allclose(cell_parameters(ours.lattice_matrix), expected_cell, rtol=1e-12)

    atoms = ase.io.read(path)
    assert atoms.get_chemical_symbols() == symbols
    np.testing.assert_allclose(atoms.cell.cellpar(), expected_cell, rtol=1e-10)
    np.testing.assert_allclose(atoms.get_scaled_positions(wrap=False), frac, atol=1e-12)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = pymatgen_core.Structure.from_file(path, primitive=False)
    np.testing.assert_allclose(theirs.lattice.parameters, expected_cell, rtol=1e-10)
    # pymatgen sorts the sites; match them by position.
    back = kestrel.from_pymatgen(theirs)
    assert_same_sites(Structure(back.lattice_matrix, frac.tolist(), s.species), back, tol=1e-9)


def test_cif_writer_keeps_occupancies(tmp_path):
    import warnings

    d = disordered()
    write_structure(d, tmp_path / "d.cif")
    same_structure(kestrel.read_structure(tmp_path / "d.cif"), d)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = pymatgen_core.Structure.from_file(tmp_path / "d.cif")
    assert kestrel.from_pymatgen(theirs).species == d.species


def test_conventions_stated_in_the_readme_match_ase():
    # ASE's get_rdf is dimensionless at bin centres: total / rho, and partial (A, B) / rho_B.
    from ase.build import bulk
    from ase.geometry.rdf import get_rdf

    atoms = bulk("NaCl", "rocksalt", a=5.64, cubic=True).repeat((3, 3, 3))
    atoms.positions += np.random.default_rng(0).normal(scale=0.1, size=atoms.positions.shape)
    s = kestrel.from_ase(atoms)
    r, partials, total = s.prdf(cutoff=8.0, bin_size=0.1)
    g, centres = get_rdf(atoms, 8.0, 80)
    np.testing.assert_allclose(centres, r + 0.05, atol=1e-12)
    np.testing.assert_allclose(g, total / (s.n_atoms / s.volume), atol=1e-9)
    for a, b in [("Na", "Cl"), ("Cl", "Na"), ("Na", "Na")]:
        g_ab, _ = get_rdf(atoms, 8.0, 80, elements=(a, b))
        np.testing.assert_allclose(g_ab, partials[(a, b)] / (s.composition[b] / s.volume), atol=1e-9)
