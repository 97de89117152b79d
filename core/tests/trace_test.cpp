#include "solvers/common/trace.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using marlune::solvers::common::trace::format_trace_line;
using marlune::solvers::common::trace::SolverTracer;
using marlune::solvers::common::trace::TraceRecord;

TraceRecord rec(std::string_view solver, std::uint64_t iter) {
  TraceRecord r;
  r.solver = solver;
  r.iter = iter;
  return r;
}

TEST(TraceLine, ExampleLines) {
  TraceRecord gn = rec("gn", 3);
  gn.cost = 0.5;
  gn.r_norm = 1.0;
  gn.note = "accepted";
  EXPECT_EQ(format_trace_line(gn), "[gn] iter      3 | cost   5.000000e-1 | r    1.000000e0 | note accepted");

  TraceRecord gd = rec("gd", 0);
  gd.f = 1.0;
  gd.grad_norm = 2.0;
  gd.step_size = 0.1;
  EXPECT_EQ(format_trace_line(gd), "[gd] iter      0 | f    1.000000e0 | grad    2.000000e0 | step +1.000e-1");

  TraceRecord lm = rec("lm", 12);
  lm.cost = 1.234568e-7;
  lm.r_norm = 4.969e-4;
  lm.dx_norm = 3.2e-5;
  lm.alpha = 1.0;
  lm.lambda = 1e-3;
  lm.note = "accepted";
  EXPECT_EQ(format_trace_line(lm),
            "[lm] iter     12 | cost   1.234568e-7 | r   4.969000e-4 | dx   3.200000e-5 | alpha  1.000e0 | "
            "lambda  1.000e-3 | note accepted");

  TraceRecord fb = rec("lm", 4);
  fb.cost = 1.234568e-7;
  fb.r_norm = 4.969e-4;
  fb.dphi0 = -2.5e-7;
  fb.note = "fallback_to_steepest_descent";
  EXPECT_EQ(format_trace_line(fb),
            "[lm] iter      4 | cost   1.234568e-7 | r   4.969000e-4 | dphi0  -2.500000e-7 | note "
            "fallback_to_steepest_descent");
}

TEST(TraceLine, NoteOnlyWideIterAndNaNPadding) {
  TraceRecord r = rec("gd", 7);
  r.note = "converged";
  EXPECT_EQ(format_trace_line(r), "[gd] iter      7 | note converged");
  TraceRecord wide = rec("gd", 1234567);
  EXPECT_EQ(format_trace_line(wide), "[gd] iter 1234567");
  TraceRecord nan = rec("gd", 0);
  nan.f = std::nan("");
  nan.step_size = 0.25;
  EXPECT_EQ(format_trace_line(nan), "[gd] iter      0 | f " + std::string(10, ' ') + "NaN | step +2.500e-1");
}

TEST(SolverTracer, KeepsHistoryOnlyWhenAskedAndStampsSolver) {
  SolverTracer off("gd", false, false);
  off.emit(rec("", 1));
  EXPECT_FALSE(off.take_history().has_value());

  SolverTracer on("gn", true, false);
  EXPECT_EQ(on.take_history()->size(), 0u);  // present even with no record

  SolverTracer kept("lm", true, false);
  kept.emit(rec("", 1));
  kept.emit(rec("", 2));
  auto h = kept.take_history();
  ASSERT_EQ(h->size(), 2u);
  EXPECT_EQ((*h)[0].solver, "lm");
  EXPECT_EQ((*h)[1].iter, 2u);
}

}  // namespace
