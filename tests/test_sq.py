"""S(Q) and F(Q) of crystals: the round trip to G(r), Bragg peaks, bounds and invariants."""

import math

import numpy as np
import pytest

from kestrel import Structure, compute_pdf
from kestrel.scattering import compute_sq

pytest.importorskip("periodictable")


def rocksalt():
    frac = [
        [0, 0, 0],
        [0, 0.5, 0.5],
        [0.5, 0, 0.5],
        [0.5, 0.5, 0],
        [0.5, 0, 0],
        [0, 0.5, 0],
        [0, 0, 0.5],
        [0.5, 0.5, 0.5],
    ]
    return Structure(np.eye(3) * 5.64, frac, [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4)


def wurtzite():
    a, c = 3.25, 5.21
    matrix = [[a, 0, 0], [-a / 2, a * math.sqrt(3) / 2, 0], [0, 0, c]]
    frac = [[1 / 3, 2 / 3, 0], [2 / 3, 1 / 3, 0.5], [1 / 3, 2 / 3, 0.382], [2 / 3, 1 / 3, 0.882]]
    return Structure(matrix, frac, [{"Zn": 1.0}] * 2 + [{"O": 1.0}] * 2)


def copper():
    return Structure(np.eye(3) * 3.615, [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]], [{"Cu": 1.0}] * 4)


def disordered():
    """fcc Fe-Ni with a vacancy share, and an O split over two positions 0.5 Å apart (one unit)."""
    frac = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0.59]]
    species = [{"Fe": 0.5, "Ni": 0.45}] * 4 + [{"O": 0.5}, {"O": 0.5}]
    return Structure(np.eye(3) * 3.6, frac, species, units=[None] * 4 + [(0, 0), (0, 1)])


def sine_transform(q, fq, r):
    """G(r) = (2/π) ∫ F(Q) sin(Qr) dQ by the trapezoidal rule."""
    weights = np.full(len(q), q[1] - q[0])
    weights[[0, -1]] *= 0.5
    return (2.0 / math.pi) * np.sin(np.outer(r, q)) @ (fq * weights)


def pair_sum_fq(structure, q, u, qdamp):
    """F(Q) summed pair by pair in real space (neutron weights) as far as the resolution envelope
    exp(-(qdamp r)²/2) reaches, less the uniform density's enveloped share.

    A pair at d with variance σ² = U_A + U_B is the Gaussian N(r; d, σ)/d in G(r) (its sine
    transform is exp(-σ²Q²/2) sin(Qd)/d); times the envelope it is again a Gaussian, centred at
    d / (1 + qdamp²σ²) with variance σ² / (1 + qdamp²σ²), so the sum is exact pair by pair.
    """
    from kestrel.scattering import scattering_powers

    matrix = np.asarray(structure.lattice_matrix)
    frac = np.asarray(structure.frac_coords)
    species = structure.species
    b = scattering_powers(structure.elements, "neutron")
    n_atoms = sum(structure.composition.values())
    mean = sum(structure.composition[e] * b[e] for e in structure.elements) / n_atoms
    reach = 8.5 / qdamp
    span = int(np.ceil(reach / min(np.linalg.norm(matrix, axis=1)))) + 1
    n = np.arange(-span, span + 1)
    shifts = np.stack(np.meshgrid(n, n, n, indexing="ij"), -1).reshape(-1, 3) @ matrix
    cart = frac @ matrix
    units = structure.units
    total = np.zeros(len(q))
    for i in range(len(cart)):
        for j in range(len(cart)):
            d_all = np.linalg.norm(shifts + cart[j] - cart[i], axis=1)
            keep = (d_all > 1e-9) & (d_all <= reach)
            d = d_all[keep]
            nearest = np.argmin(d)
            same_unit = i != j and units[i] is not None and units[j] is not None and units[i][0] == units[j][0]
            for ei, oi in species[i].items():
                for ej, oj in species[j].items():
                    var = u[ei] + u[ej]
                    stretch = 1.0 + qdamp**2 * var
                    height = np.exp(-0.5 * qdamp**2 * d**2 / stretch) / np.sqrt(stretch) / d
                    weight = np.full(len(d), oi * oj) * height
                    if same_unit:
                        # The one image where the unit puts them: the correlated weight.
                        weight[nearest] *= (min(oi, oj) if units[i][1] == units[j][1] else 0.0) / (oi * oj)
                    damping = np.exp(-0.5 * var / stretch * q**2)
                    for start in range(0, len(d), 4000):
                        part = slice(start, start + 4000)
                        total += b[ei] * b[ej] * damping * (np.sin(np.outer(q, d[part] / stretch)) @ weight[part])
    density = n_atoms / abs(np.linalg.det(matrix))
    baseline = -4 * np.pi * density * np.sqrt(np.pi / 2) * q / qdamp**3 * np.exp(-0.5 * (q / qdamp) ** 2)
    return total / (n_atoms * mean**2) + baseline


