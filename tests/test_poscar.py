"""POSCAR / CONTCAR reading through Structure.from_poscar and from_str."""

import os

import pytest

from kestrel import Structure


def poscar(
    comment="Fe O",
    scale="1.0",
    lattice=("4 0 0", "0 4 0", "0 0 4"),
    species="Fe O",
    counts="2 3",
    mode="Direct",
    coords=None,
    selective=None,
):
    coords = coords if coords is not None else ["0 0 0", "0.5 0.5 0", "0 0.5 0.5", "0.5 0 0.5", "0.25 0.25 0.25"]
    lines = [comment, scale, *lattice]
    if species is not None:
        lines.append(species)
    lines.append(counts)
    if selective is not None:
        lines.append(selective)
    lines.append(mode)
    lines.extend(coords)
    return "\n".join(lines) + "\n"


def read(text):
    return Structure.from_str(text, "poscar")


def test_vasp5_reads_species_in_count_order():
    s = read(poscar())
    assert s.n_sites == 5
    assert s.species == [{"Fe": 1.0}] * 2 + [{"O": 1.0}] * 3
    assert s.frac_coords[4] == [0.25, 0.25, 0.25]
    assert s.lattice_matrix == [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]


@pytest.mark.parametrize("comment", ["Fe O", "Fe O bulk relaxed"])
def test_vasp4_takes_species_from_the_comment_line(comment):
    s = read(poscar(comment=comment, species=None))
    assert s.species == read(poscar()).species


def test_vasp4_with_too_few_names_fails():
    with pytest.raises(ValueError) as info:
        read(poscar(comment="Fe", species=None))
    assert str(info.value) == (
        "POSCAR does not name one species per atom count (VASP 4 files need the species on the comment line)"
    )


def test_zero_counts_give_no_sites_for_that_species():
    s = read(poscar(species="A B C", counts="2 0 1", coords=["0 0 0", "0.5 0 0", "0 0.5 0"]))
    assert [list(d) for d in s.species] == [["A"], ["A"], ["C"]]


def test_negative_scale_is_the_volume():
    s = read(poscar(scale="-27.0", lattice=("2 0 0", "0 2 0", "0 0 2")))
    assert sum(s.lattice_matrix, []) == pytest.approx([3, 0, 0, 0, 3, 0, 0, 0, 3], rel=1e-14)
    assert s.volume == pytest.approx(27.0)


def test_scale_uses_only_the_first_number():
    s = read(poscar(scale="2.0 2.0 2.0"))
    assert s.lattice_matrix[0][0] == 8.0


@pytest.mark.parametrize("selective", ["Selective dynamics", "selective", "  s"])
@pytest.mark.parametrize("mode", ["Cartesian", "cart", "K", "kartesisch"])
def test_selective_line_is_skipped_and_cartesian_is_scaled(selective, mode):
    text = poscar(
        scale="2",
        lattice=("2 0 0", "0 2 0", "0 0 2"),
        species="Si",
        counts="1",
        selective=selective,
        mode=mode,
        coords=["1 1 1 T T F"],
    )
    assert read(text).frac_coords == [[0.5, 0.5, 0.5]]


@pytest.mark.parametrize("mode", ["Direct", "direct", "Fractional", ""])
def test_fractional_modes(mode):
    text = poscar(species="Si", counts="1", mode=mode, coords=["0.1 0.2 0.3"])
    assert read(text).frac_coords == [[0.1, 0.2, 0.3]]


@pytest.mark.parametrize("name, element", [("fe", "Fe"), ("FE", "F"), ("Ca_sv", "Ca"), ("Mg2+", "Mg"), ("*", "*")])
def test_species_names_become_element_symbols(name, element):
    # 'FE' keeps one letter: an upper-case second letter is not part of the symbol.
    s = read(poscar(comment="x", species=name, counts="1", coords=["0 0 0"]))
    assert s.elements == [element]


def test_crlf_and_unicode_spaces_are_whitespace():
    text = poscar(species="Si", counts="1", coords=["0.1\u00a00.2\u30000.3"]).replace("\n", "\r\n")
    assert read(text).frac_coords == [[0.1, 0.2, 0.3]]


@pytest.mark.parametrize("token, value", [("1.5e-1", 0.15), ("+.5", 0.5), ("5.", 5.0), ("1e-400", 0.0)])
def test_number_grammar(token, value):
    s = read(poscar(species="Si", counts="1", coords=[f"{token} 0 0"]))
    assert s.frac_coords[0][0] == value


def test_numbers_are_correctly_rounded():
    # The nearest double of each literal, exactly as Python's own parser gives it.
    literals = ["0.1", "0.30000000000000004", "2.2250738585072011e-308", "0.1000000000000000055511151231257827"]
    s = read(poscar(species="Si", counts="1", coords=[" ".join(literals[:3])]))
    assert s.frac_coords[0] == [float(x) for x in literals[:3]]
    s = read(poscar(species="Si", counts="1", coords=[f"{literals[3]} 0 0"]))
    assert s.frac_coords[0][0] == float(literals[3])


def test_nan_and_infinity_are_numbers_but_not_coordinates():
    with pytest.raises(ValueError) as info:
        read(poscar(species="Si", counts="1", coords=["NaN -INF Infinity"]))
    assert str(info.value).endswith("coordinates must be finite; site 1 has (nan, -inf, inf)")


@pytest.mark.parametrize("token", ["1.5D3", "0x10", "1,5", "1.2(3)", "1e", "-", "."])
def test_bad_numbers(token):
    with pytest.raises(ValueError, match=r"^expected a number, found '" + __import__("re").escape(token) + "'$"):
        read(poscar(species="Si", counts="1", coords=[f"{token} 0 0"]))


