"""Ctrl-C ends a long call with KeyboardInterrupt within half a second, and
the next call (on the same pool) works normally. Each case runs in a child
process that the test interrupts with a real SIGINT.

No case relies on how fast or how busy the machine is: the child says
"calling" as the long call is entered (a profile hook sees it), every long
call is work that no machine finishes in the seconds the test gives it, and
the half second is counted in the child's processor time (half a second for
each thread the call runs on), which a busy machine does not stretch."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import ROOT, cpu_seconds

SETUP = """
import signal, sys, time
from kestrel import Structure

# A shell starts background jobs with SIGINT ignored, and Python keeps that;
# the child must take Ctrl-C however the suite was started.
signal.signal(signal.SIGINT, signal.default_int_handler)


def announce(name):
    # Prints "calling" as the extension's method `name` is entered, so the
    # parent signals a call in progress rather than guessing when it starts.
    def hook(frame, event, arg):
        if event == "c_call" and getattr(arg, "__name__", "") == name:
            sys.setprofile(None)
            print("calling", flush=True)
    sys.setprofile(hook)


cube = Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Na": 1}, {"Cl": 1}])
mixed = Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0], [0.5, 0.5, 0.5]],
                  [{"Na": 0.1234567, "K": 0.8765433}, {"Cl": 1}])
big = cube.make_supercell(40, 40, 40)
"""

# Each call would run for minutes when left alone (the expansion fills a
# supercell of 3e7 sites, the RDFs count 1e11 pairs or more); the follow-up is
# quick and its result is checked against a value computed in a fresh process.
LONG_CALLS = {
    "prdf, many centres, dedicated pool": "big.prdf(40.0, 0.1, n_threads=2)",
    "prdf, many centres, default pool": "big.prdf(40.0, 0.1)",
    "total_rdf, one cell with a long reach": "cube.total_rdf(8000.0, 1.0)",
    "total_rdf, one cell, dedicated pool": "cube.total_rdf(8000.0, 1.0, n_threads=3)",
    "expand_occupancies": "mixed.expand_occupancies(max_sites=3 * 10**7, max_denominator=10**7)",
}

FOLLOW_UP = {
    "prdf": "float(big.prdf(6.0, 0.5, n_threads={threads})[2].sum())",
    "total_rdf": "float(cube.total_rdf(12.0, 0.5, n_threads={threads})[1].sum())",
    "expand_occupancies": "mixed.expand_occupancies(max_sites=2000, max_denominator=10**7)[0].n_sites",
}


def child(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen(
        [sys.executable, "-c", SETUP + textwrap.dedent(code)],
        env=env,
        cwd=ROOT,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def engine_threads(call):
    """Threads the engine runs `call` on, each of which may work on until it sees the stop."""
    for threads in ("2", "3"):
        if f"n_threads={threads}" in call:
            return int(threads)
    return 1 if call.startswith("mixed.expand_occupancies") else os.cpu_count()


def follow_up_for(name, call):
    method = next(key for key in FOLLOW_UP if call.split(".")[1].startswith(key))
    threads = "2" if "n_threads=2" in call else "3" if "n_threads=3" in call else "0"
    return FOLLOW_UP[method].format(threads=threads)


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_sigint_stops_a_long_call_and_the_next_call_works(name):
    call = LONG_CALLS[name]
    follow_up = follow_up_for(name, call)
    expected = child(f"print({follow_up})").communicate(timeout=120)[0].strip()

    proc = child(f"""
    print("ready", flush=True)
    announce({call.split("(")[0].split(".")[1]!r})
    try:
        {call}
        print("finished")
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.stdin.readline()  # still, while the parent reads the processor time spent
    print({follow_up})
    """)
    # A call that ignores Ctrl-C, or hangs on it, would block the reads below for ever.
    watchdog = threading.Timer(120, proc.kill)
    watchdog.start()
    try:
        assert proc.stdout.readline().strip() == "ready"
        assert proc.stdout.readline().strip() == "calling"
        time.sleep(0.2)  # past the hook's own lines, well inside the call
        proc.send_signal(signal.SIGINT)
        sent = cpu_seconds(proc.pid)
        first = proc.stdout.readline().strip()
        spent = cpu_seconds(proc.pid) - sent
        out, err = proc.communicate("go\n", timeout=120)
    finally:
        watchdog.cancel()
        proc.kill()  # a child that missed the signal would run for minutes
    assert first == "interrupted", (first, out, err)
    assert spent < 0.5 * engine_threads(call), spent
    assert out.split("\n")[0] == expected
    assert proc.returncode == 0, err


def test_sigint_handler_of_the_caller_runs_and_its_exception_propagates():
    # Any signal handler may raise; its exception, not ours, ends the call.
    proc = child("""
    import signal
    class Stop(Exception):
        pass
    def handler(number, frame):
        raise Stop("from the handler")
    signal.signal(signal.SIGINT, handler)
    print("ready", flush=True)
    announce("total_rdf")
    try:
        cube.total_rdf(8000.0, 1.0)
    except Stop as error:
        print("caught", error)
    print(float(cube.total_rdf(12.0, 0.5)[1].sum()) > 0)
    """)
    try:
        assert proc.stdout.readline().strip() == "ready"
        assert proc.stdout.readline().strip() == "calling"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert out.split("\n")[:2] == ["caught from the handler", "True"], (out, err)


def test_short_calls_from_another_thread_are_unaffected():
    # Signals are only handled on the main thread; a worker thread's call
    # still runs with the lock released and returns its curves.
    proc = child("""
    import threading
    results = []
    def body():
        results.append(float(cube.total_rdf(12.0, 0.5)[1].sum()))
    threads = [threading.Thread(target=body) for _ in range(4)]
    for t in threads: t.start()
    for t in threads: t.join()
    print(len(set(results)), len(results))
    """)
    out, err = proc.communicate(timeout=120)
    assert out.strip() == "1 4", err
