// The engine's private state: simulated threads, the run queue, the timeline of virtual time,
// the bookkeeping of kernel objects (kept outside the driver's records, keyed by address), DPC
// and work queues, the trace and the verifier. Only platform/kernel's own engine files include
// this; the rest of platform/kernel uses internal.h.
//
// Everything here is touched by one host thread only (simulated threads are fibers on it), so
// nothing needs a host lock. "Current" below always means the simulated thread that runs now,
// or none while the host thread drives the machine between runs of simulated threads.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kernel/fiber.h"
#include "kernel/simulation.h"

#if defined(__SANITIZE_THREAD__) || defined(LUMO_TSAN)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace lumo::kernel {

// ThreadSanitizer sees simulated threads as fibers switched without synchronisation, so it
// reports two threads that touch the same data with nothing of the platform between them. What
// the platform does synchronise is announced here: a release on an object (signal, unlock,
// queue) happens before the acquire (satisfied wait, lock, dequeued run) on the same address.
// No effect in other builds.
inline void HappensBefore(const void* address) {
#if defined(__SANITIZE_THREAD__) || defined(LUMO_TSAN)
  __tsan_release(const_cast<void*>(address));
#else
  (void)address;
#endif
}
inline void HappensAfter(const void* address) {
#if defined(__SANITIZE_THREAD__) || defined(LUMO_TSAN)
  __tsan_acquire(const_cast<void*>(address));
#else
  (void)address;
#endif
}

// xoshiro256** seeded through splitmix64: small, fast, integer-only and the same everywhere.
class Random {
 public:
  explicit Random(uint64_t seed);
  uint64_t Next();
  // Uniform in [0, bound), bound > 0 (Lemire's multiply-shift with rejection).
  uint64_t Below(uint64_t bound);

 private:
  uint64_t s_[4];
};
uint64_t SplitMix64(uint64_t& state);

enum class ThreadKind { Client, Worker, Dpc };
enum class ThreadState { Runnable, Blocked, Finished };

// The platform's type codes in the headers of the records drivers embed: dispatcher objects
// (DISPATCHER_HEADER.Type) and DPCs (KDPC.Type).
constexpr UCHAR kTypeNotificationEvent = 0;
constexpr UCHAR kTypeSynchronizationEvent = 1;
constexpr UCHAR kTypeMutant = 2;
constexpr UCHAR kTypeSemaphore = 5;
constexpr UCHAR kTypeNotificationTimer = 8;
constexpr UCHAR kTypeSynchronizationTimer = 9;
constexpr CSHORT kTypeDpc = 0x13;

enum class ObjectKind : uint8_t { Event, Semaphore, Mutex, Timer, SpinLock, Dpc, WorkItem };
const char* ObjectKindName(ObjectKind kind);

// Lock identity for the order check: spin locks, mutexes and semaphores of limit 1.
struct HeldLock {
  uintptr_t address;
  uint64_t id;
  std::string name;        // e.g. "spinlock#4"
  const void* site;        // the code that took it
};

using TimelineKey = std::pair<VirtualTime, uint64_t>;  // due time, then order of setting

struct SimThread;
struct WorkQueue;

// Bookkeeping of one kernel object the driver embeds in its own memory.
struct KernelObject {
  ObjectKind kind;
  uint64_t id = 0;
  std::deque<SimThread*> waiters;  // dispatcher objects: first come, first served
  // Mutex (and semaphore of limit 1 as a lock): who holds it, and how often (mutex recursion).
  SimThread* owner = nullptr;
  int recursion = 0;
  // Spin lock.
  SimThread* spinOwner = nullptr;
  const void* spinSite = nullptr;
  // Timer.
  bool armed = false;
  TimelineKey timerKey{};
  LONG periodMs = 0;
  PKDPC timerDpc = nullptr;
  // DPC: queued on which processor.
  bool queued = false;
  int processor = 0;
  // Work item.
  WorkQueue* workQueue = nullptr;
  std::string name;  // "event#3": kind and id, fixed at initialisation
  const std::string& Name() const { return name; }
};

