// A busy machine for the stress test and the engine benchmark: client threads that wait on
// events and semaphores with time-outs, sleep, take a spin lock and a mutex-guarded path through
// work items; periodic timers whose DPCs feed them; a chain of scheduled events like a bus's;
// everything counted so the end state can be checked against what must have happened.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/simulation.h"

namespace lumo::kernel::stress {

constexpr int kTimers = 4;
constexpr LONG kTimerPeriodMs[kTimers] = {1, 5, 16, 33};
constexpr int kClients = 6;
constexpr int kWorkItems = 8;
constexpr VirtualTime kBusInterval = kMillisecond;
// The machine stops its timers this long after the end of the run: after every client's last
// wait (20 ms at most), and at an instant that is no multiple of any period, so the number of
// expirations is exact.
constexpr VirtualTime kStopOffset = 50 * kMillisecond + 500 * kMicrosecond;

struct Counters {
  uint64_t timerDpcs[kTimers] = {};
  uint64_t busEvents = 0;
  uint64_t busDpcs = 0;
  uint64_t workQueued = 0;
  uint64_t workRun = 0;
  uint64_t clientLoops = 0;
  uint64_t waitsSatisfied = 0;
  uint64_t waitsTimedOut = 0;
  uint64_t lockedIncrements = 0;  // plain increments under the spin lock
  LONG interlocked = 0;           // InterlockedIncrement count
  VirtualTime stoppedAt = 0;
};

struct Machine {
  Simulation* sim = nullptr;
  VirtualTime end = 0;
  Counters counters;
  KTIMER timers[kTimers];
  KDPC timerDpcs[kTimers];
  KDPC busDpc;
  KEVENT tick;
  KSEMAPHORE credits;
  KSPIN_LOCK lock;
  KMUTEX mutex;
  KEVENT clientsDone;
  LONG clientsRunning = kClients;
  LONG workInFlight = 0;
  struct Work {
    WORK_QUEUE_ITEM item;
    Machine* machine;
    bool busy;
  } work[kWorkItems];
  bool stopping = false;
};

inline LARGE_INTEGER Relative(VirtualTime delay) {
  LARGE_INTEGER value;
  value.QuadPart = -delay;
  return value;
}

inline void NTAPI TimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
  auto* m = static_cast<Machine*>(context);
  const int index = static_cast<int>(dpc - m->timerDpcs);
  ++m->counters.timerDpcs[index];
  switch (index) {
    case 0: KeSetEvent(&m->tick, 0, FALSE); break;
    case 1:
      if (KeReadStateSemaphore(&m->credits) < 1000) KeReleaseSemaphore(&m->credits, 0, 1, FALSE);
      break;
    default: {
      KeAcquireSpinLockAtDpcLevel(&m->lock);
      ++m->counters.lockedIncrements;
      KeReleaseSpinLockFromDpcLevel(&m->lock);
      break;
    }
  }
}

inline void NTAPI BusDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* m = static_cast<Machine*>(context);
  ++m->counters.busDpcs;
  InterlockedIncrement(&m->counters.interlocked);
}

inline void NTAPI WorkRoutine(PVOID context) {
  auto* work = static_cast<Machine::Work*>(context);
  Machine* m = work->machine;
  KeWaitForSingleObject(&m->mutex, Executive, KernelMode, FALSE, nullptr);
  LARGE_INTEGER pause = Relative(200 * kMicrosecond);
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  InterlockedIncrement(&m->counters.interlocked);
  ++m->counters.workRun;
  KeReleaseMutex(&m->mutex, FALSE);
  KIRQL old;
  KeAcquireSpinLock(&m->lock, &old);
  work->busy = false;
  KeReleaseSpinLock(&m->lock, old);
  InterlockedDecrement(&m->workInFlight);
}

inline void BusEvent(Machine* m, VirtualTime when) {
  ++m->counters.busEvents;
  if (m->counters.busEvents % 8 == 0) KeInsertQueueDpc(&m->busDpc, nullptr, nullptr);
  VirtualTime next = when + kBusInterval;
  if (next <= m->end) {
    m->sim->ScheduleAt(next, [m, next] { BusEvent(m, next); }, "bus");
  }
}

