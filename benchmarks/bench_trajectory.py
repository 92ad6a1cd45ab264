"""Trajectories: reading selected frames against ASE, and frame-averaged RDFs
end to end against ASE + freud and MDAnalysis.

Reading: writes a 2,000-frame trajectory of 1,000 atoms (about 108 MB, in the
layout ase.io.write gives: Lattice, Properties and pbc fields) and a file ten
times as long, then times read_xyz_trajectory and ase.io.read for every
frame, every 10th and every 100th. Each read runs in a fresh subprocess so
that its peak resident memory (VmHWM, which sees C++ allocations too) belongs
to it alone.

End to end: 200 frames of 4,000 liquid-like atoms (uniformly random, 0.05
atoms/Å³, each frame with its own positions) written by ASE; read every
frame, compute its RDF up to 6 Å in bins of 0.05 Å, average. kestrel's
trajectory_rdf (partial and total curves, mean and spread) against
ase.io.iread + freud.density.RDF per frame (total curve only) and against
MDAnalysis' XYZ reader + InterRDF (total curve only; its XYZ reader ignores
the Lattice field, so the fixed box is given to it). Best of a few runs.

Temporary files are removed at the end.

LAMMPS: a 50-frame dump of 4,000 atoms (shuffled ids, types) read whole by
read_trajectory, ase.io.read and MDAnalysis, and kestrel's XYZ reader on the
same frames for the rate per byte.

The end-to-end run also times the plain loop (read_xyz_trajectory, then prdf
or total_rdf on each frame) against trajectory_rdf asking for the same curves.

Run: PYTHONPATH=build/dev:python python3 benchmarks/bench_trajectory.py [reading|end-to-end|lammps]
"""

import io
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

N_FRAMES = 2000
N_ATOMS = 1000
DISTINCT = 25  # distinct frames written by ASE; the file cycles through them
LONG_FACTOR = 10

READ_SCRIPT = r"""
import json, sys, time
def vm(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key):
                return int(line.split()[1]) / 1024.0
tool, path, every, start = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
if tool == "kestrel":
    from kestrel import read_xyz_trajectory
    before = vm("VmRSS:")
    t0 = time.perf_counter()
    structures, indices, frames_read = read_xyz_trajectory(path, every=every, start=start)
    elapsed = time.perf_counter() - t0
    kept = len(structures)
else:
    import ase.io
    before = vm("VmRSS:")
    t0 = time.perf_counter()
    images = ase.io.read(path, index=f"{start}::{every}", format="extxyz")
    elapsed = time.perf_counter() - t0
    kept = len(images)
print(json.dumps({"seconds": elapsed, "kept": kept, "rss_before_mb": before, "peak_mb": vm("VmHWM:")}))
"""


def ase_frames():
    """A few frames as ase.io.write writes them, each with its own cell."""
    import ase.io
    from ase.build import bulk

    base = bulk("Cu", "fcc", a=3.6, cubic=True).repeat((5, 5, 10))
    assert len(base) == N_ATOMS
    rng = np.random.default_rng(7)
    texts = []
    for k in range(DISTINCT):
        atoms = base.copy()
        atoms.set_cell(atoms.cell * (1.0 + 0.01 * rng.standard_normal()), scale_atoms=True)
        atoms.rattle(0.05, seed=k)
        buffer = io.StringIO()
        ase.io.write(buffer, atoms, format="extxyz")
        texts.append(buffer.getvalue().encode())
    return texts


def write_trajectory(path, frames, n_frames):
    with open(path, "wb") as out:
        for i in range(n_frames):
            out.write(frames[i % len(frames)])
    return os.path.getsize(path)


def run(tool, path, every, start=0, repeat=1):
    env = dict(os.environ)
    best = None
    for _ in range(repeat):
        output = subprocess.run(
            [sys.executable, "-c", READ_SCRIPT, tool, path, str(every), str(start)],
            check=True,
            capture_output=True,
            text=True,
            env=env,
        ).stdout
        result = json.loads(output.strip().splitlines()[-1])
        if best is None or result["seconds"] < best["seconds"]:
            best = result
    return best


