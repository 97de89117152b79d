// Times the dense kernels on every path this CPU runs, best of many
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

// Best time per call of `run(path)` on every supported path. The paths take
// turns, sample by sample, so that drift in the machine's speed (frequency,
// neighbours) affects all of them alike; small sizes loop `inner` times per
// sample to rise far above the clock's resolution.
template <class F>
void time_paths(const char* routine, std::size_t m, std::size_t n, int samples, int inner, F&& run) {
  const la::KernelPath paths[] = {la::KernelPath::reference, la::KernelPath::portable, la::KernelPath::avx2,
                                  la::KernelPath::avx512};
  double best[4] = {1e300, 1e300, 1e300, 1e300};
  for (int s = 0; s < samples; ++s) {
    for (int p = 0; p < 4; ++p) {
      if (!la::kernel_path_supported(paths[p])) continue;
      const auto t = Clock::now();
      for (int i = 0; i < inner; ++i) run(paths[p]);
      best[p] = std::min(best[p], std::chrono::duration<double>(Clock::now() - t).count() / inner);
    }
  }
  for (int p = 0; p < 4; ++p) {
    if (la::kernel_path_supported(paths[p]))
      std::printf("%s %s %zu %zu %.9g\n", routine, la::kernel_path_name(paths[p]), m, n, best[p]);
  }
}

int main() {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto random = [&](std::size_t count) {
    std::vector<double> v(count);
    for (double& d : v) d = u(rng);
    return v;
  };
  struct Size {
    std::size_t m, n;
  };
  for (Size s : {Size{1000, 100}, Size{8, 8}, Size{4, 3}}) {
    const auto J = random(s.m * s.n);
    std::vector<double> out(s.m * s.m);
    const bool big = s.m > 100;
    time_paths("jjt", s.m, s.n, big ? 7 : 200, big ? 1 : 1000,
               [&](la::KernelPath path) { la::jj_t_plus_lambda(path, J, s.m, s.n, out, 0.0); });
  }
  for (Size s : {Size{100000, 10}, Size{8, 8}, Size{30, 3}}) {
    const auto J = random(s.m * s.n);
    std::vector<double> out(s.n * s.n);
    const bool big = s.m > 1000;
    time_paths("jtj", s.m, s.n, big ? 7 : 200, big ? 1 : 1000,
               [&](la::KernelPath path) { la::jt_j_plus_lambda(path, J, s.m, s.n, out, 0.0); });
  }
  for (std::size_t n : {1000u, 200u, 8u, 3u}) {
    auto A0 = random(n * n), b0 = random(n);
    for (std::size_t d = 0; d < n; ++d) A0[d * n + d] += 2.0;
    std::vector<double> A(A0.size()), b(n);
    // The copy back is part of every sample, on every path alike.
    time_paths("solve", n, n, n >= 1000 ? 5 : n >= 200 ? 30 : 200, n >= 200 ? 1 : 1000, [&](la::KernelPath path) {
      std::copy(A0.begin(), A0.end(), A.begin());
      std::copy(b0.begin(), b0.end(), b.begin());
      la::solve_linear_inplace(path, A, b, n);
    });
  }
}
