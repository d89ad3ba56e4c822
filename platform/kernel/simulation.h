// The simulated machine: virtual clock, one-at-a-time scheduler of simulated threads, the seam
// through which other stand-ins (bus, stream class) schedule their own events, the run trace
// and the verifier. Tests, tools and stand-ins use this header; kernel code never does (it sees
// only platform/include).
//
// Contract:
// - One Simulation is one machine. Several may exist one after another in a process; kernel
//   calls find theirs through the calling simulated thread (Simulation::Current()).
// - Time is virtual, in 100-ns units from the start of the run. It advances only when no
//   simulated thread is runnable and no DPC or work item is queued: the clock then jumps to the
//   earliest timer, time-out or scheduled event.
// - Exactly one simulated thread runs at a time. A thread gives the CPU up only inside platform
//   calls (waits, signals, lock operations, queueing, interlocked operations); at each such
//   point the scheduler picks the next runnable thread with a generator seeded from the run's
//   seed. The same seed gives the same trace.
// - Threads: client threads (PASSIVE_LEVEL, started by tests and tools), the worker threads of
//   the critical and delayed work queues, and one DPC context per simulated processor, which
//   runs queued DPCs, expired timer DPCs and scheduled events at DISPATCH_LEVEL.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

namespace lumo::kernel {

// Virtual time: 100-ns units since the start of the simulation.
using VirtualTime = int64_t;
constexpr VirtualTime kMicrosecond = 10;
constexpr VirtualTime kMillisecond = 10'000;
constexpr VirtualTime kSecond = 10'000'000;

struct VerifierReport {
  std::string check;    // short name of the check, e.g. "double-free", "irql", "deadlock"
  std::string message;  // what happened and where
};

struct SimulationOptions {
  uint64_t seed = 1;
  int processors = 2;        // DPC contexts
  int criticalWorkers = 3;   // worker threads of CriticalWorkQueue
  int delayedWorkers = 3;    // worker threads of DelayedWorkQueue
  // System time (100 ns since 1601) at virtual time 0. A fixed default keeps runs repeatable.
  int64_t systemTimeAtStart = 134'105'760'000'000'000;  // 2025-12-31 00:00 UTC
  // Hold virtual time to the wall clock (lumocap --realtime). Never in tests.
  bool realtimePacing = false;
  // A verifier failure prints its report, the seed and the tail of the trace, then aborts.
  // Tests that commit a fault on purpose turn this off and read VerifierReports().
  bool verifierFailuresFatal = true;
  // Also handed every report as it is made (tests read the reports of the teardown here).
  std::function<void(const VerifierReport&)> verifierSink;
  // Record every platform call in the trace (large); scheduling and completions are always
  // recorded.
  bool traceEveryCall = false;
  // Keep at most about this many trace events (the oldest go first); 0 keeps them all. Long
  // runs (lumocap, benchmarks) bound their memory with it; tests that compare traces keep all.
  size_t traceEventsMax = 0;
  size_t threadStackBytes = 512 * 1024;
  // Run() gives up (verifier check "stalled", listing what every thread waits for) when its
  // body has not returned after this much virtual time while only timers keep the machine
  // going: a periodic timer would otherwise hide a hang from the deadlock check for ever.
  int64_t runVirtualTimeMax = 3600LL * 10'000'000;  // one hour
};

struct TraceEvent {
  VirtualTime time;
  std::string thread;  // name of the simulated thread, e.g. "main", "dpc0", "critical1"
  std::string event;   // what happened, e.g. "KeSetEvent", "irp.complete", "bus.iso"
  std::string detail;  // free text: object, arguments
  int64_t result;      // status or return value
  bool operator==(const TraceEvent&) const = default;
};

class Simulation;

// A part of the machine that lives as long as the simulation (pool, registry, bus, stream
// class). Created on first use by Simulation::Get<T>(); torn down in reverse order of creation
// before the simulation's own checks.
class Component {
 public:
  virtual ~Component() = default;
  // Called once at teardown while the simulation is still whole; report leaks here.
  virtual void Teardown(Simulation& sim) {}
};

class Simulation {
 public:
  explicit Simulation(SimulationOptions options = {});
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // The simulation of the calling simulated thread, or the one being driven by the host thread.
  static Simulation& Current();
  static Simulation* CurrentOrNull();

  const SimulationOptions& Options() const;
  uint64_t Seed() const;
  // A seed for one subsystem, derived from the root seed and its name.
  uint64_t DeriveSeed(std::string_view subsystem) const;

  VirtualTime Now() const;

  // --- Threads ------------------------------------------------------------------------------
  // Starts a client thread at PASSIVE_LEVEL. It becomes runnable at once.
  void StartThread(std::string name, std::function<void()> body);
  // Runs body as the client thread "main" and drives the machine until it returns. Other
  // threads, timers and events keep their state for the next Run.
  void Run(std::function<void()> body);
  // Drives the machine until virtual time Now()+duration, or longer if threads stay runnable
  // at that instant (they finish their current run first).
  void RunFor(VirtualTime duration);
  // Drives until no thread is runnable and no timer, DPC, work item or event is pending.
  void RunUntilIdle();

  // --- The seam for other stand-ins -----------------------------------------------------------
  using EventId = uint64_t;
  // Runs action at virtual time `when` (not earlier than Now()) in a DPC context at
  // DISPATCH_LEVEL. Events due at the same time run in the order scheduled.
  EventId ScheduleAt(VirtualTime when, std::function<void()> action, std::string what);
  EventId ScheduleAfter(VirtualTime delay, std::function<void()> action, std::string what);
  // FALSE when it already ran or was cancelled.
  bool CancelEvent(EventId id);

  // --- Trace --------------------------------------------------------------------------------
  void Trace(std::string_view event, std::string_view detail = {}, int64_t result = 0);
  const std::vector<TraceEvent>& TraceLog() const;
  // The last `count` events, one per line: "time thread event detail result".
  std::string FormatTrace(size_t count = 50) const;

  // --- Verifier -----------------------------------------------------------------------------
  void VerifierFailure(std::string_view check, std::string message);
  const std::vector<VerifierReport>& VerifierReports() const;

  // --- Components ---------------------------------------------------------------------------
  template <class T>
  T& Get() {
    if (Component* found = FindComponent(typeid(T))) return *static_cast<T*>(found);
    auto created = std::make_unique<T>(*this);
    T& ref = *created;
    AddComponent(typeid(T), std::move(created));
    return ref;
  }

  // Implementation detail shared with the rest of platform/kernel.
  struct State;
  State& state();

 private:
  Component* FindComponent(std::type_index type);
  void AddComponent(std::type_index type, std::unique_ptr<Component> component);
  std::unique_ptr<State> state_;
};

}  // namespace lumo::kernel
