"""The type stubs: stubtest, mypy --strict on the examples, the stubs' keys
against what the module really accepts and returns, and proof that a wrong
stub is caught."""

import ast
import os
import pathlib
import subprocess
import sys

import pytest

import marlune
from conftest import KEYS

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "py" / "stubs" / "marlune-stubs" / "__init__.pyi"
TYPED = [str(ROOT / "examples"), str(ROOT / "tests" / "typing")]

pytestmark = [
    pytest.mark.skipif(bool(os.environ.get("MARLUNE_SANITIZED")), reason="checks the installed package"),
    pytest.mark.skipif(not (pathlib.Path(marlune.__file__).parent / "marlune-stubs").is_dir(),
                       reason="marlune is not installed with its stubs (run ./dev test)"),
]

# The option tables of the documentation.
OPTION_KEYS = {
    "GdOptions": ["step_size", "max_iters", "tol_grad", "manifold", "line_search"],
    "GnOptions": ["lambda", "lambda_", "step_scale", "max_iters", "tol_r", "tol_dx", "damping_update",
                  "linear_system", "line_search_method", "line_search", "ls_beta", "ls_min_step", "ls_max_steps",
                  "c_armijo", "manifold", "scaling", "tol_cost", "tol_dx_rel"],
    "LmOptions": ["lambda", "lambda_", "lambda_up", "lambda_down", "step_scale", "max_iters", "tol_r", "tol_dx",
                  "manifold", "line_search", "linear_system", "scaling", "tol_cost", "tol_dx_rel"],
}


def run(args, cwd, env=None):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300,
                          env=env)


def mypy(tmp_path, *paths, env=None):
    return run(["-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *paths], ROOT, env)


def stubtest(tmp_path, env=None):
    # From an empty directory, so that nothing but the installed module is found.
    return run(["-m", "mypy.stubtest", "--mypy-config-file", os.devnull, "marlune"], tmp_path, env)


def typed_dict_keys(tree):
    """The keys of every TypedDict in the stub, bases (by name) included."""
    own, bases = {}, {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            own[node.name] = [s.target.id for s in node.body if isinstance(s, ast.AnnAssign)]
            bases[node.name] = [b.id for b in node.bases if isinstance(b, ast.Name)]
        elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Call) and \
                getattr(node.value.func, "id", "") == "TypedDict":
            own[node.targets[0].id] = [k.value for k in node.value.args[1].keys]
            bases[node.targets[0].id] = []

    def keys(name):
        return [k for b in bases[name] if b in own for k in keys(b)] + own[name]
    return {name: keys(name) for name in own}


STUB_KEYS = typed_dict_keys(ast.parse(STUB.read_text()))


def test_stubtest_finds_no_mismatch(tmp_path):
    proc = stubtest(tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_the_stub_declares_exactly_the_module_names():
    # stubtest only compares the names in __all__; the exception class is not there.
    tree = ast.parse(STUB.read_text())
    runtime_only = lambda n: not any(getattr(d, "id", "") == "type_check_only" for d in n.decorator_list)
    declared = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef)) and runtime_only(n)}
    assert declared == {n for n in dir(marlune) if not n.startswith("_")} == {"gd", "gn", "lm", "PanicException"}


def test_examples_and_the_api_usage_pass_mypy_strict(tmp_path):
    proc = mypy(tmp_path, *TYPED)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_the_api_usage_runs():
    # The file mypy checks against the stubs is also run against the module.
    out = run([str(ROOT / "tests" / "typing" / "api_usage.py")], ROOT)
    assert out.returncode == 0, out.stderr


@pytest.mark.parametrize("name", sorted(OPTION_KEYS))
def test_every_option_key_is_typed_and_accepted(name):
    assert sorted(STUB_KEYS[name]) == sorted(OPTION_KEYS[name])
    fn = {"GdOptions": lambda o: marlune.gd(lambda x: 0.0, lambda x: [0.0], [0.0], options=o),
          "GnOptions": lambda o: marlune.gn(lambda x: [x[0]], [0.0], jacobian=lambda x: [1.0], options=o),
          "LmOptions": lambda o: marlune.lm(lambda x: [x[0]], [0.0], jacobian=lambda x: [1.0], options=o)}[name]
    for key in STUB_KEYS[name]:
        try:
            fn({key: object()})
        except Exception as exc:  # a wrong value, never an unknown key
            assert "unknown options key" not in str(exc), key


def test_history_context_and_debug_keys_match_the_module():
    contexts = []
    _, _, _, history = marlune.gd(lambda x: x[0] ** 2, lambda x: [2.0 * x[0]], [1.0],
                                  options={"line_search": lambda c: contexts.append(c) or 0.25},
                                  debug={"history": True, "verbose": False})
    assert STUB_KEYS["HistoryRecord"] == list(history[0]) == KEYS
    assert sorted(STUB_KEYS["LineSearchContext"]) == sorted(contexts[0])
    assert STUB_KEYS["LineSearchDecision"] == ["alpha", "accepted"]
    for debug in ("DebugOptions", "DebugWithHistory", "DebugWithoutHistory"):
        assert STUB_KEYS[debug] == ["history", "verbose"]


# Deliberate mistakes in a copy of the stub, and the check that must catch each.
MISTAKES = {
    "misspelt option key": ("    tol_grad: float\n", "    tol_gard: float\n", "mypy"),
    "wrong result arity": ("_GdResultWithHistory: TypeAlias = tuple[list[float], float, bool, ",
                           "_GdResultWithHistory: TypeAlias = tuple[list[float], float, ", "mypy"),
    "wrong history value type": ('"iter": int,', '"iter": str,', "mypy"),
    "wrong text option value": ('"strict_decrease", "none"]', '"strict-decrease", "none"]', "mypy"),
    "wrong difference scheme": ('Literal["2-point", "3-point"]', 'Literal["2-point", "3point"]', "mypy"),
    "renamed parameter": ("    grad: _VectorFn,\n", "    gradient: _VectorFn,\n", "stubtest"),
    "keyword-only made positional": ("    x0: _Vector,\n    *,\n    options: GdOptions",
                                     "    x0: _Vector,\n    options: GdOptions", "stubtest"),
    "missing exception class": ("class PanicException(BaseException):", "class _Gone(BaseException):", "mypy"),
}


@pytest.mark.parametrize("mistake", sorted(MISTAKES))
def test_a_wrong_stub_is_caught(tmp_path, mistake):
    old, new, catcher = MISTAKES[mistake]
    text = STUB.read_text()
    assert old in text
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    (stubs / "marlune.pyi").write_text(text.replace(old, new))
    env = dict(os.environ, MYPYPATH=str(stubs))  # searched before the installed stubs
    proc = stubtest(tmp_path, env) if catcher == "stubtest" else mypy(tmp_path, *TYPED, env=env)
    assert proc.returncode != 0, proc.stdout
