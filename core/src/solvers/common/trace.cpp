#include "solvers/common/trace.hpp"

#include <cerrno>
#include <unistd.h>

#include "text/number_format.hpp"

namespace marlune::solvers::common::trace {

std::string format_trace_line(const TraceRecord& record) {
  std::string line = "[";
  line += record.solver;
  line += "] iter ";
  text::append_right_aligned(line, std::to_string(record.iter), 6);
  for (const NumericField& field : kNumericFields) {
    const std::optional<double>& value = record.*field.member;
    if (!value) continue;
    line += field.label;
    text::append_right_aligned(line, text::exponent_form(*value, field.digits, field.plus_sign),
                               field.width);
  }
  if (record.note) {
    line += " | note ";
    line += *record.note;
  }
  return line;
}

void write_stdout(std::string_view text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere to report it: the trace line is best effort
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace marlune::solvers::common::trace
