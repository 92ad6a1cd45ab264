"""Frame-averaged RDFs of a multi-frame extended XYZ trajectory.

The frames are streamed from the file in chunks, so memory follows one chunk
rather than the file; the next chunk is read on a second thread while the
curves of the current one are computed (both release the interpreter lock).
"""

from __future__ import annotations

import concurrent.futures
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

from kestrel._kestrel import Structure, _count_xyz_trajectory_frames, _read_xyz_trajectory_chunk

if TYPE_CHECKING:
    import numpy as np

Pair = Tuple[str, str]

__all__ = ["TrajectoryRdf", "trajectory_rdf"]

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
        return (
            f"TrajectoryRdf({self.n_frames} of {self.frames_read} frames "
            f"({self.frame_indices[0]} to {self.frame_indices[-1]}), {len(self.mean_partials)} partials, "
            f"{len(self.r)} bins up to {upper:g} Å)"
        )


class _RunningMoments:
    """Mean and sum of squared deviations of curves, one frame at a time
    (Welford's update, which does not lose the spread to cancellation)."""

    def __init__(self) -> None:
        self.count = 0
        self.mean: Dict[Any, np.ndarray] = {}
        self.squares: Dict[Any, np.ndarray] = {}

    def add(self, curves: Dict[Any, np.ndarray], zeros: np.ndarray) -> None:
        import numpy as np

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
        import numpy as np

        return np.sqrt(self.squares[key] / self.count)


def trajectory_rdf(
    path: str,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    cutoff: float = 10.0,
    bin_size: float = 0.1,
    n_threads: int = 0,
    progress: Optional[Callable[[int, int], None]] = None,
) -> TrajectoryRdf:
    """Average the partial and total RDFs over the frames of a trajectory.

    Selects frames as ``read_xyz_trajectory`` does (start, start + every, ...
    before stop; ``cell`` for frames without a Lattice field) and computes
    each frame's curves with ``Structure.prdf(cutoff, bin_size, n_threads)``.
    Returns their mean and (population) standard deviation over the frames,
    with the frame indices.

    Frames may differ in volume and composition: the mean is taken over the
    per-frame curves, each normalised by its own frame's density, and a
    partial of an element pair that a frame does not hold counts as zero in
    that frame. ``progress(done, total)`` is called after each frame; the
    total comes from a quick pass over the file that parses nothing.

    Parameters not named above: ``path`` (str or os.PathLike), a multi-frame extended XYZ file.
    """
    import numpy as np  # kestrel itself imports without NumPy

    total = 0
    if progress is not None:
        _, total = _count_xyz_trajectory_frames(path, every, start, stop, cell)

    def read(position):
        return _read_xyz_trajectory_chunk(path, every, start, stop, cell, position, CHUNK_FRAMES, CHUNK_ATOMS)

    partials = _RunningMoments()
    totals = _RunningMoments()
    indices: List[int] = []
    volume = n_atoms = 0.0
    composition: Dict[str, float] = {}
    r = None
    last = None
    reader = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="kestrel-trajectory")
    try:
        pending: Optional[concurrent.futures.Future] = reader.submit(read, None)
        while pending is not None:
            structures, frame_indices, position = pending.result()
            frames_read, finished = position[1], position[3]
            pending = None if finished else reader.submit(read, position)
            for structure, frame_index in zip(structures, frame_indices):
                r, frame_partials, frame_total = structure.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=n_threads)
                zeros = np.zeros_like(r)
                partials.add(frame_partials, zeros)
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
        # After an error or Ctrl-C the chunk being read is not waited for:
        # it ends on its own and is dropped.
        reader.shutdown(wait=False, cancel_futures=True)

    # The read fails unless at least one frame was kept, so r is set.
    assert r is not None
    count = len(indices)
    pairs = sorted(partials.mean)
    return TrajectoryRdf(
        r=r,
        mean_partials={pair: partials.mean[pair] for pair in pairs},
        std_partials={pair: partials.std(pair) for pair in pairs},
        mean_total=totals.mean[None],
        std_total=totals.std(None),
        frame_indices=indices,
        frames_read=frames_read,
        mean_volume=volume / count,
        mean_n_atoms=n_atoms / count,
        mean_composition={element: amount / count for element, amount in sorted(composition.items())},
        last_frame=last,
    )
