// Execution contexts of the simulated threads: fibers that share the one host thread. A fiber
// runs until it hands the CPU to another fiber explicitly; nothing here decides who runs next
// (that is the scheduler's job) and nothing here knows about kernel objects.
//
// Why fibers and not host threads: only one simulated thread may run at a time, and the
// scheduler switches at every platform call (a sensor write alone is thousands of them). A
// fiber switch is a few register moves; a hand-off between host threads costs two futex calls
// and a trip through the host scheduler.
//
// Sanitizers: every switch is announced to AddressSanitizer (so it knows which stack is live
// and keeps a fake stack per fiber) and to ThreadSanitizer. To ThreadSanitizer each fiber is
// its own "thread", and we switch with its no-synchronisation flag: a switch does not create a
// happens-before edge, so two simulated threads touching the same data without a platform lock
// or interlocked operation between them still show up as a race, as they would on a real
// multiprocessor. A hand-off through a host mutex would hide exactly those races for good.
// The other half of that design is in engine.h (HappensBefore/HappensAfter): the platform's own
// synchronisation (spin locks, dispatcher objects, DPC and work queues, thread start and end)
// is announced to ThreadSanitizer, and the platform's sources are built uninstrumented (their
// bookkeeping is touched by every simulated thread in turn, one at a time, by design).
#pragma once

#include <cstddef>

namespace lumo::kernel {

class Fiber {
 public:
  using Entry = void (*)(void* argument);

  Fiber() = default;
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Makes this fiber stand for the calling host thread's own stack, so fibers can switch back.
  void AdoptHostThread();
  // Allocates a stack (with an inaccessible guard page below it) and prepares the fiber to call
  // entry(argument) at its first switch-in. entry must never return: it ends with SwitchFinal.
  void Create(size_t stackBytes, Entry entry, void* argument);
  bool created() const { return stack_ != nullptr || host_; }

  // Saves the calling context in `from` and continues `to`. Returns when someone switches back
  // to `from`.
  static void Switch(Fiber& from, Fiber& to);
  // Like Switch, for a fiber that will never run again (its stack may be freed afterwards).
  [[noreturn]] static void SwitchFinal(Fiber& from, Fiber& to);
  // Called first thing by an entry function: completes the switch that started the fiber.
  static void EnterFirstTime();

 private:
  void Release();
  static void Transfer(Fiber& from, Fiber& to, bool final);
  static void FinishSwitch(Fiber* self);

  void* sp_ = nullptr;  // saved stack pointer (or ucontext for the portable path)
  void* stack_ = nullptr;  // mapping including the guard page
  size_t mappingBytes_ = 0;
  bool host_ = false;
  // What the sanitizers need: the usable stack range, ASan's fake stack, TSan's fiber.
  const void* stackBottom_ = nullptr;
  size_t stackBytes_ = 0;
  void* fakeStack_ = nullptr;
  void* tsanFiber_ = nullptr;
  void* portableContext_ = nullptr;
};

}  // namespace lumo::kernel
