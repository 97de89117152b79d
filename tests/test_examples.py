"""Every example runs in a child process and prints the result it should;
--plot saves a PNG when matplotlib is there and says it skipped otherwise."""

import importlib.util
import os
import pathlib
import re
import shutil
import sys

import pytest

from conftest import run_checked

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
NUMBER = re.compile(r"[-+]?\d+\.\d+(?:e[-+]?\d+)?")

# Numbers each example must print (the fits are deterministic to the bit;
# these are their printed roundings). The sphere's eigenvalue comes from
# NumPy's LAPACK, which is why it is matched loosely.
EXPECTED = {
    "demo_gd": ([2.9999996020669446, -1.0, 1.583507165768263e-13], 0.0),
    "fit_gn": ([5.00025, 0.80224, 0.50272, 0.252883], 0.0),
    "fit_lm": ([2.37446, 0.62359, 0.00595765], 0.0),
    "fit_scaled": ([30250.5, 4.098e-07, 29874.4], 0.0),
    "fit_no_jacobian": ([2.005765, 1.7977121, 0.0978649, 0.0089243], 0.0),
    "compare_gn_lm": ([3.035526, 4.195582, 0.584777, 0.495587, 0.102331, 0.1273471], 0.0),
    "sphere_eigenvector": ([11.119448640068, 1.0], 1e-9),
}


def run(script, *args, env=None):
    return run_checked(sys.executable, script, *args, env=env)


def numbers(text):
    return [float(m) for m in NUMBER.findall(text)]


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_prints_its_result(name):
    out = run(EXAMPLES / f"{name}.py")
    expected, tol = EXPECTED[name]
    printed = numbers(out)
    for value in expected:
        digits = 1e-12 + abs(value) * 5e-7  # the printed precision
        assert any(abs(p - value) <= digits + tol for p in printed), (value, out)
    assert "True" in out and "False" not in out  # every solve reports convergence


def copy_examples(tmp_path):
    for path in EXAMPLES.glob("*.py"):
        shutil.copy(path, tmp_path)
    return tmp_path


def test_plot_is_skipped_with_one_line_without_matplotlib(tmp_path):
    work = copy_examples(tmp_path)
    blocker = tmp_path / "blocked"
    (blocker / "matplotlib").mkdir(parents=True)
    (blocker / "matplotlib" / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(blocker), os.environ.get("PYTHONPATH")])))
    plain = run(work / "fit_lm.py", env=env)
    plotted = run(work / "fit_lm.py", "--plot", env=env)
    assert plotted.startswith(plain)
    assert len(plotted.splitlines()) == len(plain.splitlines()) + 1
    assert "matplotlib" in plotted.splitlines()[-1]
    assert not list(work.glob("*.png"))


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed")
@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_plot_is_saved_next_to_the_example(tmp_path, name):
    work = copy_examples(tmp_path)
    run(work / f"{name}.py", env=dict(os.environ, MARLUNE_PLOT="1"))
    assert (work / f"{name}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_readme_first_look_prints_what_it_shows():
    # The python blocks of "A first look" run in one namespace; what they print
    # (verbose lines included) must be the output blocks shown after them.
    readme = (EXAMPLES.parent / "README.md").read_text()
    section = readme[readme.index("## A first look"):readme.index("## Reference")]
    blocks = re.findall(r"```(\w*)\n(.*?)```", section, re.S)
    code = "".join(body for lang, body in blocks if lang == "python")
    shown = "".join(body for lang, body in blocks if lang == "")
    assert code and shown
    assert run_checked(sys.executable, "-u", "-c", code) == shown
