// The machine itself: the run queue and its seeded choices, the fibers of the simulated
// threads, the timeline that moves virtual time, the DPC contexts and work queue workers, the
// trace, the verifier's reporting and the components. The kernel calls built on it live in
// dispatcher.cpp (waits and dispatcher objects), timers.cpp (timers, DPCs, work items, time)
// and locks.cpp (IRQL, spin locks, interlocked operations, floating point, assertions).
#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "kernel/engine.h"
#include "kernel/internal.h"

namespace lumo::kernel {
namespace {

// The simulated thread running on this host thread (none while the host drives), and the
// simulation the host thread works with.
thread_local SimThread* t_thread = nullptr;
thread_local Simulation* t_hostSimulation = nullptr;

enum DriveMode { kDriveRun, kDriveFor, kDriveUntilIdle };

// Thrown into a thread that the teardown resumes, to unwind it; caught at the thread's base.
struct ThreadCancelled {};

std::string FormatTime(VirtualTime time) {
  char text[48];
  const char* sign = time < 0 ? "-" : "";
  uint64_t magnitude = time < 0 ? 0 - static_cast<uint64_t>(time) : static_cast<uint64_t>(time);
  snprintf(text, sizeof text, "%s%" PRIu64 ".%07" PRIu64, sign, magnitude / kSecond,
           magnitude % kSecond);
  return text;
}

}  // namespace

// --- Random ----------------------------------------------------------------------------------

uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

Random::Random(uint64_t seed) {
  uint64_t state = seed;
  for (uint64_t& word : s_) word = SplitMix64(state);
}

uint64_t Random::Next() {
  auto rotl = [](uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
  const uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

uint64_t Random::Below(uint64_t bound) {
  unsigned __int128 product = static_cast<unsigned __int128>(Next()) * bound;
  uint64_t low = static_cast<uint64_t>(product);
  if (low < bound) {
    const uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      product = static_cast<unsigned __int128>(Next()) * bound;
      low = static_cast<uint64_t>(product);
    }
  }
  return static_cast<uint64_t>(product >> 64);
}

// --- Names -----------------------------------------------------------------------------------

const char* ObjectKindName(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::Event: return "event";
    case ObjectKind::Semaphore: return "semaphore";
    case ObjectKind::Mutex: return "mutex";
    case ObjectKind::Timer: return "timer";
    case ObjectKind::SpinLock: return "spinlock";
    case ObjectKind::Dpc: return "dpc";
    case ObjectKind::WorkItem: return "workitem";
  }
  return "object";
}

std::string CodeName(const void* address, bool withOffset) {
  static thread_local std::unordered_map<const void*, std::string> cache[2];
  auto& names = cache[withOffset ? 1 : 0];
  auto found = names.find(address);
  if (found != names.end()) return found->second;
  std::string name;
  Dl_info info{};
  char text[64];
  if (address && dladdr(address, &info) && info.dli_sname) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    name = status == 0 && demangled ? demangled : info.dli_sname;
    free(demangled);
    // Keep the function's name, not its parameter list.
    if (size_t paren = name.find('('); paren != std::string::npos && paren > 0) name.resize(paren);
    if (withOffset) {
      snprintf(text, sizeof text, "+0x%zx",
               static_cast<size_t>(static_cast<const char*>(address) -
                                   static_cast<const char*>(info.dli_saddr)));
      name += text;
    }
  } else if (address && info.dli_fname) {
    const char* base = strrchr(info.dli_fname, '/');
    snprintf(text, sizeof text, "+0x%zx",
             static_cast<size_t>(static_cast<const char*>(address) -
                                 static_cast<const char*>(info.dli_fbase)));
    name = std::string(base ? base + 1 : info.dli_fname) + text;
  } else {
    name = address ? "unknown code" : "nowhere";
  }
  names.emplace(address, name);
  return name;
}

std::string DescribeCodeAddress(const void* address) { return CodeName(address, true); }

std::string CurrentThreadName() {
  return t_thread ? t_thread->name : std::string("host");
}

State& EngineOf(const char* call) {
  Simulation* simulation = Simulation::CurrentOrNull();
  if (!simulation) {
    fprintf(stderr, "%s called with no simulation running on this thread\n", call);
    abort();
  }
  return simulation->state();
}

