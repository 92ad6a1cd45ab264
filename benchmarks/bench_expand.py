"""Timing of supercells and of the occupancy expansion.

Run from the checkout after building:
    PYTHONPATH=build/dev:python python3 benchmarks/bench_expand.py
The main case expands an 8-site rock-salt cell with mixed cations and a
partly vacant anion into an 8x8x8 supercell (4,096 sites before vacancies).
With pymatgen installed, its supercell builder is timed on the same cell for
comparison (it has no seeded equivalent of the expansion).
"""

import statistics
import time

from kestrel import Structure


def rocksalt(cation, anion, a=5.64):
    cations = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    anions = [[0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]]
    return Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], cations + anions, [cation] * 4 + [anion] * 4)


def timed(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return result, min(times), statistics.median(times)


def report(label, best, median):
    print(f"{label:<58} best {best * 1e3:8.3f} ms   median {median * 1e3:8.3f} ms")


def main():
    cell = rocksalt({"Na": 0.75, "K": 0.25}, {"Cl": 0.875})

    (ordered, summary), best, median = timed(lambda: cell.expand_occupancies(), 20)
    assert summary["scale"] == [8, 8, 8] and summary["warnings"] == []
    report(f"expand_occupancies 8-site cell -> {ordered.n_sites} sites (8x8x8)", best, median)

    fine = rocksalt({"Na": 0.75, "K": 0.25}, {"Cl": 31 / 32})
    (ordered, summary), best, median = timed(
        lambda: fine.expand_occupancies(max_sites=8 * 32**3, max_denominator=32), 3
    )
    assert summary["scale"] == [32, 32, 32]
    report(f"expand_occupancies 8-site cell -> {ordered.n_sites} sites ({summary['scale'][0]}^3)", best, median)

    supercell, best, median = timed(lambda: cell.make_supercell(8, 8, 8), 20)
    report(f"make_supercell 8x8x8 -> {supercell.n_sites} sites", best, median)

    supercell, best, median = timed(lambda: cell.make_supercell(32, 32, 32), 3)
    report(f"make_supercell 32x32x32 -> {supercell.n_sites} sites", best, median)

    try:
        from pymatgen.core import Lattice
        from pymatgen.core import Structure as PmgStructure
    except ImportError:
        return
    pmg = PmgStructure(Lattice(cell.lattice_matrix), cell.species, cell.frac_coords)
    _, best, median = timed(lambda: pmg.make_supercell([8, 8, 8], in_place=False), 5)
    report("pymatgen Structure.make_supercell 8x8x8 (same cell)", best, median)


if __name__ == "__main__":
    main()
