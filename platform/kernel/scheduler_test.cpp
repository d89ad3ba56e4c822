// The scheduler: one thread at a time, seeded choices at scheduling points, the same trace for
// the same seed, other interleavings for other seeds, and the drive calls' notion of time.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kernel/engine_test_support.h"
#include "kernel/simulation.h"

namespace lumo::kernel {
namespace {

using testing::CollectingOptions;
using testing::Relative;

struct RacyMachine {
  KTIMER timer;
  KDPC dpc;
  WORK_QUEUE_ITEM work;
  KSPIN_LOCK lock;
  LIST_ENTRY list;
  LIST_ENTRY nodes[8];
  LONG counter = 0;
  std::string order;
};

void NTAPI RacyDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* machine = static_cast<RacyMachine*>(context);
  InterlockedIncrement(&machine->counter);
  machine->order += 'D';
  Simulation::Current().Trace("step", "dpc", machine->counter);
}

void NTAPI RacyWork(PVOID context) {
  auto* machine = static_cast<RacyMachine*>(context);
  KIRQL old;
  KeAcquireSpinLock(&machine->lock, &old);
  machine->order += 'W';
  KeReleaseSpinLock(&machine->lock, old);
}

// Three client threads race on a counter and a locked list while a timer DPC and a work item
// join in. Returns the order in which they got there.
std::string RunRacyScenario(Simulation& sim) {
  auto machine = std::make_unique<RacyMachine>();
  RacyMachine* m = machine.get();
  KeInitializeSpinLock(&m->lock);
  InitializeListHead(&m->list);
  KeInitializeTimer(&m->timer);
  KeInitializeDpc(&m->dpc, &RacyDpc, m);
  ExInitializeWorkItem(&m->work, &RacyWork, m);
  for (int t = 0; t < 3; ++t) {
    sim.StartThread("client" + std::to_string(t), [m, t, &sim] {
      for (int step = 0; step < 3; ++step) {
        LONG value = InterlockedIncrement(&m->counter);
        m->order += static_cast<char>('a' + t);
        sim.Trace("step", "client" + std::to_string(t), value);
        ExInterlockedInsertTailList(&m->list, &m->nodes[t * 2 + (step & 1)], &m->lock);
        ExInterlockedRemoveHeadList(&m->list, &m->lock);
      }
    });
  }
  sim.Run([&] {
    KeSetTimer(&m->timer, Relative(0), &m->dpc);
    ExQueueWorkItem(&m->work, DelayedWorkQueue);
    m->order += 'M';
  });
  sim.RunUntilIdle();
  EXPECT_EQ(m->counter, 10);
  return m->order;
}

TEST(Scheduler, SameSeedGivesTheSameFullTrace) {
  for (uint64_t seed : {1ull, 42ull, 0xdeadbeefull}) {
    // One machine after the other: host-thread calls go to the latest simulation.
    std::vector<TraceEvent> traces[2];
    std::string orders[2];
    for (int run = 0; run < 2; ++run) {
      Simulation sim(CollectingOptions(seed));
      orders[run] = RunRacyScenario(sim);
      traces[run] = sim.TraceLog();
      EXPECT_TRUE(sim.VerifierReports().empty()) << sim.VerifierReports()[0].message;
    }
    EXPECT_EQ(orders[0], orders[1]);
    EXPECT_GT(traces[0].size(), 20u);
    EXPECT_TRUE(traces[0] == traces[1]) << "seed " << seed;
  }
}

TEST(Scheduler, DifferentSeedsReorderARacyScenario) {
  std::set<std::string> orders;
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    Simulation sim(CollectingOptions(seed));
    orders.insert(RunRacyScenario(sim));
  }
  EXPECT_GE(orders.size(), 5u);
}