inline void Client(Machine* m, int index, uint64_t seed) {
  uint64_t state = seed;
  for (uint64_t loop = 0; m->sim->Now() < m->end; ++loop) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const uint64_t draw = state >> 33;
    NTSTATUS status = STATUS_SUCCESS;
    switch ((index + loop) % 3) {
      case 0: {
        LARGE_INTEGER timeout = Relative(static_cast<VirtualTime>(draw % 3000) * kMicrosecond);
        status = KeWaitForSingleObject(&m->tick, Executive, KernelMode, FALSE, &timeout);
        break;
      }
      case 1: {
        LARGE_INTEGER timeout = Relative(static_cast<VirtualTime>(draw % 20) * kMillisecond);
        status = KeWaitForSingleObject(&m->credits, Executive, KernelMode, FALSE, &timeout);
        break;
      }
      default: {
        LARGE_INTEGER pause = Relative(static_cast<VirtualTime>(100 + draw % 2900) * kMicrosecond);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        break;
      }
    }
    if (status == STATUS_SUCCESS) {
      ++m->counters.waitsSatisfied;
    } else {
      ++m->counters.waitsTimedOut;
    }
    KIRQL old;
    KeAcquireSpinLock(&m->lock, &old);
    ++m->counters.lockedIncrements;
    Machine::Work* free = nullptr;
    if (loop % 4 == 0) {
      for (auto& work : m->work) {
        if (!work.busy) {
          free = &work;
          work.busy = true;
          break;
        }
      }
    }
    KeReleaseSpinLock(&m->lock, old);
    for (int i = 0; i < 3; ++i) InterlockedIncrement(&m->counters.interlocked);
    if (free) {
      InterlockedIncrement(&m->workInFlight);
      ++m->counters.workQueued;
      ExQueueWorkItem(&free->item, loop % 8 == 0 ? DelayedWorkQueue : CriticalWorkQueue);
    }
    ++m->counters.clientLoops;
  }
  if (InterlockedDecrement(&m->clientsRunning) == 0) KeSetEvent(&m->clientsDone, 0, FALSE);
}

// Runs the machine for `duration` of virtual time and returns its counters.
inline Counters Run(Simulation& sim, VirtualTime duration) {
  auto machine = std::make_unique<Machine>();
  Machine* m = machine.get();
  m->sim = &sim;
  m->end = sim.Now() + duration;
  KeInitializeEvent(&m->tick, SynchronizationEvent, FALSE);
  KeInitializeSemaphore(&m->credits, 0, 1000);
  KeInitializeSpinLock(&m->lock);
  KeInitializeMutex(&m->mutex, 0);
  KeInitializeEvent(&m->clientsDone, NotificationEvent, FALSE);
  KeInitializeDpc(&m->busDpc, &BusDpc, m);
  for (auto& work : m->work) {
    work.machine = m;
    work.busy = false;
    ExInitializeWorkItem(&work.item, &WorkRoutine, &work);
  }
  for (int i = 0; i < kTimers; ++i) {
    KeInitializeTimer(&m->timers[i]);
    KeInitializeDpc(&m->timerDpcs[i], &TimerDpc, m);
    KeSetTimerEx(&m->timers[i], Relative(kTimerPeriodMs[i] * kMillisecond), kTimerPeriodMs[i],
                 &m->timerDpcs[i]);
  }
  const VirtualTime start = sim.Now();
  sim.ScheduleAt(start + kBusInterval, [m, start] { BusEvent(m, start + kBusInterval); }, "bus");
  for (int i = 0; i < kClients; ++i) {
    uint64_t seed = sim.DeriveSeed("stress.client" + std::to_string(i));
    sim.StartThread("client" + std::to_string(i), [m, i, seed] { Client(m, i, seed); });
  }
  sim.Run([m, &sim] {
    KeWaitForSingleObject(&m->clientsDone, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER until;
    KeQuerySystemTime(&until);
    until.QuadPart += m->end + kStopOffset - sim.Now();
    KeDelayExecutionThread(KernelMode, FALSE, &until);
    m->counters.stoppedAt = sim.Now();
    for (auto& timer : m->timers) KeCancelTimer(&timer);
    while (InterlockedExchangeAdd(&m->workInFlight, 0) != 0) {
      LARGE_INTEGER pause = Relative(kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
  });
  sim.RunUntilIdle();
  return m->counters;
}

}  // namespace lumo::kernel::stress
