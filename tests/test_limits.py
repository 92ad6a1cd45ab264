"""Requests for absurd memory or time end in a clear exception: never an
abort, a hang, or the machine's memory used up. Each case runs in a child
process whose address space is capped, so a runaway allocation fails there
(as MemoryError or a crash, which the test reports) instead of here."""

import json
import os
import resource
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT

ADDRESS_SPACE = 3 << 30  # enough for the interpreter, NumPy and a few threads

SETUP = """
import atexit, math, os, resource, tempfile
from kestrel import Structure, read_xyz_trajectory
cube = Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Na": 1}, {"Cl": 1}])
mixed = Structure(cube.lattice_matrix, cube.frac_coords, [{"Na": 0.5, "K": 0.5}, {"Cl": 0.5, "Br": 0.5}])
def write(text):
    fd, path = tempfile.mkstemp()
    atexit.register(os.remove, path)
    os.write(fd, text.encode())
    os.close(fd)
    return path
def cap_address_space(budget):
    # The budget counts from what the interpreter maps now, so it does not
    # depend on how large this Python and its libraries are.
    size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (size + budget, hard))
"""


def run_capped(code, timeout=60):
    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), OPENBLAS_NUM_THREADS="1")
    script = SETUP + textwrap.dedent(code)
    out = subprocess.run(
        [sys.executable, "-c", script],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        preexec_fn=cap,
        cwd=ROOT,
    )
    assert out.returncode == 0, f"exit {out.returncode}: {out.stderr[-2000:]}"
    return out.stdout.strip()


HUGE = 10**15

CASES = {
    "fine bins": ("cube.prdf(10.0, 1e-12)", "cutoff and bin_size give 10000000000000 bins, too many for 2 elements"),
    "infinite cutoff": ("cube.total_rdf(math.inf, 1.0)", "cutoff and bin_size give 18446744073709551614 bins"),
    "cutoff 1e300": ("cube.total_rdf(1e300, 1e299)", "the cutoff reaches too many periodic images of this cell"),
    "cutoff 1e6": ("cube.prdf(1e6, 1e5, n_threads=2)", "the cutoff reaches too many periodic images of this cell"),
    "thin cell": (
        "Structure([[4, 1e-9, 0], [0.2, 0, 51], [0, 0, 1]], [[0, 0, 0]], [{'Si': 1}]).total_rdf(50.0, 5.0)",
        "the cutoff reaches too many periodic images of this cell: the neighbour search would make about 2.8e+15 "
        "distance tests, more than the limit of 1.0e+14",
    ),
    "supercell 1e7": (
        "cube.make_supercell(10**7, 10**7, 10**7)",
        "a 10000000x10000000x10000000 supercell of a 2-site structure would exceed the limit of 2147483647 sites",
    ),
    "supercell 1000^3": (
        "cube.make_supercell(1000, 1000, 1000)",
        "a 1000x1000x1000 supercell of 2000000000 sites needs more memory",
    ),
    "poscar count": (
        f"Structure.from_str('x\\n1\\n4 0 0\\n0 4 0\\n0 0 4\\nNa\\n{HUGE}\\nDirect\\n0 0 0\\n', 'poscar')",
        "",
    ),
    "poscar counts summing past 2^64": (
        "Structure.from_str('x\\n1\\n4 0 0\\n0 4 0\\n0 0 4\\nNa Cl\\n18446744073709551615 18446744073709551615\\n"
        "Direct\\n0 0 0\\n', 'poscar')",
        "",
    ),
    "xyz count": (f"Structure.from_str('{HUGE}\\nLattice=\"4 0 0 0 4 0 0 0 4\"\\nNa 0 0 0\\n', 'xyz')", ""),
    "xyz file count": (
        f"Structure.from_xyz(write('{HUGE}\\nLattice=\"4 0 0 0 4 0 0 0 4\"\\nNa 0 0 0\\n'))",
        "",
    ),
    "trajectory count": (
        f"read_xyz_trajectory(write('{HUGE}\\nLattice=\"4 0 0 0 4 0 0 0 4\"\\nNa 0 0 0\\n'))",
        f"frame 0 ends after 1 of {HUGE} atoms",
    ),
    "trajectory skipped count": (
        f"read_xyz_trajectory(write('1\\nLattice=\"4 0 0 0 4 0 0 0 4\"\\nNa 0 0 0\\n{HUGE}\\nc\\n'), every=2)",
        f"frame 1 ends after 0 of {HUGE} atoms",
    ),
    "cif positions": (
        "Structure.from_cif_str('data_x\\n_cell_length_a 4\\n_cell_length_b 4\\n_cell_length_c 4\\n"
        "_cell_angle_alpha 90\\n_cell_angle_beta 90\\n_cell_angle_gamma 90\\n"
        "loop_\\n_symmetry_equiv_pos_as_xyz\\n' + 'x,y,z\\n' * 5000 + "
        "'loop_\\n_atom_site_label\\n_atom_site_fract_x\\n_atom_site_fract_y\\n_atom_site_fract_z\\n' + "
        "'Na 0 0 0\\n' * 5000)",
        "CIF expands to 25000000 positions",
    ),
}