// --- State -----------------------------------------------------------------------------------

Simulation::State::State(Simulation& owner, SimulationOptions opts)
    : sim(owner), options(std::move(opts)), random(options.seed) {
  options.processors = std::max(1, options.processors);
  options.criticalWorkers = std::max(1, options.criticalWorkers);
  options.delayedWorkers = std::max(1, options.delayedWorkers);
  hostThread.sim = &sim;
  hostThread.name = "host";
}

SimThread* Simulation::State::Current() const { return t_thread; }

SimThread* Simulation::State::Caller() { return t_thread ? t_thread : &hostThread; }

void Simulation::State::CreateSystemThreads() {
  dpcQueues.resize(options.processors);
  for (int processor = 0; processor < options.processors; ++processor) {
    SimThread* thread = CreateThread("dpc" + std::to_string(processor), ThreadKind::Dpc, nullptr);
    thread->processor = processor;
    thread->irql = DISPATCH_LEVEL;
    thread->dpcQueue = &dpcQueues[processor];
    thread->state = ThreadState::Blocked;
    thread->waitWhat = "its DPC queue";
    dpcThreads.push_back(thread);
  }
  for (int i = 0; i < options.criticalWorkers + options.delayedWorkers; ++i) {
    bool critical = i < options.criticalWorkers;
    WorkQueue& queue = critical ? criticalQueue : delayedQueue;
    int index = critical ? i : i - options.criticalWorkers;
    SimThread* thread =
        CreateThread(std::string(queue.name) + std::to_string(index), ThreadKind::Worker, nullptr);
    thread->workQueue = &queue;
    thread->state = ThreadState::Blocked;
    thread->waitWhat = "its work queue";
    queue.idle.push_back(thread);
  }
}

SimThread* Simulation::State::CreateThread(std::string name, ThreadKind kind,
                                           std::function<void()> body) {
  auto thread = std::make_unique<SimThread>();
  thread->sim = &sim;
  thread->id = nextThreadId++;
  thread->name = std::move(name);
  thread->kind = kind;
  thread->body = std::move(body);
  thread->state = ThreadState::Blocked;
  if (kind != ThreadKind::Dpc) {
    thread->processor = nextClientProcessor;
    nextClientProcessor = (nextClientProcessor + 1) % options.processors;
  }
  thread->fiber.Create(options.threadStackBytes, &State::ThreadEntry, thread.get());
  HappensBefore(thread.get());
  SimThread* raw = thread.get();
  threads.push_back(std::move(thread));
  return raw;
}

void Simulation::State::MakeRunnable(SimThread* thread) {
  if (thread->state == ThreadState::Runnable) return;
  thread->state = ThreadState::Runnable;
  thread->runnableIndex = runnable.size();
  runnable.push_back(thread);
}

void Simulation::State::RemoveRunnable(SimThread* thread) {
  if (thread->runnableIndex >= runnable.size() || runnable[thread->runnableIndex] != thread) return;
  SimThread* last = runnable.back();
  runnable[thread->runnableIndex] = last;
  last->runnableIndex = thread->runnableIndex;
  runnable.pop_back();
  thread->runnableIndex = SIZE_MAX;
}

SimThread* Simulation::State::Pick() {
  if (runnable.size() == 1) return runnable[0];
  return runnable[random.Below(runnable.size())];
}

void Simulation::State::SwitchToThread(SimThread* from, SimThread* to) {
  HappensBefore(&driveToken);
  t_thread = to;
  Fiber::Switch(from->fiber, to->fiber);
  // Whoever switched back here set t_thread to `from`.
  Resumed();
}

void Simulation::State::Resumed() {
  HappensAfter(&hostFiber);  // what the host did before this drive
  if (t_thread && t_thread->cancelled) throw ThreadCancelled{};
}

void Simulation::State::CancelUnfinishedThreads() {
  cancelling = true;
  for (const auto& thread : threads) {
    if (!thread->started || thread->state == ThreadState::Finished) continue;
    thread->cancelled = true;
    t_thread = thread.get();
    Fiber::Switch(hostFiber, thread->fiber);
    t_thread = nullptr;
  }
}

