// Fiber creation and switching. On x86-64 a switch is a handful of instructions (callee-saved
// registers, the SSE and x87 control words, the stack pointer); elsewhere it falls back to
// ucontext, which is correct but pays a signal-mask system call per switch.
#undef _FORTIFY_SOURCE
#include "kernel/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if !defined(__x86_64__)
#include <ucontext.h>
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(LUMO_SANITIZE)
#define LUMO_FIBER_ASAN 1
extern "C" {
void __sanitizer_start_switch_fiber(void** fake_stack_save, const void* bottom, size_t size);
void __sanitizer_finish_switch_fiber(void* fake_stack_save, const void** bottom_old,
                                     size_t* size_old);
void __asan_unpoison_memory_region(void const volatile* addr, size_t size);
}
#endif
#if defined(__SANITIZE_THREAD__) || defined(LUMO_TSAN)
#define LUMO_FIBER_TSAN 1
extern "C" {
void* __tsan_get_current_fiber(void);
void* __tsan_create_fiber(unsigned flags);
void __tsan_destroy_fiber(void* fiber);
void __tsan_switch_to_fiber(void* fiber, unsigned flags);
}
constexpr unsigned kTsanSwitchToFiberNoSync = 1;
#endif

#if defined(__x86_64__)
// lumo_fiber_switch(void** saveSp, void* loadSp): pushes the callee-saved state on the current
// stack, stores the stack pointer, loads the other one and pops its state. A new fiber's stack
// is laid out so that the pops land in lumo_fiber_start with the entry in rbx and its argument
// in r12.
extern "C" void lumo_fiber_switch(void** saveSp, void* loadSp);
extern "C" void lumo_fiber_start();
__asm__(
    ".text\n"
    ".globl lumo_fiber_switch\n"
    ".hidden lumo_fiber_switch\n"
    ".type lumo_fiber_switch,@function\n"
    "lumo_fiber_switch:\n"
    "  pushq %rbp\n"
    "  pushq %rbx\n"
    "  pushq %r12\n"
    "  pushq %r13\n"
    "  pushq %r14\n"
    "  pushq %r15\n"
    "  subq $8, %rsp\n"
    "  stmxcsr (%rsp)\n"
    "  fnstcw 4(%rsp)\n"
    "  movq %rsp, (%rdi)\n"
    "  movq %rsi, %rsp\n"
    "  ldmxcsr (%rsp)\n"
    "  fldcw 4(%rsp)\n"
    "  addq $8, %rsp\n"
    "  popq %r15\n"
    "  popq %r14\n"
    "  popq %r13\n"
    "  popq %r12\n"
    "  popq %rbx\n"
    "  popq %rbp\n"
    "  ret\n"
    ".size lumo_fiber_switch,.-lumo_fiber_switch\n"
    ".globl lumo_fiber_start\n"
    ".hidden lumo_fiber_start\n"
    ".type lumo_fiber_start,@function\n"
    "lumo_fiber_start:\n"
    "  movq %r12, %rdi\n"
    "  callq *%rbx\n"
    "  ud2\n"
    ".size lumo_fiber_start,.-lumo_fiber_start\n"
    ".section .note.GNU-stack,\"\",@progbits\n"
    ".text\n");
#endif

