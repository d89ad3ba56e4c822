// Timers, DPCs, system work items, scheduled events' seam into the DPC contexts, and the time
// queries. A timer due time is kept in the engine's timeline (ordered by due time, then by the
// order of setting); a fired timer signals its header, wakes its waiters and queues its DPC on
// processor 0, where the clock interrupt would run it. A DPC queued by a thread goes to the
// DPC context of that thread's processor; work items go to the first idle worker of their
// queue.
#include <algorithm>
#include <cstdio>

#include "kernel/engine.h"
#include "kernel/internal.h"

namespace lumo::kernel {
namespace {

constexpr UCHAR kMediumImportance = 1;
// The platform's clock interrupt period, 15.625 ms in 100-ns units.
constexpr ULONG kTimeIncrement = 156250;

std::string At(const void* address) {
  char text[32];
  snprintf(text, sizeof text, " at %p", address);
  return text;
}

}  // namespace

void Simulation::State::QueueDpc(PKDPC dpc, int processor) {
  KernelObject* object = Find(reinterpret_cast<uintptr_t>(dpc));
  if (!object) return;
  object->queued = true;
  object->processor = processor;
  HappensBefore(dpc);
  dpcQueues[processor].push_back(DpcItem{dpc, 0});
  SimThread* context = dpcThreads[processor];
  if (context->state == ThreadState::Blocked) MakeRunnable(context);
}

void CheckNoKernelObjectsIn(const void* begin, size_t bytes) {
  Simulation* simulation = Simulation::CurrentOrNull();
  if (!simulation) return;
  State& state = simulation->state();
  const auto first = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t last = first + bytes;
  for (auto it = state.objects.lower_bound(first); it != state.objects.end() && it->first < last;
       ++it) {
    KernelObject& object = it->second;
    const void* address = reinterpret_cast<const void*>(it->first);
    if (object.kind == ObjectKind::Timer && object.armed) {
      state.sim.VerifierFailure("freed-while-queued", "memory freed while " + object.Name() +
                                                          At(address) + " inside it is still set");
    }
    if ((object.kind == ObjectKind::Dpc || object.kind == ObjectKind::WorkItem) && object.queued) {
      state.sim.VerifierFailure("freed-while-queued", "memory freed while " + object.Name() +
                                                          At(address) +
                                                          " inside it is still queued");
    }
    if (!object.waiters.empty()) {
      state.sim.VerifierFailure("freed-while-queued",
                                "memory freed while " + object.waiters.front()->name +
                                    " waits for " + object.Name() + At(address) + " inside it");
    }
    if (object.spinOwner) {
      state.sim.VerifierFailure("freed-while-queued", "memory freed while " +
                                                          object.spinOwner->name + " holds " +
                                                          object.Name() + At(address));
    }
  }
}

void ForgetKernelObjectsIn(const void* begin, size_t bytes) {
  Simulation* simulation = Simulation::CurrentOrNull();
  if (!simulation) return;
  State& state = simulation->state();
  const auto first = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t last = first + bytes;
  auto inside = [&](const void* address) {
    auto value = reinterpret_cast<uintptr_t>(address);
    return value >= first && value < last;
  };
  // Nothing may reach into the memory any more: disarm, unqueue, then forget.
  for (auto& queue : state.dpcQueues) {
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const DpcItem& item) { return item.dpc && inside(item.dpc); }),
                queue.end());
  }
  for (WorkQueue* queue : {&state.criticalQueue, &state.delayedQueue}) {
    auto& items = queue->items;
    items.erase(std::remove_if(items.begin(), items.end(), inside), items.end());
  }
  auto it = state.objects.lower_bound(first);
  while (it != state.objects.end() && it->first < last) {
    if (it->second.armed) state.timeline.erase(it->second.timerKey);
    it = state.objects.erase(it);
  }
}

}  // namespace lumo::kernel

using lumo::kernel::EngineOf;
using lumo::kernel::KernelObject;
using lumo::kernel::ObjectKind;
using lumo::kernel::SimThread;
using lumo::kernel::State;
using lumo::kernel::TimelineEntry;

// --- Timers ----------------------------------------------------------------------------------

extern "C" void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  State& state = EngineOf("KeInitializeTimerEx");
  Timer->Header.Type = static_cast<UCHAR>(lumo::kernel::kTypeNotificationTimer + Type);
  Timer->Header.Absolute = FALSE;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  state.Register(reinterpret_cast<uintptr_t>(Timer), ObjectKind::Timer);
}

extern "C" void NTAPI KeInitializeTimer(PKTIMER Timer) {
  KeInitializeTimerEx(Timer, NotificationTimer);
}

extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period,
                                      PKDPC Dpc) {
  State& state = EngineOf("KeSetTimerEx");
  auto address = reinterpret_cast<uintptr_t>(Timer);
  KernelObject& object = state.Expect(Timer, ObjectKind::Timer, "KeSetTimer");
  if (Dpc) state.Expect(Dpc, ObjectKind::Dpc, "KeSetTimer (its DPC)");
  KernelObject& timer = *state.Find(address);
  const bool wasSet = timer.armed;
  if (wasSet) state.timeline.erase(timer.timerKey);
  const lumo::kernel::VirtualTime due = state.DueTimeToVirtual(DueTime.QuadPart);
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = TRUE;
  Timer->DueTime.QuadPart = state.options.systemTimeAtStart + due;
  Timer->Dpc = Dpc;
  Timer->Period = Period > 0 ? Period : 0;
  timer.armed = true;
  timer.periodMs = Timer->Period;
  timer.timerDpc = Dpc;
  timer.timerKey = state.AddTimeline(due, {TimelineEntry::Kind::TimerExpiry, address, nullptr, 0});
  lumo::kernel::HappensBefore(Timer);
  if (state.options.traceEveryCall) state.Trace("KeSetTimer", object.Name(), due);
  state.SchedulePoint();
  return wasSet;
}

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  State& state = EngineOf("KeCancelTimer");
  KernelObject& timer = state.Expect(Timer, ObjectKind::Timer, "KeCancelTimer");
  const bool wasSet = timer.armed;
  if (wasSet) state.timeline.erase(timer.timerKey);
  timer.armed = false;
  Timer->Header.Inserted = FALSE;
  if (state.options.traceEveryCall) state.Trace("KeCancelTimer", timer.Name(), wasSet);
  state.SchedulePoint();
  return wasSet;
}

