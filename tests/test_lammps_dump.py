"""LAMMPS text dumps: the reader against ASE's and MDAnalysis's on the same files,
the frame selection and error rules it shares with the XYZ reader, and the other
ways a trajectory comes in (named pipes, an MDAnalysis Universe, ASE Atoms)."""

import os
import threading
import warnings

import numpy as np
import pytest

from kestrel import Structure, read_trajectory, read_xyz_trajectory, trajectory_rdf
from kestrel.trajectory import trajectory_format

TYPES = {1: "Na", 2: "Cl"}


def random_frames(n_frames, n_atoms=24, tilted=False, seed=3):
    """(rows, origin, types, cartesian positions) of frames of random boxes."""
    rng = np.random.default_rng(seed)
    frames = []
    types = rng.integers(1, 3, n_atoms)  # an atom keeps its type from frame to frame
    for _ in range(n_frames):
        lengths = rng.uniform(6.0, 9.0, 3)
        xy, xz, yz = rng.uniform(-1.5, 1.5, 3) if tilted else (0.0, 0.0, 0.0)
        rows = np.array([[lengths[0], 0, 0], [xy, lengths[1], 0], [xz, yz, lengths[2]]])
        origin = rng.uniform(-2.0, 2.0, 3)
        frac = rng.uniform(-0.2, 1.2, (n_atoms, 3))
        frames.append((rows, origin, types, origin + frac @ rows))
    return frames


def dump_text(frames, columns=("id", "type", "x", "y", "z"), shuffle=False, seed=5):
    """A LAMMPS text dump of the frames with the given columns, as LAMMPS writes it."""
    rng = np.random.default_rng(seed)
    out = []
    for step, (rows, origin, types, cart) in enumerate(frames):
        (a, _, _), (xy, b, _), (xz, yz, c) = rows.tolist()
        lo = origin
        hi = origin + np.array([a, b, c])
        tilted = any(abs(t) > 0 for t in (xy, xz, yz))
        out += ["ITEM: TIMESTEP", str(100 * step), "ITEM: NUMBER OF ATOMS", str(len(types))]
        if tilted:
            # Bounds enclose the whole tilted box.
            xlo_b = float(lo[0]) + min(0.0, xy, xz, xy + xz)
            xhi_b = float(hi[0]) + max(0.0, xy, xz, xy + xz)
            ylo_b, yhi_b = float(lo[1]) + min(0.0, yz), float(hi[1]) + max(0.0, yz)
            out += [
                "ITEM: BOX BOUNDS xy xz yz pp pp pp",
                f"{xlo_b!r} {xhi_b!r} {xy!r}",
                f"{ylo_b!r} {yhi_b!r} {xz!r}",
                f"{float(lo[2])!r} {float(hi[2])!r} {yz!r}",
            ]
        else:
            out += ["ITEM: BOX BOUNDS pp pp pp"] + [f"{float(lo[k])!r} {float(hi[k])!r}" for k in range(3)]
        out.append("ITEM: ATOMS " + " ".join(columns))
        frac = (cart - origin) @ np.linalg.inv(rows)
        wrapped = np.floor(frac)
        order = rng.permutation(len(types)) if shuffle else range(len(types))
        for i in order:
            values = {
                "id": str(i + 1),
                "type": str(types[i]),
                "element": TYPES[types[i]],
                "q": "0.5",
            }
            for k, axis in enumerate("xyz"):
                values[axis] = repr(float(cart[i, k] - wrapped[i] @ rows[:, k]))
                values[axis + "u"] = repr(float(cart[i, k]))
                values[axis + "s"] = repr(float(frac[i, k] - wrapped[i, k]))
            out.append(" ".join(values[c] for c in columns))
    return "\n".join(out) + "\n"


LAYOUTS = [
    ("id", "type", "x", "y", "z"),
    ("type", "id", "xs", "ys", "zs"),
    ("id", "element", "q", "xu", "yu", "zu"),
    ("z", "x", "type", "y", "id"),
]


def wrapped_frac(structure):
    frac = np.array(structure.frac_coords)
    return frac - np.floor(frac + 1e-12)