void Simulation::State::SchedulePoint() {
  SimThread* current = t_thread;
  if (!current || runnable.size() <= 1) return;
  SimThread* next = runnable[random.Below(runnable.size())];
  if (next != current) SwitchToThread(current, next);
}

void Simulation::State::Block() {
  SimThread* current = t_thread;
  current->state = ThreadState::Blocked;
  RemoveRunnable(current);
  SwitchAway(current, false);
}

void Simulation::State::SwitchAway(SimThread* from, bool final) {
  HappensBefore(&driveToken);  // what it did so far is seen by the host when the drive ends
  SimThread* next = (stopRequested || cancelling || runnable.empty()) ? nullptr : Pick();
  t_thread = next;
  Fiber& target = next ? next->fiber : hostFiber;
  if (final) Fiber::SwitchFinal(from->fiber, target);
  Fiber::Switch(from->fiber, target);
  Resumed();
}

void Simulation::State::ThreadEntry(void* argument) {
  Fiber::EnterFirstTime();
  auto* thread = static_cast<SimThread*>(argument);
  State& state = thread->sim->state();
  HappensAfter(thread);
  HappensAfter(&state.hostFiber);
  state.RunThreadBody(thread);
  // Client threads come back when their body returns; workers and DPC contexts loop for the
  // machine's life and come back only when the teardown cancels them.
  if (!thread->cancelled) {
    state.CheckThreadClean(thread, "thread", PASSIVE_LEVEL);
    state.Trace("thread.end", thread->name, 0);
  }
  thread->body = nullptr;
  thread->state = ThreadState::Finished;
  state.RemoveRunnable(thread);
  if (thread == state.mainThread) state.stopRequested = true;
  state.SwitchAway(thread, true);
  abort();
}

void Simulation::State::RunThreadBody(SimThread* thread) {
  thread->started = true;
  try {
    switch (thread->kind) {
      case ThreadKind::Dpc: DpcLoop(thread); break;
      case ThreadKind::Worker: WorkerLoop(thread); break;
      case ThreadKind::Client: RunClientBody(thread); break;
    }
  } catch (const ThreadCancelled&) {
  }
}

void Simulation::State::RunClientBody(SimThread* thread) {
  try {
    thread->body();
  } catch (const ThreadCancelled&) {
    throw;
  } catch (const std::exception& error) {
    sim.VerifierFailure("exception",
                        "thread " + thread->name + " ended with an exception: " + error.what());
  } catch (...) {
    sim.VerifierFailure("exception", "thread " + thread->name + " ended with an exception");
  }
}

void Simulation::State::ReapFinished() {
  if (t_thread) return;
  auto finished = [this](const std::unique_ptr<SimThread>& thread) {
    return thread->state == ThreadState::Finished && thread.get() != mainThread;
  };
  threads.erase(std::remove_if(threads.begin(), threads.end(), finished), threads.end());
}

void Simulation::State::CheckThreadClean(SimThread* thread, const std::string& what,
                                         KIRQL expected) {
  if (thread->irql != expected) {
    sim.VerifierFailure("irql", what + " returned at IRQL " + std::to_string(thread->irql) +
                                    ", expected " + std::to_string(expected));
    thread->irql = expected;
  }
  for (size_t i = thread->held.size(); i-- > 0;) {
    HeldLock lock = thread->held[i];
    KernelObject* object = Find(lock.address);
    if (!object) continue;
    if (object->kind == ObjectKind::SpinLock && object->spinOwner == thread) {
      sim.VerifierFailure("lock-held", what + " returned holding " + lock.name + " (taken in " +
                                           CodeName(lock.site) + ")");
      ReleaseSpinLockOf(thread, lock.address, *object);
    } else if (object->kind == ObjectKind::Mutex && object->owner == thread) {
      sim.VerifierFailure("lock-held", what + " returned owning " + lock.name + " (taken in " +
                                           CodeName(lock.site) + ")");
    }
  }
  if (!thread->floatingSaves.empty()) {
    sim.VerifierFailure("floating-point", what + " returned with " +
                                              std::to_string(thread->floatingSaves.size()) +
                                              " floating point state(s) saved and not restored");
    thread->floatingSaves.clear();
  }
}

