// Dispatcher objects and waits: events, semaphores, mutexes, the waits on them (and on timers)
// with their time-outs, KeDelayExecutionThread, and the lock-order check that mutexes, spin
// locks and semaphores used as locks share.
//
// The signal state lives in the object's own DISPATCHER_HEADER, as on the platform; waiters,
// owners and ids live in the engine's bookkeeping keyed by the object's address. A waiter is
// satisfied at the instant of the signal (a synchronization event is reset, a semaphore count
// taken, a mutex handed over on its behalf), so what it got cannot be taken by a thread that
// happens to run first.
#include <algorithm>
#include <cstdio>

#include "kernel/engine.h"

namespace lumo::kernel {
namespace {

DISPATCHER_HEADER& HeaderOf(uintptr_t address) {
  return *reinterpret_cast<DISPATCHER_HEADER*>(address);
}

bool IsLockLike(const KernelObject& object, uintptr_t address) {
  return object.kind == ObjectKind::Mutex ||
         (object.kind == ObjectKind::Semaphore &&
          reinterpret_cast<PKSEMAPHORE>(address)->Limit == 1);
}

// Setting, resetting and releasing take the dispatcher's lock, which is not for callers above
// DISPATCH_LEVEL.
void CheckAtMostDispatch(State& state, const char* call, const void* caller) {
  const KIRQL irql = state.Caller()->irql;
  if (irql <= DISPATCH_LEVEL) return;
  state.sim.VerifierFailure("irql", std::string(call) + " at IRQL " + std::to_string(irql) +
                                        ", called from " + CodeName(caller));
}

void InitializeHeader(DISPATCHER_HEADER& header, UCHAR type, UCHAR sizeInLongs, LONG state) {
  header.Type = type;
  header.Absolute = FALSE;
  header.Size = sizeInLongs;
  header.Inserted = FALSE;
  header.SignalState = state;
  InitializeListHead(&header.WaitListHead);
}

}  // namespace

KernelObject& Simulation::State::ExpectDispatcher(void* object, const char* call) {
  auto address = reinterpret_cast<uintptr_t>(object);
  KernelObject* found = Find(address);
  if (found && (found->kind == ObjectKind::Event || found->kind == ObjectKind::Semaphore ||
                found->kind == ObjectKind::Mutex || found->kind == ObjectKind::Timer)) {
    return *found;
  }
  char text[160];
  snprintf(text, sizeof text, "%s on %p, which is no initialised event, semaphore, mutex or timer",
           call, object);
  sim.VerifierFailure("uninitialized-object", text);
  switch (HeaderOf(address).Type) {
    case kTypeMutant: return Register(address, ObjectKind::Mutex);
    case kTypeSemaphore: return Register(address, ObjectKind::Semaphore);
    case kTypeNotificationTimer:
    case kTypeSynchronizationTimer: return Register(address, ObjectKind::Timer);
    default: return Register(address, ObjectKind::Event);
  }
}

bool Simulation::State::TryAcquire(uintptr_t address, KernelObject& object, SimThread* thread) {
  DISPATCHER_HEADER& header = HeaderOf(address);
  switch (object.kind) {
    case ObjectKind::Event:
    case ObjectKind::Timer:
      if (header.SignalState <= 0) return false;
      if (header.Type == kTypeSynchronizationEvent || header.Type == kTypeSynchronizationTimer) {
        header.SignalState = 0;
      }
      return true;
    case ObjectKind::Semaphore:
      if (header.SignalState <= 0) return false;
      --header.SignalState;
      if (reinterpret_cast<PKSEMAPHORE>(address)->Limit == 1) object.owner = thread;
      return true;
    case ObjectKind::Mutex: {
      auto* mutex = reinterpret_cast<PKMUTEX>(address);
      if (object.owner == thread) {
        ++object.recursion;
        --header.SignalState;
        return true;
      }
      if (object.owner) return false;
      object.owner = thread;
      object.recursion = 1;
      header.SignalState = 0;
      mutex->OwnerThread = reinterpret_cast<PKTHREAD>(thread);
      return true;
    }
    default:
      return false;
  }
}

void Simulation::State::Satisfy(KernelObject&, SimThread* waiter, NTSTATUS status) {
  if (waiter->waitTimed) {
    timeline.erase(waiter->waitTimeoutKey);
    waiter->waitTimed = false;
  }
  waiter->waitStatus = status;
  MakeRunnable(waiter);
}

void Simulation::State::WakeWaiters(uintptr_t address, KernelObject& object) {
  while (!object.waiters.empty()) {
    SimThread* waiter = object.waiters.front();
    if (!TryAcquire(address, object, waiter)) break;
    object.waiters.pop_front();
    Satisfy(object, waiter, STATUS_SUCCESS);
  }
}

void Simulation::State::CheckLockOrder(SimThread* thread, const KernelObject& object,
                                       const void* site) {
  const uint64_t id = object.id;
  for (const HeldLock& earlier : thread->held) {
    if (earlier.id == id) continue;
    const auto forward = std::make_pair(earlier.id, id);
    if (lockOrder.find(forward) == lockOrder.end()) {
      lockOrder.emplace(forward, thread->name + " took " + object.Name() + " in " +
                                     CodeName(site) + " while holding " + earlier.name +
                                     " (taken in " + CodeName(earlier.site) + ")");
    }
    auto reverse = lockOrder.find(std::make_pair(id, earlier.id));
    if (reverse == lockOrder.end()) continue;
    auto pair = std::make_pair(std::min(id, earlier.id), std::max(id, earlier.id));
    if (inversionReported[pair]) continue;
    inversionReported[pair] = true;
    sim.VerifierFailure("lock-order", "lock order inversion between " + earlier.name + " and " +
                                          object.Name() + ": now " + lockOrder[forward] +
                                          "; before, " + reverse->second);
  }
}

void Simulation::State::AcquiredLock(SimThread* thread, uintptr_t address,
                                     const KernelObject& object, const void* site) {
  thread->held.push_back(HeldLock{address, object.id, object.Name(), site});
}

void Simulation::State::ReleasedLock(SimThread* thread, uintptr_t address) {
  auto& held = thread->held;
  for (size_t i = held.size(); i-- > 0;) {
    if (held[i].address == address) {
      held.erase(held.begin() + static_cast<ptrdiff_t>(i));
      return;
    }
  }
}

NTSTATUS Simulation::State::Wait(void* object, PLARGE_INTEGER timeout, const void* caller) {
  SimThread* thread = Current();
  const auto address = reinterpret_cast<uintptr_t>(object);
  if (!thread) {
    sim.VerifierFailure("host-wait", "KeWaitForSingleObject called by the host thread, outside "
                                     "any simulated thread, from " + CodeName(caller));
    return STATUS_UNSUCCESSFUL;
  }
  const bool polls = timeout && timeout->QuadPart == 0;
  // A wait that blocks needs a level below DISPATCH_LEVEL; a poll, one no higher than it.
  if ((!polls && thread->irql >= DISPATCH_LEVEL) || thread->irql > DISPATCH_LEVEL) {
    char text[48];
    snprintf(text, sizeof text, " at %p", object);
    sim.VerifierFailure("irql", std::string("KeWaitForSingleObject with ") +
                                    (polls ? "a zero" : "a non-zero") + " time-out at IRQL " +
                                    std::to_string(thread->irql) + " on " +
                                    ExpectDispatcher(object, "KeWaitForSingleObject").Name() +
                                    text + ", called from " + CodeName(caller));
  }
  ExpectDispatcher(object, "KeWaitForSingleObject");
  SchedulePoint();
  KernelObject* found = Find(address);
  if (!found) found = &ExpectDispatcher(object, "KeWaitForSingleObject");
  const std::string name = found->Name();
  const bool recursion = found->kind == ObjectKind::Mutex && found->owner == thread;
  if (IsLockLike(*found, address) && !recursion) CheckLockOrder(thread, *found, caller);
  if (TryAcquire(address, *found, thread)) {
    HappensAfter(object);
    if (IsLockLike(*found, address) && !recursion) AcquiredLock(thread, address, *found, caller);
    Trace("wait", name, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }
  VirtualTime deadline = timeout ? DueTimeToVirtual(timeout->QuadPart) : 0;
  if (polls || (timeout && deadline <= now)) {
    Trace("wait", name, STATUS_TIMEOUT);
    return STATUS_TIMEOUT;
  }
  found->waiters.push_back(thread);
  thread->waitObject = address;
  thread->waitSite = caller;
  thread->waitStatus = STATUS_PENDING;
  thread->waitTimed = timeout != nullptr;
  if (timeout) {
    thread->waitTimeoutKey =
        AddTimeline(deadline, {TimelineEntry::Kind::WaitTimeout, 0, thread, 0});
  }
  Block();
  const NTSTATUS status = thread->waitStatus;
  thread->waitObject = 0;
  thread->waitSite = nullptr;
  if (status == STATUS_SUCCESS) {
    HappensAfter(object);
    if (KernelObject* now_found = Find(address); now_found && IsLockLike(*now_found, address)) {
      AcquiredLock(thread, address, *now_found, caller);
    }
  }
  Trace("wait", name, status);
  return status;
}

}  // namespace lumo::kernel

using lumo::kernel::EngineOf;
using lumo::kernel::InitializeHeader;
using lumo::kernel::KernelObject;
using lumo::kernel::ObjectKind;
using lumo::kernel::SimThread;
using lumo::kernel::State;

// --- Events ----------------------------------------------------------------------------------

extern "C" void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN InitialState) {
  State& state = EngineOf("KeInitializeEvent");
  InitializeHeader(Event->Header,
                   Type == SynchronizationEvent ? lumo::kernel::kTypeSynchronizationEvent
                                                : lumo::kernel::kTypeNotificationEvent,
                   sizeof(KEVENT) / sizeof(LONG), InitialState ? 1 : 0);
  state.Register(reinterpret_cast<uintptr_t>(Event), ObjectKind::Event);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
  State& state = EngineOf("KeSetEvent");
  lumo::kernel::CheckAtMostDispatch(state, "KeSetEvent", __builtin_return_address(0));
  auto address = reinterpret_cast<uintptr_t>(Event);
  KernelObject& object = state.Expect(Event, ObjectKind::Event, "KeSetEvent");
  const LONG previous = Event->Header.SignalState;
  lumo::kernel::HappensBefore(Event);
  Event->Header.SignalState = 1;
  state.WakeWaiters(address, object);
  if (state.options.traceEveryCall) state.Trace("KeSetEvent", object.Name(), previous);
  state.SchedulePoint();
  return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  State& state = EngineOf("KeResetEvent");
  lumo::kernel::CheckAtMostDispatch(state, "KeResetEvent", __builtin_return_address(0));
  KernelObject& object = state.Expect(Event, ObjectKind::Event, "KeResetEvent");
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  if (state.options.traceEveryCall) state.Trace("KeResetEvent", object.Name(), previous);
  return previous;
}

