"""Reading speed of the structure readers against pymatgen, ASE and gemmi.

Run from the checkout with the extension on the path, e.g.
    PYTHONPATH=build/dev:python python3 benchmarks/bench_readers.py
Inputs: the COD corpus beside the checkout, a CIF of a full space group (192
operations, 50 asymmetric-unit rows), and a 100,000-atom POSCAR and extended
XYZ generated into a temporary folder. Prints seconds per input set and the
ratio peer / kestrel (above 1: kestrel is faster).

    PYTHONPATH=build/dev:python python3 benchmarks/bench_readers.py memory
prints instead the peak memory of reading large files (each in a fresh
process) against the size of the text plus the structure read from it.

    PYTHONPATH=build/dev:python python3 benchmarks/bench_readers.py cif
times CIF reading alone against gemmi, file by file over the corpus and the
slow files beside the checkout (both folders): the time of all files both
read, the median file, and the files furthest behind.
"""

import itertools
import random
import sys
import tempfile
import time
import warnings
from pathlib import Path

from kestrel import Structure

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus" / "cod"
if not CORPUS.is_dir():  # a worktree sits one folder deeper than the main checkout
    CORPUS = ROOT.parent.parent / "shared" / "corpus" / "cod"
warnings.filterwarnings("ignore")


def best_of(repeats, fn):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def over_files(read, paths):
    def run():
        for path in paths:
            try:
                read(str(path))
            except Exception:  # unusable files cost their time too
                pass

    return run


def fm3m_cif(path, rows=50, seed=1, operations_loop=True):
    rng = random.Random(seed)
    lines = [
        "data_bench",
        "_cell_length_a 17.3",
        "_cell_length_b 17.3",
        "_cell_length_c 17.3",
        "_cell_angle_alpha 90",
        "_cell_angle_beta 90",
        "_cell_angle_gamma 90",
        "_symmetry_space_group_name_H-M 'F m -3 m'",
    ]
    if operations_loop:
        lines += ["loop_", "_symmetry_equiv_pos_as_xyz"]
    for shift in [("", "", ""), ("", "+1/2", "+1/2"), ("+1/2", "", "+1/2"), ("+1/2", "+1/2", "")] * operations_loop:
        for perm in itertools.permutations("xyz"):
            for signs in itertools.product(("", "-"), repeat=3):
                lines.append("'" + ", ".join(signs[i] + perm[i] + shift[i] for i in range(3)) + "'")
    lines += [
        "loop_",
        "_atom_site_label",
        "_atom_site_type_symbol",
        "_atom_site_fract_x",
        "_atom_site_fract_y",
        "_atom_site_fract_z",
        "_atom_site_occupancy",
    ]
    for i in range(rows):
        element = rng.choice(["C", "N", "O", "Si", "Fe"])
        x, y, z = (rng.uniform(0.0, 0.5) for _ in range(3))
        lines.append(f"{element}{i} {element} {x:.5f} {y:.5f} {z:.5f} 1.0")
    path.write_text("\n".join(lines) + "\n")


def big_poscar(path, n, seed=2):
    rng = random.Random(seed)
    a = (n / 0.05) ** (1 / 3)
    lines = ["bench", "1.0", f"{a:.6f} 0 0", f"0 {a:.6f} 0", f"0 0 {a:.6f}", "Si O", f"{n // 2} {n - n // 2}", "Direct"]
    lines += [f"{rng.random():.10f} {rng.random():.10f} {rng.random():.10f}" for _ in range(n)]
    path.write_text("\n".join(lines) + "\n")


def big_xyz(path, n, seed=3):
    rng = random.Random(seed)
    a = (n / 0.05) ** (1 / 3)
    lines = [str(n), f'Lattice="{a:.6f} 0 0 0 {a:.6f} 0 0 0 {a:.6f}" Properties=species:S:1:pos:R:3 pbc="T T T"']
    lines += [
        f"{'Si' if i % 2 else 'O'} {rng.uniform(0, a):.8f} {rng.uniform(0, a):.8f} {rng.uniform(0, a):.8f}"
        for i in range(n)
    ]
    path.write_text("\n".join(lines) + "\n")


