"""Small structures: the per-call cost of an RDF, and where the pool starts to pay.

1. prdf of the 8-site rock-salt cell at r = 10 Å, bins of 0.1 Å, called
   from Python (argument conversion and the NumPy results included), against
   freud's RDF and vesin's neighbour list + NumPy histogram on the smallest
   supercell they accept (a box twice the cutoff wide, 512 atoms). Target:
   at most 30 µs a call.
2. Rock-salt supercells of 8 to 13,824 sites at r = 6 Å with n_threads=1
   (everything on the calling thread) and n_threads=0 (the default pool,
   which small calls no longer wake): the threshold at which the pool takes
   over should sit where it starts to win.

Run: PYTHONPATH=build:python python3 benchmarks/bench_small.py
"""

import time

import numpy as np

from kestrel import Structure

A = 5.64
CONVENTIONAL = [
    [0, 0, 0],
    [0, 0.5, 0.5],
    [0.5, 0, 0.5],
    [0.5, 0.5, 0],
    [0.5, 0.5, 0.5],
    [0.5, 0, 0],
    [0, 0.5, 0],
    [0, 0, 0.5],
]


def rocksalt(n):
    cell = Structure([[A, 0, 0], [0, A, 0], [0, 0, A]], CONVENTIONAL, [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4)
    return cell if n == 1 else cell.make_supercell(n, n, n)


def per_call(fn, budget=0.5):
    """Best of five rounds of as many calls as fit in the budget, in seconds a call."""
    fn()
    calls = 1
    start = time.perf_counter()
    while time.perf_counter() - start < budget / 10:
        fn()
        calls += 1
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def small_cell():
    cell = rocksalt(1)
    rows = [("kestrel prdf, 8 sites", per_call(lambda: cell.prdf(10.0, 0.1)))]
    rows.append(("kestrel total_rdf, 8 sites", per_call(lambda: cell.total_rdf(10.0, 0.1))))
    big = rocksalt(4)  # 22.56 Å: twice the cutoff
    positions = np.array(big.cart_coords)
    side = 4 * A
    try:
        import freud

        box = freud.box.Box.cube(side)
        rdf = freud.density.RDF(bins=100, r_max=10.0)
        points = box.wrap(positions - side / 2)
        rows.append(("freud RDF, 512-atom supercell", per_call(lambda: rdf.compute(system=(box, points)))))
    except ImportError:
        pass
    try:
        from vesin import NeighborList

        calculator = NeighborList(cutoff=10.0, full_list=False)
        box = np.eye(3) * side

        def vesin_rdf():
            (d,) = calculator.compute(points=positions, box=box, periodic=True, quantities="d")
            return np.histogram(d, bins=100, range=(0.0, 10.0))

        rows.append(("vesin + NumPy histogram, 512 atoms", per_call(vesin_rdf)))
    except ImportError:
        pass
    print("per call at r = 10 Å (target for kestrel's 8-site prdf: 30 µs)")
    for name, seconds in rows:
        print(f"  {name:<40}{seconds * 1e6:10.1f} µs")


def crossover():
    print(f"\nrock salt at r = 6 Å: one thread against the default pool ({Structure.available_threads()} workers)")
    print(f"  {'sites':>7}{'n_threads=1 µs':>16}{'n_threads=0 µs':>16}")
    for n in (1, 2, 3, 4, 6, 8, 12):
        s = rocksalt(n)
        one = per_call(lambda: s.prdf(6.0, 0.1, n_threads=1), budget=0.3)
        pool = per_call(lambda: s.prdf(6.0, 0.1, n_threads=0), budget=0.3)
        print(f"  {s.n_sites:>7}{one * 1e6:>16.1f}{pool * 1e6:>16.1f}")


if __name__ == "__main__":
    small_cell()
    crossover()
