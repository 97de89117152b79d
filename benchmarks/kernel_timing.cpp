// Times the dense kernels on every path this CPU runs, best of several
// repeats, and prints one line per measurement:
//   <routine> <path> <m> <n> <seconds>
// benchmarks/kernels.py runs this next to NumPy and prints the ratios.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "numerics/linalg.hpp"

namespace la = marlune::numerics::linalg;
using Clock = std::chrono::steady_clock;

template <class F>
double best_of(int repeats, F&& f) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const auto t = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t).count());
  }
  return best;
}

int main() {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto random = [&](std::size_t count) {
    std::vector<double> v(count);
    for (double& d : v) d = u(rng);
    return v;
  };
  const la::KernelPath paths[] = {la::KernelPath::reference, la::KernelPath::portable, la::KernelPath::avx2,
                                  la::KernelPath::avx512};
  struct Size {
    std::size_t m, n;
  };
  for (la::KernelPath path : paths) {
    if (!la::kernel_path_supported(path)) continue;
    const char* name = la::kernel_path_name(path);
    for (Size s : {Size{1000, 100}, Size{8, 8}, Size{4, 3}}) {
      const auto J = random(s.m * s.n);
      std::vector<double> out(s.m * s.m);
      const int reps = s.m > 100 ? 5 : 20000;
      const double t = best_of(reps > 100 ? 5 : reps, [&] {
        for (int i = 0; i < (s.m > 100 ? 1 : 1000); ++i) la::jj_t_plus_lambda(path, J, s.m, s.n, out, 0.0);
      }) / (s.m > 100 ? 1 : 1000);
      std::printf("jjt %s %zu %zu %.9g\n", name, s.m, s.n, t);
    }
    for (Size s : {Size{100000, 10}, Size{8, 8}, Size{30, 3}}) {
      const auto J = random(s.m * s.n);
      std::vector<double> out(s.n * s.n);
      const int inner = s.m > 1000 ? 1 : 1000;
      const double t =
          best_of(5, [&] {
            for (int i = 0; i < inner; ++i) la::jt_j_plus_lambda(path, J, s.m, s.n, out, 0.0);
          }) / inner;
      std::printf("jtj %s %zu %zu %.9g\n", name, s.m, s.n, t);
    }
    for (std::size_t n : {1000u, 200u, 8u, 3u}) {
      auto A0 = random(n * n), b0 = random(n);
      for (std::size_t d = 0; d < n; ++d) A0[d * n + d] += 2.0;
      std::vector<double> A(A0.size()), b(n);
      const int inner = n >= 200 ? 1 : 1000;
      const double t = best_of(n >= 1000 ? 3 : 5, [&] {
        for (int i = 0; i < inner; ++i) {
          std::copy(A0.begin(), A0.end(), A.begin());
          std::copy(b0.begin(), b0.end(), b.begin());
          la::solve_linear_inplace(path, A, b, n);
        }
      }) / inner;
      std::printf("solve %s %zu %zu %.9g\n", name, n, n, t);
    }
  }
}
