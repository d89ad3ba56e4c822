// How fast the engine runs virtual time: a busy machine (the stress scenario), an idle one
// (a slow periodic timer), and the cost of one hand-over between two simulated threads.
// "virtual_to_wall" is virtual seconds per wall-clock second.
#include <benchmark/benchmark.h>

#include "kernel/stress_scenario.h"

namespace lumo::kernel {
namespace {

void BM_StressMachine(benchmark::State& state) {
  const VirtualTime duration = state.range(0) * kSecond;
  double virtualSeconds = 0;
  uint64_t loops = 0;
  for (auto _ : state) {
    SimulationOptions options;
    options.seed = 2024;
    options.traceEventsMax = 10'000;
    Simulation sim(options);
    stress::Counters counters = stress::Run(sim, duration);
    virtualSeconds += static_cast<double>(sim.Now()) / kSecond;
    loops += counters.clientLoops;
  }
  state.counters["virtual_to_wall"] = benchmark::Counter(virtualSeconds, benchmark::Counter::kIsRate);
  state.counters["client_loops"] = benchmark::Counter(static_cast<double>(loops),
                                                      benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_StressMachine)->Arg(300)->Unit(benchmark::kMillisecond)->UseRealTime();

void NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<uint64_t*>(context); }

void BM_IdleMachine(benchmark::State& state) {
  double virtualSeconds = 0;
  for (auto _ : state) {
    SimulationOptions options;
    options.traceEventsMax = 10'000;
    Simulation sim(options);
    KTIMER timer;
    KDPC dpc;
    uint64_t fired = 0;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, &CountDpc, &fired);
    LARGE_INTEGER due;
    due.QuadPart = -kSecond;
    KeSetTimerEx(&timer, due, 1000, &dpc);
    sim.RunFor(3600 * kSecond);
    KeCancelTimer(&timer);
    virtualSeconds += static_cast<double>(sim.Now()) / kSecond;
    benchmark::DoNotOptimize(fired);
  }
  state.counters["virtual_to_wall"] = benchmark::Counter(virtualSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IdleMachine)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ThreadHandOver(benchmark::State& state) {
  SimulationOptions options;
  options.traceEventsMax = 10'000;
  Simulation sim(options);
  KEVENT ping;
  KEVENT pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  bool done = false;
  sim.StartThread("echo", [&] {
    for (;;) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      if (done) return;
      KeSetEvent(&pong, 0, FALSE);
    }
  });
  sim.Run([&] {
    for (auto _ : state) {
      KeSetEvent(&ping, 0, FALSE);
      KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    done = true;
    KeSetEvent(&ping, 0, FALSE);
  });
  sim.RunUntilIdle();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThreadHandOver);

}  // namespace
}  // namespace lumo::kernel
