"""Where the chunks run: local threads, local worker processes or a Dask cluster."""

from __future__ import annotations

import dataclasses
import math
import multiprocessing
import os
import uuid
from concurrent.futures import FIRST_COMPLETED, Executor, ProcessPoolExecutor, ThreadPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from kestrel._kestrel import Structure
from kestrel.batch.rows import _Job, _JobDone, _ReadFile, _Rows, _run_job, _source_path, _StructureRecord
from kestrel.batch.schema import _write_part
from kestrel.batch.settings import _require, _Settings
from kestrel.batch.sources import _identity

try:
    import resource
except ImportError:  # not on this system: worker processes run without a memory cap
    resource = None  # type: ignore[assignment]

# Sources per chunk. A chunk is the unit of work handed to a thread, process or
# Dask worker and, on disk, one Parquet part: large enough that the fixed cost
# of a task and of a file is small beside the structures, small enough that a
# chunk's rows stay a few megabytes and the progress bar moves.
CHUNK_SIZE = 256
# Below this many sources the run stays in this process on threads: starting
# worker processes (each imports NumPy and pyarrow) takes half a second to a
# few seconds on a busy machine, longer than such a run takes on threads.
PROCESS_THRESHOLD = 2000

ProgressCallback = Callable[[int, int, int], None]


def _encode(item: Union[str, _ReadFile, Structure, _StructureRecord]) -> Union[str, _StructureRecord]:
    if isinstance(item, _ReadFile):  # another process reads the file itself
        return item.path
    if isinstance(item, Structure):
        return (item.lattice_matrix, item.frac_coords, item.species)
    return item


# Tables written before inputs were computed again one at a time hold this for every
# input of a chunk whose worker died; resuming such a table computes them again.
WORKER_LOST = (
    "the worker computing this chunk ended abruptly (killed, or out of memory); its structures were not computed"
)
WORKER_DIED = (
    "the worker process died computing this input alone (killed by a signal or a resource limit, or out of memory)"
)


def _finished(job: _Job, batch, errors: int, warned: int = 0) -> _JobDone:
    """A chunk's rows written to its Parquet part, or kept to hand back to the caller."""
    done = _JobDone(job.number, len(job.items), batch.num_rows, errors, warned)
    if job.part_path is None:
        done.batch = batch
    else:
        _write_part(batch, job.part_path)
    return done


def _lost_job(job: _Job) -> _JobDone:
    """The error row of an input that killed the worker computing it alone."""
    rows = _Rows(job.settings)
    for index, item in job.items:
        path = _source_path(item)
        rows.add(index, path, _identity(path) if path else (None, None), None, None, None, WORKER_DIED, 0.0, None)
    return _finished(job, rows.record_batch(), rows.errors)


def _one_at_a_time(job: _Job, run_alone: Callable[[_Job], Optional[_JobDone]]) -> _JobDone:
    """A chunk whose worker died, computed again one input at a time.

    Which input killed the worker is not known, and chunks that only shared the
    worker (or, locally, its pool) died with it. Alone, an input that kills its
    worker again is one error row, and every other input of the chunk is computed.
    ``run_alone`` returns None when the input's worker died.
    """
    pa = _require("pyarrow")
    batches = []
    errors = warned = 0
    for item in job.items:
        single = dataclasses.replace(job, items=[item], part_path=None)
        done = run_alone(single) or _lost_job(single)
        batches.append(done.batch)
        errors += done.errors
        warned += done.warned
    return _finished(job, pa.Table.from_batches(batches).combine_chunks().to_batches()[0], errors, warned)


