#!/usr/bin/env python3
"""Checks that every folder of src/ includes only folders below it in the layer order,
and that only the binding sees Python; and the same of the Python package: each of
its parts imports only parts below it, its modules import one another without a
cycle, and only kestrel/_kestrel.py imports the extension itself.

Run from anywhere: exits 1 and names each offending include or import, 0 when the
layers hold.
"""

import ast
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
    "scattering",
    "expand",
    "order",
    "bigbox",
    "trajectory",
    "python_binding",
]

# The parts of the Python package, lowest first: a subpackage or a top-level
# module of kestrel/. The package's face (__init__, __main__) may import any.
PYTHON_LAYERS = [
    "_defaults",
    "_kestrel",
    "io",
    "plotting",
    "trajectory",
    "scattering",
    "ordering",
    "ensemble",
    "bigbox",
    "batch",
    "cli",
]
PACKAGE_FACE = {"__init__", "__main__"}

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
PACKAGE = ROOT / "python" / "kestrel"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)


def core_faults() -> list:
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
    return faults


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def part_of(module: str) -> str:
    """The layer a module of the package belongs to: kestrel.batch.rows -> batch."""
    return module.split(".")[1] if "." in module else "__init__"


def runtime_imports(tree: ast.AST, modules: dict):
    """(line, module) of every import that runs, at any depth; `if TYPE_CHECKING:` blocks are left out."""
    skipped = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            skipped.update(id(inner) for statement in node.body for inner in ast.walk(statement))
    for node in ast.walk(tree):
        if id(node) in skipped:
            continue
        if isinstance(node, ast.Import):
            yield from ((node.lineno, alias.name) for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            # `from kestrel.cli import info` imports the module kestrel.cli.info
            # (running the package's __init__ first, which is no dependency of ours).
            submodules = [f"{node.module}.{alias.name}" for alias in node.names]
            if not all(name in modules for name in submodules):
                yield node.lineno, node.module
            yield from ((node.lineno, name) for name in submodules if name in modules)


def python_faults() -> list:
    faults = []
    modules = {module_name(path): path for path in sorted(PACKAGE.rglob("*.py"))}
    edges = {name: set() for name in modules}
    for name, path in modules.items():
        shown = path.relative_to(PACKAGE.parent)
        own = part_of(name)
        if own not in PYTHON_LAYERS and own not in PACKAGE_FACE:
            faults.append(f"{shown}: {own} is not in the Python layer order; add it to PYTHON_LAYERS")
            continue
        for line, imported in runtime_imports(ast.parse(path.read_text()), modules):
            if imported == "_kestrel" and name != "kestrel._kestrel":
                faults.append(f"{shown}:{line}: imports the extension directly; use kestrel._kestrel")
            if imported not in modules or imported == name:
                continue
            edges[name].add(imported)
            other = part_of(imported)
            if own in PACKAGE_FACE:
                continue
            if other in PACKAGE_FACE:
                # Only the command line, the top layer, uses the package as its users do.
                if own != PYTHON_LAYERS[-1]:
                    faults.append(f"{shown}:{line}: imports the package's face {imported}")
                continue
            if PYTHON_LAYERS.index(other) > PYTHON_LAYERS.index(own):
                faults.append(f"{shown}:{line}: imports {imported}, a higher layer ({other} above {own})")
    faults.extend(cycle_faults(edges))
    return faults


def cycle_faults(edges: dict) -> list:
    """One fault per import cycle among the package's modules, found by depth-first search."""
    faults, state, stack = [], {}, []

    def visit(module: str) -> None:
        state[module] = "open"
        stack.append(module)
        for imported in sorted(edges[module]):
            if state.get(imported) == "open":
                cycle = stack[stack.index(imported) :] + [imported]
                faults.append("import cycle: " + " -> ".join(cycle))
            elif imported not in state:
                visit(imported)
        stack.pop()
        state[module] = "done"

    for module in sorted(edges):
        if module not in state:
            visit(module)
    return faults


def main() -> int:
    faults = core_faults() + python_faults()
    if faults:
        print("\n".join(faults))
        return 1
    print(f"layers hold: {' < '.join(LAYERS)}")
    print(f"python layers hold: {' < '.join(PYTHON_LAYERS)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
