// What the rest of platform/kernel (pool, IRPs, registry, files) needs from the engine beyond
// simulation.h: who is calling, how to name a code address, and the checks that tie kernel
// objects to the memory they live in. Not for code outside platform/kernel.
#pragma once

#include <cstddef>
#include <string>

#include "kernel/simulation.h"

namespace lumo::kernel {

// Name of the simulated thread that runs now ("main", "dpc0", "critical1", ...), or "host"
// when the host thread calls between runs.
std::string CurrentThreadName();

// "Function+0x1a" for a code address (demangled; the executables export their symbols), or
// "module+0x..." when no symbol covers it. Stable from run to run, so fit for reports.
std::string DescribeCodeAddress(const void* address);

// Memory [begin, begin+bytes) is being freed: reports through the verifier
// ("freed-while-queued") every timer still set, DPC or work item still queued, thread still
// waiting on an object, or spin lock still held inside it. Does not forget the objects.
void CheckNoKernelObjectsIn(const void* begin, size_t bytes);
// Drops the engine's bookkeeping of every kernel object inside the memory, so that the next
// object built at the same address starts fresh. Call after CheckNoKernelObjectsIn.
void ForgetKernelObjectsIn(const void* begin, size_t bytes);

}  // namespace lumo::kernel
