"""The cost of the module boundary, against the work every iteration must do.

Builds (in a temporary folder, with the system's C compiler) a minimal
extension on the same stable ABI that does only the mandated work per
iteration, and prints, for vectors of n = 2 to 1000 entries:

  gd  — fixed-step gradient descent with grad = lambda x: x, per iteration:
        marlune.gd against the floor (same final x, checked bit for bit) and
        against a pure-Python loop;
  gn  — one Gauss-Newton iteration with no line search on m = n residuals
        of one parameter (normal equations, so the linear algebra is O(m)):
        one Jacobian and two residual calls plus the iteration's arithmetic,
        against a floor doing the same (same final x, bit for bit).

Run: python benchmarks/boundary.py   (best of several repeats; ratios < 1.15 are the target)
"""

import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import time

import marlune

HERE = pathlib.Path(__file__).parent


def build_floor():
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="marlune-floor-"))
    out = tmp / "_floor.abi3.so"
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-ffp-contract=off", f"-I{sysconfig.get_paths()['include']}",
                    str(HERE / "_floor.c"), "-o", str(out)], check=True)
    sys.path.insert(0, str(tmp))
    import _floor
    return _floor


def best(fn, repeats=7):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def compare(a, b, repeats=15):
    """Best times of a and b, measured alternately so that drift in the
    machine's speed affects both alike."""
    ta, tb = [], []
    for _ in range(repeats):
        ta.append(best(a, 1))
        tb.append(best(b, 1))
    return min(ta), min(tb)


def python_gd(grad, x, step, iters):
    for _ in range(iters):
        g = grad(x)
        s = -0.0
        for v in g:
            s = s + v * v
        x = [xi + step * -gi for xi, gi in zip(x, g)]
    return x


def main():
    floor = build_floor()
    print(f"CPython {sys.version.split()[0]}, {os.uname().machine}")
    print(f"{'':4}{'n':>6}{'marlune µs/it':>15}{'floor µs/it':>13}{'ratio':>8}{'python µs/it':>14}{'ratio':>8}")
    grad = lambda x: x  # noqa: E731 - the cheapest possible callback
    for n in (2, 10, 100, 1000):
        iters = max(20, 200000 // (n + 20))
        x0 = [1.0 + i / n for i in range(n)]
        step = 1e-4
        opts = {"step_size": step, "max_iters": iters, "tol_grad": 0.0}
        ours = marlune.gd(lambda x: 0.0, grad, x0, options=opts)[0]
        assert ours == floor.gd(grad, x0, step, iters) == python_gd(grad, x0, step, iters), "final x differs"
        t_m, t_f = (t / iters * 1e6 for t in compare(lambda: marlune.gd(lambda x: 0.0, grad, x0, options=opts),
                                                     lambda: floor.gd(grad, x0, step, iters)))
        t_p = best(lambda: python_gd(grad, x0, step, iters), 3) / iters * 1e6
        print(f"{'gd':4}{n:6d}{t_m:15.3f}{t_f:13.3f}{t_m / t_f:8.2f}{t_p:14.3f}{t_m / t_p:8.2f}")
    for m in (2, 10, 100, 1000):
        iters = max(20, 100000 // (m + 20))
        target = [float(i) for i in range(m)]
        ones = [1.0] * m

        def residual(x, _t=target):
            v = x[0]
            return [v - t for t in _t]

        jacobian = lambda x: ones  # noqa: E731
        opts = {"max_iters": iters, "line_search": False, "tol_r": -1.0, "tol_dx": -1.0,
                "linear_system": "normal_jtj", "damping_update": "fixed"}
        res = marlune.gn(residual, [0.5], jacobian=jacobian, options=opts)
        assert res[2] == iters and res[0] == [floor.gn(residual, jacobian, [0.5], m, iters, 1e-3)], "final x differs"
        t_m, t_f = (t / iters * 1e6 for t in compare(
            lambda: marlune.gn(residual, [0.5], jacobian=jacobian, options=opts),
            lambda: floor.gn(residual, jacobian, [0.5], m, iters, 1e-3)))
        print(f"{'gn':4}{m:6d}{t_m:15.3f}{t_f:13.3f}{t_m / t_f:8.2f}")


if __name__ == "__main__":
    main()
