#include "bindings/frame.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bindings/convert.hpp"

namespace marlune::bindings {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

void set_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

// Edit distance with the interpreter's costs (a case-only change costs half
// a move), giving up once it exceeds max_cost.
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxStringSize = 40;

std::size_t substitution_cost(char a, char b) {
  if ((a & 31) != (b & 31)) return kMoveCost;
  if (a == b) return 0;
  if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
  if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
  return a == b ? kCaseCost : kMoveCost;
}

std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t max_cost) {
  while (!a.empty() && !b.empty() && a.front() == b.front()) {
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a.remove_suffix(1);
    b.remove_suffix(1);
  }
  if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
  if (a.size() > kMaxStringSize || b.size() > kMaxStringSize) return max_cost + 1;
  if (b.size() < a.size()) std::swap(a, b);
  if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;
  std::size_t row[kMaxStringSize];
  for (std::size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * kMoveCost;
  std::size_t result = 0;
  for (std::size_t bi = 0; bi < b.size(); ++bi) {
    std::size_t distance = result = bi * kMoveCost;
    std::size_t minimum = SIZE_MAX;
    for (std::size_t ai = 0; ai < a.size(); ++ai) {
      const std::size_t substitute = distance + substitution_cost(b[bi], a[ai]);
      distance = row[ai];
      const std::size_t insert_delete = std::min(result, distance) + kMoveCost;
      result = std::min(insert_delete, substitute);
      row[ai] = result;
      minimum = std::min(minimum, result);
    }
    if (minimum > max_cost) return max_cost + 1;
  }
  return result;
}

// The "Did you mean" hint the interpreter appends to an unexpected keyword:
// the closest parameter name by its edit distance, or null.
const char* keyword_suggestion(std::span<const char* const> params, std::string_view keyword) {
  const char* best = nullptr;
  std::size_t best_distance = SIZE_MAX;
  for (const char* candidate : params) {
    const std::string_view c(candidate);
    if (c == keyword) continue;
    std::size_t max_distance = (keyword.size() + c.size() + 3) * kMoveCost / 6;
    max_distance = std::min(max_distance, best_distance - 1);
    const std::size_t d = edit_distance(keyword, c, max_distance);
    if (d > max_distance) continue;
    if (best == nullptr || d < best_distance) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  const std::size_t given = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < std::min(given, sig.positional); ++i) bound[i] = args[i];

  // Keywords are matched before the positional count is checked, as the
  // interpreter does, so an unknown keyword is reported first.
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    // The interpreter only passes str keywords, but a C caller can pass
    // anything, and the comparison below is only defined for str.
    if (name == nullptr || !PyUnicode_Check(name)) {
      if (name != nullptr) set_type_error("keywords must be strings");
      return false;
    }
    std::size_t slot = sig.params.size();
    for (std::size_t p = 0; p < sig.params.size(); ++p) {
      if (PyUnicode_EqualToUTF8(name, sig.params[p])) {
        slot = p;
        break;
      }
    }
    if (slot == sig.params.size()) {
      auto text = utf8_of(name);
      if (!text.ok()) {
        text.take_error().restore();
        return false;
      }
      std::string message = std::string(sig.name) + "() got an unexpected keyword argument '" + text.value() + "'";
      if (const char* hint = keyword_suggestion(sig.params, text.value())) {
        message += ". Did you mean '" + std::string(hint) + "'?";
      }
      set_type_error(message);
      return false;
    }
    if (bound[slot] != nullptr) {
      set_type_error(std::string(sig.name) + "() got multiple values for argument '" + sig.params[slot] + "'");
      return false;
    }
    bound[slot] = args[nargs + k];
  }

  if (given > sig.positional) {
    std::size_t kwonly_given = 0;
    for (std::size_t p = sig.positional; p < sig.params.size(); ++p) kwonly_given += bound[p] != nullptr;
    std::string message = std::string(sig.name) + "() takes ";
    message += sig.required == sig.positional
                   ? std::to_string(sig.positional)
                   : "from " + std::to_string(sig.required) + " to " + std::to_string(sig.positional);
    const bool plural = sig.required != sig.positional || sig.positional != 1;
    message += plural ? " positional arguments but " : " positional argument but ";
    message += std::to_string(given);
    if (kwonly_given > 0) {
      message += given != 1 ? " positional arguments" : " positional argument";
      message += " (and " + std::to_string(kwonly_given) +
                 (kwonly_given != 1 ? " keyword-only arguments)" : " keyword-only argument)");
    }
    message += given == 1 && kwonly_given == 0 ? " was given" : " were given";
    set_type_error(message);
    return false;
  }

  std::vector<const char*> missing;
  for (std::size_t p = 0; p < sig.required; ++p) {
    if (bound[p] == nullptr) missing.push_back(sig.params[p]);
  }
  if (!missing.empty()) {
    set_type_error(std::string(sig.name) + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                   (missing.size() != 1 ? "s" : "") + ": " + quoted_list(missing));
    return false;
  }
  return true;
}

PyErr argument_error(const char* arg_name, PyErr err) {
  PyObject* exc = err.exception();
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return err;
  PyErr wrapped = PyErr::type_error("argument '" + std::string(arg_name) + "': " + display(exc));
  if (PyObject* cause = PyException_GetCause(exc)) {  // new reference, stolen below
    PyException_SetCause(wrapped.exception(), cause);
  }
  return wrapped;
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // process lifetime: the same class for every failure
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "marlune.PanicException",
        "Raised when marlune fails internally (a bug, not a problem with the input).",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(type, message != nullptr && *message != '\0' ? message : "internal failure");
}

}  // namespace marlune::bindings
