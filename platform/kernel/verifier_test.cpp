// Every verifier check, caught by a test that commits its fault on purpose. The machine keeps
// running after a report (verifierFailuresFatal is off) so the test can read what was said.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kernel/engine_test_support.h"
#include "kernel/internal.h"
#include "kernel/simulation.h"

// Faulty "driver" routines with external linkage, so reports can name them (kept out of line,
// as driver code in its own library would be).
namespace verifier_faults {

__attribute__((noinline)) void WaitAtDispatchLevel(PKEVENT event) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10'000;
  KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
  KeLowerIrql(old);
}

__attribute__((noinline)) void TakeTwoLocks(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL old;
  KeAcquireSpinLock(first, &old);
  KeAcquireSpinLockAtDpcLevel(second);
  KeReleaseSpinLockFromDpcLevel(second);
  KeReleaseSpinLock(first, old);
}

void NTAPI DpcLeavesIrqlRaised(PKDPC, PVOID, PVOID, PVOID) {
  KIRQL old;
  KeRaiseIrql(HIGH_LEVEL, &old);
}

void NTAPI DpcKeepsLock(PKDPC, PVOID context, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

void NTAPI WorkKeepsMutex(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

void NTAPI WorkSavesFloatingPoint(PVOID context) {
  KeSaveFloatingPointState(static_cast<PKFLOATING_SAVE>(context));
}

void NTAPI NothingToDo(PKDPC, PVOID, PVOID, PVOID) {}
void NTAPI NoWork(PVOID) {}

}  // namespace verifier_faults

namespace lumo::kernel {
namespace {

using testing::CollectingOptions;
using testing::Relative;

// The one report of the run, checked for its name and for words of its message.
void ExpectOnlyReport(const Simulation& sim, const std::string& check,
                      const std::vector<std::string>& words) {
  const auto& reports = sim.VerifierReports();
  ASSERT_EQ(reports.size(), 1u) << (reports.empty() ? "no report" : reports[1].message);
  EXPECT_EQ(reports[0].check, check) << reports[0].message;
  for (const std::string& word : words) {
    EXPECT_NE(reports[0].message.find(word), std::string::npos)
        << "'" << word << "' missing in: " << reports[0].message;
  }
}

TEST(Verifier, WaitWithTimeoutAtDispatchLevel) {
  Simulation sim(CollectingOptions());
  KEVENT event;
  sim.Run([&] {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    verifier_faults::WaitAtDispatchLevel(&event);
  });
  ExpectOnlyReport(sim, "irql", {"IRQL 2", "event#", "WaitAtDispatchLevel", "thread main"});
}

// A zero time-out may poll at DISPATCH_LEVEL but no higher; a delay, even of nothing, gives up
// the processor, so it is only for threads below DISPATCH_LEVEL.
TEST(Verifier, ZeroTimeWaitsAboveTheirLevel) {
  struct Case {
    const char* what;
    KIRQL irql;
    bool delay;
    bool reported;
  };
  const Case cases[] = {
      {"poll at DISPATCH_LEVEL", DISPATCH_LEVEL, false, false},
      {"poll at HIGH_LEVEL", HIGH_LEVEL, false, true},
      {"zero delay at PASSIVE_LEVEL", PASSIVE_LEVEL, true, false},
      {"zero delay at DISPATCH_LEVEL", DISPATCH_LEVEL, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Simulation sim(CollectingOptions());
    KEVENT event;
    sim.Run([&] {
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      KIRQL old;
      KeRaiseIrql(c.irql, &old);
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      if (c.delay) {
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
      } else {
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero),
                  STATUS_TIMEOUT);
      }
      KeLowerIrql(old);
    });
    if (c.reported) {
      ExpectOnlyReport(sim, "irql", {"IRQL " + std::to_string(c.irql)});
    } else {
      EXPECT_TRUE(sim.VerifierReports().empty()) << c.what;
    }
  }
}

// Signalling an event, semaphore or mutex takes the dispatcher's lock: DISPATCH_LEVEL at most.
TEST(Verifier, SignallingAboveDispatchLevel) {
  struct Case {
    const char* call;
    void (*signal)(PKEVENT, PKSEMAPHORE, PKMUTEX);
  };
  const Case cases[] = {
      {"KeSetEvent", [](PKEVENT e, PKSEMAPHORE, PKMUTEX) { KeSetEvent(e, 0, FALSE); }},
      {"KeResetEvent", [](PKEVENT e, PKSEMAPHORE, PKMUTEX) { KeResetEvent(e); }},
      {"KeReleaseSemaphore",
       [](PKEVENT, PKSEMAPHORE s, PKMUTEX) { KeReleaseSemaphore(s, 0, 1, FALSE); }},
      {"KeReleaseMutex", [](PKEVENT, PKSEMAPHORE, PKMUTEX m) { KeReleaseMutex(m, FALSE); }},
  };
  for (const Case& c : cases) {
    for (KIRQL irql : {KIRQL(DISPATCH_LEVEL), KIRQL(HIGH_LEVEL)}) {
      SCOPED_TRACE(std::string(c.call) + " at IRQL " + std::to_string(irql));
      Simulation sim(CollectingOptions());
      KEVENT event;
      KSEMAPHORE semaphore;
      KMUTEX mutex;
      sim.Run([&] {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeInitializeSemaphore(&semaphore, 0, 4);
        KeInitializeMutex(&mutex, 0);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KIRQL old;
        KeRaiseIrql(irql, &old);
        c.signal(&event, &semaphore, &mutex);
        KeLowerIrql(old);
        if (std::string(c.call) != "KeReleaseMutex") KeReleaseMutex(&mutex, FALSE);
      });
      if (irql == HIGH_LEVEL) {
        ExpectOnlyReport(sim, "irql", {c.call, "IRQL 31"});
      } else {
        EXPECT_TRUE(sim.VerifierReports().empty());
      }
    }
  }
}

TEST(Verifier, SpinLockAtDpcLevelCallBelowDispatch) {
  Simulation sim(CollectingOptions());
  KSPIN_LOCK lock;
  sim.Run([&] {
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
  });
  ExpectOnlyReport(sim, "irql", {"KeAcquireSpinLockAtDpcLevel at IRQL 0"});
}

TEST(Verifier, SpinLockReleasedByAnotherThread) {
  Simulation sim(CollectingOptions());
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = PASSIVE_LEVEL;
  sim.StartThread("holder", [&] { KeAcquireSpinLock(&lock, &old); });
  sim.RunUntilIdle();
  sim.Run([&] {
    KIRQL mine;
    KeRaiseIrql(DISPATCH_LEVEL, &mine);
    KeReleaseSpinLock(&lock, mine);
  });
  // Also: the holder ended holding the lock at the wrong IRQL.
  const auto& reports = sim.VerifierReports();
  ASSERT_GE(reports.size(), 2u);
  bool ownerReported = false;
  for (const auto& report : reports) {
    if (report.check == "spinlock-owner") {
      ownerReported = true;
      EXPECT_NE(report.message.find("main releases spinlock#"), std::string::npos);
    }
  }
  EXPECT_TRUE(ownerReported);
}

TEST(Verifier, SpinLockReleasedAtTheWrongLevel) {
  Simulation sim(CollectingOptions());
  KSPIN_LOCK lock;
  sim.Run([&] {
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KIRQL high;
    KeRaiseIrql(HIGH_LEVEL, &high);
    KeReleaseSpinLock(&lock, old);
  });
  ExpectOnlyReport(sim, "irql", {"KeReleaseSpinLock at IRQL 31"});
}

TEST(Verifier, SpinLockAcquiredRecursively) {
  Simulation sim(CollectingOptions());
  KSPIN_LOCK lock;
  sim.Run([&] {
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLock(&lock, old);
  });
  ExpectOnlyReport(sim, "spinlock-recursion", {"main acquires spinlock#"});
}

TEST(Verifier, LockOrderInversionNamesBothSites) {
  Simulation sim(CollectingOptions());
  KSPIN_LOCK a;
  KSPIN_LOCK b;
  sim.Run([&] {
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    verifier_faults::TakeTwoLocks(&a, &b);
    verifier_faults::TakeTwoLocks(&b, &a);  // never concurrent, still an inversion
  });
  ExpectOnlyReport(sim, "lock-order", {"spinlock#1", "spinlock#2", "TakeTwoLocks", "before"});
}

TEST(Verifier, LockOrderInversionBetweenMutexAndSpinLock) {
  Simulation sim(CollectingOptions());
  KMUTEX mutex;
  KSPIN_LOCK lock;
  KeInitializeMutex(&mutex, 0);
  KeInitializeSpinLock(&lock);
  sim.Run([&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    KeReleaseMutex(&mutex, FALSE);
  });
  sim.Run([&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseSpinLock(&lock, old);
  });
  ExpectOnlyReport(sim, "lock-order", {"mutex#1", "spinlock#2"});
}

TEST(Verifier, DeadlockOnEventsReportsEveryBlockedThread) {
  Simulation sim(CollectingOptions());
  KEVENT ping;
  KEVENT pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  sim.StartThread("partner", [&] {
    KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
  });
  sim.Run([&] { KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr); });
  ExpectOnlyReport(sim, "deadlock", {"main waits for event#2", "partner waits for event#1"});
}

TEST(Verifier, RunThatOnlyTimersKeepGoingIsStopped) {
  SimulationOptions options = CollectingOptions();
  options.runVirtualTimeMax = 10 * kSecond;
  Simulation sim(options);
  KTIMER heartbeat;
  KDPC beat;
  KEVENT never;
  KeInitializeTimer(&heartbeat);
  KeInitializeDpc(&beat, &verifier_faults::NothingToDo, nullptr);
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeSetTimerEx(&heartbeat, Relative(kSecond), 1000, &beat);
  sim.Run([&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
  ExpectOnlyReport(sim, "stalled", {"main waits for event#3"});
  EXPECT_EQ(sim.Now(), 10 * kSecond);
  KeCancelTimer(&heartbeat);
}

TEST(Verifier, DeadlockOnSpinLocksTakenInOppositeOrder) {
  // Some seeds interleave the two threads so that each holds one lock and spins on the other.
  int deadlocks = 0;
  for (uint64_t seed = 1; seed <= 30; ++seed) {
    Simulation sim(CollectingOptions(seed));
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    sim.StartThread("ab", [&] { verifier_faults::TakeTwoLocks(&a, &b); });
    sim.Run([&] { verifier_faults::TakeTwoLocks(&b, &a); });
    bool deadlocked = false;
    for (const auto& report : sim.VerifierReports()) {
      if (report.check == "deadlock") {
        deadlocked = true;
        EXPECT_NE(report.message.find("held by"), std::string::npos) << report.message;
      }
    }
    deadlocks += deadlocked;
    // The order check sees the inversion in every interleaving.
    EXPECT_EQ(sim.VerifierReports()[0].check, "lock-order");
    if (deadlocked) break;
  }
  EXPECT_EQ(deadlocks, 1);
}

TEST(Verifier, DpcReturningAtTheWrongIrql) {
  Simulation sim(CollectingOptions());
  KDPC dpc;
  KeInitializeDpc(&dpc, &verifier_faults::DpcLeavesIrqlRaised, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  sim.RunUntilIdle();
  ExpectOnlyReport(sim, "irql", {"DPC routine", "DpcLeavesIrqlRaised", "IRQL 31", "dpc0"});
}

TEST(Verifier, DpcReturningWithASpinLockHeld) {
  Simulation sim(CollectingOptions());
  KDPC dpc;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeInitializeDpc(&dpc, &verifier_faults::DpcKeepsLock, &lock);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  sim.RunUntilIdle();
  ExpectOnlyReport(sim, "lock-held", {"DpcKeepsLock", "spinlock#1"});
  // The lock was taken back from the DPC so the machine can go on.
  sim.Run([&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
  });
  EXPECT_EQ(sim.VerifierReports().size(), 1u);
}

TEST(Verifier, WorkItemReturningWithAMutexOwned) {
  Simulation sim(CollectingOptions());
  KMUTEX mutex;
  WORK_QUEUE_ITEM item;
  KeInitializeMutex(&mutex, 0);
  ExInitializeWorkItem(&item, &verifier_faults::WorkKeepsMutex, &mutex);
  ExQueueWorkItem(&item, CriticalWorkQueue);
  sim.RunUntilIdle();
  ExpectOnlyReport(sim, "lock-held", {"WorkKeepsMutex", "mutex#1", "critical0"});
}

TEST(Verifier, MutexReleasedByANonOwner) {
  Simulation sim(CollectingOptions());
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  sim.StartThread("owner", [&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER hold = Relative(kSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &hold);
    KeReleaseMutex(&mutex, FALSE);
  });
  sim.Run([&] {
    LARGE_INTEGER settle = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    KeReleaseMutex(&mutex, FALSE);
  });
  sim.RunUntilIdle();
  ExpectOnlyReport(sim, "mutex-owner", {"by main", "owner: owner"});
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(Verifier, FloatingPointStateUnbalanced) {
  Simulation sim(CollectingOptions());
  KFLOATING_SAVE save;
  sim.Run([&] { EXPECT_EQ(KeRestoreFloatingPointState(&save), STATUS_SUCCESS); });
  ExpectOnlyReport(sim, "floating-point", {"without a matching save"});

  Simulation leaky(CollectingOptions());
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, &verifier_faults::WorkSavesFloatingPoint, &save);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  leaky.RunUntilIdle();
  ExpectOnlyReport(leaky, "floating-point", {"WorkSavesFloatingPoint", "not restored"});
}

TEST(Verifier, AssertionNamesExpressionFileAndLine) {
  Simulation sim(CollectingOptions());
  int frames = 3;
  sim.Run([&] { ASSERT(frames == 4); });
  ExpectOnlyReport(sim, "assert", {"frames == 4", "verifier_test.cpp:"});
}

TEST(Verifier, SemaphoreLimitNamesTheCaller) {
  Simulation sim(CollectingOptions());
  KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 0, 1);
  sim.Run([&] {
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
  });
  ExpectOnlyReport(sim, "semaphore-limit", {"count 1", "limit 1"});
}

TEST(Verifier, UninitializedObjectAndRequeuedWorkItem) {
  Simulation sim(CollectingOptions());
  KEVENT event{};
  KeSetEvent(&event, 0, FALSE);
  ExpectOnlyReport(sim, "uninitialized-object", {"KeSetEvent"});

  Simulation again(CollectingOptions());
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, &verifier_faults::NoWork, nullptr);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  again.RunUntilIdle();
  ExpectOnlyReport(again, "workitem-requeued", {"still queued"});
}

TEST(Verifier, MemoryFreedWithTimerSetOrDpcQueued) {
  Simulation sim(CollectingOptions());
  struct Extension {
    KTIMER timer;
    KDPC dpc;
    KEVENT event;
  } extension;
  KeInitializeTimer(&extension.timer);
  KeInitializeDpc(&extension.dpc, &verifier_faults::NothingToDo, nullptr);
  KeInitializeEvent(&extension.event, NotificationEvent, FALSE);
  KeSetTimer(&extension.timer, Relative(kSecond), nullptr);
  KeInsertQueueDpc(&extension.dpc, nullptr, nullptr);
  CheckNoKernelObjectsIn(&extension, sizeof extension);
  ForgetKernelObjectsIn(&extension, sizeof extension);
  const auto& reports = sim.VerifierReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].check, "freed-while-queued");
  EXPECT_NE(reports[0].message.find("timer#1"), std::string::npos) << reports[0].message;
  EXPECT_EQ(reports[1].check, "freed-while-queued");
  EXPECT_NE(reports[1].message.find("dpc#2"), std::string::npos) << reports[1].message;
  // Forgotten: nothing fires into the freed memory, and new objects there start afresh.
  sim.RunFor(2 * kSecond);
  KeInitializeEvent(&extension.event, NotificationEvent, FALSE);
  EXPECT_EQ(reports.size(), 2u);
  // Freeing memory with nothing queued in it is quiet.
  CheckNoKernelObjectsIn(&extension, sizeof extension);
  EXPECT_EQ(reports.size(), 2u);
}

