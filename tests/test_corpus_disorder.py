"""Real disordered CIFs: no RDF and no expansion holds a pair closer than any bond.

Alternatives of one place (disorder groups, images of an atom on a symmetry element, split positions)
never coexist, so no pair of them may reach the curves or the ordered supercell."""

import warnings

import numpy as np

from kestrel import Structure

SHORTEST_BOND = 0.7  # angstrom: H-H is 0.74
# Files whose fully occupied atoms are themselves closer than SHORTEST_BOND: none in the corpus so far.
ORDERED_ATOMS_THAT_CLOSE = set()


def disordered_files(corpus_dir):
    found = []
    for path in sorted(corpus_dir.glob("*.cif")):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                structure = Structure.from_cif(str(path))
            except (OSError, ValueError):
                continue  # refused for reasons of their own (see test_corpus)
        if not structure.is_ordered:
            found.append((path.name, structure))
    return found


def short_pair_count(structure):
    """Expected pairs below SHORTEST_BOND per atom, with the weights every RDF uses."""
    _, total = structure.total_rdf(cutoff=SHORTEST_BOND, bin_size=0.01)
    return float(np.sum(total[: int(SHORTEST_BOND / 0.01)]))


def test_the_corpus_has_files_with_disorder_groups(corpus_dir):
    grouped = [p for p in corpus_dir.glob("*.cif") if "_atom_site_disorder_group" in p.read_text(errors="replace")]
    assert len(grouped) >= 30


def test_no_rdf_or_expansion_of_a_real_file_holds_a_pair_closer_than_a_bond(corpus_dir):
    files = disordered_files(corpus_dir)
    assert len(files) >= 30
    failures = []
    with_units = 0
    for name, structure in files:
        with_units += any(structure.units)
        if name in ORDERED_ATOMS_THAT_CLOSE:
            continue
        if short_pair_count(structure) != 0.0:
            failures.append(f"{name}: rdf")
        ordered, _ = structure.expand_occupancies(max_sites=3000)
        if short_pair_count(ordered) != 0.0:
            failures.append(f"{name}: expansion")
    assert failures == []
    assert with_units >= 12


def test_the_independent_weights_did_hold_impossible_pairs(corpus_dir):
    # The same files read without their units: what the curves held before.
    files = disordered_files(corpus_dir)
    before = [
        name
        for name, s in files
        if any(s.units) and short_pair_count(Structure(s.lattice_matrix, s.frac_coords, s.species)) > 0.0
    ]
    assert len(before) >= 8  # 9 of the 58 disordered files when this was written
