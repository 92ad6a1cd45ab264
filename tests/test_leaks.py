"""Memory stays flat over many calls of every method, error paths included.

Each call is repeated a warm-up number of times (caches, allocator arenas and
NumPy's first import settle), then the resident set is measured before and
after a longer run. KESTREL_LEAK_CALLS sets the measured count (the default
keeps the test to a few seconds)."""

import gc
import os

import pytest

from conftest import EXAMPLES
from kestrel import Structure, read_trajectory, read_xyz_trajectory

CALLS = int(os.environ.get("KESTREL_LEAK_CALLS", "1500"))
# Calls that cost milliseconds each run fewer times unless KESTREL_LEAK_CALLS
# asks for more: what they could leak per call (a thread, a histogram, a
# file's text) is large, so a few hundred calls show it.
HEAVY_CALLS = {
    "prdf": 400,
    "prdf dedicated pool": 300,
    "total_rdf": 400,
    "from_files": 400,
    "read_xyz_trajectory": 300,
}
PAGE = os.sysconf("SC_PAGE_SIZE")

CUBE = [[4.0, 0, 0], [0, 4.0, 0], [0, 0, 4.0]]
POSCAR = "NaCl\n1.0\n5.64 0 0\n0 5.64 0\n0 0 5.64\nNa Cl\n1 1\nDirect\n0 0 0\n0.5 0.5 0.5\n"
XYZ = '2\nLattice="4 0 0 0 4 0 0 0 4"\nFe 0 0 0\nNi 2 2 2\n'
CIF = (EXAMPLES / "FeNi_disordered.cif").read_text()
TRAJECTORY = str(EXAMPLES / "Cu_md.xyz")
DUMP = str(EXAMPLES / "NaCl_md.lammpstrj")
POSCAR_FILE = str(EXAMPLES / "Si.poscar")
CIF_FILE = str(EXAMPLES / "NaCl.cif")
XYZ_FILE = str(EXAMPLES / "MgO.xyz")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def raises(call, kind):
    def run():
        try:
            call()
        except kind:
            return
        raise AssertionError("no error")

    return run


