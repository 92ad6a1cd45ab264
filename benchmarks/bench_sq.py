"""Reciprocal space: the Debye pair loop and S(Q) of crystals.

1. debye: a 20,000-atom Cu particle at 1,000 Q points, binned (the default
   grid), on the default pool: site pairs per second (target >= 5e7 on two
   cores), and the error against the exact sum on a 2,000-atom particle.
   peer: against debyecalculator on the CPU at equal accuracy, when it is installed.
2. million: a particle of about 1,000,000 atoms at 1,000 Q, once (target:
   10 minutes and 2 GB); run it on its own, it takes a while.
3. sq: compute_sq of the 8-site rock-salt cell to Q = 25 (target:
   milliseconds) and of an 8,000-site supercell (target: 1 s).

Run: PYTHONPATH=build/dev:python python3 benchmarks/bench_sq.py [debye|million|sq ...]
(under farm-bench for memory: farm-bench -n 1 -- python3 benchmarks/bench_sq.py million)
"""

import sys
import time

import numpy as np

from kestrel import Structure, compute_sq, cut_particle, debye_intensity

CU = Structure(np.eye(3) * 3.615, [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]], [{"Cu": 1.0}] * 4)
ROCK_SALT = Structure(
    np.eye(3) * 5.64,
    [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0], [0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]],
    [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4,
)
Q = np.linspace(0.5, 25.0, 1000)


def particle_of(atoms: int) -> Structure:
    """A Cu sphere of about this many atoms (fcc: 4 atoms per 47.2 Å³)."""
    volume = atoms * 3.615**3 / 4
    diameter = (6 * volume / np.pi) ** (1 / 3)
    return cut_particle(CU, diameter)


def timed(fn, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def bench_debye():
    particle = particle_of(20_000)
    n = len(particle)
    pairs = n * (n - 1) / 2
    seconds, _ = timed(lambda: debye_intensity(particle, Q))
    print(f"debye binned: {n} atoms, {len(Q)} Q: {seconds:.2f} s, {pairs / seconds:.3g} site pairs/s")
    small = particle_of(2_000)
    exact = debye_intensity(small, Q, exact=True)
    binned = debye_intensity(small, Q)
    print(
        f"  {len(small)} atoms: binned within {np.max(np.abs(binned - exact)) / exact.max():.1e} of the exact maximum"
    )


def bench_peer():
    """Against debyecalculator on the CPU (its grid pair sum, two threads), at equal accuracy.

    Accuracy is measured on a 2,000-atom particle against the exact sum (neutron, no
    displacements; debyecalculator's intensity is compared after one fitted scale, as its
    scattering lengths and normalisation differ from ours). Our grid is refined until it is as
    accurate as theirs, then both run on the 20,000-atom particle at the same Q.
    """
    try:
        from ase import Atoms
        from debyecalculator import DebyeCalculator
    except ImportError:
        print("peer: debyecalculator is not installed: no comparison")
        return

    def calculator():
        return DebyeCalculator(
            qmin=0.5,
            qmax=25.0,
            qstep=0.0245,
            biso=0.0,
            qdamp=0.0,
            device="cpu",
            radiation_type="neutron",
            num_threads=2,
        )

    def as_atoms(particle):
        cart = np.asarray(particle.frac_coords) @ np.asarray(particle.lattice_matrix)
        return Atoms(["Cu"] * len(cart), positions=cart)

    small = particle_of(2_000)
    q, theirs = calculator().iq(as_atoms(small))
    q = np.asarray(q, dtype=float)
    exact = debye_intensity(small, q, radiation="neutron", exact=True)
    scale = float(np.dot(theirs, exact) / np.dot(theirs, theirs))
    their_error = np.max(np.abs(scale * theirs - exact)) / exact.max()
    print(f"peer: {len(small)} atoms, debyecalculator within {their_error:.1e} of the exact maximum")
    widths = {}
    for width in (0.002, 0.001, 0.0005, 0.00025):
        ours = debye_intensity(small, q, radiation="neutron", bin_width=width)
        widths[width] = np.max(np.abs(ours - exact)) / exact.max()
        print(f"  kestrel bin_width {width} Å: within {widths[width]:.1e}")
    equal = max([w for w, e in widths.items() if e <= their_error] or [min(widths)])
    big = particle_of(20_000)
    atoms = as_atoms(big)
    peer = calculator()
    their_seconds, _ = timed(lambda: peer.iq(atoms), repeats=2)
    for width in sorted({0.002, equal}, reverse=True):
        our_seconds, _ = timed(lambda: debye_intensity(big, q, radiation="neutron", bin_width=width, n_threads=2), 2)
        print(
            f"  {len(big)} atoms, {len(q)} Q: kestrel (bin_width {width}) {our_seconds:.2f} s, "
            f"debyecalculator {their_seconds:.2f} s: {their_seconds / our_seconds:.1f}x"
        )


def bench_million():
    start = time.perf_counter()
    particle = particle_of(1_000_000)
    cut = time.perf_counter() - start
    n = len(particle)
    start = time.perf_counter()
    debye_intensity(particle, Q)
    seconds = time.perf_counter() - start
    print(
        f"million: {n} atoms cut in {cut:.1f} s; I(Q) at {len(Q)} Q in {seconds:.0f} s, {n * (n - 1) / 2 / seconds:.3g} pairs/s"
    )


def bench_sq():
    q = np.arange(0.0, 25.0, 0.01)
    seconds, _ = timed(lambda: compute_sq(ROCK_SALT, q, radiation="neutron", qdamp=0.03), repeats=5)
    print(f"sq: rock-salt cell, {len(q)} Q to 25: {seconds * 1000:.1f} ms")
    big = ROCK_SALT.make_supercell(10, 10, 10)
    seconds, _ = timed(lambda: compute_sq(big, q, radiation="neutron", qdamp=0.03), repeats=1)
    print(f"sq: {len(big)}-site supercell: {seconds:.1f} s")


if __name__ == "__main__":
    chosen = sys.argv[1:] or ["debye", "sq"]
    for name in chosen:
        {"debye": bench_debye, "million": bench_million, "sq": bench_sq, "peer": bench_peer}[name]()
