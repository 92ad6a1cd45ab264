"""Supercells: site order, coordinates, copied species, limits and argument errors."""

import re

import numpy as np
import pytest

from kestrel import Structure

CUBE = [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]
SKEW = [[3.0, 0.2, 0.0], [0.5, 4.0, 0.1], [0.3, 0.0, 5.0]]


def two_sites():
    return Structure(SKEW, [[0.1, 0.2, 0.3], [0.6, 0.7, 0.9]], [{"Fe": 0.5, "Ni": 0.5}, {"O": 1.0}])


def test_identity_copy(rocksalt):
    same = rocksalt.make_supercell(1, 1, 1)
    assert same is not rocksalt
    assert same.lattice_matrix == rocksalt.lattice_matrix
    assert same.frac_coords == rocksalt.frac_coords
    assert same.species == rocksalt.species


@pytest.mark.parametrize("counts", [(0, 1, 1), (1, 0, 1), (1, 1, 0), (0, 0, 0)])
def test_zero_dimension(counts):
    with pytest.raises(ValueError, match=r"^supercell dimensions must be at least 1$"):
        two_sites().make_supercell(*counts)


@pytest.mark.parametrize("counts", [(2, 1, 1), (1, 3, 1), (2, 3, 2), (3, 1, 4)])
def test_order_coordinates_and_lattice(counts):
    source = two_sites()
    na, nb, nc = counts
    result = source.make_supercell(*counts)
    expected = [
        [(x + i) / na, (y + j) / nb, (z + k) / nc]
        for i in range(na)
        for j in range(nb)
        for k in range(nc)
        for (x, y, z) in source.frac_coords
    ]
    # Bit-for-bit: each coordinate is one addition and one division.
    assert result.frac_coords == expected
    assert result.species == source.species * (na * nb * nc)
    assert result.lattice_matrix == [[v * n for v in row] for row, n in zip(SKEW, counts)]
    assert result.volume == pytest.approx(source.volume * na * nb * nc, rel=1e-12)
    assert not result.is_ordered


def test_two_sites_doubled_along_a():
    result = two_sites().make_supercell(2, 1, 1)
    assert result.frac_coords == [[0.05, 0.2, 0.3], [0.3, 0.7, 0.9], [0.55, 0.2, 0.3], [0.8, 0.7, 0.9]]


def test_quarter_and_unwrapped_images():
    quarter = Structure(CUBE, [[0.25, 0, 0]], [{"Si": 1}]).make_supercell(4, 1, 1)
    assert [c[0] for c in quarter.frac_coords] == [0.0625, 0.3125, 0.5625, 0.8125]
    outside = Structure(CUBE, [[1.2, -0.5, 0]], [{"Si": 1}]).make_supercell(2, 2, 1)
    assert outside.frac_coords == [[0.6, -0.25, 0.0], [0.6, 0.25, 0.0], [1.1, -0.25, 0.0], [1.1, 0.25, 0.0]]


def test_source_unchanged_and_keywords():
    source = two_sites()
    before = (source.frac_coords, source.species, source.lattice_matrix)
    result = source.make_supercell(nc=2, na=1, nb=np.uint8(3))
    assert result.n_sites == 12
    assert (source.frac_coords, source.species, source.lattice_matrix) == before


@pytest.mark.parametrize(
    "counts",
    [(10**7, 10**7, 10**7), (2**64 - 1, 2**64 - 1, 2), (2**32, 1, 1), (1290, 1290, 1291)],
)
def test_too_many_sites(counts):
    na, nb, nc = counts
    message = f"a {na}x{nb}x{nc} supercell of a 1-site structure would exceed the limit of 2147483647 sites"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        Structure(CUBE, [[0, 0, 0]], [{"Si": 1}]).make_supercell(*counts)


def test_more_memory_than_the_machine_has():
    # Under the site limit, but about 15 kB per site: terabytes in all.
    names = {f"Element{i:013d}": 0.001 for i in range(100)}
    source = Structure(CUBE, [[0, 0, 0]], [names])
    with pytest.raises(ValueError, match=r"^a 1000x1000x2000 supercell of 2000000000 sites needs more memory than"):
        source.make_supercell(1000, 1000, 2000)


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((1, 1), {}, TypeError, "Structure.make_supercell() missing 1 required positional argument: 'nc'"),
        ((1, 1, 1, 1), {}, TypeError, "Structure.make_supercell() takes 3 positional arguments but 4 were given"),
        ((1, 1, 1), {"nd": 1}, TypeError, "Structure.make_supercell() got an unexpected keyword argument 'nd'"),
        ((1.0, 1, 1), {}, TypeError, "argument 'na': 'float' object cannot be interpreted as an integer"),
        ((1, "2", 1), {}, TypeError, "argument 'nb': 'str' object cannot be interpreted as an integer"),
        ((1, 1, -1), {}, OverflowError, None),
        ((1, 1, 2**64), {}, OverflowError, None),
    ],
)
def test_bad_arguments(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        two_sites().make_supercell(*args, **kwargs)
    if message is not None:
        assert str(raised.value) == message
