// What the engine's tests share: a machine whose verifier reports are collected instead of
// fatal, and relative due times in the platform's sign convention.
#pragma once

#include "kernel/simulation.h"

namespace lumo::kernel::testing {

inline SimulationOptions CollectingOptions(uint64_t seed = 1) {
  SimulationOptions options;
  options.seed = seed;
  options.verifierFailuresFatal = false;
  return options;
}

// A relative wait or due time: negative, in 100-ns units.
inline LARGE_INTEGER Relative(VirtualTime delay) {
  LARGE_INTEGER value;
  value.QuadPart = -delay;
  return value;
}

}  // namespace lumo::kernel::testing
