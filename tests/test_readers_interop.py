"""Files written by ASE and pymatgen from random structures, read back by kestrel."""

import random
import warnings

import numpy as np
import pytest

from kestrel import Structure

ase_io = pytest.importorskip("ase.io")
from ase import Atoms  # noqa: E402

pmg_core = pytest.importorskip("pymatgen.core")
from pymatgen.io.cif import CifWriter  # noqa: E402

ELEMENTS = ["H", "C", "N", "O", "Na", "Mg", "Si", "Cl", "Fe", "Ni", "Cu", "Zr"]


def random_lattice(rng):
    """A well-conditioned triclinic cell."""
    while True:
        m = np.diag(rng.uniform(3.0, 9.0, 3)) + rng.uniform(-1.5, 1.5, (3, 3))
        if abs(np.linalg.det(m)) > 0.3 * np.prod(np.linalg.norm(m, axis=1)):
            return m


def random_sites(rng, n):
    return rng.uniform(0.0, 1.0, (n, 3)), [ELEMENTS[i] for i in rng.integers(0, len(ELEMENTS), n)]


def same_fractions(a, b, tol):
    d = np.asarray(a) - np.asarray(b)
    return np.abs(d - np.round(d)).max() < tol


@pytest.mark.parametrize("seed", range(4))
def test_ase_poscar(tmp_path, seed):
    rng = np.random.default_rng(seed)
    cell = random_lattice(rng)
    frac, symbols = random_sites(rng, 12)
    atoms = Atoms(symbols=symbols, scaled_positions=frac, cell=cell, pbc=True)
    for direct in (True, False):
        path = tmp_path / f"POSCAR_{direct}"
        ase_io.write(str(path), atoms, format="vasp", direct=direct, sort=True)
        back = ase_io.read(str(path), format="vasp")
        s = Structure.from_poscar(str(path))
        assert np.allclose(s.lattice_matrix, back.cell[:], atol=1e-9)
        assert [next(iter(d)) for d in s.species] == back.get_chemical_symbols()
        assert same_fractions(s.frac_coords, back.get_scaled_positions(wrap=False), 1e-7)


@pytest.mark.parametrize("seed", range(4))
def test_ase_extxyz(tmp_path, seed):
    rng = np.random.default_rng(100 + seed)
    cell = random_lattice(rng)
    frac, symbols = random_sites(rng, 20)
    atoms = Atoms(symbols=symbols, scaled_positions=frac, cell=cell, pbc=True)
    atoms.info["energy"] = -1.5
    atoms.arrays["charge"] = rng.normal(size=len(atoms))
    path = tmp_path / "frame.xyz"
    ase_io.write(str(path), atoms, format="extxyz")
    s = Structure.from_xyz(str(path))
    back = ase_io.read(str(path), format="extxyz")
    assert np.allclose(s.lattice_matrix, back.cell[:], atol=1e-12)
    assert [next(iter(d)) for d in s.species] == symbols
    # Positions are written with eight decimals.
    assert same_fractions(s.frac_coords, back.get_scaled_positions(wrap=False), 1e-12)
    assert same_fractions(s.frac_coords, frac, 1e-7)


@pytest.mark.parametrize("seed", range(4))
def test_ase_cif(tmp_path, seed):
    rng = np.random.default_rng(200 + seed)
    cell = random_lattice(rng)
    frac, symbols = random_sites(rng, 10)
    atoms = Atoms(symbols=symbols, scaled_positions=frac, cell=cell, pbc=True)
    path = tmp_path / "ase.cif"
    ase_io.write(str(path), atoms, format="cif")
    s = Structure.from_cif(str(path))
    # The cell goes through its six parameters, so compare lengths, angles and volume.
    m = np.array(s.lattice_matrix)
    assert np.allclose(np.linalg.norm(m, axis=1), atoms.cell.lengths(), rtol=1e-6)
    assert s.volume == pytest.approx(atoms.cell.volume, rel=1e-5)
    assert sorted(next(iter(d)) for d in s.species) == sorted(symbols)
    # Sites keep the file's order, which ASE writes in atom order.
    assert [next(iter(d)) for d in s.species] == symbols
    assert same_fractions(s.frac_coords, frac, 1e-5)


@pytest.mark.parametrize("seed", range(4))
def test_pymatgen_cif_with_partial_occupancies(tmp_path, seed):
    rng = random.Random(300 + seed)
    nrng = np.random.default_rng(300 + seed)
    lattice = pmg_core.Lattice(random_lattice(nrng))
    frac, _ = random_sites(nrng, 8)
    species = []
    for _ in range(len(frac)):
        a, b = rng.sample(ELEMENTS, 2)
        x = round(rng.uniform(0.1, 0.9), 3)
        kind = rng.randrange(3)
        species.append({a: 1.0} if kind == 0 else {a: x} if kind == 1 else {a: x, b: round(1 - x, 3)})
    structure = pmg_core.Structure(lattice, species, frac)
    path = tmp_path / "pmg.cif"
    CifWriter(structure).write_file(str(path))

    s = Structure.from_cif(str(path))
    m = np.array(s.lattice_matrix)
    assert np.allclose(np.linalg.norm(m, axis=1), lattice.abc, rtol=1e-6)
    assert s.volume == pytest.approx(lattice.volume, rel=1e-5)
    assert s.n_sites == len(structure)
    for site, got_frac, got_species in zip(structure, s.frac_coords, s.species):
        assert same_fractions(got_frac, site.frac_coords, 1e-5)
        expected = {el.symbol: occ for el, occ in site.species.items()}
        assert got_species == pytest.approx(expected)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        again = pmg_core.Structure.from_file(str(path))
    assert s.composition == pytest.approx({el.symbol: v for el, v in again.composition.items()})