struct SimThread {
  Simulation* sim = nullptr;
  uint64_t id = 0;
  std::string name;
  ThreadKind kind = ThreadKind::Client;
  ThreadState state = ThreadState::Runnable;
  int processor = 0;  // DPC context of this processor runs the DPCs this thread queues
  Fiber fiber;
  std::function<void()> body;
  bool started = false;
  size_t runnableIndex = SIZE_MAX;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<const void*> floatingSaves;  // save areas, innermost last
  std::vector<HeldLock> held;
  // The current wait: what it waits on (for reports), the object, the outcome.
  std::string waitWhat;
  const void* waitSite = nullptr;
  uintptr_t waitObject = 0;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  bool waitTimed = false;
  TimelineKey waitTimeoutKey{};
  bool deadlockReported = false;
  bool cancelled = false;  // the machine is being torn down: unwind at the next resumption
  // DPC contexts: their queue. Workers: their queue.
  std::deque<struct DpcItem>* dpcQueue = nullptr;
  WorkQueue* workQueue = nullptr;
};

struct DpcItem {
  PKDPC dpc = nullptr;            // a KDPC, or
  Simulation::EventId event = 0;  // a scheduled event
};

struct WorkQueue {
  const char* name;
  std::deque<PWORK_QUEUE_ITEM> items;
  std::deque<SimThread*> idle;
};

struct ScheduledEvent {
  std::function<void()> action;
  std::string what;
  bool inTimeline = true;  // else waiting in dpc0's queue
  TimelineKey key{};
};

struct TimelineEntry {
  enum class Kind { TimerExpiry, WaitTimeout, Event } kind;
  uintptr_t object = 0;            // timer
  SimThread* thread = nullptr;     // wait time-out
  Simulation::EventId event = 0;   // scheduled event
};

struct Simulation::State {
  explicit State(Simulation& owner, SimulationOptions options);

  Simulation& sim;
  SimulationOptions options;
  Random random;
  VirtualTime now = 0;

  // --- Threads and the run queue --------------------------------------------------------------
  Fiber hostFiber;
  SimThread hostThread;  // IRQL, locks and floating point state of the host thread's calls
  Simulation* previousHostSimulation = nullptr;
  std::vector<std::unique_ptr<SimThread>> threads;  // in creation order
  std::vector<SimThread*> runnable;                 // includes the running thread
  uint64_t nextThreadId = 0;
  int nextClientProcessor = 0;
  SimThread* mainThread = nullptr;
  bool stopRequested = false;  // the host wants the CPU back (Run's body returned)
  bool driving = false;
  // ThreadSanitizer's view of hand-overs with the host: every simulated thread releases into
  // driveToken when it gives up the CPU, the host acquires it when a drive ends; the host
  // releases into hostFiber when a drive starts, every resumed thread acquires it.
  char driveToken = 0;

  // --- Time ----------------------------------------------------------------------------------
  std::map<TimelineKey, TimelineEntry> timeline;
  uint64_t timelineSequence = 0;
  bool pacingStarted = false;
  int64_t pacingWallStartNs = 0;
  VirtualTime pacingVirtualStart = 0;

  // --- Kernel objects, DPCs, work ------------------------------------------------------------
  std::map<uintptr_t, KernelObject> objects;
  uint64_t nextObjectId = 0;
  std::vector<std::deque<DpcItem>> dpcQueues;  // per processor
  std::vector<SimThread*> dpcThreads;
  WorkQueue criticalQueue{"critical", {}, {}};
  WorkQueue delayedQueue{"delayed", {}, {}};
  std::unordered_map<Simulation::EventId, ScheduledEvent> events;
  Simulation::EventId nextEventId = 0;

  // --- Lock order: first site seen for each ordered pair of lock ids ---------------------------
  std::map<std::pair<uint64_t, uint64_t>, std::string> lockOrder;
  std::map<std::pair<uint64_t, uint64_t>, bool> inversionReported;

