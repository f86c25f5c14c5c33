#pragma once
#include <stdexcept>

namespace tarsk::py::pool {

// An internal failure of the worker pool: the pool could not be started, or a
// consistency check of a kernel failed. Correct code never raises the checks;
// the binding layer reports every PoolError as an internal failure.
struct PoolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace tarsk::py::pool
