"""The core's folders keep to their layers (tools/check_layers.py)."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_no_folder_includes_a_higher_one():
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "check_layers.py")], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout
