"""Trajectories: reading XYZ and LAMMPS dump files, and frame-averaged RDFs.

The frames are streamed from the file in chunks through one open file (a pipe
works too), so memory follows one chunk rather than the file; the next chunk
is read on a second thread while the curves of the current one are computed
(both release the interpreter lock), small frames side by side on the
engine's threads. An MDAnalysis Universe or an iterable of ASE Atoms serves
as a trajectory as well.
"""

from __future__ import annotations

import concurrent.futures
import itertools
import math
import os
import stat
from dataclasses import dataclass, field
from typing import (
    Any,
    Callable,
    Dict,
    Iterable,
    Iterator,
    List,
    Mapping,
    Optional,
    Sequence,
    Tuple,
    Union,
)

import numpy as np

from kestrel._defaults import BIN_SIZE, CUTOFF
from kestrel._kestrel import Structure, _count_xyz_trajectory_frames, _next_trajectory_chunk, _open_trajectory

Pair = Tuple[str, str]

__all__ = ["TrajectoryRdf", "read_trajectory", "trajectory_format", "trajectory_rdf"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
TypeNames = Mapping[Union[int, str], str]
# No limit on a chunk: the whole selection at once.
UNLIMITED = 2**64 - 1

# A chunk ends after the frame that reaches either bound: a few frames of a
# small system, or one frame of a huge one.
CHUNK_FRAMES = 32
CHUNK_ATOMS = 1_000_000


@dataclass(repr=False)
class TrajectoryRdf:
    """Mean and standard deviation over frames of the partial and total curves."""

    r: np.ndarray
    mean_partials: Dict[Pair, np.ndarray]
    std_partials: Dict[Pair, np.ndarray]
    mean_total: np.ndarray
    std_total: np.ndarray
    frame_indices: List[int] = field(default_factory=list)
    frames_read: int = 0
    mean_volume: float = 0.0  # Å³
    mean_n_atoms: float = 0.0
    mean_composition: Dict[str, float] = field(default_factory=dict)
    last_frame: Optional[Structure] = None

    @property
    def n_frames(self) -> int:
        return len(self.frame_indices)

    def __repr__(self) -> str:
        upper = float(self.r[-1]) + (float(self.r[1] - self.r[0]) if len(self.r) > 1 else 0.0)
        partials = len(self.mean_partials)
        bins = len(self.r)
        return (
            f"TrajectoryRdf({self.n_frames} of {self.frames_read} frames "
            f"({self.frame_indices[0]} to {self.frame_indices[-1]}), {partials} partial{'s' * (partials != 1)}, "
            f"{bins} bin{'s' * (bins != 1)} up to {upper:g} Å)"
        )


class _RunningMoments:
    """Mean and sum of squared deviations of curves, one frame at a time
    (Welford's update, which does not lose the spread to cancellation)."""

    def __init__(self) -> None:
        self.count = 0
        self.mean: Dict[Any, np.ndarray] = {}
        self.squares: Dict[Any, np.ndarray] = {}

    def add(self, curves: Dict[Any, np.ndarray], zeros: np.ndarray) -> None:

        self.count += 1
        for key in set(self.mean) | set(curves):
            # A curve missing from a frame (an element it does not hold)
            # counts as zero there, in earlier frames as in later ones.
            value = curves.get(key, zeros)
            mean = self.mean.setdefault(key, np.zeros_like(zeros))
            squares = self.squares.setdefault(key, np.zeros_like(zeros))
            delta = value - mean
            mean += delta / self.count
            squares += delta * (value - mean)

    def std(self, key: Any) -> np.ndarray:

        return np.sqrt(self.squares[key] / self.count)


TRAJECTORY_FORMATS = ("xyz", "lammps-dump")


def trajectory_format(path: PathLike) -> str:
    """The reader a file name calls for: "lammps-dump" for ``*.lammpstrj``,
    ``*.dump`` and ``dump.*`` names, else "xyz"."""
    name = os.path.basename(os.fsdecode(path)).lower()
    if name.endswith((".lammpstrj", ".dump")) or name.startswith("dump."):
        return "lammps-dump"
    return "xyz"


def read_trajectory(
    path: PathLike,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    types: Optional[TypeNames] = None,
    fmt: Optional[str] = None,
) -> Tuple[List[Structure], List[int], int]:
    """Read selected frames of an XYZ trajectory or a LAMMPS text dump.

    The reader follows ``fmt`` ("xyz" or "lammps-dump"), else the file name
    (see ``trajectory_format``). Keeps frames
    start, start + every, ... before stop; ``cell`` serves XYZ frames without
    a Lattice field, ``types`` ({1: "Na", 2: "Cl"}) names the elements of a
    dump's atom types when it has no element column. Returns
    (structures, frame_indices, frames_read).
    """
    if fmt is not None and fmt not in TRAJECTORY_FORMATS:
        raise ValueError(f"fmt must be one of {', '.join(TRAJECTORY_FORMATS)}, got {fmt!r}")
    stream = _open_trajectory(os.fspath(path), every, start, stop, cell, types, fmt or trajectory_format(path))
    structures, indices, (frames_read, _) = _next_trajectory_chunk(stream, UNLIMITED, UNLIMITED)
    return structures, indices, frames_read


# A chunk of frames: their structures, their indices, how many frames were
# read up to its end, and whether the trajectory ended with it.
Chunk = Tuple[List[Structure], List[int], int, bool]


def _file_chunks(path: Union[str, bytes], every, start, stop, cell, types) -> Iterator[Chunk]:
    """The chunks of a file, each read on a second thread while the caller works on the one before."""
    stream = _open_trajectory(path, every, start, stop, cell, types, trajectory_format(path))

    def read():
        structures, indices, (frames_read, finished) = _next_trajectory_chunk(stream, CHUNK_FRAMES, CHUNK_ATOMS)
        return structures, indices, frames_read, finished

    reader = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="kestrel-trajectory")
    try:
        pending: Optional[concurrent.futures.Future] = reader.submit(read)
        while pending is not None:
            chunk = pending.result()
            pending = None if chunk[3] else reader.submit(read)
            yield chunk
    finally:
        # After an error or Ctrl-C the chunk being read is not waited for:
        # it ends on its own and is dropped.
        reader.shutdown(wait=False, cancel_futures=True)