@pytest.mark.parametrize("make", [rocksalt, wurtzite, disordered], ids=["cubic", "hexagonal", "disordered"])
def test_fq_equals_a_real_space_pair_sum(make):
    """The reciprocal-space sum against pairs summed one by one out to where the envelope ends."""
    structure = make()
    u = {e: 0.004 + 0.001 * k for k, e in enumerate(structure.elements)}
    q = np.arange(0.5, 12.0, 0.05)
    ours = compute_sq(structure, q, radiation="neutron", u_iso=u, qdamp=0.2).fq
    theirs = pair_sum_fq(structure, q, u, 0.2)
    assert np.max(np.abs(ours - theirs)) <= 2e-3 * np.max(np.abs(theirs))


@pytest.mark.parametrize(
    "make, radiation, tolerance",
    [(rocksalt, "neutron", 0.01), (wurtzite, "neutron", 0.02), (disordered, "neutron", 0.02), (copper, "xray", 0.02)],
    ids=["cubic", "hexagonal", "disordered", "one-element-xray"],
)
def test_sine_transform_of_fq_gives_compute_pdf(make, radiation, tolerance):
    """compute_pdf broadens a pair at d as a Gaussian divided by r, the convention of PDF programs;
    the isotropic displacement of S(Q) transforms to one divided by d, the model's own shape (see
    the sampled pairs below). The two differ by about σ/d
    of a peak, most for the nearest neighbours: 1 to 2% of G's maximum at U = 0.003 Å². (X-rays
    of several elements differ further: compute_pdf weighs pairs by Z, compute_sq by f0(Q).)"""
    structure = make()
    qmax, qdamp = 25.0, 0.04
    u = {e: 0.003 for e in structure.elements}
    q = np.arange(0.0, qmax + 1e-9, 0.005)
    result = compute_sq(structure, q, radiation=radiation, u_iso=u, qdamp=qdamp)
    r = np.arange(1.0, 15.0, 0.01)
    expected = compute_pdf(structure, radiation=radiation, u_iso=u, qmax=qmax, qdamp=qdamp, r=r).g
    got = sine_transform(q, result.fq, r)
    assert np.max(np.abs(got - expected)) <= tolerance * np.max(np.abs(expected))


def test_displaced_pairs_have_the_peak_shape_of_sq_not_gaussian_over_r():
    """Why the round trip differs from compute_pdf by σ/d of a peak: pairs sampled from the
    isotropic displacement model follow [N(r; d, σ) − N(r; −d, σ)]/d, the shape whose sine
    transform S(Q) holds, and not the PDF programs' N(r; d, σ)/r."""
    rng = np.random.default_rng(7)
    d, sigma = 1.98, math.sqrt(0.006)
    vectors = rng.normal(0.0, sigma, (2_000_000, 3))
    vectors[:, 0] += d
    distance = np.linalg.norm(vectors, axis=1)
    assert abs(distance.mean() - (d + sigma**2 / d)) < 3e-4
    edges = np.arange(d - 4 * sigma, d + 4 * sigma, 0.01)
    r = 0.5 * (edges[1:] + edges[:-1])
    sampled = np.histogram(distance, edges, weights=1 / distance)[0] / len(distance) / 0.01

    def gauss(centre):
        return np.exp(-0.5 * ((r - centre) / sigma) ** 2) / (sigma * math.sqrt(2 * math.pi))

    over_d = (gauss(d) - gauss(-d)) / d
    over_r = gauss(d) / r
    top = over_d.max()
    assert np.max(np.abs(sampled - over_d)) < 0.01 * top
    assert np.max(np.abs(sampled - over_r)) > 0.02 * top


def test_bragg_peaks_sit_at_two_pi_over_d():
    structure = rocksalt()
    q = np.arange(0.5, 8.0, 0.0005)
    result = compute_sq(structure, q, radiation="neutron", u_iso=0.005, qdamp=0.005)
    peaks = q[1:-1][(result.sq[1:-1] > result.sq[:-2]) & (result.sq[1:-1] >= result.sq[2:]) & (result.sq[1:-1] > 2.0)]
    peaks = peaks[peaks < 7.9]
    # Rock salt (F-centred): h, k, l all even or all odd.
    expected = sorted(
        {
            round(2 * math.pi / 5.64 * math.sqrt(h * h + k * k + m * m), 6)
            for h in range(0, 9)
            for k in range(0, 9)
            for m in range(0, 9)
            if (h % 2 == k % 2 == m % 2)
            and (h or k or m)
            and 2 * math.pi / 5.64 * math.sqrt(h * h + k * k + m * m) < 7.9
        }
    )
    assert len(peaks) == len(expected)
    np.testing.assert_allclose(peaks, expected, atol=0.001)