extern "C" BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  State& state = EngineOf("KeReadStateTimer");
  state.Expect(Timer, ObjectKind::Timer, "KeReadStateTimer");
  return Timer->Header.SignalState > 0;
}

// --- DPCs ------------------------------------------------------------------------------------

extern "C" void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                      PVOID DeferredContext) {
  State& state = EngineOf("KeInitializeDpc");
  Dpc->Type = lumo::kernel::kTypeDpc;
  Dpc->Number = 0;
  Dpc->Importance = lumo::kernel::kMediumImportance;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->Lock = nullptr;
  state.Register(reinterpret_cast<uintptr_t>(Dpc), ObjectKind::Dpc);
}

extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                          PVOID SystemArgument2) {
  State& state = EngineOf("KeInsertQueueDpc");
  KernelObject& object = state.Expect(Dpc, ObjectKind::Dpc, "KeInsertQueueDpc");
  if (object.queued) {
    state.SchedulePoint();
    return FALSE;
  }
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  SimThread* caller = state.Caller();
  state.QueueDpc(Dpc, caller->processor % static_cast<int>(state.dpcQueues.size()));
  if (state.options.traceEveryCall) state.Trace("KeInsertQueueDpc", object.Name(), TRUE);
  state.SchedulePoint();
  return TRUE;
}

extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  State& state = EngineOf("KeRemoveQueueDpc");
  KernelObject& object = state.Expect(Dpc, ObjectKind::Dpc, "KeRemoveQueueDpc");
  if (!object.queued) return FALSE;
  auto& queue = state.dpcQueues[object.processor];
  for (auto item = queue.begin(); item != queue.end(); ++item) {
    if (item->dpc == Dpc) {
      queue.erase(item);
      break;
    }
  }
  object.queued = false;
  return TRUE;
}

// --- Work items ------------------------------------------------------------------------------

extern "C" void NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  State& state = EngineOf("ExQueueWorkItem");
  auto address = reinterpret_cast<uintptr_t>(WorkItem);
  SimThread* caller = state.Caller();
  if (caller->irql > DISPATCH_LEVEL) {
    state.sim.VerifierFailure("irql", "ExQueueWorkItem at IRQL " + std::to_string(caller->irql) +
                                          ", called from " +
                                          lumo::kernel::CodeName(__builtin_return_address(0)));
  }
  KernelObject* object = state.Find(address);
  if (!object || object->kind != ObjectKind::WorkItem) {
    object = &state.Register(address, ObjectKind::WorkItem);
  } else if (object->queued) {
    state.sim.VerifierFailure("workitem-requeued",
                              "ExQueueWorkItem on " + object->Name() + lumo::kernel::At(WorkItem) +
                                  ", which is still queued, called from " +
                                  lumo::kernel::CodeName(__builtin_return_address(0)));
    return;
  }
  lumo::kernel::WorkQueue& queue =
      QueueType == DelayedWorkQueue ? state.delayedQueue : state.criticalQueue;
  object->queued = true;
  object->workQueue = &queue;
  WorkItem->List.Flink = &WorkItem->List;  // marks it queued, as the platform's list link would
  lumo::kernel::HappensBefore(WorkItem);
  queue.items.push_back(WorkItem);
  if (!queue.idle.empty()) {
    SimThread* worker = queue.idle.front();
    queue.idle.pop_front();
    state.MakeRunnable(worker);
  }
  if (state.options.traceEveryCall) state.Trace("ExQueueWorkItem", object->Name(), QueueType);
  state.SchedulePoint();
}

// --- Time ------------------------------------------------------------------------------------

extern "C" void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  State& state = EngineOf("KeQuerySystemTime");
  CurrentTime->QuadPart = state.options.systemTimeAtStart + state.now;
}

extern "C" void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
  State& state = EngineOf("KeQueryTickCount");
  TickCount->QuadPart = state.now / lumo::kernel::kTimeIncrement;
}

extern "C" ULONG NTAPI KeQueryTimeIncrement(void) { return lumo::kernel::kTimeIncrement; }

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(void) {
  return static_cast<ULONGLONG>(EngineOf("KeQueryInterruptTime").now);
}

// A stall is a busy wait: the caller keeps the CPU while virtual time moves on by the stall.
// Timers and events that fall due meanwhile fire at their own instants (their DPCs and waiters
// become runnable), but nothing else runs until the stalling thread reaches its next
// scheduling point. This is the one place where time moves while a thread is runnable.
extern "C" void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  State& state = EngineOf("KeStallExecutionProcessor");
  state.AdvanceTo(state.now + static_cast<lumo::kernel::VirtualTime>(MicroSeconds) *
                                  lumo::kernel::kMicrosecond);
  state.SchedulePoint();
}
