#pragma once
// The parts of a damped least-squares step shared by Gauss-Newton and
// Levenberg-Marquardt: cost and norm of a residual, the two ways of solving
// for a direction, the descent check with its steepest-descent fallback, and
// the commit of an accepted trial point.
//
// Everything works on caller-owned buffers (the solver workspaces) and never
// allocates. Shapes: x, dx, g have n values, r and y have m values, J is m by n
// row-major (element (i, k) at i·n + k), A holds at least the square of the
// system order. Wrong buffer sizes are caller bugs and throw
// marlune::InternalError.
//
// Scalar sums start from -0.0 (so an empty sum, or a sum of -0.0 terms, stays
// -0.0); vector accumulations start from +0.0. All sums run in ascending index
// order with separate multiply and add, for bit-for-bit reproducibility.

#include <cstddef>
#include <optional>
#include <span>

namespace marlune::solvers::common::least_squares {

// 0.5·Σ rᵢ²; -0.0 for an empty residual.
double residual_cost(std::span<const double> r);

// √(Σ rᵢ²).
double residual_norm(std::span<const double> r);

// Copies the trial point and residual into the state (lengths must match),
// stores cost_trial as given and recomputes r_norm from the new residual.
void commit_trial_state(std::span<double> x, std::span<double> r, double& cost, double& r_norm,
                        std::span<const double> x_trial, std::span<const double> r_trial,
                        double cost_trial);

// dx = -Jᵀ·(J·Jᵀ + λ·I)⁻¹·r through the m by m system; A (m·m) and y (m) are
// scratch. Returns false when the linear solve fails, leaving dx untouched.
bool solve_left_jjt_direction(std::span<const double> J, std::span<const double> r, std::size_t m,
                              std::size_t n, std::span<double> A, std::span<double> y,
                              std::span<double> dx, double lambda);

// dx = -(Jᵀ·J + λ·I)⁻¹·Jᵀ·r through the n by n system; A (n·n) is scratch.
// Returns false when the linear solve fails; dx is then garbage.
bool solve_normal_jtj_direction(std::span<const double> J, std::span<const double> r, std::size_t m,
                                std::size_t n, std::span<double> A, std::span<double> dx,
                                double lambda);

// out[k] = Σᵢ J[i][k]², over the rows in ascending order from +0.0: the
// same operations, and so the same bits, as the diagonal of Jᵀ·J.
void column_sums_of_squares(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out);

// The scaled steps, with inverse = D⁻¹ (n positive values): the damped step
// of min ‖J·dx + r‖² + λ·‖D·dx‖², solved in z = D·dx and mapped back.
//
// Left form on the column-scaled copy Js = J·D⁻¹ (m·n scratch), through
// solve_left_jjt_direction. Returns false when the linear solve fails.
bool solve_left_jjt_direction_scaled(std::span<const double> J, std::span<const double> r, std::size_t m,
                                     std::size_t n, std::span<const double> inverse, std::span<double> Js,
                                     std::span<double> A, std::span<double> y, std::span<double> dx,
                                     double lambda);

// Normal form, with A already holding the undamped Jᵀ·J (n·n): A becomes
// D⁻¹·JᵀJ·D⁻¹ + λ·I, the right-hand side -D⁻¹·Jᵀ·r. Returns false when the
// linear solve fails; dx is then garbage.
bool solve_assembled_normal_direction_scaled(std::span<double> A, std::span<const double> J,
                                             std::span<const double> r, std::size_t m, std::size_t n,
                                             std::span<const double> inverse, std::span<double> dx,
                                             double lambda);

struct DirectionDiagnostics {
  double dphi0 = 0.0;     // slope of the cost along the final dx: (Jᵀ·r)·dx
  bool fallback = false;  // true when dx was replaced by -Jᵀ·r
};

// When `wanted`, computes g = Jᵀ·r and the slope g·dx; unless that slope is
// finite and negative, replaces dx by -g (steepest descent) and reports the
// slope of the new dx. When not wanted, touches neither g nor dx.
std::optional<DirectionDiagnostics> complete_direction_diagnostics(
    std::span<const double> J, std::span<const double> r, std::size_t m, std::size_t n,
    std::span<double> dx, std::span<double> g, bool wanted);

}  // namespace marlune::solvers::common::least_squares