E2E_FRAMES = 200
E2E_ATOMS = 4000
E2E_DENSITY = 0.05  # atoms per Å³: a simple liquid
E2E_CUTOFF = 6.0
E2E_BIN = 0.05


def liquid_trajectory(path):
    """Frames as ase.io.write lays them out (checked on the first), written
    with NumPy because ASE's writer would take minutes for 200 frames."""
    import ase
    import ase.io

    side = (E2E_ATOMS / E2E_DENSITY) ** (1.0 / 3.0)
    rng = np.random.default_rng(11)
    first = io.StringIO()
    with open(path, "w") as out:
        for k in range(E2E_FRAMES):
            positions = rng.uniform(0, side, (E2E_ATOMS, 3))
            if k == 0:
                atoms = ase.Atoms("Ar" * E2E_ATOMS, positions=positions, cell=[side] * 3, pbc=True)
                ase.io.write(first, atoms, format="extxyz")
                header = first.getvalue().splitlines()[1]
            out.write(f"{E2E_ATOMS}\n{header}\n")
            np.savetxt(out, positions, fmt="Ar %16.8f %16.8f %16.8f")
    with open(path) as written:
        assert [next(written) for _ in range(E2E_ATOMS + 2)] == first.getvalue().splitlines(keepends=True)
    return side


def ase_freud(path, side):
    import ase.io
    import freud

    box = freud.box.Box.cube(side)
    rdf = freud.density.RDF(bins=round(E2E_CUTOFF / E2E_BIN), r_max=E2E_CUTOFF)
    frames = 0
    for atoms in ase.io.iread(path, index=":", format="extxyz"):
        assert np.allclose(atoms.cell[:], np.diag([side] * 3))
        rdf.compute(system=(box, box.wrap(atoms.positions - 0.5 * side)), reset=False)
        frames += 1
    assert frames == E2E_FRAMES
    return rdf.rdf


def mdanalysis(path, side):
    import warnings

    import MDAnalysis as mda
    from MDAnalysis.analysis.rdf import InterRDF
    from MDAnalysis.transformations import set_dimensions

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        universe = mda.Universe(path, format="XYZ", transformations=[set_dimensions([side, side, side, 90, 90, 90])])
        atoms = universe.atoms
        rdf = InterRDF(
            atoms, atoms, nbins=round(E2E_CUTOFF / E2E_BIN), range=(0.0, E2E_CUTOFF), exclusion_block=(1, 1)
        ).run()
    assert rdf.results.count.shape[0] == round(E2E_CUTOFF / E2E_BIN)
    return rdf.results.rdf