extern "C" void NTAPI KeClearEvent(PRKEVENT Event) {
  State& state = EngineOf("KeClearEvent");
  state.Expect(Event, ObjectKind::Event, "KeClearEvent");
  Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  State& state = EngineOf("KeReadStateEvent");
  state.Expect(Event, ObjectKind::Event, "KeReadStateEvent");
  return Event->Header.SignalState;
}

// --- Semaphores ------------------------------------------------------------------------------

extern "C" void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  State& state = EngineOf("KeInitializeSemaphore");
  InitializeHeader(Semaphore->Header, lumo::kernel::kTypeSemaphore,
                   sizeof(KSEMAPHORE) / sizeof(LONG), Count);
  Semaphore->Limit = Limit;
  state.Register(reinterpret_cast<uintptr_t>(Semaphore), ObjectKind::Semaphore);
}

// Raising the count above the limit is a bugcheck on the platform (it raises
// STATUS_SEMAPHORE_LIMIT_EXCEEDED in the caller); here it is a verifier failure and the count
// stays as it was.
extern "C" LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, LONG Increment, LONG Adjustment,
                                         BOOLEAN Wait) {
  State& state = EngineOf("KeReleaseSemaphore");
  lumo::kernel::CheckAtMostDispatch(state, "KeReleaseSemaphore", __builtin_return_address(0));
  auto address = reinterpret_cast<uintptr_t>(Semaphore);
  KernelObject& object = state.Expect(Semaphore, ObjectKind::Semaphore, "KeReleaseSemaphore");
  const LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || static_cast<int64_t>(previous) + Adjustment > Semaphore->Limit) {
    char text[64];
    snprintf(text, sizeof text, " at %p", static_cast<void*>(Semaphore));
    state.sim.VerifierFailure(
        "semaphore-limit", "KeReleaseSemaphore by " + std::to_string(Adjustment) + " on " +
                               object.Name() + text + " with count " + std::to_string(previous) +
                               " and limit " + std::to_string(Semaphore->Limit) +
                               " (the platform raises STATUS_SEMAPHORE_LIMIT_EXCEEDED), called "
                               "from " + lumo::kernel::CodeName(__builtin_return_address(0)));
    return previous;
  }
  lumo::kernel::HappensBefore(Semaphore);
  Semaphore->Header.SignalState = previous + Adjustment;
  if (object.owner) {
    state.ReleasedLock(object.owner, address);
    object.owner = nullptr;
  }
  state.WakeWaiters(address, object);
  if (state.options.traceEveryCall) state.Trace("KeReleaseSemaphore", object.Name(), previous);
  state.SchedulePoint();
  return previous;
}

