// The stress machine runs minutes of virtual time with many threads, timers, DPCs and work
// items, and its counters agree with what must have happened.
#include <gtest/gtest.h>

#include "kernel/stress_scenario.h"

namespace lumo::kernel {
namespace {

TEST(Stress, MinutesOfBusyVirtualTimeEndConsistent) {
  SimulationOptions options;
  options.seed = 2024;
  options.traceEventsMax = 10'000;
  Simulation sim(options);
  const VirtualTime duration = 120 * kSecond;
  stress::Counters counters = stress::Run(sim, duration);

  EXPECT_EQ(counters.stoppedAt, duration + stress::kStopOffset);
  for (int i = 0; i < stress::kTimers; ++i) {
    // Periodic expirations at period x n up to the stop instant, every one with its DPC run.
    const VirtualTime period = stress::kTimerPeriodMs[i] * kMillisecond;
    EXPECT_EQ(counters.timerDpcs[i], static_cast<uint64_t>(counters.stoppedAt / period))
        << "timer " << i;
  }
  EXPECT_EQ(counters.busEvents, static_cast<uint64_t>(duration / stress::kBusInterval));
  EXPECT_EQ(counters.busDpcs, counters.busEvents / 8);
  EXPECT_EQ(counters.workRun, counters.workQueued);
  EXPECT_GT(counters.workRun, 1000u);
  EXPECT_GT(counters.waitsSatisfied, 1000u);
  EXPECT_GT(counters.waitsTimedOut, 1000u);
  // Every increment happened exactly once: three per client loop, one per work item and bus DPC.
  EXPECT_EQ(static_cast<uint64_t>(counters.interlocked),
            3 * counters.clientLoops + counters.workRun + counters.busDpcs);
  EXPECT_EQ(counters.lockedIncrements,
            counters.clientLoops + counters.timerDpcs[2] + counters.timerDpcs[3]);
  EXPECT_TRUE(sim.VerifierReports().empty());
  EXPECT_LE(sim.TraceLog().size(), 2 * options.traceEventsMax);
}

TEST(Stress, SameSeedSameCounters) {
  stress::Counters runs[2];
  for (auto& counters : runs) {
    SimulationOptions options;
    options.seed = 77;
    options.traceEventsMax = 1000;
    Simulation sim(options);
    counters = stress::Run(sim, 5 * kSecond);
  }
  EXPECT_EQ(runs[0].clientLoops, runs[1].clientLoops);
  EXPECT_EQ(runs[0].waitsSatisfied, runs[1].waitsSatisfied);
  EXPECT_EQ(runs[0].workRun, runs[1].workRun);
  EXPECT_EQ(runs[0].interlocked, runs[1].interlocked);
}

}  // namespace
}  // namespace lumo::kernel