@pytest.fixture(scope="module")
def absurd_outcomes():
    """What each absurd request raised, all tried in one capped child: each
    case is a refusal, so none leaves anything behind for the next, and a
    crash in any of them fails them all."""
    expressions = {name: case[0] for name, case in CASES.items()}
    code = f"""
    import json
    outcomes = {{}}
    for name, expression in {expressions!r}.items():
        try:
            eval(expression)
        except ValueError as error:
            # A file's failures name the file first; what follows is the reader's.
            outcomes[name] = "ValueError: " + str(getattr(error, "reason", None) or error)
        else:
            outcomes[name] = "no error"
    print(json.dumps(outcomes))
    """
    return json.loads(run_capped(code))


@pytest.mark.parametrize("name", list(CASES))
def test_absurd_requests_fail_cleanly(absurd_outcomes, name):
    got = absurd_outcomes[name]
    assert got.startswith("ValueError: " + CASES[name][1]), got


# The budgets are the child's address space beyond what it maps before the
# call: small, so that running out costs the child a fraction of a second,
# each request sized so that it runs out at the same stage as it did with
# budgets of gigabytes. A smaller site record or histogram moves the stage;
# the sizes in the comments say where each one stands.
@pytest.mark.parametrize(
    "call, expected, budget",
    [
        # Below this machine's memory, above the budget; the site array itself
        # (48 bytes a site, 534 MiB) fits, the mixed sites' species blocks
        # then use up the rest (ordered sites hold theirs inline).
        ("mixed.make_supercell(180, 180, 180)", "WorkLimitError", 768 << 20),
        # Under the 4 GiB histogram guard, over the budget: the histograms
        # (50 MiB a curve) cannot be allocated, on a worker or on the caller.
        ("cube.prdf(10.0, 1.6e-6, n_threads=1)", "MemoryError", 360 << 20),
        ("cube.total_rdf(10.0, 2.4e-6)", "MemoryError", 360 << 20),
        # The supercell (48 bytes a site, 201 MiB) fits; its expansion (near
        # 700 MiB at its peak) does not.
        ("cube.make_supercell(130, 130, 130).expand_occupancies(max_sites=10**9)", "MemoryError", 575 << 20),
    ],
)
@pytest.mark.parametrize("where", ["main", "thread"])
def test_memory_running_out_is_an_exception(call, expected, budget, where):
    # The first C++ exception of a thread needs memory of its own; a thread
    # whose first one was the out-of-memory error aborted the process.
    code = f"""
    import threading
    outcome = []
    def body():
        try:
            {call}
            outcome.append("computed")
        except (ValueError, MemoryError) as error:
            outcome.append(type(error).__name__)
    cap_address_space({budget})
    if {where!r} == "main":
        body()
    else:
        t = threading.Thread(target=body)
        t.start()
        t.join()
    print(outcome[0])
    """
    assert run_capped(code, timeout=120) == expected


def test_reader_counts_name_the_truncation():
    """The readers' own words for a count they cannot hold."""
    code = f"""
    for text, fmt in [('x\\n1\\n4 0 0\\n0 4 0\\n0 0 4\\nNa\\n{HUGE}\\nDirect\\n0 0 0\\n', 'poscar'),
                      ('{HUGE}\\nLattice="4 0 0 0 4 0 0 0 4"\\nNa 0 0 0\\n', 'xyz')]:
        try:
            Structure.from_str(text, fmt)
        except ValueError as error:
            print(str(error).replace(' ', '_'))
    """
    messages = run_capped(code).split()
    assert len(messages) == 2
    assert all(str(HUGE) in m for m in messages), messages


def test_hundred_thousand_threads_start_or_fail_with_a_message():
    # With the address space capped, thread stacks run out long before 65535.
    code = """
    try:
        r, total = cube.total_rdf(5.0, 0.5, n_threads=100000)
        print("computed", len(r))
    except ValueError as error:
        print("refused", error)
    print(len(os.listdir('/proc/self/task')))
    r, total = cube.total_rdf(5.0, 0.5, n_threads=2)
    print("still usable", len(r))
    """
    lines = run_capped(code, timeout=120).splitlines()
    assert lines[0] == "computed 10" or lines[0].startswith("refused could not start 100000 worker threads: "), lines
    assert lines[-1] == "still usable 10"


def test_a_small_cell_at_a_long_cutoff_is_still_computed():
    # Copper at 60 A: tens of thousands of images of its one-atom cell per site, far from the limit.
    from kestrel import Structure

    cu = Structure([[0, 1.8, 1.8], [1.8, 0, 1.8], [1.8, 1.8, 0]], [[0, 0, 0]], [{"Cu": 1}])
    r, total = cu.total_rdf(60.0, 0.5)
    assert len(r) == 120 and total[4] == 0.0 and total[5] > 0  # neighbours at 2.55 A


def test_skewed_cell_from_fuzzing_is_computed():
    # A 0.13 A^3 cell the POSCAR fuzzer built: the search reaches thousands
    # of images along its thin axis, and must finish, not be refused.
    text = (ROOT / "tests" / "fuzz" / "regressions" / "poscar-thin-cell").read_text()
    code = f"""
    s = Structure.from_str({text!r}, 'poscar')
    r, total = s.total_rdf(1.5, 0.5)
    print(len(r), s.n_sites)
    """
    assert run_capped(code) == "3 8"