class _Runner:
    """Runs jobs on threads, local processes or a Dask client, a bounded number in flight."""

    def __init__(self, mode: str, workers: int, client=None):
        self.mode = mode
        self.workers = workers
        self.client = client
        self._alone: Optional[Executor] = None  # one process that computes a broken chunk's inputs one at a time

    def run(self, jobs: Iterator[_Job], on_done: Callable[[_JobDone], None]) -> None:
        if self.mode == "dask":
            self._run_dask(jobs, on_done)
        else:
            self._run_local(jobs, on_done)

    def _executor(self, workers: int = 0) -> Executor:
        workers = workers or self.workers
        if self.mode == "threads":
            return ThreadPoolExecutor(workers, thread_name_prefix="kestrel-batch")
        # spawn, not fork: a forked child would inherit the engine's thread
        # pool without its threads. Each process computes one structure at a
        # time on one engine thread; the processes fill the cores.
        return ProcessPoolExecutor(
            workers,
            mp_context=multiprocessing.get_context("spawn"),
            initializer=_start_worker_process,
            initargs=(_memory_budget(self.workers),),
        )

    def _run_alone_locally(self, job: _Job) -> Optional[_JobDone]:
        if self._alone is None:
            self._alone = self._executor(1)
        try:
            return self._alone.submit(_run_job, job).result()
        except BrokenProcessPool:
            self._alone.shutdown(wait=False)
            self._alone = None
            return None

    def _run_local(self, jobs: Iterator[_Job], on_done: Callable[[_JobDone], None]) -> None:
        executor = self._executor()
        in_flight: Dict[Any, Tuple[_Job, Executor]] = {}

        def collect(future) -> None:
            nonlocal executor
            job, ran_on = in_flight.pop(future)
            try:
                done = future.result()
            except BrokenProcessPool:
                # A dead process breaks the whole pool: a fresh pool takes the
                # chunks to come, and each chunk that was in flight is computed
                # again beside it, one input at a time.
                if ran_on is executor:
                    executor.shutdown(wait=False)
                    executor = self._executor()
                done = _one_at_a_time(job, self._run_alone_locally)
            on_done(done)

        def submit(job: _Job) -> None:
            nonlocal executor
            try:
                future = executor.submit(_run_job, job)
            except BrokenProcessPool:
                # A process died after the last collect: the pool refuses new
                # work before its broken futures are seen. A fresh pool takes it.
                executor.shutdown(wait=False)
                executor = self._executor()
                future = executor.submit(_run_job, job)
            in_flight[future] = (job, executor)

        try:
            for job in jobs:
                if self.mode == "processes":
                    job.items = [(index, _encode(item)) for index, item in job.items]
                submit(job)
                # Twice the workers in flight keeps every worker fed while the
                # rest of the sources wait as plain paths.
                while len(in_flight) >= 2 * self.workers:
                    finished, _ = wait(list(in_flight), return_when=FIRST_COMPLETED)
                    # In chunk order: a chunk collected before an earlier one
                    # waits unwritten, and is lost if the caller stops then.
                    for future in sorted(finished, key=lambda f: in_flight[f][0].number):
                        collect(future)
            while in_flight:
                collect(next(iter(in_flight)))
        finally:
            # On an interruption the chunks not yet started are dropped; those
            # running finish and keep their parts for the next run.
            executor.shutdown(wait=True, cancel_futures=True)
            if self._alone is not None:
                self._alone.shutdown(wait=True)
                self._alone = None

    def _run_dask(self, jobs: Iterator[_Job], on_done: Callable[[_JobDone], None]) -> None:
        distributed = _require("distributed")
        limit = 2 * max(1, sum(self.client.nthreads().values()))
        pending = distributed.as_completed()
        submitted: Dict[str, _Job] = {}
        # Where the tasks of this run mark that they started, on the scheduler.
        run = [DASK_MARKS, uuid.uuid4().hex]

        def submit(job: _Job):
            return self.client.submit(_run_dask_job, job, [*run, uuid.uuid4().hex], pure=False)

        def result(future) -> Optional[_JobDone]:
            try:
                done = future.result()
            except distributed.KilledWorker:  # a scheduler that allows no retries
                done = None
            future.release()
            return done

        def run_alone(job: _Job) -> Optional[_JobDone]:
            return result(submit(job))

        def collect(future) -> None:
            job = submitted.pop(future.key)
            done = result(future)
            on_done(done if done is not None else _one_at_a_time(job, run_alone))

        try:
            for job in jobs:
                job.items = [(index, _encode(item)) for index, item in job.items]
                future = submit(job)
                submitted[future.key] = job
                pending.add(future)
                while len(submitted) >= limit:
                    collect(next(pending))
            for future in pending:
                collect(future)
        finally:
            try:
                self.client.run_on_scheduler(_forget_marks, run)
            except Exception:  # noqa: BLE001 - a scheduler that refuses this keeps a few bytes per run
                pass


def _one_engine_thread() -> None:
    os.environ["RAYON_NUM_THREADS"] = "1"


# The least memory budget a worker process gets, whatever the machine.
MIN_BUDGET = 1 << 30


