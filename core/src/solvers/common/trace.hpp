#pragma once
// Per-event trace records of a solver run: kept as a history when asked, and
// printed as one line each on the process's standard output when verbose.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// The numeric fields of a record, in the order of the verbose line and of
// the history dictionaries: key, field, label on the verbose line, field
// width, digits after the point, and whether '+' is written.
struct NumericField {
  const char* key;
  std::optional<double> TraceRecord::*member;
  const char* label;
  std::size_t width;
  int digits;
  bool plus_sign;
};

inline constexpr NumericField kNumericFields[] = {
    {"f", &TraceRecord::f, " | f ", 13, 6, false},
    {"cost", &TraceRecord::cost, " | cost ", 13, 6, false},
    {"r_norm", &TraceRecord::r_norm, " | r ", 13, 6, false},
    {"grad_norm", &TraceRecord::grad_norm, " | grad ", 13, 6, false},
    {"dx_norm", &TraceRecord::dx_norm, " | dx ", 13, 6, false},
    {"step_size", &TraceRecord::step_size, " | step ", 9, 3, true},
    {"alpha", &TraceRecord::alpha, " | alpha ", 8, 3, false},
    {"lambda", &TraceRecord::lambda, " | lambda ", 9, 3, false},
    {"dphi0", &TraceRecord::dphi0, " | dphi0 ", 13, 6, false},
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

  // True when a record would be kept or printed; solvers test it before
  // building one, so a run without history or verbose spends nothing on
  // its records.
  bool enabled() const { return history_.has_value() || verbose_; }

  void emit(TraceRecord record) {
    if (!enabled()) return;
    record.solver = solver_;
    if (verbose_) {
      std::string line = format_trace_line(record);
      line.push_back('\n');
      write_stdout(line);
    }
    if (history_) history_->push_back(std::move(record));
  }

  // Moves the history out (absent when history was not asked for).
  std::optional<std::vector<TraceRecord>> take_history() { return std::move(history_); }

 private:
  std::string_view solver_;
  bool verbose_;
  std::optional<std::vector<TraceRecord>> history_;
};

}  // namespace marlune::solvers::common::trace
