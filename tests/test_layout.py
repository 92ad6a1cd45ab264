"""The core's folders and the Python package's parts keep to their layers
(tools/check_layers.py), and no Python module grows past one sitting's reading."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "kestrel"


def test_no_layer_reaches_a_higher_one_and_no_import_cycle():
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "check_layers.py")], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize("path", sorted(PACKAGE.rglob("*.py")), ids=lambda p: str(p.relative_to(PACKAGE)))
def test_python_modules_stay_short(path):
    assert len(path.read_text().splitlines()) <= 420
