// Timers, DPCs, work items, scheduled events and the time queries, in exact virtual time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/engine_test_support.h"
#include "kernel/simulation.h"

namespace lumo::kernel {
namespace {

using testing::CollectingOptions;
using testing::Relative;

// A DPC that records its name, the virtual time and the IRQL it ran at.
struct Recorder {
  struct Entry {
    std::string what;
    VirtualTime time;
    KIRQL irql;
    bool operator==(const Entry&) const = default;
  };
  Simulation* sim;
  std::vector<Entry> entries;
  void Note(const std::string& what) {
    entries.push_back({what, sim->Now(), KeGetCurrentIrql()});
  }
};

struct NamedDpc {
  KDPC dpc;
  Recorder* recorder;
  std::string name;
  static void NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<NamedDpc*>(context);
    self->recorder->Note(self->name);
  }
};

TEST(Timers, EqualDueTimesFireInTheOrderTheyWereSet) {
  Simulation sim(CollectingOptions(11));
  Recorder recorder{&sim, {}};
  KTIMER timers[4];
  NamedDpc dpcs[4];
  sim.Run([&] {
    // Set out of index order; b and d share a due time with c.
    const int order[] = {1, 3, 2, 0};
    const VirtualTime due[] = {1 * kMillisecond, 2 * kMillisecond, 2 * kMillisecond,
                               2 * kMillisecond};
    for (int i : order) {
      dpcs[i].recorder = &recorder;
      dpcs[i].name = std::string(1, static_cast<char>('a' + i));
      KeInitializeDpc(&dpcs[i].dpc, &NamedDpc::Routine, &dpcs[i]);
      KeInitializeTimer(&timers[i]);
    }
    for (int i : order) {
      EXPECT_FALSE(KeSetTimer(&timers[i], Relative(due[i]), &dpcs[i].dpc));
    }
  });
  sim.RunUntilIdle();
  const std::vector<Recorder::Entry> expected = {{"a", 1 * kMillisecond, DISPATCH_LEVEL},
                                                 {"b", 2 * kMillisecond, DISPATCH_LEVEL},
                                                 {"d", 2 * kMillisecond, DISPATCH_LEVEL},
                                                 {"c", 2 * kMillisecond, DISPATCH_LEVEL}};
  EXPECT_EQ(recorder.entries, expected);
  for (KTIMER& timer : timers) EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST(Timers, PeriodicTimerFiresOnItsPeriodWithoutDriftUntilCancelled) {
  Simulation sim(CollectingOptions());
  Recorder recorder{&sim, {}};
  KTIMER timer;
  NamedDpc tick{{}, &recorder, "tick"};
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeInitializeDpc(&tick.dpc, &NamedDpc::Routine, &tick);
  KeSetTimerEx(&timer, Relative(5 * kMillisecond), 33, &tick.dpc);
  sim.RunFor(5 * kMillisecond + 3 * 33 * kMillisecond);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  sim.RunFor(kSecond);
  ASSERT_EQ(recorder.entries.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(recorder.entries[i].time, 5 * kMillisecond + static_cast<VirtualTime>(i) * 33 * kMillisecond);
  }
  EXPECT_EQ(sim.Now(), 5 * kMillisecond + 99 * kMillisecond + kSecond);
}

TEST(Timers, ResettingASetTimerReplacesItsDueTime) {
  Simulation sim(CollectingOptions());
  KTIMER timer;
  sim.Run([&] {
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(kSecond), nullptr));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(3 * kSecond), nullptr));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim.Now(), 3 * kSecond);
    // A notification timer stays signalled.
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&timer));
  });
}

TEST(Dpcs, QueuedFromAThreadTheyRunInOrderOnItsProcessor) {
  Simulation sim(CollectingOptions());
  Recorder recorder{&sim, {}};
  NamedDpc first{{}, &recorder, "first"};
  NamedDpc second{{}, &recorder, "second"};
  sim.Run([&] {
    KeInitializeDpc(&first.dpc, &NamedDpc::Routine, &first);
    KeInitializeDpc(&second.dpc, &NamedDpc::Routine, &second);
    KIRQL old;
    // At DISPATCH_LEVEL nothing else runs on this thread's processor.
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&first.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&second.dpc, nullptr, nullptr));
    KeLowerIrql(old);
  });
  sim.RunUntilIdle();
  // Queued from a thread, both DPCs run on that thread's processor, in order.
  ASSERT_EQ(recorder.entries.size(), 2u);
  EXPECT_EQ(recorder.entries[0].what, "first");
  EXPECT_EQ(recorder.entries[1].what, "second");
  EXPECT_EQ(recorder.entries[0].irql, DISPATCH_LEVEL);
}

TEST(Dpcs, SecondInsertWhileQueuedReturnsFalse) {
  Simulation sim(CollectingOptions());
  Recorder recorder{&sim, {}};
  NamedDpc once{{}, &recorder, "once"};
  NamedDpc removed{{}, &recorder, "removed"};
  KeInitializeDpc(&once.dpc, &NamedDpc::Routine, &once);
  KeInitializeDpc(&removed.dpc, &NamedDpc::Routine, &removed);
  // From the host thread nothing runs until the machine is driven.
  EXPECT_TRUE(KeInsertQueueDpc(&once.dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&once.dpc, nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&removed.dpc, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&removed.dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&removed.dpc));
  sim.RunUntilIdle();
  ASSERT_EQ(recorder.entries.size(), 1u);
  EXPECT_EQ(recorder.entries[0].what, "once");
}

