// `lumocap demo`: shows the engine at work. Two client threads share a semaphore of two
// credits: a producer gives a credit whenever the 10 ms timer's DPC has signalled it, a
// consumer takes them with a time-out; the consumer's last round queues a work item that
// counts what got through. The printed trace is the same for the same seed, bit for bit;
// other seeds interleave the threads differently.
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "commands.h"
#include "kernel/simulation.h"

namespace lumocap {
namespace {

using lumo::kernel::kMillisecond;
using lumo::kernel::Simulation;
using lumo::kernel::SimulationOptions;

constexpr char kUsage[] = "usage: lumocap demo [--seed N] [--realtime]";
constexpr int kRounds = 5;
constexpr LONG kTimerPeriodMs = 10;

struct DemoMachine {
  KTIMER timer;
  KDPC timerDpc;
  KEVENT tick;
  KSEMAPHORE credits;
  WORK_QUEUE_ITEM report;
  LONG delivered = 0;
  LONG timedOut = 0;
};

void NTAPI TimerDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  auto* machine = static_cast<DemoMachine*>(context);
  KeSetEvent(&machine->tick, 0, FALSE);
}

void NTAPI ReportRoutine(PVOID context) {
  auto* machine = static_cast<DemoMachine*>(context);
  Simulation::Current().Trace("demo.report", "credits delivered",
                              InterlockedExchangeAdd(&machine->delivered, 0));
}

LARGE_INTEGER Relative(lumo::kernel::VirtualTime delay) {
  LARGE_INTEGER value;
  value.QuadPart = -delay;
  return value;
}

bool ParseSeed(const std::string& text, uint64_t& seed) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-') return false;
  seed = value;
  return true;
}

}  // namespace

int RunDemoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  SimulationOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--seed" && i + 1 < args.size()) {
      if (!ParseSeed(args[++i], options.seed)) {
        err << "lumocap demo: not a seed: " << args[i] << "\n" << kUsage << "\n";
        return 2;
      }
    } else if (args[i] == "--realtime") {
      options.realtimePacing = true;
    } else {
      err << "lumocap demo: unexpected argument: " << args[i] << "\n" << kUsage << "\n";
      return 2;
    }
  }
  out << "seed " << options.seed << (options.realtimePacing ? ", paced to the wall clock" : "")
      << "\n";

  Simulation sim(options);
  DemoMachine machine;
  KeInitializeTimer(&machine.timer);
  KeInitializeDpc(&machine.timerDpc, &TimerDpcRoutine, &machine);
  KeInitializeEvent(&machine.tick, SynchronizationEvent, FALSE);
  KeInitializeSemaphore(&machine.credits, 0, 2);
  ExInitializeWorkItem(&machine.report, &ReportRoutine, &machine);

  sim.StartThread("producer", [&] {
    for (int round = 0; round < kRounds; ++round) {
      KeWaitForSingleObject(&machine.tick, Executive, KernelMode, FALSE, nullptr);
      if (KeReadStateSemaphore(&machine.credits) < 2) {
        KeReleaseSemaphore(&machine.credits, 0, 1, FALSE);
      }
    }
  });
  sim.StartThread("consumer", [&] {
    for (int round = 0; round < kRounds; ++round) {
      LARGE_INTEGER timeout = Relative(6 * kMillisecond);
      NTSTATUS status =
          KeWaitForSingleObject(&machine.credits, Executive, KernelMode, FALSE, &timeout);
      InterlockedIncrement(status == STATUS_SUCCESS ? &machine.delivered : &machine.timedOut);
    }
    ExQueueWorkItem(&machine.report, DelayedWorkQueue);
  });
  sim.Run([&] {
    KeSetTimerEx(&machine.timer, Relative(kTimerPeriodMs * kMillisecond), kTimerPeriodMs,
                 &machine.timerDpc);
    LARGE_INTEGER runFor = Relative(100 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &runFor);
    KeCancelTimer(&machine.timer);
  });
  sim.RunUntilIdle();

  out << sim.FormatTrace(sim.TraceLog().size());
  out << "delivered " << machine.delivered << ", timed out " << machine.timedOut << ", at "
      << sim.Now() / kMillisecond << " ms of virtual time\n";
  for (const auto& report : sim.VerifierReports()) {
    err << "verifier: " << report.check << ": " << report.message << "\n";
  }
  return sim.VerifierReports().empty() ? 0 : 1;
}

}  // namespace lumocap
