"""The distributions: an sdist, a wheel built from it that keeps to the 3.13
stable ABI, and both installed into a fresh environment without NumPy."""

import os
import pathlib
import sys
import zipfile

import pytest

from conftest import run_checked

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(bool(os.environ.get("MARLUNE_SANITIZED")), reason="builds release artefacts")
BUILD = 600  # seconds allowed for a build or an install that compiles

SMOKE = """
import importlib.util, math, marlune
assert importlib.util.find_spec("numpy") is None, "numpy must not be installed here"
# The worked run, to the bit, with a tuple gradient and a history.
res = marlune.gd(lambda x: x[0] * x[0], lambda x: (2.0 * x[0],), [1], options={"step_size": 0.25, "tol_grad": 0.001},
                 debug={"history": True})
assert res[:3] == ([0.00048828125], 2.384185791015625e-07, True) and res[3][0]["note"] == "converged", res
res = lambda p: [p[0] - 1.0, 10.0 * (p[1] - p[0] ** 2)]
jac = lambda p: [1.0, 0.0, -20.0 * p[0], 10.0]
for solve in (marlune.gn, marlune.lm):
    x, cost, its, r, dx, ok = solve(res, [-1.2, 1.0], jacobian=jac)
    assert ok and abs(x[0] - 1.0) < 1e-6 and abs(x[1] - 1.0) < 1e-6, (solve, x)
try:
    marlune.lm(res, [0.0, 0.0], jacobian=lambda p: (1.0, 2.0, 3.0), options={"lambda_up": 1.0})
except ValueError as exc:
    assert str(exc) == "lm: options.lambda_up must be finite and > 1, got 1", exc
else:
    raise AssertionError("no error")
try:
    marlune.gn(res, [0.0, 0.0], jacobian=lambda p: "1234")
except TypeError as exc:
    assert "str" in str(exc)
print("smoke ok", marlune.__file__)
"""


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """Builds the sdist, then the wheel from that sdist (not from the tree)."""
    out = tmp_path_factory.mktemp("dist")
    run_checked(sys.executable, "-m", "build", "--no-isolation", "--outdir", out, ROOT, timeout=BUILD)
    (sdist,) = out.glob("marlune-*.tar.gz")
    (wheel,) = out.glob("marlune-*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def fresh_python(tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv")
    run_checked(sys.executable, "-m", "venv", "--without-pip", venv)
    return venv / "bin" / "python"


def pip(target, *args):
    # The test environment's pip installs into the fresh one.
    return run_checked(sys.executable, "-m", "pip", "--python", target, "install", "--no-deps",
                       "--disable-pip-version-check", "--force-reinstall", *args, timeout=BUILD)


def test_the_wheel_is_one_abi3_module_with_its_stubs(dist):
    _, wheel = dist
    assert "-cp313-abi3-" in wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    assert "marlune.abi3.so" in names and "marlune-stubs/__init__.pyi" in names
    assert not [n for n in names if n.endswith(".py")]
    run_checked(sys.executable, "-m", "abi3audit", "--strict", wheel)


def test_the_wheel_installs_and_runs_without_numpy(dist, fresh_python):
    pip(fresh_python, dist[1])
    assert "smoke ok" in run_checked(fresh_python, "-c", SMOKE, cwd=fresh_python.parent)


def test_the_sdist_builds_and_installs(dist, fresh_python):
    sdist, _ = dist
    # The sdist carries what a build needs, and nothing from a build.
    listing = run_checked("tar", "-tzf", sdist)
    assert "pyproject.toml" in listing and "py/stubs/marlune-stubs/__init__.pyi" in listing
    assert "/build/" not in listing and ".venv" not in listing
    run_checked(sys.executable, "-m", "pip", "--python", fresh_python, "install", "--disable-pip-version-check", "-q",
                "scikit-build-core>=0.10", "cmake>=3.26", "ninja", timeout=BUILD)
    pip(fresh_python, "--no-build-isolation", sdist)
    assert "smoke ok" in run_checked(fresh_python, "-c", SMOKE, cwd=fresh_python.parent)
