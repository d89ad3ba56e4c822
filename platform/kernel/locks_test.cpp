// IRQL, spin locks, interlocked operations and lists, floating point pairing: values returned
// and the IRQL each call leaves behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/engine_test_support.h"
#include "kernel/simulation.h"

namespace lumo::kernel {
namespace {

using testing::CollectingOptions;

TEST(Irql, SpinLockRaisesToDispatchAndRestoresTheCallersLevel) {
  Simulation sim(CollectingOptions());
  KSPIN_LOCK lock;
  sim.Run([&] {
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = 0xFF;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), PASSIVE_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KIRQL apc;
    KeRaiseIrql(HIGH_LEVEL, &apc);
    EXPECT_EQ(apc, DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(SpinLocks, ContendedLockIsHeldByOneThreadAtATime) {
  for (uint64_t seed = 1; seed <= 5; ++seed) {
    Simulation sim(CollectingOptions(seed));
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    int inside = 0;
    int overlaps = 0;
    LONG total = 0;
    for (int t = 0; t < 4; ++t) {
      sim.StartThread("t" + std::to_string(t), [&] {
        for (int i = 0; i < 50; ++i) {
          KIRQL old;
          KeAcquireSpinLock(&lock, &old);
          overlaps += inside++ != 0;
          InterlockedIncrement(&total);  // a scheduling point while holding the lock
          --inside;
          KeReleaseSpinLock(&lock, old);
        }
      });
    }
    sim.RunUntilIdle();
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(total, 200);
    EXPECT_TRUE(sim.VerifierReports().empty());
  }
}

TEST(Interlocked, ReturnValuesFollowThePlatform) {
  Simulation sim(CollectingOptions());
  sim.Run([&] {
    LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12);  // no match: unchanged
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
    EXPECT_EQ(value, 1);
    int a = 0;
    int b = 0;
    PVOID pointer = &a;
    EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &a, &a), &b);
    EXPECT_EQ(pointer, &b);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &a, &b), &b);
    EXPECT_EQ(pointer, &a);
  });
}

TEST(InterlockedLists, ReturnThePreviousEntryAndLeaveTheIrqlAlone) {
  Simulation sim(CollectingOptions());
  sim.Run([&] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    LIST_ENTRY one;
    LIST_ENTRY two;
    LIST_ENTRY three;
    InitializeListHead(&head);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &one, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &two, &lock), &one);
    EXPECT_EQ(ExInterlockedInsertHeadList(&head, &three, &lock), &one);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &three);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &one);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &two);
    EXPECT_TRUE(IsListEmpty(&head));

    SINGLE_LIST_ENTRY stack{nullptr};
    SINGLE_LIST_ENTRY x;
    SINGLE_LIST_ENTRY y;
    EXPECT_EQ(ExInterlockedPushEntryList(&stack, &x, &lock), nullptr);
    EXPECT_EQ(ExInterlockedPushEntryList(&stack, &y, &lock), &x);
    EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), &y);
    EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), &x);
    EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), nullptr);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExInterlockedInsertTailList(&head, &one, &lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(FloatingPoint, NestedSavesRestoreInnermostFirst) {
  Simulation sim(CollectingOptions());
  sim.Run([&] {
    KFLOATING_SAVE outer;
    KFLOATING_SAVE inner;
    EXPECT_EQ(KeSaveFloatingPointState(&outer), STATUS_SUCCESS);
    EXPECT_EQ(KeSaveFloatingPointState(&inner), STATUS_SUCCESS);
    EXPECT_EQ(KeRestoreFloatingPointState(&inner), STATUS_SUCCESS);
    EXPECT_EQ(KeRestoreFloatingPointState(&outer), STATUS_SUCCESS);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
  Simulation crossed(CollectingOptions());
  crossed.Run([&] {
    KFLOATING_SAVE outer;
    KFLOATING_SAVE inner;
    KeSaveFloatingPointState(&outer);
    KeSaveFloatingPointState(&inner);
    KeRestoreFloatingPointState(&outer);
    KeRestoreFloatingPointState(&inner);
  });
  ASSERT_FALSE(crossed.VerifierReports().empty());
  EXPECT_EQ(crossed.VerifierReports()[0].check, "floating-point");
}

}  // namespace
}  // namespace lumo::kernel
