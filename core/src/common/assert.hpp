#pragma once
// Internal invariant checks. A failed check is a bug inside the library, never
// a state that user input can reach; it throws InternalError, which the Python
// boundary turns into a PanicException carrying the same text.

#include <stdexcept>
#include <string>

namespace marlune {

class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

namespace detail {

[[noreturn]] inline void assertion_failed(const char* condition_text) {
  throw InternalError(std::string("assertion failed: ") + condition_text);
}

}  // namespace detail
}  // namespace marlune

// MARLUNE_ASSERT(m > 0 && n > 0) throws InternalError("assertion failed: m > 0 && n > 0").
// Always on, in every build type: the checks guard buffer bounds, and a
// silent out-of-bounds write is far worse than the cost of a comparison.
#define MARLUNE_ASSERT(cond)                                 \
  do {                                                       \
    if (!(cond)) ::marlune::detail::assertion_failed(#cond); \
  } while (false)
