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
    assert _kestrel.read_xyz_trajectory.__module__ == "_kestrel"


def test_class_identity():
    assert Structure.__module__ == "kestrel"
    assert Structure.__name__ == "Structure"
    with pytest.raises(TypeError):
        type("Sub", (Structure,), {})


def test_members_registered_in_order():
    names = [name for name in vars(Structure) if name in MEMBERS]
    assert names == MEMBERS


# ---- the compiled module, its declaration and the stub agree ------------------------------------

sys.path.insert(0, str(ROOT / "tools"))
import make_signatures  # noqa: E402

DECLARATION = make_signatures.D
CALLABLES = make_signatures.callables()
PROPERTIES = make_signatures.properties()


def compiled(item):
    """What a declared callable or property is in the built module (a static method unwrapped)."""
    if item is CALLABLES[0]:  # the constructor
        return Structure
    owner, _, member = item.name.rpartition(".")
    found = vars(Structure)[member] if owner else getattr(_kestrel, member)
    return found.__func__ if isinstance(found, staticmethod) else found


def test_the_generated_files_are_current():
    # Stale generated files would build a module that differs from its declaration.
    result = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "make_signatures.py"), "--check"], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("item", CALLABLES + PROPERTIES, ids=lambda item: item.name)
def test_the_module_holds_the_declared_docstring_and_signature(item):
    # A table edited by hand, or a build older than the declaration, shows here.
    found = compiled(item)
    assert found.__doc__ == item.doc
    if isinstance(item, DECLARATION.Callable):
        shown = getattr(found, "__text_signature__", None)
        declared = make_signatures.text_signature(item) if item.text_signature else None
        assert (shown and declared and declared.endswith(shown)) or shown == declared, (shown, declared)


def test_every_member_of_the_module_is_declared():
    declared = {item.name for item in CALLABLES + PROPERTIES}
    members = {f"Structure.{name}" for name in vars(Structure) if not name.startswith("__") or name == "__reduce__"}
    functions = {
        name
        for name, value in vars(_kestrel).items()
        if callable(value) and not isinstance(value, type) and not name.startswith("__")
    }
    assert members | functions | {"Structure"} == declared


@pytest.mark.parametrize("item", [c for c in CALLABLES if c.params], ids=lambda item: item.name)
def test_the_argument_tables_follow_the_declaration(item, rocksalt):
    # Unknown keywords and one positional argument too many are refused before
    # anything is converted, with the callable named as the declaration names it.
    call = getattr(rocksalt, item.name.rpartition(".")[2]) if item.kind == DECLARATION.METHOD else compiled(item)
    name = item.messages_name or f"{item.name}()"
    with pytest.raises(TypeError) as refused:
        call(bogus=1)
    assert str(refused.value) == f"{name} got an unexpected keyword argument 'bogus'"
    positional = make_signatures.positional_count(item)
    required = sum(1 for p in item.params if p.default is DECLARATION.REQUIRED)
    with pytest.raises(TypeError) as refused:
        call(*[None] * (positional + 1))
    takes = f"{positional}" if required == positional else f"from {required} to {positional}"
    assert str(refused.value) == f"{name} takes {takes} positional arguments but {positional + 1} were given"


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


def test_the_stub_declares_every_callable():
    # STUBS leaves out the constructor (a dunder); the stub test below compares the rest one by one.
    assert set(STUBS) == {c.name for c in CALLABLES if c.in_stub and c is not CALLABLES[0]}


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
    # The partials are pair densities, and the docstring says so with the unit.
    assert "rho_B g_AB(r)" in Structure.prdf.__doc__ and "Å⁻³" in Structure.prdf.__doc__
    assert all(
        getattr(Structure, name).__doc__ for name in vars(Structure) if isinstance(getattr(Structure, name), property)
    )


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


def test_import_does_not_import_numpy_or_the_table_libraries():
    # The batch layer needs pyarrow and, on a cluster, dask only when a table is made: loading it stays light too.
    heavy = ("numpy", "pandas", "pyarrow", "dask", "distributed")
    code = (
        f"import sys, kestrel; print([m for m in {heavy} if m in sys.modules]); "
        f"kestrel.batch, kestrel.rdf_table; print([m for m in {heavy} if m in sys.modules])"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["[]", "['numpy']"]


def test_initialiser_is_the_only_export():
    import shutil

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", _kestrel.__file__], capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__kestrel"]