void Simulation::State::DpcLoop(SimThread* self) {
  for (;;) {
    std::deque<DpcItem>& queue = *self->dpcQueue;
    if (queue.empty()) {
      self->waitWhat = "its DPC queue";
      Block();
      continue;
    }
    DpcItem item = queue.front();
    queue.pop_front();
    self->waitWhat.clear();
    if (item.dpc) {
      PKDPC dpc = item.dpc;
      KernelObject* object = Find(reinterpret_cast<uintptr_t>(dpc));
      if (!object || object->kind != ObjectKind::Dpc) continue;
      object->queued = false;
      HappensAfter(dpc);
      Trace("dpc", object->Name(), 0);
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
      if (NeedsCleanCheck(self)) {
        CheckThreadClean(self, "DPC routine " + CodeName(reinterpret_cast<const void*>(
                                                    dpc->DeferredRoutine), false),
                         DISPATCH_LEVEL);
      }
    } else {
      auto found = events.find(item.event);
      if (found == events.end()) continue;
      HappensAfter(&found->second);
      std::function<void()> action = std::move(found->second.action);
      std::string what = std::move(found->second.what);
      events.erase(found);
      Trace("event", what, 0);
      action();
      if (NeedsCleanCheck(self)) CheckThreadClean(self, "event " + what, DISPATCH_LEVEL);
    }
    SchedulePoint();
  }
}

void Simulation::State::WorkerLoop(SimThread* self) {
  WorkQueue& queue = *self->workQueue;
  for (;;) {
    if (queue.items.empty()) {
      if (std::find(queue.idle.begin(), queue.idle.end(), self) == queue.idle.end()) {
        queue.idle.push_back(self);
      }
      self->waitWhat = "its work queue";
      Block();
      continue;
    }
    self->waitWhat.clear();
    PWORK_QUEUE_ITEM item = queue.items.front();
    queue.items.pop_front();
    KernelObject* object = Find(reinterpret_cast<uintptr_t>(item));
    std::string name = object ? object->Name() : "workitem";
    if (object) object->queued = false;
    HappensAfter(item);
    item->List.Flink = nullptr;
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    Trace("workitem", name, 0);
    routine(item->Parameter);  // may free the item
    if (NeedsCleanCheck(self)) {
      CheckThreadClean(self, "work routine " + CodeName(reinterpret_cast<const void*>(routine),
                                                        false),
                       PASSIVE_LEVEL);
    }
    SchedulePoint();
  }
}

bool Simulation::State::NeedsCleanCheck(const SimThread* thread) const {
  return thread->irql != (thread->kind == ThreadKind::Dpc ? DISPATCH_LEVEL : PASSIVE_LEVEL) ||
         !thread->held.empty() || !thread->floatingSaves.empty();
}

void Simulation::State::Drive(int mode, VirtualTime limit) {
  if (t_thread) {
    fprintf(stderr, "simulation: Run/RunFor/RunUntilIdle called from simulated thread %s\n",
            t_thread->name.c_str());
    abort();
  }
  if (driving) {
    fprintf(stderr, "simulation: Run/RunFor/RunUntilIdle called while the machine runs\n");
    abort();
  }
  driving = true;
  stopRequested = false;
  HappensBefore(&hostFiber);
  const VirtualTime runLimit = options.runVirtualTimeMax > INT64_MAX - now
                                   ? INT64_MAX
                                   : now + options.runVirtualTimeMax;
  for (;;) {
    ReapFinished();
    if (mode == kDriveRun && mainThread->state == ThreadState::Finished) break;
    if (!runnable.empty()) {
      SimThread* next = Pick();
      t_thread = next;
      Fiber::Switch(hostFiber, next->fiber);
      t_thread = nullptr;
      continue;
    }
    if (timeline.empty()) {
      if (mode == kDriveRun) ReportDeadlock();
      if (mode == kDriveFor && now < limit) now = limit;
      break;
    }
    VirtualTime due = timeline.begin()->first.first;
    if (mode == kDriveFor && due > limit) {
      now = std::max(now, limit);
      break;
    }
    if (mode == kDriveRun && due > runLimit) {
      ReportStalled();
      break;
    }
    Pace(due);
    AdvanceTo(due);
  }
  stopRequested = false;
  driving = false;
  // The host reads what the simulated threads left behind once the drive is over.
  HappensAfter(&driveToken);
}