extern "C" LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  State& state = EngineOf("KeReadStateSemaphore");
  state.Expect(Semaphore, ObjectKind::Semaphore, "KeReadStateSemaphore");
  return Semaphore->Header.SignalState;
}

// --- Mutexes ---------------------------------------------------------------------------------

extern "C" void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  State& state = EngineOf("KeInitializeMutex");
  InitializeHeader(Mutex->Header, lumo::kernel::kTypeMutant, sizeof(KMUTEX) / sizeof(LONG), 1);
  InitializeListHead(&Mutex->MutantListEntry);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  state.Register(reinterpret_cast<uintptr_t>(Mutex), ObjectKind::Mutex);
}

extern "C" LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  State& state = EngineOf("KeReleaseMutex");
  lumo::kernel::CheckAtMostDispatch(state, "KeReleaseMutex", __builtin_return_address(0));
  auto address = reinterpret_cast<uintptr_t>(Mutex);
  KernelObject& object = state.Expect(Mutex, ObjectKind::Mutex, "KeReleaseMutex");
  SimThread* caller = state.Caller();
  const LONG previous = Mutex->Header.SignalState;
  if (object.owner != caller) {
    char text[64];
    snprintf(text, sizeof text, " at %p", static_cast<void*>(Mutex));
    state.sim.VerifierFailure(
        "mutex-owner", "KeReleaseMutex on " + object.Name() + text + " by " + caller->name +
                           ", which does not own it (owner: " +
                           (object.owner ? object.owner->name : std::string("none")) +
                           "), called from " +
                           lumo::kernel::CodeName(__builtin_return_address(0)));
    return previous;
  }
  ++Mutex->Header.SignalState;
  lumo::kernel::HappensBefore(Mutex);
  if (--object.recursion == 0) {
    object.owner = nullptr;
    Mutex->OwnerThread = nullptr;
    Mutex->Header.SignalState = 1;
    state.ReleasedLock(caller, address);
    state.WakeWaiters(address, object);
  }
  if (state.options.traceEveryCall) state.Trace("KeReleaseMutex", object.Name(), previous);
  state.SchedulePoint();
  return previous;
}

