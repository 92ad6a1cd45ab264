"""What a batch run reads: folders, globs, paths and structures, and how a file is known again on resume."""

from __future__ import annotations

import glob
import os
from typing import Iterable, List, Optional, Set, Tuple, Union

from kestrel._kestrel import Structure

Source = Union[str, "os.PathLike[str]", Structure]


# ---- sources -------------------------------------------------------------------


def _is_pattern(text: str) -> bool:
    return any(ch in text for ch in "*?[")


def _visible_files(folder: str) -> List[str]:
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        found += [os.path.join(root, name) for name in sorted(files) if not name.startswith(".")]
    return found


def _expand_sources(sources: Union[Source, Iterable[Source]]) -> List[Union[str, Structure]]:
    """Paths (folders walked, globs expanded, each path once) and structures, in input order."""
    if isinstance(sources, (str, os.PathLike, Structure)):
        sources = [sources]
    items: List[Union[str, Structure]] = []
    seen: Set[str] = set()

    def add_path(path: str) -> None:
        path = os.path.abspath(path)
        if path not in seen:
            seen.add(path)
            items.append(path)

    for source in sources:
        if isinstance(source, Structure):
            items.append(source)
            continue
        if not isinstance(source, (str, os.PathLike)):
            raise TypeError(f"a source is a path, a folder, a glob or a Structure, not {type(source).__name__}")
        text = os.fspath(source)
        if os.path.isdir(text):
            found = _visible_files(text)
        elif _is_pattern(text) and not os.path.exists(text):
            found = [path for path in sorted(glob.glob(text, recursive=True)) if os.path.isfile(path)]
        else:
            found = None
        if found == []:
            # Most likely a typing slip; a run that silently does nothing would hide it.
            raise ValueError(f"no files in '{text}'" if os.path.isdir(text) else f"no files match '{text}'")
        if found:
            for path in found:
                add_path(path)
        else:
            add_path(text)  # a missing file becomes an error row, like any unreadable one
    return items


def _identity(path: str) -> Tuple[Optional[int], Optional[int]]:
    """Size and modification time: with the path, what says a file is the one already done."""
    try:
        status = os.stat(path)
    except OSError:
        return None, None
    return status.st_size, status.st_mtime_ns
