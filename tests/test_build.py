"""Properties of the built module: exports, machine code and kernel paths."""

import os
import shutil
import subprocess

import pytest

import marlune
from conftest import run_python

needs_binutils = pytest.mark.skipif(not (shutil.which("objdump") and shutil.which("nm")), reason="needs binutils")


@needs_binutils
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", marlune.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_marlune"]


@needs_binutils
def test_no_fused_multiply_add_anywhere_in_the_module():
    # Results must not depend on whether a machine fuses a*b+c: no FMA
    # instruction (of any encoding or width) may appear in the module.
    code = subprocess.run(["objdump", "-d", "--no-show-raw-insn", marlune.__file__], capture_output=True, text=True,
                          check=True).stdout
    assert "vmulpd" in code or "mulsd" in code  # the disassembly is real
    fused = [line for line in code.splitlines() if any(op in line for op in ("vfmadd", "vfmsub", "vfnmadd", "vfnmsub",
                                                                              "vfmaddsub", "vfmsubadd"))]
    assert fused == []


FIT_CHILD = """
    import math, marlune
    t = [0.05 * i for i in range(60)]
    y = [2.0 * math.exp(-1.3 * ti) + 0.3 * math.sin(3.0 * ti) + 0.01 * math.cos(37.0 * ti) for ti in t]
    def res(p):
        return [p[0] * math.exp(p[1] * ti) + p[2] * math.sin(p[3] * ti) - yi for ti, yi in zip(t, y)]
    def jac(p):
        out = []
        for ti in t:
            e = math.exp(p[1] * ti)
            out += [e, p[0] * ti * e, math.sin(p[3] * ti), p[2] * ti * math.cos(p[3] * ti)]
        return out
    x0 = [1.0, -1.0, 0.2, 2.8]
    print(repr(marlune.lm(res, x0, jacobian=jac, options={"max_iters": 30})))
    print(repr(marlune.gn(res, x0, jacobian=jac, options={"max_iters": 30})))
    print(repr(marlune.gn(res, x0, jacobian=jac, options={"max_iters": 30, "linear_system": "normal_jtj"})))
    hard = {"max_iters": 30, "scaling": "marquardt", "tol_cost": 1e-15, "tol_dx_rel": 1e-12}
    print(repr(marlune.lm(res, x0, jacobian="3-point", options=dict(hard, linear_system="normal_jtj"))))
    print(repr(marlune.lm(res, x0, jacobian="2-point", options=dict(hard, scaling=[1.0, 2.0, 0.5, 3.0]))))
"""


def test_every_kernel_path_gives_the_same_results():
    # 60 residuals: the m by m systems go through the blocked elimination.
    outputs = {}
    for path in ("reference", "portable", "avx2", "avx512"):
        env = dict(os.environ, MARLUNE_KERNELS=path)
        outputs[path] = subprocess.run(
            [os.sys.executable, "-c", __import__("textwrap").dedent(FIT_CHILD)], capture_output=True, text=True,
            env=env, check=True, timeout=120).stdout
    assert len(set(outputs.values())) == 1, outputs
    assert "True" in outputs["reference"]
    assert run_python(FIT_CHILD) == outputs["reference"]
