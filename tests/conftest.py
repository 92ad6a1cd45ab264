"""Shared fixtures and data paths for the test suite."""

import json
import logging
import os
import signal
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

from kestrel import Structure

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent
DATA = TESTS / "data"
EXAMPLES = ROOT / "examples"
# Real CIFs as laboratories publish them, laid beside the project checkout
# (or beside a folder holding it, as for a git worktree).
CORPUS = next(
    (
        folder / "shared" / "corpus" / "cod"
        for folder in ROOT.parents
        if (folder / "shared" / "corpus" / "cod").is_dir()
    ),
    ROOT.parent / "shared" / "corpus" / "cod",
)

CUBIC4 = [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]


def cpu_seconds(pid):
    """Processor time a running process has used so far, all its threads together.

    What a child does after an event, counted in its own processor time
    rather than on the clock, does not grow when a busy machine leaves it
    waiting for a processor."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime and stime


@pytest.fixture
def cubic4():
    """The 4 angstrom cubic cell as a matrix."""
    return [row[:] for row in CUBIC4]


@pytest.fixture
def rocksalt():
    """Conventional NaCl cell, 8 ordered sites."""
    a = 5.64
    na = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    cl = [[0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]]
    return Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], na + cl, [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4)


@pytest.fixture
def corpus_dir():
    if not CORPUS.is_dir():
        pytest.skip("the CIF corpus is not laid beside this checkout")
    return CORPUS


# ---- the command line ----------------------------------------------------------------------

# The environment of every command: a development PYTHONPATH made absolute, as
# some tests change directory.
COMMAND_ENV = dict(
    os.environ,
    PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p),
)

# A Python process that has imported the command line, NumPy and Matplotlib
# once, and forks a child for each command: the child takes the command's
# directory, standard streams and arguments and runs it as the console script
# would, from `main` to the exit status. The server starts no threads (NumPy's
# linear algebra runs on one; the engine's pool starts in the child, on its
# first computation), so the child is as fresh as a new process, less the
# imports.
_COMMAND_SERVER = r"""
import json, os, random, sys, traceback
import matplotlib, numpy
from kestrel.cli import main

def run(request):
    os.chdir(request["cwd"])
    for fd, path, flags in ((0, os.devnull, os.O_RDONLY), (1, request["stdout"], os.O_WRONLY),
                            (2, request["stderr"], os.O_WRONLY)):
        target = os.open(path, flags)
        os.dup2(target, fd)
        os.close(target)
    random.seed()  # a new process would not share the server's random state
    numpy.random.seed()
    sys.argv = ["kestrel", *request["argv"]]
    try:
        status = main()
    except SystemExit as stop:
        status = stop.code
    except BaseException:
        traceback.print_exc()
        status = 1
    if status is None:
        status = 0
    elif not isinstance(status, int):
        print(status, file=sys.stderr)
        status = 1
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    finally:
        os._exit(status & 0xFF)

for line in sys.stdin:
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        run(json.loads(line))
    print(pid, flush=True)
    print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
"""


class _CommandServer:
    process = None

    def run(self, args, cwd, timeout):
        if self.process is None or self.process.poll() is not None:
            self.process = subprocess.Popen(
                [sys.executable, "-c", _COMMAND_SERVER],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
                env=dict(COMMAND_ENV, OPENBLAS_NUM_THREADS="1"),
            )
        with tempfile.TemporaryDirectory() as folder:
            streams = {name: os.path.join(folder, name) for name in ("stdout", "stderr")}
            for path in streams.values():
                Path(path).touch()
            request = {"argv": args, "cwd": os.fspath(cwd or os.getcwd()), **streams}
            self.process.stdin.write(json.dumps(request) + "\n")
            self.process.stdin.flush()
            child = int(self.process.stdout.readline())
            stopped = []
            watchdog = threading.Timer(timeout, lambda: stopped.append(os.kill(child, signal.SIGKILL)))
            watchdog.start()
            try:
                status = int(self.process.stdout.readline())
            finally:
                watchdog.cancel()
            if stopped:
                raise subprocess.TimeoutExpired(["kestrel", *args], timeout)
            out, err = (Path(streams[name]).read_text(encoding="utf-8") for name in ("stdout", "stderr"))
        return subprocess.CompletedProcess(["kestrel", *args], status, out, err)

    def close(self):
        if self.process is not None:
            self.process.stdin.close()
            self.process.wait()
            self.process = None


_COMMANDS = _CommandServer()


def run_kestrel(*args, cwd=None, timeout=300):
    """``kestrel *args`` as a finished process (its status, standard output and error).

    Runs in a child forked from a process that has imported the command line
    already, which saves each command the second or so of starting Python and
    importing; tests of how the command starts (its console script, its
    environment, signals) start a process of their own."""
    return _COMMANDS.run([str(a) for a in args], cwd, timeout)


@pytest.fixture(scope="session", autouse=True)
def _command_server_closed():
    yield
    _COMMANDS.close()


# Property-based tests: a bounded search for every run ("ci"), and a long one on
# demand (HYPOTHESIS_PROFILE=long), which draws its examples afresh each run; a
# failure prints the falsifying example and how to reproduce it.
try:
    from hypothesis import HealthCheck
    from hypothesis import settings as _hypothesis_settings
except ImportError:  # the property tests skip themselves
    pass
else:
    _shared = dict(
        deadline=None, print_blob=True, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much]
    )
    # The suite's own run draws the same examples every time, so that a pass
    # or a failure in CI is the code's and not the draw's; the long profile
    # searches afresh.
    _hypothesis_settings.register_profile("ci", max_examples=30, derandomize=True, **_shared)
    _hypothesis_settings.register_profile("long", max_examples=1500, **_shared)
    _hypothesis_settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def local_cluster():
    """A real Dask cluster on this machine: two worker processes of one thread each.

    Its web server takes a free port: the default one may be held by another cluster,
    which only costs a warning."""
    distributed = pytest.importorskip("distributed")
    return distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.CRITICAL
    )


@pytest.fixture(scope="module")
def cluster():
    with local_cluster() as c:
        yield c