def _memory_budget(workers: int) -> int:
    """Bytes each of `workers` processes may take: an equal share of the machine's memory."""
    try:
        total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return 0
    return max(MIN_BUDGET, total // max(1, workers))


def _data_size() -> int:
    """The private writable memory this process has mapped (what RLIMIT_DATA counts), or 0."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmData:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def _limit_memory(budget: int) -> None:
    """Caps the data this process may allocate at `budget` bytes (0: no cap).

    A structure that needs more fails its own allocation, which is a MemoryError and so
    an error row, instead of the kernel or a nanny killing the whole worker and its chunk.
    """
    if resource is None:
        return
    if budget <= 0 or _data_size() * 2 > budget:
        return  # a cap this near what the process holds already would fail its ordinary work
    soft, hard = resource.getrlimit(resource.RLIMIT_DATA)
    if hard != resource.RLIM_INFINITY:
        budget = min(budget, hard)
    if soft == resource.RLIM_INFINITY or soft > budget:
        resource.setrlimit(resource.RLIMIT_DATA, (budget, hard))


def _start_worker_process(budget: int) -> None:
    _one_engine_thread()
    _limit_memory(budget)


# The scheduler's metadata key under which a run's tasks mark that they started.
DASK_MARKS = "kestrel-batch"


def _run_dask_job(job: _Job, mark: List[str]) -> Optional[_JobDone]:
    """A chunk on a Dask worker, whose process keeps under the worker's memory limit.

    The nanny restarts a worker that passes its limit and the scheduler hands the chunk
    to the next worker, which dies the same way; capped just below that limit, the
    allocation fails instead and the structure that asked for it is one error row.

    A worker that dies all the same (killed, or a crash) makes the scheduler hand the
    chunk to the next worker. That second start finds the chunk's mark and returns None
    instead of computing it, so the caller computes it one input at a time, and an input
    that kills workers costs two (in its chunk, then alone), not every worker in turn.
    """
    distributed = _require("distributed")
    client = distributed.get_client()
    if client.get_metadata(mark, False):
        return None
    client.set_metadata(mark, True)
    limit = getattr(getattr(distributed.get_worker(), "memory_manager", None), "memory_limit", None)
    if limit:
        _limit_memory(int(limit * 0.9))
    return _run_job(job)


def _forget_marks(run: List[str], dask_scheduler=None) -> None:
    """Drop the marks of a finished run from the scheduler's metadata."""
    marks = dask_scheduler.task_metadata.get(run[0], {})
    marks.pop(run[1], None)
    if not marks:
        dask_scheduler.task_metadata.pop(run[0], None)


def _local_workers(workers: Optional[int]) -> int:
    n = workers if workers is not None else (os.cpu_count() or 1)
    if n < 1:
        raise ValueError(f"workers must be 1 or more, not {n}")
    return n


def _runner(n_sources: int, workers: Optional[int], client, processes: Optional[bool]) -> Tuple[_Runner, Any]:
    """Where the chunks run, and a client to close afterwards when we opened it."""
    if client is not None:
        distributed = _require("distributed")
        owned = None
        if isinstance(client, str):
            client = owned = distributed.Client(client)
        n = max(1, sum(client.nthreads().values()))
        return _Runner("dask", n, client), owned
    n = _local_workers(workers)
    return _Runner("threads" if _on_threads(n_sources, workers, client, processes) else "processes", n, None), None


def _on_threads(n_sources: int, workers: Optional[int], client, processes: Optional[bool]) -> bool:
    """Whether a run of this many sources stays on threads in this process."""
    if client is not None:
        return False
    if processes is None:
        return _local_workers(workers) == 1 or n_sources < PROCESS_THRESHOLD
    return not processes


def _chunk_size(n_sources: int, workers: int) -> int:
    # Small runs are cut finer so that every worker gets a share.
    return max(1, min(CHUNK_SIZE, math.ceil(n_sources / (4 * workers))))


def _jobs(
    items: List[Tuple[int, Any]],
    settings: _Settings,
    size: int,
    n_threads: int,
    part_name: Optional[Callable[[int], str]],
) -> Iterator[_Job]:
    for number, start in enumerate(range(0, len(items), size)):
        yield _Job(items[start : start + size], settings, part_name(number) if part_name else None, n_threads, number)


def _run(
    items, settings, runner: _Runner, part_name, progress: Optional[ProgressCallback], sink: Callable[[Any], None]
) -> Dict[str, int]:
    """Run every chunk; returns the counts (sources, rows, errors, warned).

    Chunks that come back with their rows (no part file) hand them to ``sink``
    in chunk order, whatever order they finish in.
    """
    counts = {"sources": 0, "rows": 0, "errors": 0, "warned": 0}
    finished_early: Dict[int, Any] = {}
    next_number = 0
    total = len(items)
    # Local processes and Dask workers run one engine thread per structure
    # (set where they start). Several threads here compute a structure each
    # on one engine thread: most structures are too small to split, and
    # splitting each over the shared pool made the threads wait on each
    # other. A single thread here hands each structure to the whole pool.
    n_threads = 1 if runner.mode == "threads" and runner.workers > 1 else 0

    def on_done(done: _JobDone) -> None:
        counts["sources"] += done.sources
        counts["rows"] += done.rows
        counts["errors"] += done.errors
        counts["warned"] += done.warned
        nonlocal next_number
        if done.batch is not None:
            finished_early[done.number] = done.batch
        while next_number in finished_early:
            sink(finished_early.pop(next_number))
            next_number += 1
        if progress is not None:
            progress(counts["sources"], total, counts["errors"])

    if progress is not None:
        progress(0, total, 0)
    runner.run(_jobs(items, settings, _chunk_size(total, runner.workers), n_threads, part_name), on_done)
    return counts
