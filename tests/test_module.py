"""Module initialisation, registration and the class as Python sees it."""

import ast
import inspect
import subprocess
import sys

import pytest

import _kestrel
import kestrel
from conftest import ROOT
from kestrel import Structure

MEMBERS = [
    "from_cif",
    "from_poscar",
    "from_xyz",
    "from_str",
    "from_cif_str",
    "n_sites",
    "n_atoms",
    "is_ordered",
    "volume",
    "elements",
    "composition",
    "lattice_matrix",
    "frac_coords",
    "cart_coords",
    "species",
    "disorder_summary",
    "available_threads",
    "make_supercell",
    "prdf",
    "total_rdf",
    "expand_occupancies",
]


def test_module_attributes():
    assert _kestrel.__all__ == ["Structure", "read_xyz_trajectory", "__version__"]
    assert _kestrel.__version__ == "0.3.0" == kestrel.__version__
    assert _kestrel.__doc__ == ""
    assert not hasattr(_kestrel, "available_threads")
    assert kestrel.Structure is _kestrel.Structure


def test_class_identity():
    assert Structure.__module__ == "kestrel"
    assert Structure.__name__ == "Structure"
    assert Structure.__text_signature__ == "(matrix, frac_coords, species, *, units=None)"
    with pytest.raises(TypeError):
        type("Sub", (Structure,), {})


def test_members_registered_in_order():
    names = [name for name in vars(Structure) if name in MEMBERS]
    assert names == MEMBERS


def stub_signatures():
    """Parameter names and defaults of every callable in _kestrel.pyi, as text."""
    tree = ast.parse((ROOT / "python" / "kestrel" / "_kestrel.pyi").read_text())
    found = {}

    def shown(function):
        args = function.args
        positional = args.posonlyargs + args.args
        defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
        names = [a.arg if d is None else f"{a.arg}={ast.unparse(d)}" for a, d in zip(positional, defaults)]
        if args.kwonlyargs:
            names.append("*")
            names += [
                a.arg if d is None else f"{a.arg}={ast.unparse(d)}" for a, d in zip(args.kwonlyargs, args.kw_defaults)
            ]
        return names

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = shown(node)
        elif isinstance(node, ast.ClassDef) and node.name == "Structure":
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not member.name.startswith("__"):
                    if not any(getattr(d, "id", "") == "property" for d in member.decorator_list):
                        found[f"Structure.{member.name}"] = shown(member)
    return found


STUBS = stub_signatures()


@pytest.mark.parametrize("name", sorted(STUBS))
def test_the_stub_and_the_extension_agree_on_every_signature(name):
    # The binding's text signatures and the stub are two writings of one
    # signature; this keeps them from drifting apart.
    owner, _, member = name.rpartition(".")
    call = getattr(Structure if owner else _kestrel, member, None)
    if call is None:
        pytest.skip(f"{name} is not in this build")
    if member.startswith("_") and not getattr(call, "__text_signature__", None):
        pytest.skip("a private helper without a text signature")
    runtime = [
        str(p).split(":")[0].replace(" ", "") if p.default is inspect.Parameter.empty else f"{p.name}={p.default!r}"
        for p in inspect.signature(call).parameters.values()
        if p.name != "self"
    ]
    if any(p.kind is inspect.Parameter.KEYWORD_ONLY for p in inspect.signature(call).parameters.values()):
        first = next(
            i
            for i, p in enumerate(inspect.signature(call).parameters.values())
            if p.kind is inspect.Parameter.KEYWORD_ONLY
        )
        runtime.insert(first - (1 if "self" in inspect.signature(call).parameters else 0), "*")
    stub = [name for name in STUBS[name] if name not in ("self", "cls")]
    assert [normalise(p) for p in runtime] == [normalise(p) for p in stub]


def normalise(parameter):
    # 1e-4 and 0.0001 are one default.
    name, _, default = parameter.partition("=")
    if default:
        try:
            default = repr(ast.literal_eval(default))
        except ValueError:
            pass
    return f"{name}={default}" if default else name


PUBLIC_CALLS = [name for name in vars(Structure) if not name.startswith("_") and callable(getattr(Structure, name))] + [
    "read_xyz_trajectory",
    "read_cif_blocks",
]


@pytest.mark.parametrize("name", PUBLIC_CALLS)
def test_every_public_call_says_what_it_returns(name):
    # Each docstring opens with one summary line and says what comes back
    # (and, when there are any, what the parameters are).
    call = getattr(Structure, name, None) or getattr(_kestrel, name)
    doc = call.__doc__
    assert doc and doc.splitlines()[0].strip()
    assert "Returns" in doc or "Returns" in (Structure.prdf.__doc__ if name == "total_rdf" else "")
    if [p for p in inspect.signature(call).parameters if p != "self"]:
        assert "Parameters" in doc


def test_docstrings():
    assert Structure.prdf.__doc__.splitlines()[0] == "Partial and total RDF."
    # The partials are pair densities, and the docstring says so with the unit.
    assert "rho_B g_AB(r)" in Structure.prdf.__doc__ and "Å⁻³" in Structure.prdf.__doc__
    assert Structure.n_atoms.__doc__ == "Number of atoms, which is fractional when sites are partly occupied."
    assert all(
        getattr(Structure, name).__doc__ for name in vars(Structure) if isinstance(getattr(Structure, name), property)
    )
    assert Structure.volume.__doc__ == "Cell volume in Å³ (float)."
    assert str(inspect.signature(_kestrel.read_xyz_trajectory)) == "(path, every=1, start=0, stop=None, cell=None)"
    assert _kestrel.read_xyz_trajectory.__module__ == "_kestrel"


def test_readers_are_static(rocksalt):
    assert isinstance(inspect.getattr_static(Structure, "from_cif"), staticmethod)
    assert isinstance(inspect.getattr_static(Structure, "available_threads"), staticmethod)


def test_properties_are_read_only(rocksalt):
    with pytest.raises(AttributeError):
        rocksalt.n_sites = 3
    with pytest.raises(AttributeError):
        rocksalt.anything = 3


def test_no_argument_members_refuse_arguments(rocksalt):
    with pytest.raises(TypeError):
        rocksalt.disorder_summary(1)
    with pytest.raises(TypeError):
        Structure.available_threads(1)


def test_identity_semantics(rocksalt):
    assert rocksalt == rocksalt
    assert hash(rocksalt) == hash(rocksalt)
    assert {rocksalt: 1}[rocksalt] == 1


def test_second_initialisation_is_refused():
    code = (
        "import sys, _kestrel\n"
        "first = _kestrel\n"
        "del sys.modules['_kestrel']\n"
        "try:\n"
        "    import _kestrel\n"
        "except ImportError as e:\n"
        "    print('refused', type(e).__name__)\n"
        "print(first.Structure([[1,0,0],[0,1,0],[0,0,1]], [[0,0,0]], [{'H': 1}]))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["refused ImportError", "Structure(1 sites, H1)"]


def test_import_does_not_import_numpy():
    code = "import sys, kestrel; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "False"


def test_initialiser_is_the_only_export():
    import shutil

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", _kestrel.__file__], capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__kestrel"]
