"""Invariants checked on random structures (hypothesis).

Random cells (triclinic, skewed by a change of basis, thin), random sites with
partial and mixed occupancies, and units of correlated disorder. Every curve is
compared to rounding: the RDF of one crystal cannot depend on the cell, the
basis, the origin, the order of the sites or the number of threads.

The search is bounded by the profile registered in conftest.py ("ci" unless
HYPOTHESIS_PROFILE names another; "long" tries many more cases). A failure
prints the falsifying example and a @reproduce_failure line.
"""

import pickle
import warnings

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import assume, given, note  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import kestrel  # noqa: E402
from kestrel import Structure  # noqa: E402

ELEMENTS = ["Cu", "Fe", "Ni", "O"]

# ---- strategies ------------------------------------------------------------------------


def _length(lo, hi):
    return st.floats(lo, hi, allow_nan=False, allow_infinity=False)


@st.composite
def unimodular(draw, max_steps=3):
    """An integer matrix of determinant 1: a product of a few shears."""
    t = np.eye(3, dtype=int)
    for _ in range(draw(st.integers(1, max_steps))):
        i, j = draw(st.sampled_from([(i, j) for i in range(3) for j in range(3) if i != j]))
        shear = np.eye(3, dtype=int)
        shear[i, j] = draw(st.sampled_from([-1, 1]))
        t = shear @ t
    return t


@st.composite
def lattices(draw, thin=True):
    """Rows a, b, c in Å: a triclinic cell, the same lattice in a skewed
    basis, or a cell with one short axis."""
    kind = draw(st.sampled_from(["triclinic", "skewed", "thin"] if thin else ["triclinic", "skewed"]))
    diag = [draw(_length(2.6, 6.0)) for _ in range(3)]
    if kind == "thin":
        diag[draw(st.integers(0, 2))] = draw(_length(1.2, 1.8))
    m = np.diag(diag)
    m[1, 0] = draw(_length(-0.5, 0.5)) * diag[1]
    m[2, 0] = draw(_length(-0.5, 0.5)) * diag[2]
    m[2, 1] = draw(_length(-0.5, 0.5)) * diag[2]
    if kind == "skewed":
        m = draw(unimodular()) @ m
    return m


@st.composite
def site_species(draw):
    """One site: a whole atom, a partly occupied one, or two elements sharing it."""
    kind = draw(st.sampled_from(["whole", "partial", "mixed"]))
    first = draw(st.sampled_from(ELEMENTS))
    if kind == "whole":
        return {first: 1.0}
    if kind == "partial":
        return {first: draw(st.floats(0.05, 0.95))}
    second = draw(st.sampled_from([e for e in ELEMENTS if e != first]))
    x = draw(st.floats(0.05, 0.9))
    y = draw(st.floats(0.05, 1.0 - x))
    return {first: x, second: y}


@st.composite
def structures(draw, max_sites=5, with_units=True, thin=True):
    matrix = draw(lattices(thin=thin))
    n = draw(st.integers(1, max_sites))
    frac = [[draw(st.floats(0.0, 1.0, exclude_max=True)) for _ in range(3)] for _ in range(n)]
    species = [draw(site_species()) for _ in range(n)]
    units = None
    if with_units and draw(st.booleans()):
        # One unit of two alternatives, each one or two atoms near an anchor.
        anchor = np.array([draw(st.floats(0.0, 1.0, exclude_max=True)) for _ in range(3)])
        occupancy = [draw(st.floats(0.1, 0.6))]
        occupancy.append(draw(st.floats(0.1, 1.0 - occupancy[0])))
        units = [None] * n
        for alternative in (0, 1):
            for _ in range(draw(st.integers(1, 2))):
                step = np.array([draw(st.floats(-0.15, 0.15)) for _ in range(3)])
                frac.append((anchor + step).tolist())
                species.append({draw(st.sampled_from(ELEMENTS)): occupancy[alternative]})
                units.append((0, alternative))
    return Structure(matrix.tolist(), frac, species, units=units)