def test_line_areas_against_pymatgen_neutron_diffraction():
    """pymatgen's powder intensities carry the Lorentz factor 1/(sin²θ cos θ); S(Q)'s line areas go as 1/Q²,
    so area × Q² and intensity × sin²θ cos θ are both multiplicity × |F|² (with the same displacements)."""
    pytest.importorskip("pymatgen")
    from pymatgen.analysis.diffraction.neutron import NDCalculator

    from kestrel import to_pymatgen

    structure = rocksalt()
    u = 0.01
    wavelength = 1.0
    pattern = NDCalculator(
        wavelength=wavelength, debye_waller_factors={"Na": 8 * math.pi**2 * u, "Cl": 8 * math.pi**2 * u}
    ).get_pattern(to_pymatgen(structure), scaled=False)
    theta = np.radians(np.asarray(pattern.x) / 2)
    qs = 4 * math.pi * np.sin(theta) / wavelength
    theirs = np.asarray(pattern.y) * np.cos(theta) * np.sin(theta) ** 2
    q = np.arange(0.5, qs.max() + 0.5, 0.0005)
    sq = compute_sq(structure, q, radiation="neutron", u_iso=u, qdamp=0.0)
    ours = []
    for centre in qs:
        near = np.abs(q - centre) < 0.01
        ours.append(np.sum((sq.sq[near] - np.min(sq.sq[near])) * 0.0005) * centre**2)
    ours = np.array(ours)
    np.testing.assert_allclose(ours / ours.max(), theirs / theirs.max(), rtol=0.01, atol=1e-3)


@pytest.mark.parametrize("make", [rocksalt, wurtzite, disordered])
@pytest.mark.parametrize("radiation", ["xray", "neutron"])
def test_intensity_never_negative_and_sq_above_its_floor(make, radiation):
    structure = make()
    q = np.arange(0.0, 30.0, 0.01)
    result = compute_sq(structure, q, radiation=radiation, u_iso=0.01, qdamp=0.03)
    assert np.all(result.iq >= -1e-9 * np.max(result.iq))
    floor = 1.0 - result.mean_square_scattering / result.mean_scattering**2
    assert np.all(result.sq >= floor - 1e-9)
    # Far beyond the Bragg peaks the crystal scatters like independent atoms: S -> 1.
    assert abs(result.sq[-1] - 1.0) < 1e-3


def test_partials_add_up_and_a_supercell_gives_its_cells_curves():
    structure = disordered()
    q = np.arange(0.0, 12.0, 0.01)
    one = compute_sq(structure, q, radiation="xray", qdamp=0.05)
    two = compute_sq(structure.make_supercell(2, 1, 2), q, radiation="xray", qdamp=0.05)
    np.testing.assert_allclose(two.sq, one.sq, atol=1e-9)
    np.testing.assert_allclose(two.iq, one.iq, rtol=1e-9, atol=1e-9)
    f = {e: None for e in structure.elements}
    c = one.concentrations
    from kestrel.scattering.form_factors import form_factors

    f = form_factors(list(c), "xray", q)
    total = (
        sum((1 if a == b else 2) * c[a] * c[b] * f[a] * f[b] * (s - 1) for (a, b), s in one.partials.items())
        / one.mean_scattering**2
    )
    np.testing.assert_allclose(1 + total, one.sq, atol=1e-12)


def test_random_alloy_between_peaks_is_laue_and_thermal_diffuse():
    """One fcc site shared at random: between Bragg peaks I/N = <f²> − <f>² exp(−U Q²)."""
    structure = Structure(
        np.eye(3) * 3.6, [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]], [{"Fe": 0.5, "Ni": 0.5}] * 4
    )
    q = np.array([1.0, 2.5, 4.5])  # clear of the 111, 200 and 220 lines
    result = compute_sq(structure, q, radiation="neutron", u_iso=0.01, qdamp=0.01)
    expected = result.mean_square_scattering - result.mean_scattering**2 * np.exp(-0.01 * q**2)
    np.testing.assert_allclose(result.iq, expected, rtol=1e-9)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"q": [1.0, -2.0]}, "q must hold finite values of at least 0"),
        ({"q": [1.0], "qdamp": -0.1}, "qdamp must be a non-negative number"),
        ({"q": [1.0], "radiation": "muon"}, "radiation must be 'xray' or 'neutron', got 'muon'"),
        ({"q": [1.0], "u_iso": {"Na": 0.01}}, "u_iso has no value for element 'Cl'"),
    ],
)
def test_compute_sq_refuses(kwargs, message):
    with pytest.raises(ValueError, match=message):
        compute_sq(rocksalt(), **kwargs)


