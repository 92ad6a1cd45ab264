"""How often CIF readers get real files plainly wrong: kestrel, pymatgen and gemmi on the same files.

Run from the checkout with the extension on the path, e.g.
    PYTHONPATH=build/dev:python python3 benchmarks/cif_truth.py [FOLDER ...]
By default it reads the COD corpus beside the checkout and the real CIFs that
ASE ships as test data. For every reader and file it checks what can be
checked without knowing the answer:

- read: the reader returned a structure (refusals are counted apart);
- bad element: an element name that is not in the periodic table (D and T count as elements);
- dense: more than 0.2 atoms per cubic angstrom, which no solid reaches (atoms stacked on each other);
- formula: the composition of the cell differs from _chemical_formula_sum times _cell_formula_units_Z
  (hydrogen and deuterium aside, which X-ray studies often leave out; files without both tags are not judged);
- blocks (kestrel only): the file read whole differs from its first block with atoms read alone.

Prints one table, and with --list the files behind each count.
"""

import argparse
import math
import sys
import warnings
from pathlib import Path

import periodictable

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus" / "cod"
if not CORPUS.is_dir():  # a worktree sits one folder deeper than the main checkout
    CORPUS = ROOT.parent.parent / "shared" / "corpus" / "cod"
ELEMENTS = {el.symbol for el in periodictable.elements if el.number > 0} | {"D", "T"}
HYDROGENS = {"H", "D", "T"}
MAX_DENSITY = 0.2  # atoms per cubic angstrom; diamond has 0.176
warnings.filterwarnings("ignore")


def default_folders():
    folders = [CORPUS] if CORPUS.is_dir() else []
    try:
        import ase

        minerals = Path(ase.__file__).parent / "test" / "testdata" / "minerals"
        if minerals.is_dir():
            folders.append(minerals)
    except ImportError:
        pass
    return folders


# ---- what the file says ----------------------------------------------------------------------


def formula_per_cell(path):
    """{element: atoms per cell} from _chemical_formula_sum times Z of the first block with atoms, or None."""
    import gemmi

    try:
        document = gemmi.cif.read(str(path))
    except Exception:
        return None
    for block in document:
        if block.find_value("_atom_site_fract_x") is None and not block.find_loop("_atom_site_fract_x"):
            continue
        formula = block.find_value("_chemical_formula_sum")
        z = block.find_value("_cell_formula_units_Z")
        if formula is None or z is None:
            return None
        try:
            z = float(gemmi.cif.as_string(z).split("(")[0])
        except ValueError:
            return None
        counts = {}
        for token in gemmi.cif.as_string(formula).replace("(", " ").replace(")", " ").split():
            symbol = token.rstrip("0123456789.")
            number = token[len(symbol) :]
            if not symbol.isalpha():
                return None
            symbol = symbol[0].upper() + symbol[1:].lower()
            try:
                counts[symbol] = counts.get(symbol, 0.0) + (float(number) if number else 1.0) * z
            except ValueError:
                return None
        # A formula given as '?' or '.' reads as empty: the file states none.
        return counts or None
    return None


def formula_matches(composition, expected):
    heavy = {el: n for el, n in composition.items() if el not in HYDROGENS and n > 1e-6}
    wanted = {el: n for el, n in expected.items() if el not in HYDROGENS and n > 1e-6}
    if set(heavy) != set(wanted):
        return False
    return all(math.isclose(heavy[el], wanted[el], rel_tol=0.02, abs_tol=0.02) for el in wanted)


# ---- the readers, each giving (composition per cell, volume) ---------------------------------


def read_kestrel(path):
    from kestrel import Structure

    s = Structure.from_cif(str(path))
    return dict(s.composition), s.volume


def read_pymatgen(path):
    from pymatgen.io.cif import CifParser

    structure = CifParser(str(path)).parse_structures(primitive=False)[0]
    composition = {}
    for site in structure:
        for species, occupancy in site.species.items():
            name = getattr(species, "symbol", None) or str(species)
            composition[name] = composition.get(name, 0.0) + occupancy
    return composition, structure.volume


def read_gemmi(path):
    import gemmi

    small = gemmi.read_small_structure(str(path))
    composition = {}
    for site in small.get_all_unit_cell_sites():
        name = site.element.name if site.element.name != "X" else site.type_symbol or site.label
        composition[name] = composition.get(name, 0.0) + site.occ
    if not composition:
        raise ValueError("no atoms")
    return composition, small.cell.volume


READERS = {"kestrel": read_kestrel, "pymatgen": read_pymatgen, "gemmi": read_gemmi}


def first_block_text(path):
    """The text of the first data block with atom sites, or None when the file has one block."""
    text = path.read_text(encoding="utf-8", errors="replace")
    starts = [i for i, line in enumerate(text.splitlines(keepends=True)) if line.lower().startswith("data_")]
    if len(starts) < 2:
        return None
    lines = text.splitlines(keepends=True)
    bounds = starts + [len(lines)]
    for a, b in zip(bounds, bounds[1:]):
        block = "".join(lines[a:b])
        if "_atom_site_fract_x" in block and "_cell_length_a" in block:
            return block
    return None


def blocks_kept_apart(path):
    from kestrel import Structure

    block = first_block_text(path)
    if block is None:
        return True
    whole = Structure.from_cif(str(path))
    alone = Structure.from_cif_str(block)
    return whole.composition == alone.composition and whole.volume == alone.volume


# ---- the table -------------------------------------------------------------------------------


def judge(paths):
    rows = {
        name: {"read": [], "refused": [], "bad element": [], "dense": [], "formula": [], "blocks": []}
        for name in READERS
    }
    judged_formula = 0
    for path in paths:
        expected = formula_per_cell(path)
        judged_formula += expected is not None
        for name, read in READERS.items():
            row = rows[name]
            try:
                composition, volume = read(path)
            except Exception:
                row["refused"].append(path.name)
                continue
            row["read"].append(path.name)
            if any(el not in ELEMENTS for el in composition):
                row["bad element"].append(path.name)
            if sum(composition.values()) / volume > MAX_DENSITY:
                row["dense"].append(path.name)
            if expected is not None and not formula_matches(composition, expected):
                row["formula"].append(path.name)
            if name == "kestrel":
                try:
                    if not blocks_kept_apart(path):
                        row["blocks"].append(path.name)
                except Exception:
                    row["blocks"].append(path.name)
    return rows, judged_formula


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="*", type=Path, help="folders of *.cif files (default: COD corpus, ASE's)")
    parser.add_argument("--list", action="store_true", help="name the files behind every count")
    args = parser.parse_args(argv)
    folders = args.folders or default_folders()
    paths = sorted(p for folder in folders for p in folder.glob("*.cif"))
    if not paths:
        print("no CIF files found", file=sys.stderr)
        return 1
    rows, judged = judge(paths)
    print(f"{len(paths)} files from {', '.join(str(f) for f in folders)}; {judged} give a formula and Z")
    columns = ["read", "refused", "bad element", "dense", "formula", "blocks"]
    print(f"{'reader':10}" + "".join(f"{c:>13}" for c in columns))
    for name, row in rows.items():
        cells = [str(len(row[c])) if (c != "blocks" or name == "kestrel") else "-" for c in columns]
        print(f"{name:10}" + "".join(f"{c:>13}" for c in cells))
    if args.list:
        for name, row in rows.items():
            for column in columns[1:]:
                if row[column]:
                    print(f"{name} {column}: {' '.join(row[column])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