namespace lumo::kernel {
namespace {

// The fiber that performed the switch which brought the CPU here; finishing the switch tells
// AddressSanitizer where that fiber's stack is (needed for the host thread's own stack).
thread_local Fiber* t_switchedFrom = nullptr;

size_t PageBytes() {
  static const size_t bytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return bytes;
}

#if !defined(__x86_64__)
void PortableTrampoline(unsigned high, unsigned low, unsigned entryHigh, unsigned entryLow) {
  auto argument = reinterpret_cast<void*>((static_cast<uintptr_t>(high) << 32) | low);
  auto entry = reinterpret_cast<Fiber::Entry>((static_cast<uintptr_t>(entryHigh) << 32) | entryLow);
  entry(argument);
  abort();
}
#endif

}  // namespace

Fiber::~Fiber() { Release(); }

void Fiber::Release() {
#if LUMO_FIBER_TSAN
  if (tsanFiber_ && !host_) __tsan_destroy_fiber(tsanFiber_);
#endif
  tsanFiber_ = nullptr;
#if LUMO_FIBER_ASAN
  // Frames abandoned on this stack leave their red zones poisoned; the next mapping at the
  // same address must start clean.
  if (stack_) __asan_unpoison_memory_region(stackBottom_, stackBytes_);
#endif
  if (stack_) munmap(stack_, mappingBytes_);
  stack_ = nullptr;
#if !defined(__x86_64__)
  delete static_cast<ucontext_t*>(portableContext_);
#endif
  portableContext_ = nullptr;
}

void Fiber::AdoptHostThread() {
  host_ = true;
#if LUMO_FIBER_TSAN
  tsanFiber_ = __tsan_get_current_fiber();
#endif
#if !defined(__x86_64__)
  portableContext_ = new ucontext_t();
#endif
}

void Fiber::Create(size_t stackBytes, Entry entry, void* argument) {
  const size_t page = PageBytes();
  stackBytes = (stackBytes + page - 1) / page * page;
  mappingBytes_ = stackBytes + page;
  void* mapping = mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) {
    fprintf(stderr, "simulation: cannot map a %zu-byte fiber stack\n", mappingBytes_);
    abort();
  }
  // The lowest page stays inaccessible: a stack overflow faults instead of corrupting memory.
  mprotect(mapping, page, PROT_NONE);
  stack_ = mapping;
  stackBottom_ = static_cast<char*>(mapping) + page;
  stackBytes_ = stackBytes;
#if LUMO_FIBER_TSAN
  tsanFiber_ = __tsan_create_fiber(0);
#endif

#if defined(__x86_64__)
  auto top = reinterpret_cast<uintptr_t>(stackBottom_) + stackBytes_;
  top &= ~static_cast<uintptr_t>(15);
  // Popped by lumo_fiber_switch, lowest address first: control words, r15, r14, r13, r12,
  // rbx, rbp, return address. After the return, rsp is 16-byte aligned as a call expects.
  auto* slot = reinterpret_cast<uint64_t*>(top);
  *--slot = reinterpret_cast<uint64_t>(&lumo_fiber_start);
  *--slot = 0;                                           // rbp: ends frame-pointer walks
  *--slot = reinterpret_cast<uint64_t>(entry);           // rbx
  *--slot = reinterpret_cast<uint64_t>(argument);        // r12
  *--slot = 0;                                           // r13
  *--slot = 0;                                           // r14
  *--slot = 0;                                           // r15
  *--slot = 0x1F80ull | (0x037Full << 32);               // mxcsr, x87 control word
  sp_ = slot;
#else
  auto* context = new ucontext_t();
  getcontext(context);
  context->uc_stack.ss_sp = const_cast<void*>(stackBottom_);
  context->uc_stack.ss_size = stackBytes_;
  context->uc_link = nullptr;
  auto a = reinterpret_cast<uintptr_t>(argument);
  auto e = reinterpret_cast<uintptr_t>(entry);
  makecontext(context, reinterpret_cast<void (*)()>(&PortableTrampoline), 4,
              static_cast<unsigned>(a >> 32), static_cast<unsigned>(a),
              static_cast<unsigned>(e >> 32), static_cast<unsigned>(e));
  portableContext_ = context;
#endif
}

void Fiber::FinishSwitch(Fiber* self) {
#if LUMO_FIBER_ASAN
  const void* bottom = nullptr;
  size_t bytes = 0;
  __sanitizer_finish_switch_fiber(self ? self->fakeStack_ : nullptr, &bottom, &bytes);
  if (t_switchedFrom && t_switchedFrom->host_) {
    t_switchedFrom->stackBottom_ = bottom;
    t_switchedFrom->stackBytes_ = bytes;
  }
#endif
  (void)self;
}

void Fiber::Transfer(Fiber& from, Fiber& to, bool final) {
  t_switchedFrom = &from;
#if LUMO_FIBER_ASAN
  __sanitizer_start_switch_fiber(final ? nullptr : &from.fakeStack_, to.stackBottom_,
                                 to.stackBytes_);
#endif
#if LUMO_FIBER_TSAN
  __tsan_switch_to_fiber(to.tsanFiber_, kTsanSwitchToFiberNoSync);
#endif
#if defined(__x86_64__)
  lumo_fiber_switch(&from.sp_, to.sp_);
#else
  swapcontext(static_cast<ucontext_t*>(from.portableContext_),
              static_cast<ucontext_t*>(to.portableContext_));
#endif
  (void)final;
  FinishSwitch(&from);
}

void Fiber::Switch(Fiber& from, Fiber& to) { Transfer(from, to, false); }

void Fiber::SwitchFinal(Fiber& from, Fiber& to) {
  Transfer(from, to, true);
  fprintf(stderr, "simulation: a finished fiber was resumed\n");
  abort();
}

void Fiber::EnterFirstTime() { FinishSwitch(nullptr); }

}  // namespace lumo::kernel