def end_to_end():
    import kestrel

    print(
        f"end to end: {E2E_FRAMES} frames of {E2E_ATOMS} atoms at {E2E_DENSITY} atoms/Å³, "
        f"cutoff {E2E_CUTOFF} Å, bins of {E2E_BIN} Å, {kestrel.Structure.available_threads()} threads"
    )
    with tempfile.TemporaryDirectory(prefix="kestrel-bench-") as folder:
        path = os.path.join(folder, "liquid.xyz")
        t0 = time.perf_counter()
        side = liquid_trajectory(path)
        print(
            f"  wrote {os.path.getsize(path) / 1e6:.0f} MB in the layout of ase.io.write in {time.perf_counter() - t0:.1f} s"
        )
        try:
            import freud

            freud.parallel.set_num_threads(kestrel.Structure.available_threads())
        except ImportError:
            freud = None

        def best(fn, repeat):
            times, out = [], None
            for _ in range(repeat):
                start = time.perf_counter()
                out = fn()
                times.append(time.perf_counter() - start)
            return min(times), out

        k_time, result = best(lambda: kestrel.trajectory_rdf(path, cutoff=E2E_CUTOFF, bin_size=E2E_BIN), 3)
        total_time, _ = best(
            lambda: kestrel.trajectory_rdf(path, cutoff=E2E_CUTOFF, bin_size=E2E_BIN, partials=False), 3
        )
        read_time, _ = best(lambda: kestrel.read_xyz_trajectory(path), 3)

        def plain_loop(method):
            structures, _, _ = kestrel.read_xyz_trajectory(path)
            return [getattr(s, method)(E2E_CUTOFF, E2E_BIN) for s in structures]

        loop_partials, _ = best(lambda: plain_loop("prdf"), 3)
        loop_total, _ = best(lambda: plain_loop("total_rdf"), 3)
        print(
            f"  {'kestrel trajectory_rdf':<36}{k_time:8.2f} s   ({k_time / E2E_FRAMES * 1e3:.1f} ms a frame; "
            f"reading alone {read_time:.2f} s)"
        )
        print(
            f"  {'  plain loop read + prdf':<36}{loop_partials:8.2f} s   (trajectory_rdf takes {k_time / loop_partials:.2f}x)"
        )
        print(f"  {'kestrel trajectory_rdf, total only':<36}{total_time:8.2f} s")
        print(
            f"  {'  plain loop read + total_rdf':<36}{loop_total:8.2f} s   "
            f"(trajectory_rdf takes {total_time / loop_total:.2f}x)"
        )
        # kestrel's curves are g(r) times the partner density; the others give g(r).
        g = result.mean_total / (result.mean_n_atoms / result.mean_volume)
        rows = []
        if freud is not None:
            a_time, curve = best(lambda: ase_freud(path, side), 2)
            assert np.allclose(curve, g, rtol=1e-3, atol=1e-3)
            rows.append(("ase.io.iread + freud RDF", a_time))
        try:
            m_time, curve = best(lambda: mdanalysis(path, side), 1)
            assert np.allclose(curve, g, rtol=1e-2, atol=1e-2)  # MDAnalysis scales by N/(N-1)
            rows.append(("MDAnalysis XYZ + InterRDF", m_time))
        except ImportError:
            pass
        for name, seconds in rows:
            print(f"  {name:<36}{seconds:8.2f} s   kestrel is {seconds / k_time:.1f}x faster")


LAMMPS_FRAMES = 50
LAMMPS_ATOMS = 4000


def lammps_dump(path):
    """A LAMMPS text dump of the liquid: ids shuffled as several processors
    write them, types 1 and 2, wrapped Cartesian coordinates."""
    side = (LAMMPS_ATOMS / E2E_DENSITY) ** (1.0 / 3.0)
    rng = np.random.default_rng(13)
    types = rng.integers(1, 3, LAMMPS_ATOMS)
    with open(path, "w") as out:
        for k in range(LAMMPS_FRAMES):
            out.write(f"ITEM: TIMESTEP\n{k * 100}\nITEM: NUMBER OF ATOMS\n{LAMMPS_ATOMS}\n")
            out.write(f"ITEM: BOX BOUNDS pp pp pp\n0 {side!r}\n0 {side!r}\n0 {side!r}\nITEM: ATOMS id type x y z\n")
            order = rng.permutation(LAMMPS_ATOMS)
            table = np.column_stack([order + 1, types[order], rng.uniform(0, side, (LAMMPS_ATOMS, 3))])
            np.savetxt(out, table, fmt="%d %d %.8f %.8f %.8f")


def lammps_reading():
    """Every frame of a dump into memory: kestrel against ASE and MDAnalysis."""
    import warnings

    import kestrel

    with tempfile.TemporaryDirectory(prefix="kestrel-bench-") as folder:
        path = os.path.join(folder, "liquid.lammpstrj")
        lammps_dump(path)
        size = os.path.getsize(path)
        print(f"\nLAMMPS dump: {LAMMPS_FRAMES} frames of {LAMMPS_ATOMS} atoms, {size / 1e6:.0f} MB, every frame read")

        def best(fn, repeat=3):
            times = []
            for _ in range(repeat):
                start = time.perf_counter()
                fn()
                times.append(time.perf_counter() - start)
            return min(times)

        rows = [("kestrel read_trajectory", best(lambda: kestrel.read_trajectory(path, types={1: "Na", 2: "Cl"}), 7))]
        xyz = os.path.join(folder, "same.xyz")
        structures, _, _ = kestrel.read_trajectory(path, types={1: "Na", 2: "Cl"})
        kestrel.write_xyz(structures[0], xyz)
        with open(xyz) as one:
            frame = one.read()
        with open(xyz, "w") as out:
            out.write(frame * LAMMPS_FRAMES)
        per_byte = os.path.getsize(xyz)
        rows.append(("  the same frames as XYZ", best(lambda: kestrel.read_xyz_trajectory(xyz), 7) * size / per_byte))
        try:
            import ase.io

            rows.append(
                ("ase.io.read lammps-dump-text", best(lambda: ase.io.read(path, ":", format="lammps-dump-text"), 1))
            )
        except ImportError:
            pass
        try:
            import MDAnalysis as mda

            def mdanalysis_read():
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    universe = mda.Universe(path, format="LAMMPSDUMP")
                    return [ts.positions.copy() for ts in universe.trajectory]

            rows.append(("MDAnalysis LAMMPSDUMP", best(mdanalysis_read, 1)))
        except ImportError:
            pass
        k = rows[0][1]
        for name, seconds in rows:
            if name.startswith("  "):
                note = f"(scaled to the dump's bytes; the dump takes {k / seconds:.2f}x per byte)"
            else:
                note = f"kestrel is {seconds / k:.1f}x faster" if seconds != k else ""
            print(f"  {name:<36}{seconds * 1e3:8.1f} ms   {note}")