@st.composite
def binnings(draw):
    """A cutoff and a bin size; round numbers are as likely as any, as they are in use."""
    cutoff = draw(st.one_of(st.sampled_from([2.0, 3.0, 3.6, 4.0, 5.0]), _length(1.5, 5.0)))
    n_bins = draw(st.integers(3, 60))
    return cutoff, cutoff / n_bins


# ---- comparisons -----------------------------------------------------------------------


def assert_same_curves(got, want, what=""):
    """Partials and totals equal to rounding: 1e-12 relative to each curve's largest value."""
    r, partials, total = want
    r2, partials2, total2 = got
    np.testing.assert_array_equal(r2, r)
    assert list(partials2) == list(partials)
    scale = max(float(np.max(np.abs(total))), 1e-300)
    np.testing.assert_allclose(total2, total, rtol=1e-12, atol=1e-12 * scale, err_msg=f"{what} total")
    for key in partials:
        scale = max(float(np.max(np.abs(partials[key]))), 1e-300)
        np.testing.assert_allclose(
            partials2[key], partials[key], rtol=1e-12, atol=1e-12 * scale, err_msg=f"{what} {key}"
        )


def show(structure):
    """Prints the whole structure with a falsifying example (its repr is a summary)."""
    note(f"Structure.from_dict({structure.to_dict()!r})")


def curves(structure, cutoff, bin_size, n_threads=1):
    return structure.prdf(cutoff, bin_size, n_threads=n_threads)


def rebuilt(structure, matrix=None, frac=None, order=None):
    """The structure with another lattice matrix or coordinates, or its sites in another order."""
    matrix = structure.lattice_matrix if matrix is None else np.asarray(matrix).tolist()
    frac = structure.frac_coords if frac is None else np.asarray(frac).tolist()
    species, units = structure.species, structure.units
    if order is not None:
        frac = [frac[i] for i in order]
        species = [species[i] for i in order]
        units = [units[i] for i in order]
    return Structure(matrix, frac, species, units=units if any(u is not None for u in units) else None)


# ---- one crystal, one curve ------------------------------------------------------------


@given(structures(), binnings(), st.tuples(st.integers(1, 3), st.integers(1, 3), st.integers(1, 3)))
def test_a_supercell_gives_its_cells_curves(structure, binning, repeats):
    show(structure)
    cutoff, bin_size = binning
    bigger = structure.make_supercell(*repeats)
    assert_same_curves(curves(bigger, cutoff, bin_size), curves(structure, cutoff, bin_size), f"{repeats}")


@given(structures(), binnings(), st.data())
def test_translation_permutation_and_change_of_basis_change_nothing(structure, binning, data):
    show(structure)
    cutoff, bin_size = binning
    want = curves(structure, cutoff, bin_size)
    shift = np.array(data.draw(st.tuples(*[st.floats(-2.0, 2.0)] * 3), label="shift"))
    moved = rebuilt(structure, frac=np.asarray(structure.frac_coords) + shift)
    assert_same_curves(curves(moved, cutoff, bin_size), want, "translated")

    order = data.draw(st.permutations(range(structure.n_sites)), label="order")
    assert_same_curves(curves(rebuilt(structure, order=order), cutoff, bin_size), want, "permuted")

    # Rows of t @ M span the same lattice; a site keeps its Cartesian place.
    # (Units declared by hand place each member at its image nearest the
    # unit's first site along each fractional axis, which another basis
    # changes: see the test of that below.)
    if any(u is not None for u in structure.units):
        return
    t = data.draw(unimodular(), label="basis change")
    matrix = t @ np.asarray(structure.lattice_matrix)
    frac = np.asarray(structure.frac_coords) @ np.linalg.inv(t)
    assert_same_curves(curves(rebuilt(structure, matrix=matrix, frac=frac), cutoff, bin_size), want, "new basis")