// --- Time ------------------------------------------------------------------------------------

TimelineKey Simulation::State::AddTimeline(VirtualTime when, TimelineEntry entry) {
  TimelineKey key{std::max(when, now), timelineSequence++};
  timeline.emplace(key, entry);
  return key;
}

void Simulation::State::AdvanceTo(VirtualTime until) {
  while (!timeline.empty() && timeline.begin()->first.first <= until) {
    auto first = timeline.begin();
    now = std::max(now, first->first.first);
    TimelineEntry entry = first->second;
    TimelineKey key = first->first;
    timeline.erase(first);
    FireEntry(key, entry);
  }
  now = std::max(now, until);
}

void Simulation::State::FireEntry(const TimelineKey& key, const TimelineEntry& entry) {
  switch (entry.kind) {
    case TimelineEntry::Kind::TimerExpiry: {
      KernelObject* object = Find(entry.object);
      if (!object || object->kind != ObjectKind::Timer || !object->armed ||
          object->timerKey != key) {
        return;
      }
      auto* timer = reinterpret_cast<PKTIMER>(entry.object);
      HappensAfter(timer);
      HappensBefore(timer);
      object->armed = false;
      timer->Header.Inserted = FALSE;
      timer->Header.SignalState = 1;
      Trace("timer.fire", object->Name(), 0);
      PKDPC dpc = object->timerDpc;
      if (object->periodMs > 0) {
        object->armed = true;
        timer->Header.Inserted = TRUE;
        VirtualTime next = key.first + static_cast<VirtualTime>(object->periodMs) * kMillisecond;
        timer->DueTime.QuadPart = options.systemTimeAtStart + next;
        object->timerKey = AddTimeline(next, {TimelineEntry::Kind::TimerExpiry, entry.object,
                                              nullptr, 0});
      }
      WakeWaiters(entry.object, *object);
      if (dpc) {
        KernelObject* dpcObject = Find(reinterpret_cast<uintptr_t>(dpc));
        if (dpcObject && dpcObject->kind == ObjectKind::Dpc && !dpcObject->queued) {
          LARGE_INTEGER systemTime;
          systemTime.QuadPart = options.systemTimeAtStart + now;
          dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(systemTime.u.LowPart));
          dpc->SystemArgument2 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(
              static_cast<ULONG>(systemTime.u.HighPart)));
          QueueDpc(dpc, 0);
        }
      }
      return;
    }
    case TimelineEntry::Kind::WaitTimeout: {
      SimThread* thread = entry.thread;
      if (thread->state != ThreadState::Blocked || !thread->waitTimed ||
          thread->waitTimeoutKey != key) {
        return;
      }
      thread->waitTimed = false;
      if (thread->waitObject) {
        if (KernelObject* object = Find(thread->waitObject)) {
          auto& waiters = object->waiters;
          waiters.erase(std::remove(waiters.begin(), waiters.end(), thread), waiters.end());
        }
        thread->waitStatus = STATUS_TIMEOUT;
      } else {
        thread->waitStatus = STATUS_SUCCESS;  // a delay that ran its course
      }
      MakeRunnable(thread);
      return;
    }
    case TimelineEntry::Kind::Event: {
      auto found = events.find(entry.event);
      if (found == events.end()) return;
      found->second.inTimeline = false;
      dpcQueues[0].push_back(DpcItem{nullptr, entry.event});
      if (dpcThreads[0]->state == ThreadState::Blocked) MakeRunnable(dpcThreads[0]);
      return;
    }
  }
}

void Simulation::State::Pace(VirtualTime target) {
  if (!options.realtimePacing) return;
  using Clock = std::chrono::steady_clock;
  const int64_t wallNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  if (!pacingStarted) {
    pacingStarted = true;
    pacingWallStartNs = wallNs;
    pacingVirtualStart = now;
  }
  const int64_t targetNs = pacingWallStartNs + (target - pacingVirtualStart) * 100;
  if (targetNs > wallNs) std::this_thread::sleep_for(std::chrono::nanoseconds(targetNs - wallNs));
}

