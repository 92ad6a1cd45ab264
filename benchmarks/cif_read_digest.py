"""A digest of everything the CIF reader gives for a set of files, to show a change reads them all the same.

Run from the checkout with the extension on the path, e.g.
    PYTHONPATH=build/dev:python python3 benchmarks/cif_read_digest.py > before.txt
    ... change the reader, rebuild ...
    PYTHONPATH=build/dev:python python3 benchmarks/cif_read_digest.py > after.txt && diff before.txt after.txt
By default it reads the COD corpus and the slow files beside the checkout and the
real CIFs ASE ships. One line per file: a hash of the structure (lattice, sites,
occupancies, units) and of every warning in order, or of the error a refusal
gave; the last line hashes them all.
"""

import argparse
import hashlib
import json
import sys
import warnings
from pathlib import Path

from kestrel import Structure

ROOT = Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared"
if not SHARED.is_dir():  # a worktree sits one folder deeper than the main checkout
    SHARED = ROOT.parent.parent / "shared"


def default_paths():
    folders = [SHARED / "corpus" / "cod", SHARED / "corpus" / "slow"]
    try:
        import ase

        folders.append(Path(ase.__file__).parent / "test" / "testdata" / "minerals")
    except ImportError:
        pass
    return sorted(p for folder in folders if folder.is_dir() for p in folder.glob("*.cif"))


def describe(path):
    """What reading `path` gives, as JSON text: the structure and its warnings, or the error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            s = Structure.from_cif(str(path))
            read = {"structure": s.to_dict(), "units": s.units}
        except Exception as error:  # a refusal is part of what the reader does
            read = {"error": f"{type(error).__name__}: {error}"}
    read["warnings"] = [f"{w.category.__name__}: {w.message}" for w in caught]
    return json.dumps(read, sort_keys=True, default=repr)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="*", type=Path, help="CIF files (default: the corpus, the slow files, ASE's)")
    parser.add_argument("--show", action="store_true", help="print what each file gives instead of its hash")
    args = parser.parse_args(argv)
    paths = args.paths or default_paths()
    whole = hashlib.sha256()
    for path in paths:
        text = describe(path)
        digest = hashlib.sha256(text.encode()).hexdigest()[:16]
        whole.update(digest.encode())
        print(f"{path.parent.name}/{path.name} {text if args.show else digest}")
    print(f"all {len(paths)} files {whole.hexdigest()[:16]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
