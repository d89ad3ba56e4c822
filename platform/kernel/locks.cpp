// IRQL, spin locks, interlocked operations and lists, floating point state and assertions.
//
// A spin lock held by another simulated thread makes the acquirer wait (blocked, not burning
// scheduling points) until the holder releases it; every waiter then competes again, so the
// seeded scheduler decides who gets it next. Spinning at DISPATCH_LEVEL is what the platform
// does, so a spinner counts as blocked for the deadlock check: two threads that each hold the
// lock the other wants are reported instead of hanging the run.
#include <cstdio>

#include "kernel/engine.h"

namespace lumo::kernel {
namespace {

std::string At(const void* address) {
  char text[32];
  snprintf(text, sizeof text, " at %p", address);
  return text;
}

}  // namespace

void Simulation::State::AcquireSpinLockOf(SimThread* thread, PKSPIN_LOCK lock,
                                          const void* site) {
  const auto address = reinterpret_cast<uintptr_t>(lock);
  KernelObject* object = &Expect(lock, ObjectKind::SpinLock, "acquiring a spin lock");
  if (object->spinOwner == thread) {
    sim.VerifierFailure("spinlock-recursion",
                        thread->name + " acquires " + object->Name() + At(lock) +
                            " again in " + CodeName(site) + "; it holds it since " +
                            CodeName(object->spinSite));
    return;
  }
  CheckLockOrder(thread, *object, site);
  SchedulePoint();
  object = &Expect(lock, ObjectKind::SpinLock, "acquiring a spin lock");
  while (object->spinOwner) {
    if (!Current()) {
      sim.VerifierFailure("host-wait", "the host thread acquires " + object->Name() + At(lock) +
                                           ", held by " + object->spinOwner->name);
      return;
    }
    object->waiters.push_back(thread);
    thread->waitObject = address;
    thread->waitSite = site;
    Block();
    thread->waitObject = 0;
    thread->waitSite = nullptr;
    object = &Expect(lock, ObjectKind::SpinLock, "acquiring a spin lock");
  }
  object->spinOwner = thread;
  object->spinSite = site;
  HappensAfter(lock);
  AcquiredLock(thread, address, *object, site);
}

void Simulation::State::ReleaseSpinLockOf(SimThread* thread, uintptr_t address,
                                          KernelObject& object) {
  HappensBefore(reinterpret_cast<const void*>(address));
  object.spinOwner = nullptr;
  object.spinSite = nullptr;
  ReleasedLock(thread, address);
  // Every spinner competes again.
  while (!object.waiters.empty()) {
    SimThread* waiter = object.waiters.front();
    object.waiters.pop_front();
    waiter->waitStatus = STATUS_SUCCESS;
    MakeRunnable(waiter);
  }
}

void Simulation::State::ReleaseSpinLockChecked(PKSPIN_LOCK lock, const void* site) {
  SimThread* thread = Caller();
  const auto address = reinterpret_cast<uintptr_t>(lock);
  KernelObject& object = Expect(lock, ObjectKind::SpinLock, "releasing a spin lock");
  if (object.spinOwner != thread) {
    sim.VerifierFailure("spinlock-owner",
                        thread->name + " releases " + object.Name() + At(lock) + " in " +
                            CodeName(site) + ", but " +
                            (object.spinOwner ? object.spinOwner->name + " holds it"
                                              : std::string("nobody holds it")));
    return;
  }
  ReleaseSpinLockOf(thread, address, object);
}

namespace {

void CheckLoweringWithLocks(State& state, SimThread* thread, KIRQL newIrql, const void* site) {
  if (newIrql >= DISPATCH_LEVEL) return;
  for (const HeldLock& lock : thread->held) {
    KernelObject* object = state.Find(lock.address);
    if (object && object->kind == ObjectKind::SpinLock && object->spinOwner == thread) {
      state.sim.VerifierFailure("irql", thread->name + " lowers IRQL to " +
                                            std::to_string(newIrql) + " in " + CodeName(site) +
                                            " while holding " + lock.name);
      return;
    }
  }
}

void PlatformCallPoint() {
  if (Simulation* simulation = Simulation::CurrentOrNull()) simulation->state().SchedulePoint();
}

}  // namespace
}  // namespace lumo::kernel

using lumo::kernel::CodeName;
using lumo::kernel::EngineOf;
using lumo::kernel::PlatformCallPoint;
using lumo::kernel::CheckLoweringWithLocks;
using lumo::kernel::SimThread;
using lumo::kernel::State;

// --- IRQL ------------------------------------------------------------------------------------