VirtualTime Simulation::State::DueTimeToVirtual(LONGLONG due) const {
  if (due < 0) {
    if (due == INT64_MIN) return INT64_MAX;
    VirtualTime relative = -due;
    return relative > INT64_MAX - now ? INT64_MAX : now + relative;
  }
  return std::max<VirtualTime>(now, due - options.systemTimeAtStart);
}

// --- Objects ---------------------------------------------------------------------------------

KernelObject& Simulation::State::Register(uintptr_t address, ObjectKind kind) {
  auto [it, inserted] = objects.try_emplace(address);
  KernelObject& object = it->second;
  if (!inserted) {
    if (!object.waiters.empty()) {
      sim.VerifierFailure("reinitialized",
                          object.Name() + " initialised again while " +
                              std::to_string(object.waiters.size()) + " thread(s) wait on it");
    }
    if (object.armed) {
      sim.VerifierFailure("reinitialized", object.Name() + " initialised again while it is set");
      timeline.erase(object.timerKey);
    }
    if (object.queued && object.kind == ObjectKind::Dpc) {
      sim.VerifierFailure("reinitialized",
                          object.Name() + " initialised again while it is queued");
      auto& queue = dpcQueues[object.processor];
      for (auto entry = queue.begin(); entry != queue.end(); ++entry) {
        if (reinterpret_cast<uintptr_t>(entry->dpc) == address) {
          queue.erase(entry);
          break;
        }
      }
    }
    if (object.spinOwner) {
      sim.VerifierFailure("reinitialized", object.Name() + " initialised again while " +
                                               object.spinOwner->name + " holds it");
    }
  }
  object = KernelObject{};
  object.kind = kind;
  object.id = ++nextObjectId;
  object.name = std::string(ObjectKindName(kind)) + "#" + std::to_string(object.id);
  return object;
}

KernelObject* Simulation::State::Find(uintptr_t address) {
  auto found = objects.find(address);
  return found == objects.end() ? nullptr : &found->second;
}

KernelObject& Simulation::State::Expect(void* object, ObjectKind kind, const char* call) {
  auto address = reinterpret_cast<uintptr_t>(object);
  KernelObject* found = Find(address);
  if (found && found->kind == kind) return *found;
  char text[160];
  snprintf(text, sizeof text, "%s on %p, which was never initialised as a %s", call, object,
           ObjectKindName(kind));
  sim.VerifierFailure("uninitialized-object", text);
  return Register(address, kind);
}

// --- Reports ---------------------------------------------------------------------------------

std::string Simulation::State::Where() const {
  return "thread " + CurrentThreadName() + " at " + FormatTime(now) + " s";
}

std::string Simulation::State::DescribeWait(const SimThread* thread) const {
  std::string text = thread->name;
  if (thread->waitObject) {
    auto found = objects.find(thread->waitObject);
    std::string name = found == objects.end() ? "a forgotten object" : found->second.Name();
    char address[32];
    snprintf(address, sizeof address, " at %p", reinterpret_cast<void*>(thread->waitObject));
    text += " waits for " + name + address;
    if (found != objects.end() && found->second.kind == ObjectKind::SpinLock &&
        found->second.spinOwner) {
      text += " held by " + found->second.spinOwner->name;
    }
    if (found != objects.end() && found->second.owner &&
        found->second.kind == ObjectKind::Mutex) {
      text += " owned by " + found->second.owner->name;
    }
  } else {
    text += " waits for " + (thread->waitWhat.empty() ? std::string("nothing") : thread->waitWhat);
  }
  if (thread->waitSite) text += ", called from " + CodeName(thread->waitSite);
  if (thread->waitTimed) text += ", until " + FormatTime(thread->waitTimeoutKey.first) + " s";
  return text;
}

bool Simulation::State::IsIdleSystemThread(const SimThread* thread) const {
  return thread->kind != ThreadKind::Client && thread->waitObject == 0 && !thread->waitTimed &&
         thread->state == ThreadState::Blocked;
}

void Simulation::State::ReportDeadlock() {
  std::string message = "every thread is blocked and nothing is due in virtual time:";
  for (const auto& thread : threads) {
    if (thread->state != ThreadState::Blocked || IsIdleSystemThread(thread.get())) continue;
    message += "\n  " + DescribeWait(thread.get());
    thread->deadlockReported = true;
  }
  sim.VerifierFailure("deadlock", message);
}