TEST(Scheduler, OnlyOneThreadRunsBetweenSchedulingPoints) {
  Simulation sim(CollectingOptions(9));
  int running = 0;
  int overlaps = 0;
  LONG shared = 0;
  for (int t = 0; t < 4; ++t) {
    sim.StartThread("t" + std::to_string(t), [&] {
      for (int i = 0; i < 100; ++i) {
        ++running;
        if (running != 1) ++overlaps;
        --running;  // no platform call inside: nobody else may run here
        InterlockedIncrement(&shared);
      }
    });
  }
  sim.RunUntilIdle();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(shared, 400);
  EXPECT_EQ(sim.Now(), 0);
}

TEST(Scheduler, RunForStopsAtItsInstantAndKeepsStateForTheNextRun) {
  Simulation sim(CollectingOptions(1));
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  VirtualTime finishedAt = -1;
  sim.StartThread("sleeper", [&] {
    LARGE_INTEGER interval = Relative(5 * kSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    finishedAt = sim.Now();
    KeSetEvent(&done, 0, FALSE);
  });
  sim.RunFor(2 * kSecond);
  EXPECT_EQ(sim.Now(), 2 * kSecond);
  EXPECT_EQ(finishedAt, -1);
  sim.Run([&] { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); });
  EXPECT_EQ(finishedAt, 5 * kSecond);
  EXPECT_EQ(sim.Now(), 5 * kSecond);
  sim.RunFor(kSecond);
  EXPECT_EQ(sim.Now(), 6 * kSecond);
}

TEST(Scheduler, TraceNamesThreadsAndUsesObjectIdsNotAddresses) {
  Simulation sim(CollectingOptions(1));
  sim.Run([&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  });
  std::string text = sim.FormatTrace();
  EXPECT_NE(text.find("0.0000000 main wait event#"), std::string::npos) << text;
  EXPECT_EQ(text.find("0x"), std::string::npos) << text;
  EXPECT_NE(text.find("main thread.end main 0"), std::string::npos) << text;
}

TEST(Scheduler, DerivedSeedsDifferBySubsystemAndFollowTheRoot) {
  Simulation a(CollectingOptions(5));
  Simulation b(CollectingOptions(5));
  Simulation c(CollectingOptions(6));
  EXPECT_EQ(a.DeriveSeed("bus"), b.DeriveSeed("bus"));
  EXPECT_NE(a.DeriveSeed("bus"), a.DeriveSeed("pool"));
  EXPECT_NE(a.DeriveSeed("bus"), c.DeriveSeed("bus"));
  EXPECT_EQ(a.Seed(), 5u);
}

TEST(Scheduler, TeardownUnwindsThreadsThatNeverFinished) {
  bool unwound = false;
  std::vector<std::string> checks;
  struct Guard {
    bool* flag;
    ~Guard() { *flag = true; }
  };
  {
    SimulationOptions options = CollectingOptions(1);
    options.verifierSink = [&](const VerifierReport& report) { checks.push_back(report.check); };
    Simulation sim(options);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    sim.Run([&] {
      Guard guard{&unwound};
      KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_FALSE(unwound);
  }
  EXPECT_TRUE(unwound);
  EXPECT_EQ(checks, std::vector<std::string>{"deadlock"});
}

struct Probe : Component {
  explicit Probe(Simulation&) {}
  std::vector<std::string>* log = nullptr;
  std::string name;
  void Teardown(Simulation&) override { log->push_back(name); }
};
struct OtherProbe : Probe {
  using Probe::Probe;
};

TEST(Components, CreatedOnceAndTornDownInReverseOrder) {
  std::vector<std::string> log;
  {
    Simulation sim(CollectingOptions(1));
    Probe& probe = sim.Get<Probe>();
    probe.log = &log;
    probe.name = "first";
    OtherProbe& other = sim.Get<OtherProbe>();
    other.log = &log;
    other.name = "second";
    EXPECT_EQ(&sim.Get<Probe>(), &probe);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"second", "first"}));
}

}  // namespace
}  // namespace lumo::kernel
