"""What a structure command reads: a structure file, or one frame of a trajectory.

Every command that takes one structure (info, rdf, expand, ensemble, pdf,
sqs) reads through here, so each opens what ``kestrel traj`` opens: a CIF,
POSCAR or extended XYZ file, an XYZ trajectory or a LAMMPS text dump, frame
0 or the one ``--frame`` names. A file none of the readers takes gets a
message that says which command does take it.
"""

from __future__ import annotations

import argparse
import errno
import os
import sys
from dataclasses import dataclass
from typing import Dict, Optional, Union

from kestrel._defaults import MAX_BYTES, OCCUPANCY_TOLERANCE
from kestrel._kestrel import Structure, StructureFileError, _count_xyz_trajectory_frames
from kestrel.cli.errors import CommandError
from kestrel.io import format_from_name, read_structure
from kestrel.io.compression import without_compression
from kestrel.trajectory import read_trajectory, trajectory_format

# --format names of a LAMMPS text dump, besides the structure formats.
LAMMPS_NAMES = ("lammps", "lammps-dump", "lammpstrj", "dump")
# Files the structure commands are sometimes handed that belong to another command.
_OTHER_COMMANDS = {
    ".gr": "is a measured G(r); `kestrel pdf STRUCTURE --data {path}` compares a structure with it",
    ".parquet": "is a batch table; read it with kestrel.read_rdf_table() or pandas.read_parquet()",
}
# A frame number no file reaches: read_trajectory then counts every frame.
_EVERY_OTHER_FRAME = 2**63


@dataclass
class Input:
    """The structure a command works on and where it came from."""

    structure: Structure
    kind: str  # "cif", "poscar", "xyz" or "lammps-dump"
    frame: Optional[int]  # for a trajectory, the frame read (from 0); else None
    frames: Optional[int]  # how many frames the file holds, when counted
    more_frames: bool  # the file holds frames besides the one read


def add_input_options(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--frame",
        type=int,
        metavar="N",
        help="of an XYZ trajectory or a LAMMPS dump, the frame to read, counted from 0 (default 0); "
        "`kestrel traj` averages over the frames",
    )
    p.add_argument(
        "--types",
        metavar='"1=Na,2=Cl"',
        help="elements of a LAMMPS dump's atom types, for dumps without an element column",
    )


def parse_types(text: Optional[str]) -> Optional[Dict[Union[int, str], str]]:
    """ "1=Na,2=Cl" -> {1: "Na", 2: "Cl"}; None stays None."""
    if not text:
        return None
    types: Dict[Union[int, str], str] = {}
    for item in text.split(","):
        key, sep, element = item.partition("=")
        if not sep or not key.strip() or not element.strip():
            raise CommandError(f"--types needs TYPE=ELEMENT pairs like 1=Na,2=Cl, got '{text}'")
        key = key.strip()
        types[int(key) if key.isdigit() else key] = element.strip()
    return types


def input_kind(path: str, fmt: Optional[str]) -> str:
    """The reader for ``path``: "cif", "poscar", "xyz" or "lammps-dump"."""
    if os.path.isdir(path):
        # Before the name: a folder's name says nothing of a format.
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if fmt is not None:
        return "lammps-dump" if fmt.lower() in LAMMPS_NAMES else fmt
    if trajectory_format(path) == "lammps-dump" or _starts_like_a_dump(path):
        return "lammps-dump"
    kind = format_from_name(path)
    if kind is not None:
        return kind
    suffix = os.path.splitext(os.fsdecode(without_compression(path)))[1].lower()
    if suffix in _OTHER_COMMANDS:
        raise CommandError(f"{path} " + _OTHER_COMMANDS[suffix].format(path=path))
    raise CommandError(
        f"cannot tell the format of '{path}' from its name; pass --format cif, poscar, xyz or lammps "
        "(a LAMMPS text dump)"
    )


def _starts_like_a_dump(path: str) -> bool:
    # A dump under another name still opens with its first ITEM line.
    try:
        with open(path, "rb") as handle:
            return handle.read(64).lstrip().startswith(b"ITEM:")
    except OSError:
        return False


def read_input(args, count_frames: bool = False) -> Input:
    """The structure ``args.file`` holds (frame ``args.frame`` of a trajectory).

    ``count_frames``: count every frame of a trajectory (a pass over the
    whole file) rather than only look whether one follows.
    """
    kind = input_kind(args.file, args.format)
    frame = getattr(args, "frame", None)
    types = parse_types(getattr(args, "types", None))
    if frame is not None and kind not in ("xyz", "lammps-dump"):
        raise CommandError(
            f"--frame picks a frame of an XYZ trajectory or a LAMMPS dump; {args.file} is read as {kind}"
        )
    if kind == "lammps-dump" and args.block is not None:
        raise CommandError(f"--block picks a data block of a CIF; {args.file} is read as a LAMMPS dump")
    if types is not None and kind != "lammps-dump":
        raise CommandError(f"--types names the atom types of a LAMMPS dump; {args.file} is read as {kind}")
    if kind == "lammps-dump" or (kind == "xyz" and frame):
        return _read_frame(args.file, kind, frame or 0, types, count_frames)
    tolerance = getattr(args, "occupancy_tolerance", OCCUPANCY_TOLERANCE)
    max_bytes = getattr(args, "max_bytes", MAX_BYTES)
    structure = read_structure(
        args.file, args.format, block=args.block, occupancy_tolerance=tolerance, max_bytes=max_bytes
    )
    if kind != "xyz":
        return Input(structure, kind, None, None, False)
    if count_frames:
        frames = _xyz_frames(args.file)
        return Input(structure, kind, 0, frames, bool(frames and frames > 1))
    return Input(structure, kind, 0, None, _has_frame(args.file, 1))


def _read_frame(path: str, kind: str, frame: int, types, count_frames: bool) -> Input:
    # Frames before the one asked for are skipped, not parsed; with
    # count_frames every frame after it is counted the same way.
    stop = None if count_frames else frame + 2
    every = _EVERY_OTHER_FRAME if count_frames else 1
    try:
        structures, _, frames_read = read_trajectory(path, every=every, start=frame, stop=stop, types=types, fmt=kind)
    except StructureFileError:
        if frame == 0:
            raise
        # Past the last frame, most likely: count them, to say how many there are.
        _, _, frames_read = read_trajectory(path, every=_EVERY_OTHER_FRAME, types=types, fmt=kind)
        if frames_read > frame:
            raise
        held = "1 frame (frame 0)" if frames_read == 1 else f"{frames_read} frames (0 to {frames_read - 1})"
        raise CommandError(f"{path} holds {held}; there is no frame {frame}") from None
    return Input(structures[0], kind, frame, frames_read if count_frames else None, frames_read > frame + 1)


def _has_frame(path: str, frame: int) -> bool:
    try:
        structures, _, _ = read_trajectory(path, start=frame, stop=frame + 1, fmt="xyz")
    except ValueError:
        return False
    return bool(structures)


def _xyz_frames(path: str) -> Optional[int]:
    """How many frames an extended XYZ file holds, or None when they cannot be counted."""
    try:
        frames, _ = _count_xyz_trajectory_frames(path)
    except (OSError, ValueError):
        return None
    return frames


def note_other_frames(source: Input, path: str, command: str) -> None:
    """Say so on standard error when a trajectory holds frames besides the one a command used."""
    if source.more_frames:
        print(
            f"kestrel: note: {path} holds more than one frame and {command} used frame {source.frame}; "
            "`kestrel traj` averages over the frames",
            file=sys.stderr,
        )