void Simulation::State::ReportStalled() {
  std::string message = "Run's body has not returned after " +
                        FormatTime(options.runVirtualTimeMax) +
                        " s of virtual time; only timers or events are left:";
  for (const auto& thread : threads) {
    if (thread->state != ThreadState::Blocked || IsIdleSystemThread(thread.get())) continue;
    message += "\n  " + DescribeWait(thread.get());
    thread->deadlockReported = true;
  }
  sim.VerifierFailure("stalled", message);
}

void Simulation::State::TeardownChecks() {
  for (auto& [address, object] : objects) {
    char where[40];
    snprintf(where, sizeof where, " at %p", reinterpret_cast<void*>(address));
    if (object.kind == ObjectKind::Timer && object.armed) {
      sim.VerifierFailure("teardown-timer", object.Name() + where + " is still set (due at " +
                                                FormatTime(object.timerKey.first) +
                                                " s) when the machine stops");
    }
    if (object.kind == ObjectKind::Dpc && object.queued) {
      sim.VerifierFailure("teardown-dpc", object.Name() + where +
                                              " is still queued when the machine stops");
    }
    if (object.kind == ObjectKind::WorkItem && object.queued) {
      sim.VerifierFailure("teardown-workitem", object.Name() + where +
                                                   " is still queued when the machine stops");
    }
  }
  for (const auto& thread : threads) {
    if (thread->kind != ThreadKind::Client || thread->deadlockReported) continue;
    if (thread->state == ThreadState::Blocked) {
      sim.VerifierFailure("teardown-thread",
                          "when the machine stops, " + DescribeWait(thread.get()));
    } else if (thread->state == ThreadState::Runnable) {
      sim.VerifierFailure("teardown-thread",
                          "thread " + thread->name + " has not finished when the machine stops");
    }
  }
}

// --- Simulation ------------------------------------------------------------------------------

Simulation::Simulation(SimulationOptions options)
    : state_(std::make_unique<State>(*this, std::move(options))) {
  state_->previousHostSimulation = t_hostSimulation;
  t_hostSimulation = this;
  state_->hostFiber.AdoptHostThread();
  state_->CreateSystemThreads();
}

Simulation::~Simulation() {
  State& s = *state_;
  s.tearingDown = true;
  for (auto it = s.components.rbegin(); it != s.components.rend(); ++it) it->second->Teardown(*this);
  s.TeardownChecks();
  s.CancelUnfinishedThreads();
  while (!s.components.empty()) s.components.pop_back();
  if (t_hostSimulation == this) t_hostSimulation = s.previousHostSimulation;
  state_.reset();
}

Simulation& Simulation::Current() {
  Simulation* simulation = CurrentOrNull();
  if (!simulation) {
    fprintf(stderr, "simulation: no simulation on this thread\n");
    abort();
  }
  return *simulation;
}

Simulation* Simulation::CurrentOrNull() {
  return t_thread ? t_thread->sim : t_hostSimulation;
}

Simulation::State& Simulation::state() { return *state_; }

const SimulationOptions& Simulation::Options() const { return state_->options; }

uint64_t Simulation::Seed() const { return state_->options.seed; }

uint64_t Simulation::DeriveSeed(std::string_view subsystem) const {
  uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a over the name
  for (unsigned char c : subsystem) hash = (hash ^ c) * 0x100000001b3ull;
  uint64_t state = state_->options.seed ^ hash;
  return SplitMix64(state);
}

VirtualTime Simulation::Now() const { return state_->now; }

void Simulation::StartThread(std::string name, std::function<void()> body) {
  State& s = *state_;
  SimThread* thread = s.CreateThread(std::move(name), ThreadKind::Client, std::move(body));
  s.Trace("thread.start", thread->name, 0);
  s.MakeRunnable(thread);
}