def p1_cif(path, n, seed=4):
    rng = random.Random(seed)
    a = (n / 0.05) ** (1 / 3)
    head = [
        "data_big",
        *(f"_cell_length_{x} {a:.4f}" for x in "abc"),
        *(f"_cell_angle_{x} 90" for x in ("alpha", "beta", "gamma")),
        "loop_",
        *(f"_atom_site_{t}" for t in ("label", "type_symbol", "fract_x", "fract_y", "fract_z", "occupancy")),
    ]
    rows = [
        f"X{i} {'Si' if i % 2 else 'O'} {rng.random():.6f} {rng.random():.6f} {rng.random():.6f} 1" for i in range(n)
    ]
    path.write_text("\n".join(head + rows) + "\n")


# Reads one file in a fresh process: its peak resident memory over the
# process after import, and what the structure holds once the text is gone.
MEMORY_CHILD = """
import ctypes, os, sys
from kestrel import Structure
def status(field):
    # VmHWM, not ru_maxrss: the latter survives exec and would give the parent's peak.
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
def resident():
    # Freed memory the allocator keeps is handed back first, so that what
    # remains is what the structure holds.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    return status("VmRSS")
base = resident()
s = getattr(Structure, sys.argv[1])(sys.argv[2])
held = resident() - base
peak = status("VmHWM") - base
print(peak, held)
"""


def memory_report(tmp):
    """Peak memory of reading against the text plus the structure it gives: at most 1.2 is the aim."""
    import gzip
    import os
    import subprocess

    inputs = []
    xyz = tmp / "mem.xyz"
    big_xyz(xyz, 1_000_000)
    inputs.append(("extended XYZ, 10^6 atoms", "from_xyz", xyz, xyz.stat().st_size))
    packed = tmp / "mem.xyz.gz"
    packed.write_bytes(gzip.compress(xyz.read_bytes(), 6))
    inputs.append(("the same, .gz", "from_xyz", packed, xyz.stat().st_size))
    poscar = tmp / "POSCAR_mem"
    big_poscar(poscar, 1_000_000)
    inputs.append(("POSCAR, 10^6 atoms", "from_poscar", poscar, poscar.stat().st_size))
    cif = tmp / "mem.cif"
    p1_cif(cif, 300_000)
    inputs.append(("P1 CIF, 3 x 10^5 rows", "from_cif", cif, cif.stat().st_size))
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    print(f"\n{'input':28} {'text MB':>8} {'structure MB':>13} {'peak MB':>8} {'peak/(text+structure)':>22}")
    for label, reader, path, text_bytes in inputs:
        out = subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD, reader, str(path)], capture_output=True, text=True, env=env, check=True
        )
        peak, held = map(int, out.stdout.split())
        mb = 1 << 20
        ratio = peak / (text_bytes + held)
        print(f"{label:28} {text_bytes / mb:8.1f} {held / mb:13.1f} {peak / mb:8.1f} {ratio:22.2f}")


def cif_report(repeats=7):
    """kestrel's and gemmi's time per CIF, for the files both read: gemmi's / kestrel's above 1 is faster."""
    import statistics

    import gemmi

    def gemmi_read(path):
        gemmi.read_small_structure(path).get_all_unit_cell_sites()

    files = sorted(p for folder in (CORPUS, CORPUS.parent / "slow") if folder.is_dir() for p in folder.glob("*.cif"))
    rows = []
    for path in files:
        try:
            Structure.from_cif(str(path))
            gemmi_read(str(path))
        except Exception:  # only files both read are compared
            continue
        ours = best_of(repeats, lambda p=str(path): Structure.from_cif(p))
        theirs = best_of(repeats, lambda p=str(path): gemmi_read(p))
        rows.append((theirs / ours, ours, theirs, path))
    total_ours = sum(r[1] for r in rows)
    total_theirs = sum(r[2] for r in rows)
    print(f"{len(rows)} of {len(files)} CIFs read by both, best of {repeats} each")
    print(f"all: kestrel {total_ours:.4f} s, gemmi {total_theirs:.4f} s, gemmi/kestrel {total_theirs / total_ours:.2f}")
    print(f"median file: gemmi/kestrel {statistics.median(r[0] for r in rows):.2f}")
    print("furthest behind (gemmi/kestrel, kestrel ms, gemmi ms):")
    for ratio, ours, theirs, path in sorted(rows)[:5]:
        print(f"  {ratio:6.2f} {ours * 1e3:8.2f} {theirs * 1e3:8.2f}  {path.parent.name}/{path.name}")


