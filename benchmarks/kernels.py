"""The dense kernels against NumPy on one thread, in the same run.

Builds benchmarks/kernel_timing (CMake, into build/bench) and runs it: it
times J·Jᵀ, Jᵀ·J and the linear solve on every kernel path this CPU runs,
including the reference loops. NumPy is timed here with its BLAS held to one
thread. Prints seconds and ratios; the targets are ratios <= 1.5 against
NumPy at the large sizes, and fast paths no slower than the loops at n <= 8.

Run: python benchmarks/kernels.py
"""

import os

for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS"):
    os.environ[var] = "1"  # before NumPy loads its BLAS

import pathlib  # noqa: E402
import platform  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"


def build():
    cmake = shutil.which("cmake") or str(pathlib.Path(sys.executable).parent / "cmake")
    ninja = shutil.which("ninja") or shutil.which("ninja", path=str(pathlib.Path(sys.executable).parent))
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja and not (BUILD / "CMakeCache.txt").exists() else []
    subprocess.run([cmake, "-S", str(ROOT), "-B", str(BUILD), *generator, "-DCMAKE_BUILD_TYPE=Release",
                    "-DMARLUNE_BUILD_BENCHMARKS=ON", "-DMARLUNE_BUILD_PYTHON=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(BUILD), "--target", "kernel_timing", "-j"], check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / "benchmarks" / "kernel_timing"


def best(f, repeats=7):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def numpy_times():
    rng = np.random.default_rng(1)
    out = {}
    J = rng.uniform(-1, 1, (1000, 100))
    out[("jjt", 1000, 100)] = best(lambda: J @ J.T)
    J2 = rng.uniform(-1, 1, (100000, 10))
    out[("jtj", 100000, 10)] = best(lambda: J2.T @ J2)
    A = rng.uniform(-1, 1, (1000, 1000)) + 2 * np.eye(1000)
    b = rng.uniform(-1, 1, 1000)
    out[("solve", 1000, 1000)] = best(lambda: np.linalg.solve(A, b))
    return out


def main():
    exe = build()
    ours = {}
    for line in subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout.splitlines():
        routine, path, m, n, seconds = line.split()
        ours[(routine, path, int(m), int(n))] = float(seconds)
    theirs = numpy_times()
    paths = [p for p in ("reference", "portable", "avx2", "avx512") if any(k[1] == p for k in ours)]
    default = paths[-1]  # what the module picks on this CPU unless MARLUNE_KERNELS says otherwise
    print(f"{platform.processor() or platform.machine()}, NumPy {np.__version__} on one thread; "
          f"default path here: {default}")
    print(f"{'routine':8}{'m':>8}{'n':>6}" + "".join(f"{p:>12}" for p in paths) + f"{'numpy':>12}"
          f"{default + '/np':>12}{'best/np':>10}")
    for (routine, m, n) in sorted({(k[0], k[2], k[3]) for k in ours}, key=lambda k: (k[0], -k[1])):
        row = [ours[(routine, p, m, n)] for p in paths]
        unit, scale = ("ms", 1e3) if row[0] > 1e-4 else ("µs", 1e6)
        line = f"{routine:8}{m:8d}{n:6d}" + "".join(f"{t * scale:10.3f}{unit}" for t in row)
        np_t = theirs.get((routine, m, n))
        if np_t is not None:
            line += f"{np_t * scale:10.3f}{unit}{row[-1] / np_t:12.2f}{min(row[1:]) / np_t:10.2f}"
        else:
            # Small sizes: the slowest fast path against the loops (>= 1 means none is slower).
            line += f"{'loops / slowest fast path':>34} {row[0] / max(row[1:]):.2f}"
        print(line)


if __name__ == "__main__":
    main()