@given(structures(max_sites=4, thin=False), st.integers(5, 7), st.data())
def test_one_and_two_threads_agree(structure, n, data):
    show(structure)
    # A supercell big enough that the pair loop is shared between the
    # workers. Sums of products may differ in their last bits with the order
    # of the merge; an ordered structure adds whole ones, which are exact in
    # any order, so its curves are the same to the last bit.
    big = structure.make_supercell(n, n, n)
    cutoff = data.draw(st.floats(3.0, 5.0), label="cutoff")
    one = curves(big, cutoff, 0.1, n_threads=1)
    two = curves(big, cutoff, 0.1, n_threads=2)
    assert_same_curves(two, one, "2 threads")
    if all(sum(site.values()) == 1.0 and len(site) == 1 for site in big.species):
        np.testing.assert_array_equal(two[2], one[2])
        for key in one[1]:
            np.testing.assert_array_equal(two[1][key], one[1][key])


# ---- the expansion ---------------------------------------------------------------------


@given(structures(max_sites=4, with_units=False), st.integers(0, 2**32), st.sampled_from([64, 512, 4096]))
def test_the_expansion_meets_the_occupancies_within_its_rounding(structure, seed, max_sites):
    show(structure)
    ordered, report = structure.expand_occupancies(max_sites=max_sites, seed=seed)
    assert ordered.is_ordered
    cells = int(np.prod(report["scale"]))
    want = {}
    pools = set()
    for row in report["occupancy_report"]:
        # Largest remainder: each element's count in a pool is the floor or
        # the ceiling of its share.
        exact = row["target_occupancy"] * row["sites_in_pool"]
        assert abs(row["atoms_placed"] - exact) < 1.0 + 1e-9, row
        assert row["actual_occupancy"] == pytest.approx(row["atoms_placed"] / row["sites_in_pool"], rel=1e-12)
        # Source sites of one composition (to four decimals) share a pool
        # and each lists it: count every pool once.
        species = structure.species[row["site_index"]]
        pool = (tuple(sorted((e, f"{o:.4f}") for e, o in species.items())), row["element"])
        if pool not in pools:
            pools.add(pool)
            want[row["element"]] = want.get(row["element"], 0) + row["atoms_placed"]
    for species in structure.species:
        if len(species) == 1 and abs(next(iter(species.values())) - 1.0) < 1e-6:
            element = next(iter(species))
            want[element] = want.get(element, 0) + cells
    got = {e: round(n) for e, n in ordered.composition.items() if n > 0}
    assert got == {e: n for e, n in want.items() if n > 0}
    assert report["n_vacancies"] == structure.n_sites * cells - ordered.n_sites


@given(structures(max_sites=3, with_units=False, thin=False), st.integers(0, 2**32))
def test_the_expansions_curves_approach_the_weighted_ones_as_the_supercell_grows(structure, seed):
    show(structure)
    # Compared as pair counts within the cutoff per element pair and per
    # source cell, the numbers the curves integrate to. A random filling of
    # P sites strays from its share by about sqrt(P) atoms; the expansion's
    # rounding is taken out by weighing with the occupancies it reached.
    # The expansion's own supercell stops growing once the occupancies come
    # out whole, so the structure is repeated first.
    cutoff = 4.0
    errors = []
    for repeat in (1, 2, 4, 8):
        source = structure.make_supercell(repeat, repeat, repeat)
        if source.n_sites > 4096:
            break
        ordered, report = source.expand_occupancies(max_sites=16384, seed=seed)
        cells = int(np.prod(report["scale"])) * repeat**3
        reached = [dict(site) for site in source.species]
        for row in report["occupancy_report"]:
            reached[row["site_index"]][row["element"]] = row["actual_occupancy"]
        weighted = Structure(source.lattice_matrix, source.frac_coords, reached)
        want = pair_counts(weighted, cutoff, repeat**3)
        got = pair_counts(ordered, cutoff, cells)
        scale = max(sum(want.values()), 1e-9)
        errors.append(sum(abs(got.get(k, 0.0) - want.get(k, 0.0)) for k in set(want) | set(got)) / scale)
        # A count of m pairs strays by about sqrt(m) from its mean.
        bound = max(0.1, 5.0 / np.sqrt(scale * cells))
        note(f"{repeat}^3 repeats: {ordered.n_sites} sites, error {errors[-1]:.3g} (bound {bound:.3g})")
    assert errors[-1] < bound


