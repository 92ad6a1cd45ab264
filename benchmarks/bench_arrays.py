"""Structures from NumPy arrays and back, against the list constructor and ASE.

5,000,000 sites in a 400 Å cube, two elements by atomic number. Each run is a
fresh subprocess so that its peak resident memory (VmHWM) is its own; memory
is reported as the rise of the peak over what the process held once the
arrays were made and the tool imported, beside the arrays' size and the ratio
of the two.
Targets: from_arrays of 5M sites in at most 0.5 s, memory within twice the
arrays' size. The list constructor is timed on a tenth of the sites (it
needs Python lists of lists, which at 5M sites take gigabytes themselves).

Run: PYTHONPATH=build:python python3 benchmarks/bench_arrays.py [--sites N]
"""

import argparse
import json
import subprocess
import sys

SCRIPT = r"""
import json, sys, time
import numpy as np

def vm(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key):
                return int(line.split()[1]) / 1024.0

tool, n = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(0)
lattice = np.eye(3) * 400.0
frac = rng.random((n, 3))
numbers = rng.integers(11, 18, n)
if tool == "lists":
    rows, species = frac.tolist(), [{"Na" if z % 2 else "Cl": 1.0} for z in numbers]
# Imported before the baseline: the module's own few megabytes are no cost of the arrays.
if tool == "ase.Atoms":
    import ase
else:
    from kestrel import Structure
arrays_mb = (frac.nbytes + numbers.nbytes) / 2**20
before = vm("VmRSS:")
start = time.perf_counter()
if tool == "from_arrays":
    made = Structure.from_arrays(lattice, frac, numbers)
elif tool == "to_arrays":
    made = Structure.from_arrays(lattice, frac, numbers)
    before = vm("VmRSS:")
    start = time.perf_counter()
    out = made.to_arrays()
elif tool == "lists":
    made = Structure(lattice.tolist(), rows, species)
else:
    made = ase.Atoms(numbers=numbers, scaled_positions=frac, cell=lattice, pbc=True)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "rise_mb": vm("VmHWM:") - before, "arrays_mb": arrays_mb}))
"""


def run(tool, n):
    out = subprocess.run([sys.executable, "-c", SCRIPT, tool, str(n)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sites", type=int, default=5_000_000)
    n = parser.parse_args().sites
    print(f"{n} sites; times are the best of 3, memory the rise of the peak over the arrays")
    print(f"{'run':<34}{'sites':>10}{'seconds':>9}{'peak rise MB':>14}{'arrays MB':>11}{'rise/arrays':>13}")
    for tool, sites in (("from_arrays", n), ("to_arrays", n), ("ase.Atoms", n), ("lists", n // 10)):
        best = min((run(tool, sites) for _ in range(3)), key=lambda r: r["seconds"])
        ratio = best["rise_mb"] / best["arrays_mb"]
        print(
            f"{tool:<34}{sites:>10}{best['seconds']:>9.3f}{best['rise_mb']:>14.0f}{best['arrays_mb']:>11.0f}{ratio:>13.2f}"
        )
    print("targets: from_arrays <= 0.5 s at 5M sites, rise/arrays <= 2")


if __name__ == "__main__":
    main()