extern "C" KIRQL NTAPI KeGetCurrentIrql(void) {
  lumo::kernel::Simulation* simulation = lumo::kernel::Simulation::CurrentOrNull();
  return simulation ? simulation->state().Caller()->irql : static_cast<KIRQL>(PASSIVE_LEVEL);
}

extern "C" void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  State& state = EngineOf("KeRaiseIrql");
  SimThread* thread = state.Caller();
  if (NewIrql < thread->irql) {
    state.sim.VerifierFailure("irql", "KeRaiseIrql to " + std::to_string(NewIrql) +
                                          " below the current IRQL " +
                                          std::to_string(thread->irql) + ", called from " +
                                          CodeName(__builtin_return_address(0)));
  }
  *OldIrql = thread->irql;
  thread->irql = NewIrql;
  state.SchedulePoint();
}

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
  State& state = EngineOf("KeRaiseIrqlToDpcLevel");
  SimThread* thread = state.Caller();
  const KIRQL old = thread->irql;
  if (old > DISPATCH_LEVEL) {
    state.sim.VerifierFailure("irql", "KeRaiseIrqlToDpcLevel at IRQL " + std::to_string(old) +
                                          ", called from " +
                                          CodeName(__builtin_return_address(0)));
  }
  thread->irql = DISPATCH_LEVEL;
  state.SchedulePoint();
  return old;
}

extern "C" void NTAPI KeLowerIrql(KIRQL NewIrql) {
  State& state = EngineOf("KeLowerIrql");
  SimThread* thread = state.Caller();
  const void* site = __builtin_return_address(0);
  if (NewIrql > thread->irql) {
    state.sim.VerifierFailure("irql", "KeLowerIrql to " + std::to_string(NewIrql) +
                                          " above the current IRQL " +
                                          std::to_string(thread->irql) + ", called from " +
                                          CodeName(site));
  }
  CheckLoweringWithLocks(state, thread, NewIrql, site);
  thread->irql = NewIrql;
  state.SchedulePoint();
}

// --- Spin locks ------------------------------------------------------------------------------

extern "C" void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  State& state = EngineOf("KeInitializeSpinLock");
  *SpinLock = 0;
  state.Register(reinterpret_cast<uintptr_t>(SpinLock), lumo::kernel::ObjectKind::SpinLock);
}

extern "C" void NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  State& state = EngineOf("KeAcquireSpinLock");
  SimThread* thread = state.Caller();
  const void* site = __builtin_return_address(0);
  if (thread->irql > DISPATCH_LEVEL) {
    state.sim.VerifierFailure("irql", "KeAcquireSpinLock at IRQL " +
                                          std::to_string(thread->irql) + ", called from " +
                                          CodeName(site));
  }
  *OldIrql = thread->irql;
  thread->irql = DISPATCH_LEVEL;
  state.AcquireSpinLockOf(thread, SpinLock, site);
}

extern "C" void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  State& state = EngineOf("KeAcquireSpinLockAtDpcLevel");
  SimThread* thread = state.Caller();
  const void* site = __builtin_return_address(0);
  if (thread->irql < DISPATCH_LEVEL) {
    state.sim.VerifierFailure("irql", "KeAcquireSpinLockAtDpcLevel at IRQL " +
                                          std::to_string(thread->irql) + ", called from " +
                                          CodeName(site));
  }
  state.AcquireSpinLockOf(thread, SpinLock, site);
}

extern "C" void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  State& state = EngineOf("KeReleaseSpinLock");
  SimThread* thread = state.Caller();
  const void* site = __builtin_return_address(0);
  if (thread->irql != DISPATCH_LEVEL) {
    state.sim.VerifierFailure("irql", "KeReleaseSpinLock at IRQL " +
                                          std::to_string(thread->irql) +
                                          " (a lock taken with KeAcquireSpinLock is released at "
                                          "DISPATCH_LEVEL), called from " + CodeName(site));
  }
  state.ReleaseSpinLockChecked(SpinLock, site);
  lumo::kernel::CheckLoweringWithLocks(state, thread, NewIrql, site);
  thread->irql = NewIrql;
  state.SchedulePoint();
}

extern "C" void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  State& state = EngineOf("KeReleaseSpinLockFromDpcLevel");
  SimThread* thread = state.Caller();
  const void* site = __builtin_return_address(0);
  if (thread->irql < DISPATCH_LEVEL) {
    state.sim.VerifierFailure("irql", "KeReleaseSpinLockFromDpcLevel at IRQL " +
                                          std::to_string(thread->irql) + ", called from " +
                                          CodeName(site));
  }
  state.ReleaseSpinLockChecked(SpinLock, site);
  state.SchedulePoint();
}

// --- Interlocked operations ------------------------------------------------------------------
// Each is a scheduling point before the operation; the operation itself is atomic (so the
// sanitizers see it as the synchronisation it is on the platform).

