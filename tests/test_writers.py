"""The writers write numbers as a person would, and files still read back to 1e-12."""

import math
import random

import numpy as np
import pytest

import kestrel
from kestrel import Structure, write_structure
from kestrel.io.numbers import plain_number


@pytest.mark.parametrize(
    "value, text",
    [
        (1.7610420971738941e-15, "0"),
        (-3e-15, "0"),
        (-0.0, "0"),
        (12.893999999999998, "12.894"),
        (119.99999999999999, "120"),
        (90.00000000000001, "90"),
        (3.52, "3.52"),
        (-4.1, "-4.1"),
        (0.25, "0.25"),
        (1 / 3, "0.33333333333333"),
        (2.5e-5, "2.5e-05"),
        (123456.78901234, "123456.78901234"),
        (6.02e23, "6.02e+23"),
        (float("nan"), "nan"),
    ],
)
def test_plain_numbers(value, text):
    assert plain_number(value) == text


def hexagonal(a=3.52, c=5.71):
    # Built as a program builds it: cos and sin of 120 degrees leave noise.
    gamma = math.radians(120)
    matrix = [[a, 0, 0], [a * math.cos(gamma), a * math.sin(gamma), 0], [0, 0, c]]
    return Structure(matrix, [[1 / 3, 2 / 3, 0.25], [2 / 3, 1 / 3, 0.75]], [{"Ti": 1.0}, {"Ti": 1.0}])


def test_a_cell_from_3_52_and_120_degrees_writes_3_52_and_120(tmp_path):
    s = hexagonal()
    assert s.lattice_matrix[1][0] != -1.76  # the noise is there
    write_structure(s, tmp_path / "out.cif")
    cif = (tmp_path / "out.cif").read_text()
    for line in (
        "_cell_length_a 3.52",
        "_cell_length_b 3.52",
        "_cell_length_c 5.71",
        "_cell_angle_alpha 90",
        "_cell_angle_beta 90",
        "_cell_angle_gamma 120",
    ):
        assert line in cif.splitlines()
    write_structure(s, tmp_path / "POSCAR")
    lattice = (tmp_path / "POSCAR").read_text().splitlines()[2:5]
    assert lattice[0].split() == ["3.52", "0", "0"]
    assert lattice[1].split()[0] == "-1.76" and lattice[1].split()[2] == "0"
    write_structure(s, tmp_path / "out.xyz")
    header = (tmp_path / "out.xyz").read_text().splitlines()[1]
    assert header.startswith('Lattice="3.52 0 0 -1.76 ')


def random_cell(seed):
    rng = random.Random(seed)
    matrix = [[rng.uniform(-2, 2) + (rng.uniform(3, 12) if i == j else 0.0) for j in range(3)] for i in range(3)]
    frac = [[rng.uniform(0, 1) for _ in range(3)] for _ in range(9)]
    return Structure(matrix, frac, [{rng.choice(["Fe", "Ni", "O"]): 1.0} for _ in frac])


@pytest.mark.parametrize("name", ["POSCAR", "out.xyz", "out.cif"])
@pytest.mark.parametrize("seed", range(4))
def test_round_trips_stay_exact_to_1e_12(tmp_path, name, seed):
    s = hexagonal() if seed == 0 else random_cell(seed)
    write_structure(s, tmp_path / name)
    back = kestrel.read_structure(tmp_path / name)
    # POSCAR groups the sites by element, in order of first appearance.
    first = {}
    for i, site in enumerate(s.species):
        first.setdefault(next(iter(site)), i)
    order = range(s.n_sites)
    if name == "POSCAR":
        order = sorted(order, key=lambda i: first[next(iter(s.species[i]))])
    assert back.species == [s.species[i] for i in order]
    np.testing.assert_allclose(back.frac_coords, [s.frac_coords[i] for i in order], rtol=0, atol=1e-12)
    if name != "out.cif":  # a CIF keeps the cell's shape, not its orientation
        np.testing.assert_allclose(back.lattice_matrix, s.lattice_matrix, rtol=0, atol=1e-12)
    assert back.volume == pytest.approx(s.volume, rel=1e-12)
