#pragma once
// Per-event trace records of a solver run: kept as a history when asked, and
// printed as one line each on the process's standard output when verbose.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marlune::solvers::common::trace {

struct TraceRecord {
  std::string_view solver{};  // stamped by the tracer: "gd", "gn" or "lm"
  std::uint64_t iter = 0;
  std::optional<double> f{};
  std::optional<double> cost{};
  std::optional<double> r_norm{};
  std::optional<double> grad_norm{};
  std::optional<double> dx_norm{};
  std::optional<double> step_size{};
  std::optional<double> alpha{};
  std::optional<double> lambda{};
  std::optional<double> dphi0{};
  std::optional<std::string_view> note{};  // a fixed event name, static text
};

// The verbose line of a record (without the line feed), e.g.
// "[gd] iter      0 | f    1.000000e0 | grad    2.000000e0 | step +1.000e-1".
std::string format_trace_line(const TraceRecord& record);

// Writes all of `text` to file descriptor 1, retrying on partial writes and
// interrupts. Bypasses every buffered stream so each line is out as soon as
// it is written.
void write_stdout(std::string_view text);

class SolverTracer {
 public:
  SolverTracer(std::string_view solver, bool history, bool verbose)
      : solver_(solver), verbose_(verbose) {
    if (history) history_.emplace();
  }

  void emit(TraceRecord record) {
    if (!history_ && !verbose_) return;
    record.solver = solver_;
    if (verbose_) {
      std::string line = format_trace_line(record);
      line.push_back('\n');
      write_stdout(line);
    }
    if (history_) history_->push_back(record);
  }

  bool verbose() const { return verbose_; }

  // Moves the history out (absent when history was not asked for).
  std::optional<std::vector<TraceRecord>> take_history() { return std::move(history_); }

 private:
  std::string_view solver_;
  bool verbose_;
  std::optional<std::vector<TraceRecord>> history_;
};

}  // namespace marlune::solvers::common::trace