extern "C" LONG FASTCALL InterlockedIncrement(LONG volatile* Addend) {
  PlatformCallPoint();
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedDecrement(LONG volatile* Addend) {
  PlatformCallPoint();
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value) {
  PlatformCallPoint();
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  PlatformCallPoint();
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                    LONG Comparand) {
  PlatformCallPoint();
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

extern "C" PVOID FASTCALL InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  PlatformCallPoint();
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

extern "C" PVOID FASTCALL InterlockedCompareExchangePointer(PVOID volatile* Destination,
                                                            PVOID Exchange, PVOID Comparand) {
  PlatformCallPoint();
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

// The ExInterlocked list operations take the caller's spin lock around the list operation, as
// the platform does; the caller may be at any IRQL up to DISPATCH_LEVEL.
namespace {

struct ListLock {
  ListLock(PKSPIN_LOCK lock, const void* site) : lock_(lock), site_(site) {
    State& state = EngineOf("ExInterlocked list operation");
    SimThread* thread = state.Caller();
    if (thread->irql > DISPATCH_LEVEL) {
      state.sim.VerifierFailure("irql", "ExInterlocked list operation at IRQL " +
                                            std::to_string(thread->irql) + ", called from " +
                                            CodeName(site));
    }
    old_ = thread->irql;
    thread->irql = DISPATCH_LEVEL;
    state.AcquireSpinLockOf(thread, lock, site);
  }
  ~ListLock() {
    State& state = EngineOf("ExInterlocked list operation");
    state.ReleaseSpinLockChecked(lock_, site_);
    state.Caller()->irql = old_;
    state.SchedulePoint();
  }
  PKSPIN_LOCK lock_;
  const void* site_;
  KIRQL old_;
};

}  // namespace

extern "C" PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead,
                                                         PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  ListLock held(Lock, __builtin_return_address(0));
  PLIST_ENTRY first = ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  return first == ListHead ? nullptr : first;
}

extern "C" PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead,
                                                         PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  ListLock held(Lock, __builtin_return_address(0));
  PLIST_ENTRY last = ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  return last == ListHead ? nullptr : last;
}

extern "C" PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  ListLock held(Lock, __builtin_return_address(0));
  if (IsListEmpty(ListHead)) return nullptr;
  return RemoveHeadList(ListHead);
}

extern "C" PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                               PSINGLE_LIST_ENTRY ListEntry,
                                                               PKSPIN_LOCK Lock) {
  ListLock held(Lock, __builtin_return_address(0));
  PSINGLE_LIST_ENTRY first = ListHead->Next;
  PushEntryList(ListHead, ListEntry);
  return first;
}

extern "C" PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                              PKSPIN_LOCK Lock) {
  ListLock held(Lock, __builtin_return_address(0));
  return PopEntryList(ListHead);
}

// --- Floating point --------------------------------------------------------------------------
// Saves and restores pair up per thread, innermost first; the host's own floating point state
// needs no saving, so only the pairing is checked.

extern "C" NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
  State& state = EngineOf("KeSaveFloatingPointState");
  SimThread* thread = state.Caller();
  if (thread->irql > DISPATCH_LEVEL) {
    state.sim.VerifierFailure("irql", "KeSaveFloatingPointState at IRQL " +
                                          std::to_string(thread->irql) + ", called from " +
                                          CodeName(__builtin_return_address(0)));
  }
  *FloatSave = KFLOATING_SAVE{};
  thread->floatingSaves.push_back(FloatSave);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
  State& state = EngineOf("KeRestoreFloatingPointState");
  SimThread* thread = state.Caller();
  if (thread->floatingSaves.empty() || thread->floatingSaves.back() != FloatSave) {
    state.sim.VerifierFailure(
        "floating-point",
        std::string("KeRestoreFloatingPointState ") +
            (thread->floatingSaves.empty() ? "without a matching save"
                                           : "with another save area than the latest save") +
            ", called from " + CodeName(__builtin_return_address(0)));
    if (!thread->floatingSaves.empty()) thread->floatingSaves.pop_back();
    return STATUS_SUCCESS;
  }
  thread->floatingSaves.pop_back();
  return STATUS_SUCCESS;
}

// --- Assertions -----------------------------------------------------------------------------

extern "C" void NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                                PCHAR Message) {
  State& state = EngineOf("RtlAssert");
  std::string text = std::string("ASSERT(") + static_cast<const char*>(FailedAssertion) +
                     ") failed at " + static_cast<const char*>(FileName) + ":" +
                     std::to_string(LineNumber);
  if (Message) text += std::string(": ") + Message;
  state.sim.VerifierFailure("assert", text);
}