def cases():
    mixed = Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Ni": 0.25}, {"O": 1.0}])
    ordered = Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 1.0}, {"O": 0.5}])
    return {
        "constructor": lambda: Structure(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.5, "Ni": 0.5}, {"O": 1}]),
        "properties": lambda: (
            mixed.n_sites,
            mixed.n_atoms,
            mixed.is_ordered,
            mixed.volume,
            mixed.elements,
            mixed.composition,
            mixed.lattice_matrix,
            mixed.frac_coords,
            mixed.cart_coords,
            mixed.species,
        ),
        "repr": lambda: repr(mixed),
        "from_str": lambda: (
            Structure.from_str(POSCAR, "poscar"),
            Structure.from_str(XYZ, "xyz"),
            Structure.from_cif_str(CIF),
        ),
        "from_files": lambda: (
            Structure.from_poscar(POSCAR_FILE),
            Structure.from_cif(CIF_FILE),
            Structure.from_xyz(XYZ_FILE),
        ),
        "make_supercell": lambda: mixed.make_supercell(2, 3, 2),
        "disorder_summary": mixed.disorder_summary,
        "expand_occupancies": lambda: mixed.expand_occupancies(max_sites=64, seed=3),
        "prdf": lambda: mixed.prdf(6.0, 0.1),
        "prdf dedicated pool": lambda: mixed.prdf(4.0, 0.1, n_threads=2),
        "total_rdf": lambda: mixed.total_rdf(6.0, 0.1),
        "read_xyz_trajectory": lambda: read_xyz_trajectory(TRAJECTORY, every=5),
        "read_trajectory: dump": lambda: read_trajectory(DUMP, every=2, types={1: "Na", 2: "Cl"}),
        "arrays": lambda: Structure.from_arrays(*ordered.to_arrays()).to_arrays(),
        "arrays: symbols": lambda: Structure.from_arrays(CUBE, [[0, 0, 0], [0.5, 0.5, 0.5]], ["Na", "Cl"], [1, 0.5]),
        "errors: constructor": lambda: (
            raises(lambda: Structure(CUBE, [[0, 0, 0]], [{"Fe": 2.0}]), ValueError)(),
            raises(lambda: Structure(CUBE, [[0, 0]], [{"Fe": 1.0}]), (TypeError, ValueError))(),
            raises(lambda: Structure("abc", [[0, 0, 0]], [{"Fe": 1}]), TypeError)(),
        ),
        "errors: readers": lambda: (
            raises(lambda: Structure.from_str(POSCAR.replace("1 1", "1 x"), "poscar"), ValueError)(),
            raises(lambda: Structure.from_str(XYZ[:-9], "xyz"), ValueError)(),
            raises(lambda: Structure.from_cif_str("data_x\n_cell_length_a 4\n"), ValueError)(),
            raises(lambda: Structure.from_str(XYZ, "pdb"), ValueError)(),
            raises(lambda: Structure.from_poscar("/nonexistent/POSCAR"), OSError)(),
        ),
        "errors: methods": lambda: (
            raises(lambda: mixed.prdf(-1.0), ValueError)(),
            raises(lambda: mixed.total_rdf(1e300, 1e299), ValueError)(),
            raises(lambda: mixed.prdf(n_threads=-1), (TypeError, ValueError, OverflowError))(),
            raises(lambda: mixed.make_supercell(0, 1, 1), ValueError)(),
            raises(lambda: mixed.expand_occupancies(max_sites=0), ValueError)(),
            raises(lambda: read_xyz_trajectory(TRAJECTORY, every=0), ValueError)(),
            raises(lambda: read_xyz_trajectory("/nonexistent.xyz"), FileNotFoundError)(),
            raises(lambda: read_trajectory(DUMP), ValueError)(),
            raises(lambda: Structure.from_arrays(CUBE, [[0, 0, 0]], [119]), ValueError)(),
            raises(lambda: Structure.from_arrays(CUBE, [[0, 0, 0]], [None]), TypeError)(),
        ),
    }


CASES = cases()


def growth(call, calls):
    for _ in range(max(50, calls // 10)):
        call()
    gc.collect()
    before = rss()
    for _ in range(calls):
        call()
    gc.collect()
    return rss() - before


@pytest.fixture
def only_new_objects_collected():
    """Garbage collections that look only at objects made from here on.

    After the rest of the suite the heap holds millions of objects, and a
    full collection walks them all: the four a case needs cost more than
    its calls. Frozen, the older objects are neither walked nor freed; what
    the calls leave in reference cycles is still collected."""
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.mark.parametrize("name", list(CASES))
def test_memory_is_flat(name, only_new_objects_collected):
    call = CASES[name]
    calls = CALLS if "KESTREL_LEAK_CALLS" in os.environ else HEAVY_CALLS.get(name, CALLS)
    # A leak grows the resident set in every round; the allocator taking a
    # new arena once does not. So the better of two rounds must be flat: a
    # leak of one small allocation per call would show as tens of kB.
    grown = min(growth(call, calls), growth(call, calls))
    assert grown <= 128 * 1024 + 32 * calls, f"{name}: RSS grew by {grown} bytes over {calls} calls"


if __name__ == "__main__":
    # Figures for the notes: python tests/test_leaks.py (with KESTREL_LEAK_CALLS).
    import time

    for name, call in CASES.items():
        start = time.perf_counter()
        grown = growth(call, CALLS)
        print(
            f"{name:24s} {CALLS} calls  RSS {rss() / 2**20:7.1f} MiB  grew {grown / 1024:8.1f} KiB  "
            f"{time.perf_counter() - start:6.2f} s"
        )