# Frames with fewer pairs within the cutoff than this (a few milliseconds of
# work) are computed side by side, one engine thread each; larger ones are
# split over every thread, one frame at a time, where Ctrl-C reaches them.
FRAME_PAIRS_SIDE_BY_SIDE = 5e6


def _pairs_within(structure: Structure, cutoff: float) -> float:
    """Roughly how many site pairs lie within the cutoff: the work of one frame."""
    n = structure.n_sites
    return 0.5 * n * n / structure.volume * (4.0 / 3.0) * math.pi * cutoff**3


class _FrameWorkers:
    """Computes the frames of a chunk side by side when the engine's threads are ours to spread.

    A frame of a few thousand atoms is too little work to split over every
    thread: the threads wait on each other at every frame, and on the core
    that reads the next chunk. Whole frames on separate threads keep the
    cores busy. Each frame's curves are the same whichever thread computes
    them, and they come back in frame order.
    """

    def __init__(self, n_threads: int, cutoff: float) -> None:
        workers = Structure.available_threads() if n_threads == 0 else 1
        self.executor = (
            concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="kestrel-frames") if workers > 1 else None
        )
        self.n_threads = n_threads
        self.cutoff = cutoff

    def map(self, curves: Callable[[Structure, int], Any], structures: List[Structure]) -> Iterator[Any]:
        small = all(_pairs_within(s, self.cutoff) < FRAME_PAIRS_SIDE_BY_SIDE for s in structures)
        if self.executor is None or not small or len(structures) < 2:
            return (curves(s, self.n_threads) for s in structures)
        return self.executor.map(lambda s: curves(s, 1), structures)

    def close(self) -> None:
        if self.executor is not None:
            # After an error or Ctrl-C the frames still running finish on their own.
            self.executor.shutdown(wait=False, cancel_futures=True)