def test_command_writes_sq_csv_and_figures(tmp_path):
    import pandas

    from conftest import EXAMPLES, run_kestrel

    done = run_kestrel(
        "sq", EXAMPLES / "FeNi_disordered.cif", "--q", "1:12:0.01", "--qdamp", "0.03", "--partials", "--out", tmp_path
    )
    assert done.returncode == 0, done.stderr
    table = pandas.read_csv(tmp_path / "sq.csv", comment="#")
    assert list(table.columns[:4]) == ["Q", "S", "F", "I"] and "S_Fe-Ni" in table.columns
    assert len(table) == 1101 and table["Q"].iloc[-1] == pytest.approx(12.0)
    assert (tmp_path / "sq.png").stat().st_size > 0 and (tmp_path / "sq_partials.png").stat().st_size > 0


@pytest.mark.parametrize(
    "flags, message",
    [
        (["--q", "1:x:0.1"], "--q must be START:STOP:STEP in Å⁻¹, such as 0.5:25:0.01; got '1:x:0.1'"),
        (["--q", "5:1:0.1"], "--q needs 0 <= START <= STOP and STEP > 0, got '5:1:0.1'"),
        (["--qdamp", "-1"], "--qdamp must be a number of at least 0, got -1.0"),
    ],
)
def test_command_refuses_bad_q_options(flags, message):
    from conftest import EXAMPLES, run_kestrel

    done = run_kestrel("sq", EXAMPLES / "FeNi_disordered.cif", *flags)
    assert done.returncode != 0 and message in done.stderr


@pytest.mark.parametrize(
    "name, text, kind, expected",
    [
        ("a.fq", "# F(Q) from a reduction\n#### start data\n1.0 0.5\n1.1 0.6\n1.2 0.4\n", None, ("fq", None)),
        ("b.sq", "Q S dS\n0.5 0.9 0.01\n0.6 1.1 0.02\n", None, ("sq", [0.01, 0.02])),
        ("c.dat", "0.5 10 0.0 1\n0.6 12 0.0 2\n", "iq", ("iq", [1.0, 2.0])),
    ],
)
def test_reads_q_files(tmp_path, name, text, kind, expected):
    from kestrel.scattering import read_q_data

    path = tmp_path / name
    path.write_text(text)
    data = read_q_data(path, kind=kind)
    assert data.kind == expected[0]
    assert data.errors is None if expected[1] is None else np.allclose(data.errors, expected[1])
    assert np.all(np.diff(data.q) > 0) and len(data.values) == len(data.q)


@pytest.mark.parametrize(
    "name, text, kind, message",
    [
        ("a.fq", "1.0 0.5\n0.9 0.6\n", None, "a.fq, line 2: Q = 0.9 does not increase (the previous row has Q = 1)"),
        (
            "a.sq",
            "1.0 0.5\n1.1 0.6 0.1\n",
            None,
            "a.sq, line 2: expected 2 columns like the first data row (line 1), found 3",
        ),
        ("a.iq", "1.0 0.5\n1.1 x\n", None, "a.iq, line 2: expected numbers, found '1.1 x'"),
        ("a.iq", "1.0\n", None, "a.iq, line 1: expected at least two columns (Q and I), found one"),
        ("a.txt", "1.0 0.5\n", None, "a.txt: cannot tell S(Q), F(Q) or I(Q) from the name"),
        ("data/a.txt", "1.0 0.5\n", None, "data/a.txt: cannot tell S(Q), F(Q) or I(Q) from the name"),
        ("a.txt", "1.0 0.5\n", "gq", "kind must be 'sq', 'fq' or 'iq', got 'gq'"),
    ],
)
def test_refuses_broken_q_files_naming_file_and_line(tmp_path, monkeypatch, name, text, kind, message):
    from kestrel.scattering import read_q_data

    monkeypatch.chdir(tmp_path)
    (tmp_path / name).parent.mkdir(exist_ok=True)
    (tmp_path / name).write_text(text)
    with pytest.raises(ValueError) as raised:
        read_q_data(name, kind=kind)
    assert str(raised.value).startswith(message)