@pytest.mark.parametrize("tilted", [False, True])
@pytest.mark.parametrize("columns", LAYOUTS)
def test_dumps_read_as_mdanalysis_and_ase_read_them(tmp_path, columns, tilted):
    import ase.io
    import MDAnalysis

    frames = random_frames(3, tilted=tilted)
    path = tmp_path / "run.lammpstrj"
    path.write_text(dump_text(frames, columns, shuffle=True))
    structures, indices, frames_read = read_trajectory(path, types=TYPES)
    assert indices == [0, 1, 2] and frames_read == 3

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        universe = MDAnalysis.Universe(str(path), format="LAMMPSDUMP")
        for structure, ts in zip(structures, universe.trajectory):
            np.testing.assert_allclose(structure.lattice_matrix, ts.triclinic_dimensions, atol=1e-4)
            if not {"xs", "xu"} & set(columns):  # MDAnalysis reads those with a convention of its own
                np.testing.assert_allclose(structure.cart_coords, ts.positions, atol=1e-3)
        for k, structure in enumerate(structures):
            atoms = ase.io.read(str(path), index=k, format="lammps-dump-text")
            np.testing.assert_allclose(structure.lattice_matrix, atoms.cell.array, atol=1e-9)
            # ASE measures scaled coordinates from the origin, the others from the box's corner.
            shift = 0.0 if "xs" in columns else atoms.get_celldisp()
            ase_frac = np.linalg.solve(atoms.cell.array.T, (atoms.positions - shift).T).T
            ours = wrapped_frac(structure)
            diff = (ours - (ase_frac - np.floor(ase_frac + 1e-12)) + 0.5) % 1.0 - 0.5
            np.testing.assert_allclose(diff, 0.0, atol=1e-9)

    # Both readers sort atoms by id: the species follow the types written.
    rows, origin, types, cart = frames[0]
    assert [next(iter(s)) for s in structures[0].species] == [TYPES[t] for t in types]


def test_dump_rdf_equals_the_rdf_of_the_same_structure(tmp_path):
    frames = random_frames(2, n_atoms=40, tilted=True)
    path = tmp_path / "dump.melt"
    path.write_text(dump_text(frames))
    structures, _, _ = read_trajectory(path, types=TYPES)
    rows, origin, types, cart = frames[1]
    direct = Structure.from_arrays(rows, cart - origin, [TYPES[t] for t in types], cartesian=True)
    for got, want in zip(structures[1].prdf(5.0, 0.1, n_threads=1), direct.prdf(5.0, 0.1, n_threads=1)):
        if isinstance(want, dict):
            assert got.keys() == want.keys()
            for key in want:
                np.testing.assert_allclose(got[key], want[key], atol=1e-12)
        else:
            np.testing.assert_allclose(got, want, atol=1e-12)


@pytest.mark.parametrize(
    "name, fmt",
    [
        ("run.lammpstrj", "lammps-dump"),
        ("a/b/x.dump", "lammps-dump"),
        ("dump.nacl", "lammps-dump"),
        ("DUMP.final", "lammps-dump"),
        ("md.xyz", "xyz"),
        ("dumpling.xyz", "xyz"),
        ("traj.extxyz", "xyz"),
    ],
)
def test_format_from_the_file_name(name, fmt):
    assert trajectory_format(name) == fmt


@pytest.mark.parametrize(
    "selection, kept, frames_read",
    [
        (dict(), [0, 1, 2, 3, 4, 5], 6),
        (dict(start=1, every=2), [1, 3, 5], 6),
        (dict(start=1, every=2, stop=4), [1, 3], 4),
    ],
)
def test_dump_selection_follows_the_xyz_rules(tmp_path, selection, kept, frames_read):
    path = tmp_path / "sel.lammpstrj"
    path.write_text(dump_text(random_frames(6, n_atoms=5)))
    structures, indices, read = read_trajectory(path, types=TYPES, **selection)
    assert indices == kept and read == frames_read and len(structures) == len(kept)


HEADER = "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n0 5\n0 5\n0 5\n"


