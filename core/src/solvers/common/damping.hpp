#pragma once
// Damping rules of the least-squares solvers: the λ of the next linear
// solve, and how it moves after an accepted step and after a failure (a
// failed linear solve, a rejected step, a non-finite accepted point). The
// solver loops only ask; each rule keeps its own arithmetic, so a new rule
// is a new type rather than a new branch in every loop.
//
//   lambda()   the damping of the next solve
//   accepted() an accepted step was committed
//   failed()   the iteration failed; false when the rule gives up (the run
//              then ends with the failure as its termination)

#include <cmath>
#include <concepts>

namespace marlune::solvers::common::damping {

template <class D>
concept DampingRule = requires(D& d, const D& cd) {
  { cd.lambda() } -> std::same_as<double>;
  { d.accepted() } -> std::same_as<void>;
  { d.failed() } -> std::same_as<bool>;
};

// max(a, b) where a NaN operand is ignored (the other one is taken).
inline double max_ignoring_nan(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b > a ? b : a;
}

// Gauss-Newton's adaptive damping: tenfold after a failure, halved after a
// success, never below the configured starting value.
class HalvingDamping {
 public:
  explicit HalvingDamping(double start) : lambda_(start), floor_(start) {}
  double lambda() const { return lambda_; }
  void accepted() { lambda_ = max_ignoring_nan(lambda_ * 0.5, floor_); }
  bool failed() {
    lambda_ = lambda_ * 10.0;
    return true;
  }

 private:
  double lambda_;
  double floor_;
};

// Gauss-Newton's fixed damping: λ never moves and the first failure ends the
// run.
class FixedDamping {
 public:
  explicit FixedDamping(double value) : lambda_(value) {}
  double lambda() const { return lambda_; }
  void accepted() {}
  bool failed() { return false; }

 private:
  double lambda_;
};

// Levenberg-Marquardt's multiplicative damping: × down after a success (never
// below the floor), × up after a failure (without bound). The run starts
// from max(start, floor), a NaN start giving the floor.
class MultiplicativeDamping {
 public:
  static constexpr double kFloor = 1e-12;

  MultiplicativeDamping(double start, double up, double down)
      : lambda_(max_ignoring_nan(start, kFloor)), up_(up), down_(down) {}
  double lambda() const { return lambda_; }
  void accepted() { lambda_ = max_ignoring_nan(lambda_ * down_, kFloor); }
  bool failed() {
    lambda_ = lambda_ * up_;
    return true;
  }

 private:
  double lambda_;
  double up_;
  double down_;
};

static_assert(DampingRule<HalvingDamping>);
static_assert(DampingRule<FixedDamping>);
static_assert(DampingRule<MultiplicativeDamping>);

}  // namespace marlune::solvers::common::damping
