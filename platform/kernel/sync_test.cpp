// Dispatcher objects and waits: events, semaphores, mutexes, time-outs and delays, asserted in
// exact virtual time.
#include <gtest/gtest.h>

#include <vector>

#include "kernel/engine_test_support.h"
#include "kernel/simulation.h"

namespace lumo::kernel {
namespace {

using testing::CollectingOptions;
using testing::Relative;

TEST(Waits, RelativeTimeoutEndsExactlyAtItsInstant) {
  Simulation sim(CollectingOptions());
  KEVENT never;
  NTSTATUS status = STATUS_PENDING;
  sim.Run([&] {
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(9 * kSecond);
    status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    EXPECT_EQ(sim.Now(), 90'000'000);
  });
  EXPECT_EQ(status, STATUS_TIMEOUT);
  EXPECT_EQ(sim.Now(), 90'000'000);
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(Waits, AbsoluteTimeoutIsASystemTime) {
  Simulation sim(CollectingOptions());
  KEVENT never;
  sim.Run([&] {
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    EXPECT_EQ(start.QuadPart, sim.Options().systemTimeAtStart);
    LARGE_INTEGER deadline;
    deadline.QuadPart = start.QuadPart + 2500 * kMillisecond;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &deadline),
              STATUS_TIMEOUT);
    EXPECT_EQ(sim.Now(), 2500 * kMillisecond);
    // A deadline already past times out at once, without moving the clock.
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &start), STATUS_TIMEOUT);
    EXPECT_EQ(sim.Now(), 2500 * kMillisecond);
  });
}

TEST(Waits, ZeroTimeoutPollsWithoutWaiting) {
  Simulation sim(CollectingOptions());
  KEVENT event;
  sim.Run([&] {
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // a synchronization event resets on a satisfied wait
  });
  EXPECT_EQ(sim.Now(), 0);
}

TEST(Waits, SignalBeforeTimeoutWakesAtTheSignal) {
  Simulation sim(CollectingOptions());
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim.ScheduleAt(3 * kSecond, [&] { KeSetEvent(&event, 0, FALSE); }, "signal");
  sim.Run([&] {
    LARGE_INTEGER timeout = Relative(5 * kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    EXPECT_EQ(sim.Now(), 3 * kSecond);
  });
  // The cancelled time-out does not hold the clock: nothing else is due.
  sim.RunUntilIdle();
  EXPECT_EQ(sim.Now(), 3 * kSecond);
}

TEST(Waits, DelayExecutionAdvancesTheClockByTheInterval) {
  Simulation sim(CollectingOptions());
  sim.Run([&] {
    LARGE_INTEGER interval = Relative(150 * kMillisecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(sim.Now(), 150 * kMillisecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  });
  EXPECT_EQ(sim.Now(), 300 * kMillisecond);
}

TEST(Events, NotificationWakesAllSynchronizationWakesOne) {
  struct Case {
    EVENT_TYPE type;
    int wokenAfterOneSet;
    LONG stateAfter;
    VirtualTime idleAt;  // the last waiter's wake-up: the signal, or the others' time-outs
  };
  for (Case c : {Case{NotificationEvent, 3, 1, 10 * kMillisecond},
                 Case{SynchronizationEvent, 1, 0, kSecond}}) {
    Simulation sim(CollectingOptions());
    KEVENT event;
    int woken = 0;
    KeInitializeEvent(&event, c.type, FALSE);
    for (int i = 0; i < 3; ++i) {
      sim.StartThread("waiter" + std::to_string(i), [&] {
        LARGE_INTEGER timeout = Relative(kSecond);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS) {
          ++woken;
        }
      });
    }
    sim.Run([&] {
      LARGE_INTEGER settle = Relative(10 * kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &settle);
      EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);  // previous state
    });
    sim.RunUntilIdle();
    EXPECT_EQ(woken, c.wokenAfterOneSet) << "event type " << c.type;
    EXPECT_EQ(KeReadStateEvent(&event), c.stateAfter);
    EXPECT_EQ(sim.Now(), c.idleAt);
  }
}

TEST(Events, SetResetAndClearReportPreviousState) {
  Simulation sim(CollectingOptions());
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 0);
  KeSetEvent(&event, 0, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Semaphores, CountLimitsConcurrentHolders) {
  Simulation sim(CollectingOptions(7));
  KSEMAPHORE slots;
  KeInitializeSemaphore(&slots, 2, 2);
  int inside = 0;
  int most = 0;
  for (int i = 0; i < 5; ++i) {
    sim.StartThread("user" + std::to_string(i), [&] {
      KeWaitForSingleObject(&slots, Executive, KernelMode, FALSE, nullptr);
      most = std::max(most, ++inside);
      LARGE_INTEGER work = Relative(10 * kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &work);
      --inside;
      KeReleaseSemaphore(&slots, 0, 1, FALSE);
    });
  }
  sim.RunUntilIdle();
  EXPECT_EQ(most, 2);
  EXPECT_EQ(KeReadStateSemaphore(&slots), 2);
  EXPECT_EQ(sim.Now(), 30 * kMillisecond);  // five users, two at a time, 10 ms each
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(Semaphores, ReleasingAboveTheLimitIsAVerifierFailure) {
  Simulation sim(CollectingOptions());
  KSEMAPHORE semaphore;
  sim.Run([&] {
    KeInitializeSemaphore(&semaphore, 1, 2);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 1, FALSE), 1);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 1, FALSE), 2);
  });
  ASSERT_EQ(sim.VerifierReports().size(), 1u);
  EXPECT_EQ(sim.VerifierReports()[0].check, "semaphore-limit");
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
}

TEST(Mutexes, RecursionAndHandOverToTheNextWaiter) {
  Simulation sim(CollectingOptions(3));
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  std::vector<std::string> order;
  sim.StartThread("second", [&] {
    LARGE_INTEGER settle = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    order.push_back("second");
    EXPECT_EQ(sim.Now(), 5 * kMillisecond);
    KeReleaseMutex(&mutex, FALSE);
  });
  sim.Run([&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);  // recursion
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    order.push_back("main");
    LARGE_INTEGER hold = Relative(5 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &hold);
    KeReleaseMutex(&mutex, FALSE);
    // Still owned once: the other thread cannot have it yet.
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeReadStateMutex(&mutex), 0);
    KeReleaseMutex(&mutex, FALSE);
    (void)zero;
  });
  sim.RunUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"main", "second"}));
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  EXPECT_TRUE(sim.VerifierReports().empty());
}

}  // namespace
}  // namespace lumo::kernel