def pair_counts(structure, cutoff, cells):
    """Ordered pairs within the cutoff per element pair, per source cell."""
    r, partials, _ = structure.prdf(cutoff, cutoff, n_threads=1)
    shell = 4.1887902047863905 * cutoff**3
    composition = structure.composition
    return {key: float(values[0]) * shell * composition[key[0]] / cells for key, values in partials.items()}


# ---- writers and readers ---------------------------------------------------------------


def well_separated(structure, closest):
    """Whether every two sites (and every site and its own images) are at least `closest` Å apart."""
    m = np.asarray(structure.lattice_matrix)
    frac = np.asarray(structure.frac_coords)
    shifts = np.array([[i, j, k] for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1)])
    reduced = frac - np.floor(frac)
    for i in range(len(frac)):
        delta = reduced - reduced[i]
        delta -= np.round(delta)
        d = np.linalg.norm((delta[:, None, :] + shifts[None]) @ m, axis=2)
        d[i, 13] = np.inf
        if d.min() < closest:
            return False
    return True


def alternatives_within(structure, furthest):
    """Whether the sites of each unit lie within `furthest` Å of one another, where the unit puts them."""
    m = np.asarray(structure.lattice_matrix)
    frac = np.asarray(structure.frac_coords)
    members = [i for i, place in enumerate(structure.units) if place is not None]
    for i in members:
        for j in members:
            # The image the unit puts a member at: nearest the first member along each axis.
            delta = frac[j] - frac[i]
            delta -= np.round(frac[j] - frac[members[0]]) - np.round(frac[i] - frac[members[0]])
            if np.linalg.norm(delta @ m) > furthest:
                return False
    return True


def canonical_units(units):
    """Units and alternatives numbered in order of first appearance: the numbers are names only."""
    unit_names, alternative_names = {}, {}
    out = []
    for place in units:
        if place is None:
            out.append(None)
            continue
        unit = unit_names.setdefault(place[0], len(unit_names))
        alternative = alternative_names.setdefault(place, sum(1 for u, _ in alternative_names if u == place[0]))
        out.append((unit, alternative))
    return out


def metric(matrix):
    m = np.asarray(matrix)
    return m @ m.T


def assert_same_structure(got, want, order=None):
    """The same lattice (up to orientation), sites, species and units, to the writers' precision."""
    np.testing.assert_allclose(metric(got.lattice_matrix), metric(want.lattice_matrix), rtol=1e-11, atol=1e-10)
    assert got.n_sites == want.n_sites
    order = list(range(want.n_sites)) if order is None else order
    frac = np.asarray(want.frac_coords)[order]
    delta = np.asarray(got.frac_coords) - frac
    np.testing.assert_allclose(delta - np.round(delta), 0.0, atol=1e-9)
    for g, w in zip(got.species, [want.species[i] for i in order]):
        assert list(sorted(g)) == list(sorted(w))
        for element in w:
            assert g[element] == pytest.approx(w[element], rel=1e-12)


# Neighbours are at least this far apart in the round trip below: the two
# sides broaden a pair alike only where its width is small beside its distance.
NEAREST = 2.0
FQ_TOLERANCE = 0.03