struct NamedWork {
  WORK_QUEUE_ITEM item;
  Recorder* recorder;
  std::string name;
  static void NTAPI Routine(PVOID context) {
    auto* self = static_cast<NamedWork*>(context);
    self->recorder->Note(self->name);
    LARGE_INTEGER work = Relative(10 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &work);
  }
};

TEST(WorkItems, BothQueuesRunTheirItemsAtPassiveLevelOnWorkers) {
  SimulationOptions options = CollectingOptions(5);
  options.criticalWorkers = 1;
  options.delayedWorkers = 2;
  Simulation sim(options);
  Recorder recorder{&sim, {}};
  std::vector<NamedWork> items(6);
  sim.Run([&] {
    for (size_t i = 0; i < items.size(); ++i) {
      items[i].recorder = &recorder;
      items[i].name = (i % 2 ? "delayed" : "critical") + std::to_string(i);
      ExInitializeWorkItem(&items[i].item, &NamedWork::Routine, &items[i]);
      ExQueueWorkItem(&items[i].item, i % 2 ? DelayedWorkQueue : CriticalWorkQueue);
    }
  });
  sim.RunUntilIdle();
  ASSERT_EQ(recorder.entries.size(), 6u);
  int critical = 0;
  for (const auto& entry : recorder.entries) {
    EXPECT_EQ(entry.irql, PASSIVE_LEVEL);
    if (entry.what.rfind("critical", 0) == 0) {
      // One critical worker: its three items run one after another, 10 ms apart, in order.
      EXPECT_EQ(entry.time, critical * 10 * kMillisecond);
      EXPECT_EQ(entry.what, "critical" + std::to_string(2 * critical));
      ++critical;
    }
  }
  EXPECT_EQ(critical, 3);
  // Two delayed workers share three items: done after 20 ms; the critical queue after 30.
  EXPECT_EQ(sim.Now(), 30 * kMillisecond);
  int onWorkers = 0;
  for (const TraceEvent& event : sim.TraceLog()) {
    if (event.event == "workitem") {
      EXPECT_TRUE(event.thread.rfind("critical", 0) == 0 || event.thread.rfind("delayed", 0) == 0)
          << event.thread;
      ++onWorkers;
    }
  }
  EXPECT_EQ(onWorkers, 6);
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(ScheduledEvents, RunAtTheirTimeInSchedulingOrderAtDispatchLevel) {
  Simulation sim(CollectingOptions());
  Recorder recorder{&sim, {}};
  sim.ScheduleAt(2 * kMillisecond, [&] { recorder.Note("late"); }, "late");
  sim.ScheduleAt(kMillisecond, [&] { recorder.Note("x"); }, "x");
  Simulation::EventId cancelled =
      sim.ScheduleAt(kMillisecond, [&] { recorder.Note("cancelled"); }, "cancelled");
  sim.ScheduleAt(kMillisecond, [&] {
    recorder.Note("y");
    sim.ScheduleAfter(0, [&] { recorder.Note("chained"); }, "chained");
  }, "y");
  EXPECT_TRUE(sim.CancelEvent(cancelled));
  EXPECT_FALSE(sim.CancelEvent(cancelled));
  sim.RunUntilIdle();
  const std::vector<Recorder::Entry> expected = {{"x", kMillisecond, DISPATCH_LEVEL},
                                                 {"y", kMillisecond, DISPATCH_LEVEL},
                                                 {"chained", kMillisecond, DISPATCH_LEVEL},
                                                 {"late", 2 * kMillisecond, DISPATCH_LEVEL}};
  EXPECT_EQ(recorder.entries, expected);
}

TEST(Time, QueriesFollowTheVirtualClock) {
  Simulation sim(CollectingOptions());
  sim.RunFor(3 * 156250 + 7);
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, 3);
  EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
  EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(3 * 156250 + 7));
  LARGE_INTEGER system;
  KeQuerySystemTime(&system);
  EXPECT_EQ(system.QuadPart, sim.Options().systemTimeAtStart + 3 * 156250 + 7);
}

TEST(Time, StallHoldsTheCpuWhileTimeMovesAndDueTimersStillFireOnTime) {
  Simulation sim(CollectingOptions());
  Recorder recorder{&sim, {}};
  KTIMER timer;
  NamedDpc dpc{{}, &recorder, "timer"};
  bool otherRan = false;
  VirtualTime otherRanAt = -1;
  sim.StartThread("other", [&] {
    otherRan = true;
    otherRanAt = sim.Now();
  });
  sim.Run([&] {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc.dpc, &NamedDpc::Routine, &dpc);
    KeSetTimer(&timer, Relative(30 * kMicrosecond), &dpc.dpc);
    const bool ranBefore = otherRan;
    KeStallExecutionProcessor(100);
    EXPECT_EQ(sim.Now(), 100 * kMicrosecond);
    if (!ranBefore) {
      EXPECT_EQ(otherRanAt, otherRan ? 100 * kMicrosecond : -1);
    }
  });
  sim.RunUntilIdle();
  ASSERT_EQ(recorder.entries.size(), 1u);
  // The DPC became due during the stall and ran after it, but its timer expired on time.
  EXPECT_GE(recorder.entries[0].time, 100 * kMicrosecond);
  bool fired = false;
  for (const TraceEvent& event : sim.TraceLog()) {
    if (event.event == "timer.fire") {
      EXPECT_EQ(event.time, 30 * kMicrosecond);
      fired = true;
    }
  }
  EXPECT_TRUE(fired);
}

}  // namespace
}  // namespace lumo::kernel