@pytest.mark.parametrize(
    "text, types, message",
    [
        (
            HEADER + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 1 1 1 1\n",
            None,
            'frame 0 gives atom types but no elements, so pass types={1: "Na", 2: "Cl"}, an element for each type',
        ),
        (
            HEADER + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 3 1 1 1\n",
            TYPES,
            "frame 0, atom line 2: type 3 is not in types",
        ),
        (HEADER + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 1 1 1\n", TYPES, "frame 0, atom line 2 is incomplete"),
        (HEADER + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 1 1 x 1\n", TYPES, "expected a number, found 'x'"),
        (HEADER + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n", TYPES, "frame 0 ends after 1 of 2 atoms"),
        (
            HEADER + "ITEM: ATOMS id type vx vy vz\n1 1 0 0 0\n2 1 1 1 1\n",
            TYPES,
            "frame 0: ITEM: ATOMS has no x y z, xu yu zu, xs ys zs or xsu ysu zsu columns",
        ),
        (
            HEADER + "ITEM: ATOMS id x y z\n1 0 0 0\n2 1 1 1\n",
            TYPES,
            "frame 0: ITEM: ATOMS has no element or type column",
        ),
        (
            HEADER.replace("0 5\n0 5\n0 5", "0 5\n0\n0 5") + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 1 1 1 1\n",
            TYPES,
            "frame 0: cannot read the box bounds '0'",
        ),
        (
            HEADER.replace("0 5\n0 5\n0 5", "0 5\n0 0\n0 5") + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 1 1 1 1\n",
            TYPES,
            "cell matrix is singular (zero volume)",
        ),
        (
            "ITEM: TIMESTEP\n0\nITEM: ATOMS id type x y z\n",
            TYPES,
            "frame 0 has no ITEM: NUMBER OF ATOMS before its atoms",
        ),
        (
            "ITEM: NUMBER OF ATOMS\n1\nITEM: ATOMS id type x y z\n1 1 0 0 0\n",
            TYPES,
            "frame 0 has no ITEM: BOX BOUNDS before its atoms",
        ),
        ("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\nmany\n", TYPES, "frame 0: expected an atom count, found 'many'"),
        ("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n", TYPES, "frame 0 ends inside its ITEM: NUMBER OF ATOMS"),
        ("ITEM: TIMESTEP\n0\n", TYPES, "frame 0 ends before its ITEM: ATOMS line"),
        ("1 1 0 0 0\n", TYPES, "frame 0: expected an ITEM: line, found '1 1 0 0 0'"),
        ("\n\n", TYPES, "no frames found in the file"),
    ],
)
def test_dump_errors(tmp_path, text, types, message):
    path = tmp_path / "bad.lammpstrj"
    path.write_text(text)
    with pytest.raises(ValueError) as info:
        read_trajectory(path, types=types)
    # The message names the file first.
    assert str(info.value) == f"{path}: {message}"


def test_errors_in_frames_that_are_not_kept_are_those_of_the_layout(tmp_path):
    frame = HEADER + "ITEM: ATOMS id type x y z\n1 1 0 0 0\n2 9 1 1 1\n"
    good = HEADER + "ITEM: ATOMS id element x y z\n1 Na 0 0 0\n2 Cl 1 1 1\n"
    path = tmp_path / "dump.mixed"
    path.write_text(frame + good + frame)
    structures, indices, read = read_trajectory(path, start=1, every=5)
    assert indices == [1] and read == 3 and structures[0].species == [{"Na": 1.0}, {"Cl": 1.0}]
    path.write_text(frame + good + frame[:-10])
    with pytest.raises(ValueError, match="frame 2 ends after 1 of 2 atoms$"):
        read_trajectory(path, start=1, every=5)


def test_header_items_lammps_may_add_are_passed_over(tmp_path):
    text = "ITEM: UNITS\nmetal\nITEM: TIME\n0.5\n" + HEADER + "ITEM: ATOMS element xs ys zs\nNa 0 0 0\nCl 0.5 0.5 0.5\n"
    path = tmp_path / "units.dump"
    path.write_text(text)
    (structure,), _, _ = read_trajectory(path)
    assert structure.frac_coords == [[0, 0, 0], [0.5, 0.5, 0.5]]


def test_general_triclinic_box_written_as_vectors_and_origin(tmp_path):
    text = (
        "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS abc origin pp pp pp\n"
        "5 0 0 1\n1 6 0 2\n0 1 7 3\nITEM: ATOMS id element x y z\n1 Na 1 2 3\n"
    )
    path = tmp_path / "general.lammpstrj"
    path.write_text(text)
    (structure,), _, _ = read_trajectory(path)
    assert structure.lattice_matrix == [[5, 0, 0], [1, 6, 0], [0, 1, 7]]
    np.testing.assert_allclose(structure.frac_coords, [[0, 0, 0]], atol=1e-15)


def test_types_may_be_named_by_str_and_elements_win_over_types(tmp_path):
    path = tmp_path / "both.lammpstrj"
    path.write_text(HEADER + "ITEM: ATOMS id type element x y z\n1 1 K 0 0 0\n2 2 Br 1 1 1\n")
    (structure,), _, _ = read_trajectory(path, types={"1": "Na", "2": "Cl"})
    assert structure.species == [{"K": 1.0}, {"Br": 1.0}]
    with pytest.raises(TypeError, match="types"):
        read_trajectory(path, types=[1, 2])


@pytest.mark.parametrize(
    ("column", "values", "types"),
    [
        # Types of one character and longer ones, alternating: each line gets its own element.
        ("type", ["10", "1", "10", "2", "10", "1", "1", "10", "ab", "2"], {1: "Na", 2: "Cl", 10: "K", "ab": "Br"}),
        ("element", ["K", "Na", "K", "Cl", "K", "Na", "Na", "K", "Br", "Cl"], {}),
    ],
)
@pytest.mark.parametrize("ids", ["in order", "shuffled", "gaps"])
def test_each_atom_keeps_its_own_element_whatever_the_order_of_types_and_ids(tmp_path, column, values, types, ids):
    names = {"10": "K", "1": "Na", "2": "Cl", "ab": "Br"}
    n = len(values)
    rng = np.random.default_rng(9)
    id_of = {"in order": np.arange(1, n + 1), "shuffled": rng.permutation(n) + 1, "gaps": rng.permutation(n) * 7 + 3}[
        ids
    ]
    lines = [f"{id_of[i]} {values[i]} {0.5 * i!r} 0.25 {-0.125 * i!r}" for i in range(n)]
    path = tmp_path / "mixed.lammpstrj"
    header = HEADER.replace("NUMBER OF ATOMS\n2\n", f"NUMBER OF ATOMS\n{n}\n")
    path.write_text(header + f"ITEM: ATOMS id {column} x y z\n" + "\n".join(lines) + "\n")
    (structure,), _, _ = read_trajectory(path, types=types or None)
    order = np.argsort(id_of, kind="stable")
    expected = [{names.get(values[i], values[i]): 1.0} for i in order]
    assert structure.species == expected
    np.testing.assert_allclose(np.array(structure.cart_coords)[:, 0], 0.5 * order)


# ---- pipes, MDAnalysis and ASE as trajectories -------------------------------


def xyz_text(frames):
    out = []
    for rows, origin, types, cart in frames:
        lattice = " ".join(repr(float(v)) for v in rows.ravel())
        out += [str(len(types)), f'Lattice="{lattice}" Properties=species:S:1:pos:R:3']
        out += [f"{TYPES[t]} {x!r} {y!r} {z!r}" for t, (x, y, z) in zip(types, (cart - origin).tolist())]
    return "\n".join(out) + "\n"


def assert_same_result(a, b, exact=True):
    assert a.frame_indices == b.frame_indices and a.frames_read == b.frames_read
    compare = np.testing.assert_array_equal if exact else lambda x, y: np.testing.assert_allclose(x, y, atol=1e-9)
    compare(a.mean_total, b.mean_total)
    compare(a.std_total, b.std_total)
    assert list(a.mean_partials) == list(b.mean_partials)
    for pair in a.mean_partials:
        compare(a.mean_partials[pair], b.mean_partials[pair])


@pytest.mark.parametrize("name, text", [("pipe.xyz", xyz_text), ("dump.pipe", dump_text)])
def test_trajectory_rdf_reads_a_named_pipe_to_its_end(tmp_path, monkeypatch, name, text):
    import kestrel.trajectory

    # Chunks of two frames: the old reader reopened the file for each one,
    # which a pipe cannot do.
    monkeypatch.setattr(kestrel.trajectory, "CHUNK_FRAMES", 2)
    content = text(random_frames(7, n_atoms=12))
    (tmp_path / "regular").mkdir()
    regular = tmp_path / "regular" / name
    regular.write_text(content)
    fifo = tmp_path / name
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_text(content))
    writer.start()
    calls = []
    from_pipe = trajectory_rdf(fifo, every=2, cutoff=4.0, types=TYPES, progress=lambda d, t: calls.append((d, t)))
    writer.join()
    assert calls == [(k, 0) for k in range(1, 5)]  # a pipe's length is not known beforehand
    assert_same_result(from_pipe, trajectory_rdf(str(regular), every=2, cutoff=4.0, types=TYPES))


def test_mdanalysis_universe_as_a_trajectory(tmp_path):
    import MDAnalysis

    path = tmp_path / "u.lammpstrj"
    path.write_text(dump_text(random_frames(5, n_atoms=16, tilted=True), ("id", "type", "x", "y", "z")))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        universe = MDAnalysis.Universe(str(path), format="LAMMPSDUMP")
        from_universe = trajectory_rdf(universe, start=1, every=2, cutoff=4.0, types=TYPES)
    # MDAnalysis keeps positions in single precision.
    assert_same_result(from_universe, trajectory_rdf(path, start=1, every=2, cutoff=4.0, types=TYPES), exact=False)


@pytest.mark.parametrize("as_generator", [False, True])
def test_ase_atoms_as_a_trajectory(tmp_path, as_generator):
    import ase.io

    path = tmp_path / "md.xyz"
    path.write_text(xyz_text(random_frames(6, n_atoms=10, tilted=True)))
    frames = ase.io.read(str(path), index=":")
    calls = []
    source = (f for f in frames) if as_generator else frames
    result = trajectory_rdf(source, stop=5, every=2, cutoff=4.0, progress=lambda d, t: calls.append((d, t)))
    assert calls == [(1, 0 if as_generator else 3), (2, 0 if as_generator else 3), (3, 0 if as_generator else 3)]
    assert_same_result(result, trajectory_rdf(path, stop=5, every=2, cutoff=4.0), exact=False)
    reference, _, _ = read_xyz_trajectory(str(path), stop=1)
    np.testing.assert_allclose(
        Structure.from_arrays(frames[0].cell.array, frames[0].positions, frames[0].numbers, cartesian=True).frac_coords,
        reference[0].frac_coords,
        atol=1e-12,
    )


@pytest.mark.parametrize(
    "frames, kw, message",
    [
        ([], {}, "the trajectory has no frames"),
        (None, dict(start=9), "the trajectory has 3 frame(s) but none matched start/every/stop"),
        (None, dict(every=0), "every must be at least 1"),
    ],
)
def test_iterables_fail_as_files_do(frames, kw, message):
    import ase

    if frames is None:
        frames = [ase.Atoms("Cu", positions=[[0, 0, 0]], cell=[3, 3, 3], pbc=True)] * 3
    with pytest.raises(ValueError) as info:
        trajectory_rdf(frames, cutoff=2.0, **kw)
    assert str(info.value) == message


def test_atoms_without_a_cell_take_the_cell_argument():
    import ase

    frames = [ase.Atoms("Cu2", positions=[[0, 0, 0], [1.5, 1.5, 0]])]
    with pytest.raises(ValueError, match="^frame 0 has no cell and no cell was given"):
        trajectory_rdf(frames, cutoff=2.0)
    result = trajectory_rdf(frames, cutoff=2.0, cell=[[3, 0, 0], [0, 3, 0], [0, 0, 3]])
    assert result.mean_volume == pytest.approx(27.0)


def test_total_only_matches_the_total_of_the_partials_run(tmp_path):
    path = tmp_path / "t.xyz"
    path.write_text(xyz_text(random_frames(4, n_atoms=10)))
    both = trajectory_rdf(path, cutoff=4.0)
    total = trajectory_rdf(path, cutoff=4.0, partials=False)
    np.testing.assert_array_equal(both.mean_total, total.mean_total)
    assert total.mean_partials == {}


def test_kestrel_traj_reads_a_dump(tmp_path):
    from conftest import EXAMPLES
    from test_cli import run

    result = run("traj", EXAMPLES / "NaCl_md.lammpstrj", "--types", "1=Na,2=Cl", "--cutoff", 5, "--every", 2)
    assert "read 6 frames, kept 3 (0 to 4)" in result.stdout
    bad = run("traj", EXAMPLES / "NaCl_md.lammpstrj", "--types", "1:Na", check_exit=None)
    assert bad.returncode != 0 and "--types needs TYPE=ELEMENT pairs like 1=Na,2=Cl, got '1:Na'" in bad.stderr
    missing = run("traj", EXAMPLES / "NaCl_md.lammpstrj", check_exit=None)
    assert "gives atom types but no elements" in missing.stderr


def test_progress_on_a_dump_counts_its_kept_frames_first(tmp_path):
    path = tmp_path / "count.lammpstrj"
    path.write_text(dump_text(random_frames(7, n_atoms=6)))
    calls = []
    result = trajectory_rdf(path, start=1, every=3, cutoff=3.0, types=TYPES, progress=lambda d, t: calls.append((d, t)))
    assert calls == [(1, 2), (2, 2)] and result.frame_indices == [1, 4] and result.frames_read == 7
