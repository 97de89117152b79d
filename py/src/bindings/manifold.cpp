#include "bindings/manifold.hpp"

#include <memory>

namespace marlune::bindings {

PyResult<std::pair<PyVecManifold, PyErrStateRef>> PyVecManifold::from_python(PyObject* /*obj*/) {
  // Manifold objects are accepted but not yet consulted: every object,
  // None included, gives flat space.
  auto err = std::make_shared<PyErrState>();
  return std::pair<PyVecManifold, PyErrStateRef>(PyVecManifold(err), err);
}

}  // namespace marlune::bindings