@pytest.mark.parametrize(
    "text, message",
    [
        ("a\nb\nc\nd\ne\nf\ng\n", "POSCAR is too short to contain a structure"),
        (poscar(scale=""), "expected a number, found ''"),
        (poscar(lattice=("4 0 0", "0 4", "0 0 4")), "lattice vector 2 is incomplete"),
        (poscar(lattice=("4 0 0", "0 4 x", "0 0 4")), "expected a number, found 'x'"),
        (poscar(scale="0"), "cell matrix is singular (zero volume)"),
        (poscar(scale="-5", lattice=("1 0 0", "2 0 0", "0 0 1")), "cell matrix is singular (zero volume)"),
        (poscar(counts="2 x"), "bad atom count 'x'"),
        (poscar(species="Fe", counts="-1"), "bad atom count '-1'"),
        (poscar(species="Fe", counts="+0"), "structure has no sites"),
        (poscar(species="Si", counts="1", coords=[], mode="Selective"), "POSCAR ends before the coordinates"),
        (poscar(species="Si", counts="3", coords=["0 0 0", "0 0 0"]), "POSCAR ends after 2 of 3 coordinates"),
        (poscar(species="Si", counts="2", coords=["0 0 0", "0 0"]), "coordinate line 2 is incomplete"),
    ],
)
def test_messages(text, message):
    with pytest.raises(ValueError) as info:
        read(text)
    assert str(info.value) == message


def test_huge_counts_fail_at_once_without_reserving_memory():
    with pytest.raises(ValueError, match=r"^POSCAR ends after 2 of 1000000000000000 coordinates$"):
        read(poscar(species="Si", counts="1000000000000000", coords=["0 0 0", "0 0 0"]))
    # Counts whose sum passes 2^64 are reported exactly.
    big = str(2**64 - 1)
    with pytest.raises(ValueError, match=r"^POSCAR ends after 1 of 36893488147419103230 coordinates$"):
        read(poscar(species="A B", counts=f"{big} {big}", coords=["0 0 0"]))


def test_trailing_velocity_block_is_ignored():
    text = poscar(species="Si", counts="1", coords=["0 0 0", "", "0.1 0.2 0.3", "garbage"])
    assert read(text).n_sites == 1


def test_file_errors_are_os_errors(tmp_path):
    missing = tmp_path / "nope" / "POSCAR"
    with pytest.raises(FileNotFoundError) as missing_info:
        Structure.from_poscar(str(missing))
    assert (missing_info.value.errno, missing_info.value.filename) == (2, str(missing))
    bad = tmp_path / "POSCAR"
    bad.write_bytes(poscar().encode() + b"\xff\n")
    with pytest.raises(OSError) as info:
        Structure.from_poscar(str(bad))
    assert str(info.value) == f"could not read {bad}: stream did not contain valid UTF-8"
    with pytest.raises(IsADirectoryError, match=r"^\[Errno 21\] Is a directory: "):
        Structure.from_poscar(str(tmp_path))


def test_file_and_text_agree(tmp_path):
    path = tmp_path / "CONTCAR"
    path.write_text(poscar())
    assert Structure.from_poscar(str(path)).frac_coords == read(poscar()).frac_coords
    with pytest.raises(ValueError, match="too short"):
        path.write_text("x\n")
        Structure.from_poscar(str(path))


def test_path_is_str_bytes_or_path_like(tmp_path):
    (tmp_path / "POSCAR").write_text(poscar())
    by_str = Structure.from_poscar(str(tmp_path / "POSCAR"))
    assert Structure.from_poscar(tmp_path / "POSCAR") == by_str
    assert Structure.from_poscar(os.fsencode(tmp_path / "POSCAR")) == by_str
    with pytest.raises(TypeError, match=r"^argument 'path': expected str, bytes or os.PathLike object, not list$"):
        Structure.from_poscar([])
    with pytest.raises(TypeError, match=r"^Structure.from_poscar\(\) missing 1 required positional argument: 'path'$"):
        Structure.from_poscar()


def test_nul_bytes_are_ordinary_characters():
    with pytest.raises(ValueError) as info:
        read(poscar(species="Si", counts="1", coords=["0\x00 0 0"]))
    assert str(info.value) == "expected a number, found '0\x00'"


def test_random_literals_read_as_the_nearest_double():
    import random

    rng = random.Random(5)
    forms = [
        lambda: f"{rng.random():.{rng.randrange(1, 18)}f}",
        lambda: f"{rng.uniform(-1e6, 1e6):.{rng.randrange(0, 12)}f}",
        lambda: f"{rng.randrange(10 ** rng.randrange(1, 19))}e{rng.randrange(-30, 30)}",
        lambda: f"{rng.random():.17e}",
        lambda: "0." + "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 25))),
        lambda: f"{rng.randrange(10**16)}.{rng.randrange(10**3)}E-{rng.randrange(0, 25)}",
        lambda: f"{rng.randrange(1, 10)}.{rng.randrange(10**20)}e{rng.randrange(-320, 308)}",
    ]
    literals = [rng.choice(forms)() for _ in range(30000)]
    rows = [" ".join(literals[i : i + 3]) for i in range(0, len(literals), 3)]
    s = read(poscar(species="H", counts=str(len(rows)), coords=rows))
    got = [v for row in s.frac_coords for v in row]
    assert got == [float(x) for x in literals]