void Simulation::Run(std::function<void()> body) {
  State& s = *state_;
  if (s.mainThread && s.mainThread->state == ThreadState::Finished) {
    auto& threads = s.threads;
    SimThread* old = s.mainThread;
    s.mainThread = nullptr;
    threads.erase(std::remove_if(threads.begin(), threads.end(),
                                 [old](const auto& thread) { return thread.get() == old; }),
                  threads.end());
  }
  s.mainThread = s.CreateThread("main", ThreadKind::Client, std::move(body));
  s.Trace("thread.start", "main", 0);
  s.MakeRunnable(s.mainThread);
  s.Drive(kDriveRun, 0);
}

void Simulation::RunFor(VirtualTime duration) {
  State& s = *state_;
  s.Drive(kDriveFor, duration > INT64_MAX - s.now ? INT64_MAX : s.now + duration);
}

void Simulation::RunUntilIdle() { state_->Drive(kDriveUntilIdle, 0); }

Simulation::EventId Simulation::ScheduleAt(VirtualTime when, std::function<void()> action,
                                           std::string what) {
  State& s = *state_;
  EventId id = ++s.nextEventId;
  ScheduledEvent& event = s.events[id];
  event.action = std::move(action);
  event.what = std::move(what);
  event.key = s.AddTimeline(when, {TimelineEntry::Kind::Event, 0, nullptr, id});
  HappensBefore(&event);
  return id;
}

Simulation::EventId Simulation::ScheduleAfter(VirtualTime delay, std::function<void()> action,
                                              std::string what) {
  return ScheduleAt(state_->now + std::max<VirtualTime>(0, delay), std::move(action),
                    std::move(what));
}

bool Simulation::CancelEvent(EventId id) {
  State& s = *state_;
  auto found = s.events.find(id);
  if (found == s.events.end()) return false;
  if (found->second.inTimeline) {
    s.timeline.erase(found->second.key);
  } else {
    auto& queue = s.dpcQueues[0];
    for (auto item = queue.begin(); item != queue.end(); ++item) {
      if (!item->dpc && item->event == id) {
        queue.erase(item);
        break;
      }
    }
  }
  s.events.erase(found);
  return true;
}

void Simulation::State::Trace(std::string_view event, std::string_view detail, int64_t result) {
  if (options.traceEventsMax && trace.size() >= 2 * options.traceEventsMax) {
    trace.erase(trace.begin(), trace.begin() + static_cast<ptrdiff_t>(options.traceEventsMax));
  }
  static const std::string host = "host";
  trace.push_back(TraceEvent{now, t_thread ? t_thread->name : host, std::string(event),
                             std::string(detail), result});
}

void Simulation::Trace(std::string_view event, std::string_view detail, int64_t result) {
  state_->Trace(event, detail, result);
}

const std::vector<TraceEvent>& Simulation::TraceLog() const { return state_->trace; }

std::string Simulation::FormatTrace(size_t count) const {
  const auto& trace = state_->trace;
  size_t first = trace.size() > count ? trace.size() - count : 0;
  std::string text;
  for (size_t i = first; i < trace.size(); ++i) {
    const TraceEvent& event = trace[i];
    text += FormatTime(event.time) + " " + event.thread + " " + event.event;
    if (!event.detail.empty()) text += " " + event.detail;
    text += " " + std::to_string(event.result) + "\n";
  }
  return text;
}

void Simulation::VerifierFailure(std::string_view check, std::string message) {
  State& s = *state_;
  message += " [" + s.Where() + "]";
  s.reports.push_back(VerifierReport{std::string(check), message});
  s.Trace("verifier", check, 0);
  if (s.options.verifierSink) s.options.verifierSink(s.reports.back());
  if (s.options.verifierFailuresFatal) {
    fprintf(stderr, "\n*** verifier: %.*s: %s\n*** seed %" PRIu64 "\n*** last events:\n%s",
            static_cast<int>(check.size()), check.data(), message.c_str(), s.options.seed,
            FormatTrace(50).c_str());
    fflush(stderr);
    abort();
  }
}

const std::vector<VerifierReport>& Simulation::VerifierReports() const {
  return state_->reports;
}

Component* Simulation::FindComponent(std::type_index type) {
  for (auto& [key, component] : state_->components) {
    if (key == type) return component.get();
  }
  return nullptr;
}

void Simulation::AddComponent(std::type_index type, std::unique_ptr<Component> component) {
  state_->components.emplace_back(type, std::move(component));
}

}  // namespace lumo::kernel