def main():
    if sys.argv[1:] == ["cif"]:
        cif_report()
        return 0
    if sys.argv[1:] == ["memory"]:
        with tempfile.TemporaryDirectory() as folder:
            memory_report(Path(folder))
        return 0
    peers = {}
    try:
        from pymatgen.io.cif import CifParser
        from pymatgen.io.vasp import Poscar

        peers["pymatgen cif"] = lambda p: CifParser(p).parse_structures(primitive=False)
        peers["pymatgen poscar"] = lambda p: Poscar.from_file(p, check_for_potcar=False)
    except ImportError:
        print("pymatgen not installed: skipped")
    try:
        import gemmi

        def gemmi_cell(p):
            small = gemmi.read_small_structure(p)
            return small.get_all_unit_cell_sites()

        peers["gemmi cif"] = gemmi_cell
    except ImportError:
        print("gemmi not installed: skipped")
    try:
        import ase.io

        peers["ase poscar"] = lambda p: ase.io.read(p, format="vasp")
        peers["ase xyz"] = lambda p: ase.io.read(p, format="extxyz")
        peers["ase cif"] = lambda p: ase.io.read(p, format="cif")
    except ImportError:
        print("ASE not installed: skipped")

    rows = []

    def compare(label, ours, others, repeats):
        mine = best_of(repeats, ours)
        rows.append((label, "kestrel", mine, None))
        for name, fn, peer_repeats in others:
            theirs = best_of(peer_repeats, fn)
            rows.append((label, name, theirs, theirs / mine))

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        if CORPUS.is_dir():
            files = sorted(CORPUS.glob("*.cif"))
            compare(
                f"{len(files)} COD files",
                over_files(Structure.from_cif, files),
                [
                    (n, over_files(peers[n], files), 1 if n.startswith("pymatgen") else 3)
                    for n in ("pymatgen cif", "gemmi cif", "ase cif")
                    if n in peers
                ],
                5,
            )
        else:
            print(f"no corpus at {CORPUS}: skipped")

        sg = tmp / "fm3m.cif"
        fm3m_cif(sg)
        print(f"Fm-3m CIF: {Structure.from_cif(str(sg)).n_sites} sites from 50 rows x 192 operations")
        compare(
            "Fm-3m, 192 ops x 50 rows",
            lambda: Structure.from_cif(str(sg)),
            [
                (n, (lambda f: lambda: f(str(sg)))(peers[n]), 1 if n.startswith("pymatgen") else 3)
                for n in ("pymatgen cif", "gemmi cif", "ase cif")
                if n in peers
            ],
            5,
        )

        symbol_only = tmp / "fm3m_symbol.cif"
        fm3m_cif(symbol_only, operations_loop=False)
        compare(
            "Fm-3m from its symbol, 50 rows",
            lambda: Structure.from_cif(str(symbol_only)),
            [
                (n, (lambda f: lambda: f(str(symbol_only)))(peers[n]), 1 if n.startswith("pymatgen") else 3)
                for n in ("pymatgen cif", "gemmi cif", "ase cif")
                if n in peers
            ],
            5,
        )

        poscar = tmp / "POSCAR"
        big_poscar(poscar, 100_000)
        compare(
            "POSCAR, 100,000 atoms",
            lambda: Structure.from_poscar(str(poscar)),
            [
                (n, (lambda f: lambda: f(str(poscar)))(peers[n]), 2)
                for n in ("ase poscar", "pymatgen poscar")
                if n in peers
            ],
            5,
        )

        xyz = tmp / "big.xyz"
        big_xyz(xyz, 100_000)
        compare(
            "extended XYZ, 100,000 atoms",
            lambda: Structure.from_xyz(str(xyz)),
            [(n, (lambda f: lambda: f(str(xyz)))(peers[n]), 2) for n in ("ase xyz",) if n in peers],
            5,
        )

        # Reading cost against file size: the same POSCAR at ten times the atoms.
        poscar10 = tmp / "POSCAR10"
        big_poscar(poscar10, 1_000_000)
        t1 = best_of(3, lambda: Structure.from_poscar(str(poscar)))
        t10 = best_of(3, lambda: Structure.from_poscar(str(poscar10)))

    print(f"{'input':32} {'reader':18} {'seconds':>10} {'peer/kestrel':>13}")
    for label, name, seconds, ratio in rows:
        print(f"{label:32} {name:18} {seconds:10.4f} {'' if ratio is None else f'{ratio:13.1f}'}")
    print(f"POSCAR 1,000,000 atoms / 100,000 atoms: {t10 / t1:.1f} times the time for 10 times the size")


if __name__ == "__main__":
    sys.exit(main())