  // --- Trace, verifier, components ----------------------------------------------------------
  std::vector<TraceEvent> trace;
  std::vector<VerifierReport> reports;
  std::vector<std::pair<std::type_index, std::unique_ptr<Component>>> components;
  bool tearingDown = false;
  bool cancelling = false;  // unwinding the threads that never finished

  // Scheduling.
  SimThread* Current() const;
  // The thread a kernel call is made on: the current simulated thread, or the host's record.
  SimThread* Caller();
  void CreateSystemThreads();
  SimThread* CreateThread(std::string name, ThreadKind kind, std::function<void()> body);
  void MakeRunnable(SimThread* thread);
  void RemoveRunnable(SimThread* thread);
  SimThread* Pick();
  // A scheduling point: maybe hands the CPU to another runnable thread; returns when the
  // calling thread runs again. No effect on the host thread.
  void SchedulePoint();
  // Blocks the current thread (its wait fields already say on what) until MakeRunnable.
  void Block();
  void SwitchAway(SimThread* from, bool final);
  void SwitchToThread(SimThread* from, SimThread* to);
  void Drive(int mode, VirtualTime limit);
  void ReapFinished();
  // Teardown: resumes every thread that never finished so that it unwinds its stack (its
  // destructors free what it holds) instead of being cut off.
  void CancelUnfinishedThreads();
  // After every switch back into a simulated thread: unwinds it if the teardown cancelled it.
  void Resumed();
  [[noreturn]] static void ThreadEntry(void* argument);
  void RunThreadBody(SimThread* thread);
  void RunClientBody(SimThread* thread);
  void CheckThreadClean(SimThread* thread, const std::string& what, KIRQL expected);
  bool NeedsCleanCheck(const SimThread* thread) const;
  bool IsIdleSystemThread(const SimThread* thread) const;

  // Time.
  TimelineKey AddTimeline(VirtualTime when, TimelineEntry entry);
  void FireEntry(const TimelineKey& key, const TimelineEntry& entry);
  // Processes everything due up to and including `until` in order, then sets now = until.
  void AdvanceTo(VirtualTime until);
  void Pace(VirtualTime target);
  // A wait or timer due time in the platform's encoding to a virtual instant.
  VirtualTime DueTimeToVirtual(LONGLONG due) const;

  // Objects.
  KernelObject& Register(uintptr_t address, ObjectKind kind);
  KernelObject* Find(uintptr_t address);
  KernelObject& Expect(void* object, ObjectKind kind, const char* call);
  KernelObject& ExpectDispatcher(void* object, const char* call);

  // Waits.
  NTSTATUS Wait(void* object, PLARGE_INTEGER timeout, const void* caller);
  bool TryAcquire(uintptr_t address, KernelObject& object, SimThread* thread);
  void Satisfy(KernelObject& object, SimThread* waiter, NTSTATUS status);
  void WakeWaiters(uintptr_t address, KernelObject& object);
  // The order check, when `thread` is about to take `object` (before it may have to wait),
  // and the bookkeeping once it holds it; `site` is the code that takes the lock.
  void CheckLockOrder(SimThread* thread, const KernelObject& object, const void* site);
  void AcquiredLock(SimThread* thread, uintptr_t address, const KernelObject& object,
                    const void* site);
  void ReleasedLock(SimThread* thread, uintptr_t address);
  void AcquireSpinLockOf(SimThread* thread, PKSPIN_LOCK lock, const void* site);
  void ReleaseSpinLockOf(SimThread* thread, uintptr_t address, KernelObject& object);
  void ReleaseSpinLockChecked(PKSPIN_LOCK lock, const void* site);

  // DPCs, work.
  void QueueDpc(PKDPC dpc, int processor);
  void DpcLoop(SimThread* self);
  void WorkerLoop(SimThread* self);

  // Reports.
  std::string Where() const;
  std::string DescribeWait(const SimThread* thread) const;
  void ReportDeadlock();
  void ReportStalled();
  void Trace(std::string_view event, std::string_view detail, int64_t result);
  void TeardownChecks();
};

using State = Simulation::State;
State& EngineOf(const char* call);
std::string CodeName(const void* address, bool withOffset = true);

}  // namespace lumo::kernel
