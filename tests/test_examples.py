"""Every example runs to completion (each checks its own answer)."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).parent.parent / "examples").glob("*.py"))


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_example_runs(path):
    proc = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
