"""What a type checker sees of kestrel: the stub ships inside the typed package."""

import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import kestrel

pytest.importorskip("mypy")

SCRIPT = textwrap.dedent("""
    import kestrel

    s = kestrel.Structure.from_cif("x.cif")
    r, partials, total = s.prdf(cutoff=3.0)
    reveal_type(s)
    reveal_type(partials)
    reveal_type(s.n_atoms)
    reveal_type(kestrel.read_structure("POSCAR"))
    s.prdf(cutof=3.0)
""")


def test_mypy_sees_the_signatures(tmp_path):
    package_parent = str(Path(kestrel.__file__).resolve().parent.parent)
    installed = {sysconfig.get_paths()[key] for key in ("purelib", "platlib")}
    env = dict(os.environ)
    # An installed kestrel is found through site-packages; a source checkout
    # has to be pointed at (mypy refuses site-packages on its search path).
    if package_parent not in installed:
        env["MYPYPATH"] = package_parent
    (tmp_path / "script.py").write_text(SCRIPT)
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--cache-dir",
            str(tmp_path / "cache"),
            "script.py",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    # Only the script's own lines: from a checkout mypy also reports on the package's sources.
    lines = [line for line in result.stdout.splitlines() if line.startswith("script.py:")]
    assert result.returncode == 1, result.stdout + result.stderr
    assert 'Revealed type is "kestrel._kestrel.Structure"' in lines[0]
    assert "dict[tuple[str, str], numpy.ndarray[" in lines[1] and "numpy.float64" in lines[1]
    assert 'Revealed type is "float"' in lines[2] or 'Revealed type is "builtins.float"' in lines[2]
    assert "Structure" in lines[3]
    assert 'Unexpected keyword argument "cutof" for "prdf" of "Structure"' in lines[4]
    assert not [line for line in lines if ": error:" in line and "cutof" not in line], result.stdout
