#pragma once
// The Python form of a run's trace history: a list of dicts, one per record,
// every key always present (None for absent values).

#include <Python.h>

#include <span>

#include "bindings/error.hpp"
#include "bindings/handle.hpp"
#include "solvers/common/trace.hpp"

namespace marlune::bindings {

PyResult<PyRef> trace_records_to_pylist(std::span<const solvers::common::trace::TraceRecord> records);

}  // namespace marlune::bindings