def main():
    which = sys.argv[1] if len(sys.argv) > 1 else "all"
    if which in ("all", "reading"):
        reading()
    if which in ("all", "end-to-end"):
        end_to_end()
    if which in ("all", "lammps"):
        lammps_reading()


def reading():
    t0 = time.perf_counter()
    frames = ase_frames()
    with tempfile.TemporaryDirectory(prefix="kestrel-bench-") as folder:
        path = os.path.join(folder, "traj.xyz")
        long_path = os.path.join(folder, "traj-long.xyz")
        size = write_trajectory(path, frames, N_FRAMES)
        long_size = write_trajectory(long_path, frames, N_FRAMES * LONG_FACTOR)
        print(
            f"wrote {N_FRAMES} frames of {N_ATOMS} atoms: {size / 1e6:.1f} MB "
            f"(and {N_FRAMES * LONG_FACTOR} frames: {long_size / 1e6:.0f} MB) "
            f"in {time.perf_counter() - t0:.1f} s\n"
        )

        print(
            f"{'selection':<14}{'kestrel s':>10}{'ASE s':>9}{'ratio':>8}"
            f"{'kestrel peak MB':>17}{'ASE peak MB':>13}{'kept':>6}"
        )
        for every in (1, 10, 100):
            k = run("kestrel", path, every, repeat=3)
            a = run("ase", path, every)
            assert k["kept"] == a["kept"] == len(range(0, N_FRAMES, every))
            print(
                f"{'every ' + str(every):<14}{k['seconds']:>10.3f}{a['seconds']:>9.3f}"
                f"{a['seconds'] / k['seconds']:>7.1f}x{k['peak_mb']:>17.0f}{a['peak_mb']:>13.0f}{k['kept']:>6}"
            )
        # Peak memory follows the frames kept, not the frames passed over:
        # the same 200 frames kept out of 2,000 and out of 20,000.
        base = run("kestrel", path, 10**9)  # frame 0 only: the interpreter and one frame
        short = run("kestrel", path, 10)
        long = run("kestrel", long_path, 100, repeat=3)
        print(f"\nkestrel peak resident memory (frame 0 only: {base['peak_mb']:.0f} MB):")
        print(f"  every 10th of {N_FRAMES:>6} frames, {short['kept']} kept: {short['peak_mb']:.0f} MB")
        print(
            f"  every 100th of {N_FRAMES * LONG_FACTOR:>5} frames, {long['kept']} kept: {long['peak_mb']:.0f} MB"
            f" ({long['seconds']:.3f} s)"
        )

        # Everything but the last frame skipped: the pure scanning rate.
        last = run("kestrel", long_path, 1, start=N_FRAMES * LONG_FACTOR - 1, repeat=3)
        print(
            f"\nskipping frames: {long_size / 1e9:.2f} GB in {last['seconds']:.3f} s = "
            f"{long_size / 1e9 / last['seconds']:.2f} GB/s (peak {last['peak_mb']:.0f} MB)"
        )
    print(f"\ntotal {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
