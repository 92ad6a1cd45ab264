#!/usr/bin/env python3
"""Checks that every folder of src/ includes only folders below it in the layer order,
and that only the binding sees Python.

Run from anywhere: exits 1 and names each offending include, 0 when the layers hold.
"""

import re
import sys
from pathlib import Path

# Lowest first; a file may include its own folder and any folder before it.
LAYERS = [
    "base",
    "model",
    "symmetry",
    "formats",
    "parallel",
    "neighbor",
    "rdf",
    "expand",
    "trajectory",
    "python_binding",
]

SRC = Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)


def main() -> int:
    faults = []
    for path in sorted(SRC.rglob("*.[ch]pp")):
        own = path.relative_to(SRC).parts[0]
        if own != "python_binding" and "Python.h" in path.read_text():
            faults.append(f"{path.relative_to(SRC)}: includes Python.h outside the binding")
        for included in INCLUDE.findall(path.read_text()):
            if included not in LAYERS:
                faults.append(f"{path.relative_to(SRC)}: includes unknown folder {included}/")
            elif LAYERS.index(included) > LAYERS.index(own):
                faults.append(f"{path.relative_to(SRC)}: includes {included}/, a higher layer")
    print("\n".join(faults) if faults else f"layers hold: {' < '.join(LAYERS)}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