extern "C" LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
  State& state = EngineOf("KeReadStateMutex");
  state.Expect(Mutex, ObjectKind::Mutex, "KeReadStateMutex");
  return Mutex->Header.SignalState;
}

// --- Waits -----------------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
  State& state = EngineOf("KeWaitForSingleObject");
  return state.Wait(Object, Timeout, __builtin_return_address(0));
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
  State& state = EngineOf("KeDelayExecutionThread");
  const void* caller = __builtin_return_address(0);
  SimThread* thread = state.Current();
  if (!thread) {
    state.sim.VerifierFailure("host-wait", "KeDelayExecutionThread called by the host thread, "
                                           "outside any simulated thread, from " +
                                               lumo::kernel::CodeName(caller));
    return STATUS_SUCCESS;
  }
  const LONGLONG interval = Interval ? Interval->QuadPart : 0;
  if (thread->irql >= DISPATCH_LEVEL) {
    state.sim.VerifierFailure("irql", "KeDelayExecutionThread at IRQL " +
                                          std::to_string(thread->irql) + ", called from " +
                                          lumo::kernel::CodeName(caller));
  }
  const lumo::kernel::VirtualTime until = state.DueTimeToVirtual(interval);
  if (interval == 0 || until <= state.now) {
    state.SchedulePoint();
    return STATUS_SUCCESS;
  }
  thread->waitObject = 0;
  thread->waitWhat = "the end of a delay";
  thread->waitSite = caller;
  thread->waitTimed = true;
  thread->waitTimeoutKey = state.AddTimeline(
      until, {lumo::kernel::TimelineEntry::Kind::WaitTimeout, 0, thread, 0});
  state.Block();
  thread->waitWhat.clear();
  thread->waitSite = nullptr;
  state.Trace("delay", {}, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}