def _is_universe(trajectory: Any) -> bool:
    return hasattr(trajectory, "trajectory") and hasattr(trajectory, "atoms")


def _universe_frames(universe, cell, types) -> Iterator[Callable[[], Structure]]:
    """Each frame of an MDAnalysis Universe, as a call that makes its Structure
    (made for the kept frames only, before the Universe moves on)."""

    atoms = universe.atoms
    if types:
        names = {str(key): value for key, value in types.items()}
        symbols = np.array([names.get(str(t), str(t)) for t in atoms.types])
    elif hasattr(atoms, "elements"):
        symbols = np.asarray(atoms.elements, dtype=str)
    else:
        symbols = np.asarray(atoms.types, dtype=str)
    for ts in universe.trajectory:
        yield lambda ts=ts: _frame_structure(ts.triclinic_dimensions, ts.positions, symbols, cell, ts.frame)


def _ase_frames(frames: Iterable[Any], cell) -> Iterator[Callable[[], Structure]]:
    """Each ASE Atoms (or kestrel Structure) of an iterable, as a call that makes its Structure."""
    for index, atoms in enumerate(frames):
        if isinstance(atoms, Structure):
            yield lambda atoms=atoms: atoms
        else:
            yield lambda atoms=atoms, index=index: _frame_structure(
                atoms.cell.array, atoms.positions, atoms.numbers, cell, index
            )


def _frame_structure(box, positions, species, cell, index: int) -> Structure:

    if box is None or abs(np.linalg.det(np.asarray(box, dtype=float))) < 1e-12:
        if cell is None:
            raise ValueError(
                f"frame {index} has no cell and no cell was given; an RDF of a periodic system needs the cell, "
                "so pass cell=[[a],[b],[c]]"
            )
        box = cell
    return Structure.from_arrays(box, positions, species, cartesian=True)


def _object_chunks(trajectory: Any, every: int, start: int, stop: Optional[int], cell, types) -> Iterator[Chunk]:
    """The selected frames of a Universe or an iterable, in chunks, with the same rules as a file."""
    if every < 1:
        raise ValueError("every must be at least 1")
    if start < 0 or (stop is not None and stop < 0):
        raise OverflowError("start and stop must not be negative")
    frames = _universe_frames(trajectory, cell, types) if _is_universe(trajectory) else _ase_frames(trajectory, cell)
    structures: List[Structure] = []
    indices: List[int] = []
    frames_read = kept = 0
    # Frames from stop on are never converted.
    for index, make in enumerate(itertools.islice(frames, stop)):
        frames_read = index + 1
        if index < start or (index - start) % every:
            continue
        structures.append(make())
        indices.append(index)
        kept += 1
        if len(structures) >= CHUNK_FRAMES:
            yield structures, indices, frames_read, False
            structures, indices = [], []
    if frames_read == 0:
        raise ValueError("the trajectory has no frames")
    if kept == 0:
        raise ValueError(f"the trajectory has {frames_read} frame(s) but none matched start/every/stop")
    yield structures, indices, frames_read, True


def _frames_to_keep(trajectory: Any, path: Optional[Union[str, bytes]], every, start, stop, cell, types) -> int:
    """How many frames a run will keep, for progress reports; 0 when it cannot be known beforehand."""
    if path is not None:
        try:
            regular = stat.S_ISREG(os.stat(path).st_mode)
        except OSError:
            regular = True  # the read itself reports the missing file
        if not regular:
            return 0  # a pipe can be read only once
        _, kept = _count_xyz_trajectory_frames(path, every, start, stop, cell, types, trajectory_format(path))
        return kept
    n_frames = len(trajectory.trajectory) if _is_universe(trajectory) else getattr(trajectory, "__len__", None)
    if callable(n_frames):
        n_frames = n_frames()
    if not isinstance(n_frames, int) or every < 1:
        return 0
    return len(range(start, n_frames if stop is None else min(stop, n_frames), every))


