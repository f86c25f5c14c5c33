#pragma once
#include <cstdint>
#include <optional>

namespace tarsk::py::pool {

// Parses a worker count from the environment: an optional leading '+', then
// one or more ASCII digits and nothing else, fitting 64 bits. Null, empty or
// anything else gives nothing.
std::optional<std::uint64_t> parse_count(const char* text);

// The number of workers the pool starts with, read from the environment now:
// RAYON_NUM_THREADS if it holds a valid number (0 meaning the default), else
// RAYON_RS_NUM_CPUS if it holds a valid number of at least 1, else the default.
std::uint64_t configured_thread_count();

// The processors this process may run on: its affinity mask (or the online
// processors), limited by its cgroup CPU quota; 1 if nothing is known.
std::uint64_t default_thread_count();

}  // namespace tarsk::py::pool