TEST(Verifier, TeardownReportsWhatIsStillQueued) {
  std::vector<VerifierReport> reports;
  SimulationOptions options = CollectingOptions();
  options.verifierSink = [&](const VerifierReport& report) { reports.push_back(report); };
  KTIMER timer;
  KDPC dpc;
  WORK_QUEUE_ITEM item;
  KEVENT never;
  {
    Simulation sim(options);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, &verifier_faults::NothingToDo, nullptr);
    ExInitializeWorkItem(&item, &verifier_faults::NoWork, nullptr);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    sim.StartThread("stuck", [&] {
      KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    sim.RunUntilIdle();
    KeSetTimerEx(&timer, Relative(kSecond), 1000, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    ExQueueWorkItem(&item, CriticalWorkQueue);
    EXPECT_TRUE(reports.empty());
  }
  std::multiset<std::string> checks;
  for (const auto& report : reports) {
    checks.insert(report.check);
    if (report.check == "teardown-thread") {
      EXPECT_NE(report.message.find("stuck waits for event#"), std::string::npos)
          << report.message;
    }
  }
  EXPECT_EQ(checks, (std::multiset<std::string>{"teardown-timer", "teardown-dpc",
                                                "teardown-workitem", "teardown-thread"}));
}

}  // namespace
}  // namespace lumo::kernel