def trajectory_rdf(
    trajectory: Union[PathLike, Any],
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    cutoff: float = CUTOFF,
    bin_size: float = BIN_SIZE,
    n_threads: int = 0,
    progress: Optional[Callable[[int, int], None]] = None,
    types: Optional[TypeNames] = None,
    partials: bool = True,
) -> TrajectoryRdf:
    """Average the partial and total RDFs over the frames of a trajectory.

    ``trajectory`` is a file (XYZ, or a LAMMPS dump by its name: see
    ``read_trajectory``; a named pipe works too), an MDAnalysis Universe, or
    an iterable of ASE Atoms. Selects frames as ``read_trajectory`` does
    (start, start + every, ... before stop; ``cell`` for frames without one;
    ``types`` for a dump's atom types) and computes each frame's curves with
    ``Structure.prdf(cutoff, bin_size, n_threads)``, or ``total_rdf`` alone
    with ``partials=False``. Returns their mean and (population) standard
    deviation over the frames, with the frame indices.

    Frames may differ in volume and composition: the mean is taken over the
    per-frame curves, each normalised by its own frame's density, and a
    partial of an element pair that a frame does not hold counts as zero in
    that frame. ``progress(done, total)`` is called after each frame; the
    total comes from a quick pass over the file that parses nothing (0 when
    it cannot be known: a pipe, an iterable without a length).

    Parameters not named above: ``trajectory`` is a path (str, bytes or
    os.PathLike), an MDAnalysis Universe or an iterable of ASE Atoms.
    """

    path = os.fspath(trajectory) if isinstance(trajectory, (str, bytes, os.PathLike)) else None
    total = 0
    if progress is not None:
        total = _frames_to_keep(trajectory, path, every, start, stop, cell, types)
    if path is not None:
        chunks = _file_chunks(path, every, start, stop, cell, types)
    else:
        chunks = _object_chunks(trajectory, every, start, stop, cell, types)

    partial_moments = _RunningMoments()
    totals = _RunningMoments()
    indices: List[int] = []
    volume = n_atoms = 0.0
    composition: Dict[str, float] = {}
    r = None
    last = None
    frames_read = 0

    def curves(structure: Structure, threads: int):
        if partials:
            return structure.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=threads)
        r, frame_total = structure.total_rdf(cutoff=cutoff, bin_size=bin_size, n_threads=threads)
        return r, {}, frame_total

    frame_workers = _FrameWorkers(n_threads, cutoff)
    try:
        for structures, frame_indices, read_so_far, _ in chunks:
            frames_read = read_so_far
            for structure, frame_index, (r, frame_partials, frame_total) in zip(
                structures, frame_indices, frame_workers.map(curves, structures)
            ):
                zeros = np.zeros_like(r)
                partial_moments.add(frame_partials, zeros)
                totals.add({None: frame_total}, zeros)
                volume += structure.volume
                n_atoms += structure.n_atoms
                for element, amount in structure.composition.items():
                    composition[element] = composition.get(element, 0.0) + amount
                indices.append(frame_index)
                if progress is not None:
                    progress(len(indices), total)
            last = structures[-1] if structures else last
            del structures  # one chunk in memory besides the one being read
    finally:
        frame_workers.close()

    # The read fails unless at least one frame was kept, so r is set.
    assert r is not None
    count = len(indices)
    pairs = sorted(partial_moments.mean)
    return TrajectoryRdf(
        r=r,
        mean_partials={pair: partial_moments.mean[pair] for pair in pairs},
        std_partials={pair: partial_moments.std(pair) for pair in pairs},
        mean_total=totals.mean[None],
        std_total=totals.std(None),
        frame_indices=indices,
        frames_read=frames_read,
        mean_volume=volume / count,
        mean_n_atoms=n_atoms / count,
        mean_composition={element: amount / count for element, amount in sorted(composition.items())},
        last_frame=last,
    )
