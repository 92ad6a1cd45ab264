"""Several Python threads in the RDF engine and the trajectory reader at once;
the default pool's size fixed at first use; dedicated pools leave no threads."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from conftest import EXAMPLES, ROOT
from kestrel import Structure, read_xyz_trajectory

TRAJECTORY = EXAMPLES / "Cu_md.xyz"


def thread_count():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture(scope="module")
def shared_structures():
    rng = np.random.default_rng(8)
    disordered = Structure(
        [[6.0, 0.4, 0.0], [0.0, 5.5, 0.3], [0.2, 0.0, 6.2]],
        rng.uniform(-0.5, 1.5, size=(40, 3)).tolist(),
        [{"Fe": 0.5, "Ni": 0.3} if k % 3 else {"O": 1.0} for k in range(40)],
    )
    ordered = Structure.from_cif(str(EXAMPLES / "NaCl.cif")).make_supercell(2, 2, 2)
    return [disordered, ordered]


def run_all(jobs, n_threads):
    """Runs every job on its own Python thread, all released at once."""
    barrier = threading.Barrier(len(jobs))
    results, errors = [None] * len(jobs), []

    def worker(k, job):
        try:
            barrier.wait()
            for _ in range(3):
                results[k] = job()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(k, job)) for k, job in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a call did not return"
    assert not errors, errors
    return results


@pytest.mark.parametrize("n_threads", [0, 1, 3])
def test_concurrent_calls_match_serial(shared_structures, n_threads):
    def prdf(s):
        return lambda: s.prdf(5.0, 0.1, n_threads=n_threads)

    def total(s):
        return lambda: s.total_rdf(7.0, 0.05, n_threads=n_threads)

    def trajectory():
        return read_xyz_trajectory(str(TRAJECTORY), every=3, start=1)

    jobs = [prdf(s) for s in shared_structures] + [total(s) for s in shared_structures] + [trajectory] * 2
    jobs = jobs * 2
    serial = [job() for job in jobs[: len(jobs) // 2]]
    results = run_all(jobs, n_threads)
    for k, got in enumerate(results):
        want = serial[k % len(serial)]
        if k % len(serial) < 2:  # prdf
            np.testing.assert_array_equal(got[0], want[0])
            assert list(got[1]) == list(want[1])
            for key in want[1]:
                np.testing.assert_allclose(got[1][key], want[1][key], rtol=1e-12, atol=0)
            np.testing.assert_allclose(got[2], want[2], rtol=1e-12, atol=0)
        elif k % len(serial) < 4:  # total_rdf
            np.testing.assert_array_equal(got[0], want[0])
            np.testing.assert_allclose(got[1], want[1], rtol=1e-12, atol=0)
        else:
            structures, frames, read = got
            assert frames == want[1] and read == want[2]
            assert [s.frac_coords for s in structures] == [s.frac_coords for s in want[0]]
            assert [s.lattice_matrix for s in structures] == [s.lattice_matrix for s in want[0]]


def test_threads_mixing_pools_and_errors(shared_structures):
    """Failing calls next to working ones, on the default and dedicated pools."""
    s = shared_structures[0]
    want = s.total_rdf(4.0, 0.1, n_threads=1)[1]

    def ok(n):
        return lambda: s.total_rdf(4.0, 0.1, n_threads=n)[1]

    def refused():
        with pytest.raises(ValueError, match="bin_size must be positive"):
            s.total_rdf(4.0, 5.0, n_threads=2)
        return None

    results = run_all([ok(0), ok(2), refused, ok(0), ok(1), refused], None)
    for got in results:
        if got is not None:
            np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


def run_python(code, **env):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environment["OPENBLAS_NUM_THREADS"] = "1"
    environment.update(env)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run(
        [sys.executable, "-c", code], env=environment, capture_output=True, text=True, timeout=120, cwd=ROOT
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


def test_default_pool_size_is_read_once():
    code = """
import os
import numpy  # its own threads, if any, start here and are not counted
from kestrel import Structure
def tasks(): return len(os.listdir('/proc/self/task'))
s = Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0], [0.5, 0.5, 0.5]], [{'Fe': 1}, {'Ni': 1}])
before = tasks()
print(Structure.available_threads())
s.prdf(6.0, 0.1)
after_first = tasks()
os.environ['RAYON_NUM_THREADS'] = '7'
os.environ['RAYON_RS_NUM_CPUS'] = '9'
s.total_rdf(6.0, 0.1)
print(Structure.available_threads(), after_first - before, tasks() - before)
"""
    assert run_python(code, RAYON_NUM_THREADS="3") == ["3", "3", "3", "3"]


def test_dedicated_pools_leave_no_threads(shared_structures):
    s = shared_structures[0]
    s.total_rdf(3.0, 0.1)  # the default pool exists from here on
    baseline = thread_count()
    for k in range(150):
        s.total_rdf(3.0, 0.1, n_threads=1 + k % 9)
    assert thread_count() == baseline
    with pytest.raises(ValueError):
        s.total_rdf(3.0, 0.0, n_threads=4)
    assert thread_count() == baseline