@given(structures(max_sites=3, thin=False))
def test_the_sine_transform_of_fq_gives_the_pdf_with_the_same_qmax(structure):
    """G(r) from compute_pdf(qmax=...) against the sine transform of compute_sq's F(Q) over 0..Qmax
    (neutron weights, which do not change with Q). The two differ by design by about σ/d of a peak:
    compute_pdf broadens a pair as a Gaussian divided by r, the isotropic displacement of S(Q)
    transforms to one divided by d; FQ_TOLERANCE of G's largest value holds for neighbours
    NEAREST apart or more at U = 0.003 Å²."""
    from kestrel.scattering import compute_pdf, compute_sq
    from test_sq import sine_transform

    _, close = structure.total_rdf(NEAREST, NEAREST / 4)
    assume(not np.any(close))
    # The RDF does not see pairs at distance 0 (taken for self-pairs) nor
    # the alternatives of a unit, which are never there together; their
    # nearest images must be as far apart as the rest, or the two sides
    # differ by the termination ripple of a pair far below r = 1 A.
    frac = np.asarray(structure.frac_coords)
    steps = frac[:, None, :] - frac[None, :, :]
    steps -= np.round(steps)
    apart = np.linalg.norm(steps @ np.asarray(structure.lattice_matrix), axis=2)
    assume(np.all(apart[~np.eye(len(frac), dtype=bool)] >= NEAREST))
    qmax, qdamp = 25.0, 0.04
    u = {e: 0.003 for e in structure.elements}
    q = np.arange(0.0, qmax + 1e-9, 0.005)
    fq = compute_sq(structure, q, radiation="neutron", u_iso=u, qdamp=qdamp).fq
    r = np.arange(1.0, 10.0, 0.02)
    expected = compute_pdf(structure, radiation="neutron", u_iso=u, qmax=qmax, qdamp=qdamp, r=r).g
    got = sine_transform(q, fq, r)
    scale = float(np.max(np.abs(expected)))
    note(f"largest difference {np.max(np.abs(got - expected)) / scale:.4f} of max |G|")
    assert np.max(np.abs(got - expected)) <= FQ_TOLERANCE * scale


@given(structures(max_sites=4, thin=False))
def test_to_dict_and_pickle_give_the_same_structure(structure):
    show(structure)
    assert Structure.from_dict(structure.to_dict()) == structure
    assert pickle.loads(pickle.dumps(structure)) == structure


@given(structures(max_sites=4, thin=False))
def test_a_written_cif_reads_back_as_the_same_structure(tmp_path_factory, structure):
    show(structure)
    # Sites nearer than 0.8 Å would be read as alternatives of a unit, and
    # alternatives further apart than 1.6 Å as separate places.
    assume(well_separated(structure, 0.8))
    assume(alternatives_within(structure, 1.5))
    path = tmp_path_factory.mktemp("cif") / "s.cif"
    kestrel.write_cif(structure, path)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        back = Structure.from_cif(str(path))
    assert_same_structure(back, structure)
    assert canonical_units(back.units) == canonical_units(structure.units)


@given(structures(max_sites=4, with_units=False, thin=False), st.sampled_from(["POSCAR", "s.xyz"]))
def test_written_poscar_and_xyz_read_back_as_the_same_ordered_structure(tmp_path_factory, structure, name):
    show(structure)
    ordered = Structure(
        structure.lattice_matrix, structure.frac_coords, [{next(iter(s)): 1.0} for s in structure.species]
    )
    path = tmp_path_factory.mktemp("out") / name
    kestrel.write_structure(ordered, path)
    back = kestrel.read_structure(path)
    # POSCAR groups the sites by element, in order of first appearance.
    symbols = [next(iter(s)) for s in ordered.species]
    order = sorted(range(len(symbols)), key=lambda i: (symbols.index(symbols[i]), i)) if name == "POSCAR" else None
    assert_same_structure(back, ordered, order)


# ---- shrunk failures -----------------------------------------------------------------------


def test_a_unit_declared_in_a_skewed_basis_gives_the_curves_of_a_square_one():
    # Two alternatives 0.4 Å apart never coexist: no pair at 0.4 Å in
    # either description of the cell.
    square = np.diag([4.0, 4.0, 4.0])
    frac = np.array([[0.1, 0.1, 0.1], [0.1, 0.2, 0.1]])
    skew = np.array([[1, 0, 0], [6, 1, 0], [0, 0, 1]])
    want, got = (
        Structure(m.tolist(), f.tolist(), [{"Cu": 0.5}, {"Cu": 0.5}], units=[(0, 0), (0, 1)]).prdf(5.0, 0.1)
        for m, f in ((square, frac), (skew @ square, frac @ np.linalg.inv(skew)))
    )
    assert want[2][4] == 0.0
    assert_same_curves(got, want)
