// IRPs through a stack of three host drivers: the order of completion routines, the
// IRP kept by STATUS_MORE_PROCESSING_REQUIRED, pending propagation, cancellation, reuse, the
// requests the I/O manager builds, the IRP checks; device objects and driver loading.
#include "kernel/io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/pool.h"
#include "kernel/simulation.h"

namespace lumo::kernel {
namespace {

SimulationOptions Lenient() {
  SimulationOptions options;
  options.verifierFailuresFatal = false;
  return options;
}

std::vector<std::string> Checks(const Simulation& sim) {
  std::vector<std::string> checks;
  for (const VerifierReport& report : sim.VerifierReports()) checks.push_back(report.check);
  return checks;
}

// --- A stack of three drivers ---------------------------------------------------------------

// How the bottom driver treats a request, and how the middle one passes it on.
enum class Bottom { kCompleteAtOnce, kPend, kPendCancelable };

struct Layer;

// What every completion routine of the test writes down.
struct Seen {
  std::string who;
  PDEVICE_OBJECT device;
  BOOLEAN pendingReturned;
  BOOLEAN cancel;
  NTSTATUS status;
};

struct Stack {
  PDEVICE_OBJECT bottom = nullptr, middle = nullptr, top = nullptr;
  Bottom bottomMode = Bottom::kCompleteAtOnce;
  bool middleStops = false;  // the middle's routine returns STATUS_MORE_PROCESSING_REQUIRED
  bool middleWithoutRoutine = false;  // the middle passes the request on without a routine
  PIRP held = nullptr;                // what the bottom keeps while pending
  std::vector<Seen> seen;
  NTSTATUS bottomStatus = STATUS_SUCCESS;
};

Stack* g_stack = nullptr;

struct Layer {
  const char* name;
  PDEVICE_OBJECT lower;
};

Layer* LayerOf(PDEVICE_OBJECT device) { return static_cast<Layer*>(device->DeviceExtension); }

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* who = static_cast<const char*>(context);
  g_stack->seen.push_back({who, device, irp->PendingReturned, irp->Cancel, irp->IoStatus.Status});
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (std::string(who) == "middle" && g_stack->middleStops) return STATUS_MORE_PROCESSING_REQUIRED;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI OwnerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  g_stack->seen.push_back(
      {"owner", device, irp->PendingReturned, irp->Cancel, irp->IoStatus.Status});
  if (context != nullptr) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  Layer* layer = LayerOf(device);
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (layer->name != std::string("middle") || !g_stack->middleWithoutRoutine) {
    IoSetCompletionRoutine(irp, RecordCompletion, const_cast<char*>(layer->name), TRUE, TRUE, TRUE);
  }
  return IoCallDriver(layer->lower, irp);
}

void NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_stack->held = nullptr;
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI BottomDispatch(PDEVICE_OBJECT device, PIRP irp) {
  switch (g_stack->bottomMode) {
    case Bottom::kCompleteAtOnce:
      irp->IoStatus.Status = g_stack->bottomStatus;
      irp->IoStatus.Information = 5;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return g_stack->bottomStatus;
    case Bottom::kPendCancelable:
      IoSetCancelRoutine(irp, CancelHeld);
      [[fallthrough]];
    case Bottom::kPend:
      IoMarkIrpPending(irp);
      g_stack->held = irp;
      return STATUS_PENDING;
  }
  return STATUS_UNSUCCESSFUL;
}

// The bottom finishes a held request (as a bus does, at DISPATCH_LEVEL).
void CompleteHeld(NTSTATUS status) {
  PIRP irp = g_stack->held;
  ASSERT_NE(irp, nullptr);
  g_stack->held = nullptr;
  if (IoSetCancelRoutine(irp, nullptr) == nullptr &&
      g_stack->bottomMode == Bottom::kPendCancelable) {
    return;  // the cancel routine has it
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

class IrpStack : public ::testing::Test {
 protected:
  IrpStack() : sim_(Lenient()) { g_stack = &stack_; }
  ~IrpStack() override { g_stack = nullptr; }

  // Builds bottom <- middle <- top inside the simulation.
  void Build() {
    IoManager& io = sim_.Get<IoManager>();
    PDRIVER_OBJECT bus = io.CreateDriverObject(u"\\Driver\\bus");
    PDRIVER_OBJECT filter = io.CreateDriverObject(u"\\Driver\\filter");
    bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BottomDispatch;
    bus->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BottomDispatch;
    filter->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
    filter->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PassDown;
    ASSERT_EQ(
        IoCreateDevice(bus, sizeof(Layer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &stack_.bottom),
        STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(filter, sizeof(Layer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &stack_.middle),
              STATUS_SUCCESS);
    ASSERT_EQ(
        IoCreateDevice(filter, sizeof(Layer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &stack_.top),
        STATUS_SUCCESS);
    *LayerOf(stack_.bottom) = {"bottom", nullptr};
    *LayerOf(stack_.middle) = {"middle", IoAttachDeviceToDeviceStack(stack_.middle, stack_.bottom)};
    *LayerOf(stack_.top) = {"top", IoAttachDeviceToDeviceStack(stack_.top, stack_.bottom)};
    ASSERT_EQ(LayerOf(stack_.middle)->lower, stack_.bottom);
    ASSERT_EQ(LayerOf(stack_.top)->lower, stack_.middle);
    ASSERT_EQ(stack_.top->StackSize, 3);
  }

  void TearDownStack() {
    IoDetachDevice(stack_.middle);
    IoDetachDevice(stack_.bottom);
    IoDeleteDevice(stack_.top);
    IoDeleteDevice(stack_.middle);
    IoDeleteDevice(stack_.bottom);
  }

  // An IRP of the test's own, with its completion routine set.
  PIRP OwnIrp(PKEVENT done = nullptr) {
    PIRP irp = IoAllocateIrp(stack_.top->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnerCompletion, done, TRUE, TRUE, TRUE);
    return irp;
  }

  std::vector<std::string> Order() const {
    std::vector<std::string> order;
    for (const Seen& seen : stack_.seen) order.push_back(seen.who);
    return order;
  }

  Simulation sim_;
  Stack stack_;
};

TEST_F(IrpStack, CompletionRoutinesRunFromTheBottomUpWithTheirOwnDevices) {
  sim_.Run([&] {
    Build();
    PIRP irp = OwnIrp();
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoCallDriver(stack_.top, irp), STATUS_SUCCESS);
    EXPECT_EQ(Order(), (std::vector<std::string>{"middle", "top", "owner"}));
    // A routine gets the device of the driver that set it; the owner's gets none.
    EXPECT_EQ(stack_.seen[0].device, stack_.middle);
    EXPECT_EQ(stack_.seen[1].device, stack_.top);
    EXPECT_EQ(stack_.seen[2].device, nullptr);
    EXPECT_EQ(irp->IoStatus.Information, 5u);
    EXPECT_EQ(sim_.Get<IoManager>().StateOf(irp), IrpState::kStopped);
    IoFreeIrp(irp);
    TearDownStack();
  });
  EXPECT_EQ(Checks(sim_), std::vector<std::string>{});
}

TEST_F(IrpStack, ErrorsReachRoutinesThatAskForThem) {
  sim_.Run([&] {
    Build();
    stack_.bottomStatus = STATUS_DEVICE_NOT_CONNECTED;
    PIRP irp = OwnIrp();
    // The owner asks for successes only: on an error its routine is skipped, and the walk
    // reaching the top of an allocated IRP is a fault of the owner.
    IoSetCompletionRoutine(irp, OwnerCompletion, nullptr, TRUE, FALSE, FALSE);
    EXPECT_EQ(IoCallDriver(stack_.top, irp), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Order(), (std::vector<std::string>{"middle", "top"}));
    EXPECT_EQ(stack_.seen[0].status, STATUS_DEVICE_NOT_CONNECTED);
    IoFreeIrp(irp);
    TearDownStack();
  });
  EXPECT_EQ(Checks(sim_), std::vector<std::string>{"irp-no-owner"});
}

TEST_F(IrpStack, MoreProcessingRequiredKeepsTheIrpWithTheRoutinesDriver) {
  sim_.Run([&] {
    Build();
    stack_.middleStops = true;
    PIRP irp = OwnIrp();
    IoCallDriver(stack_.top, irp);
    EXPECT_EQ(Order(), std::vector<std::string>{"middle"});
    EXPECT_EQ(sim_.Get<IoManager>().StateOf(irp), IrpState::kStopped);
    // The middle driver owns it again, at its own stack location, and completes it further.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack_.middle);
    stack_.middleStops = false;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(Order(), (std::vector<std::string>{"middle", "top", "owner"}));
    IoFreeIrp(irp);
    TearDownStack();
  });
  EXPECT_EQ(Checks(sim_), std::vector<std::string>{});
}

TEST_F(IrpStack, PendingReturnedReachesEveryLevelEvenWithoutARoutine) {
  // Without a routine of its own the middle does not mark the IRP pending: the I/O manager
  // carries the flag up for it.
  for (bool withoutRoutine : {false, true}) {
    stack_ = Stack{};
    stack_.bottomMode = Bottom::kPend;
    stack_.middleWithoutRoutine = withoutRoutine;
    KEVENT done;
    sim_.Run([&] {
      Build();
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      PIRP irp = OwnIrp(&done);
      VirtualTime start = sim_.Now();
      EXPECT_EQ(IoCallDriver(stack_.top, irp), STATUS_PENDING);
      sim_.ScheduleAfter(
          3 * kMillisecond, [] { CompleteHeld(STATUS_SUCCESS); }, "bus.complete");
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      EXPECT_EQ(sim_.Now() - start, 3 * kMillisecond);
      std::vector<std::string> expected = withoutRoutine
                                              ? std::vector<std::string>{"top", "owner"}
                                              : std::vector<std::string>{"middle", "top", "owner"};
      EXPECT_EQ(Order(), expected) << withoutRoutine;
      for (const Seen& seen : stack_.seen) EXPECT_TRUE(seen.pendingReturned) << seen.who;
      IoFreeIrp(irp);
      TearDownStack();
    });
  }
  EXPECT_EQ(Checks(sim_), std::vector<std::string>{});
}

TEST_F(IrpStack, CancelCallsTheRoutineWhichCompletesTheIrp) {
  sim_.Run([&] {
    Build();
    stack_.bottomMode = Bottom::kPendCancelable;
    PIRP irp = OwnIrp();
    EXPECT_EQ(IoCallDriver(stack_.top, irp), STATUS_PENDING);
    EXPECT_EQ(sim_.Get<IoManager>().StateOf(irp), IrpState::kInDriver);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(stack_.held, nullptr);
    EXPECT_EQ(Order(), (std::vector<std::string>{"middle", "top", "owner"}));
    for (const Seen& seen : stack_.seen) {
      EXPECT_TRUE(seen.cancel);
      EXPECT_EQ(seen.status, STATUS_CANCELLED);
    }
    EXPECT_EQ(sim_.Get<IoManager>().CancelRoutineCalls(), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
    TearDownStack();
  });
  EXPECT_EQ(Checks(sim_), std::vector<std::string>{});
}

TEST_F(IrpStack, CancelWithoutARoutineOnlyMarksTheIrp) {
  sim_.Run([&] {
    Build();
    stack_.bottomMode = Bottom::kPend;
    PIRP irp = OwnIrp();
    IoCallDriver(stack_.top, irp);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_TRUE(stack_.seen.empty());
    EXPECT_EQ(sim_.Get<IoManager>().StateOf(irp), IrpState::kInDriver);
    // The driver finishes it in its own time; routines that asked for cancels see the flag.
    CompleteHeld(STATUS_SUCCESS);
    EXPECT_EQ(Order(), (std::vector<std::string>{"middle", "top", "owner"}));
    EXPECT_TRUE(stack_.seen.back().cancel);
    IoFreeIrp(irp);
    TearDownStack();
  });
  EXPECT_EQ(Checks(sim_), std::vector<std::string>{});
}

TEST_F(IrpStack, ReuseResetsTheIrpForAnotherTrip) {
  sim_.Run([&] {
    Build();
    PIRP irp = OwnIrp();
    IoCallDriver(stack_.top, irp);
    irp->Cancel = TRUE;
    IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_EQ(irp->AllocationFlags, kIrpAllocatedFixedSize);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp),
              reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1);
    EXPECT_EQ(sim_.Get<IoManager>().StateOf(irp), IrpState::kIdle);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnerCompletion, nullptr, TRUE, TRUE, TRUE);
    stack_.seen.clear();
    EXPECT_EQ(IoCallDriver(stack_.top, irp), STATUS_SUCCESS);
    EXPECT_EQ(Order(), (std::vector<std::string>{"middle", "top", "owner"}));
    IoFreeIrp(irp);
    TearDownStack();
  });
  EXPECT_EQ(Checks(sim_), std::vector<std::string>{});
}

TEST(IrpTrace, TwoRunsOfOneScenarioLeaveTheSameTrace) {
  // IRPs are named by order of appearance, not by address, so the traces match although the
  // second run's IRPs live elsewhere in memory.
  auto run = [] {
    Simulation sim(Lenient());
    Stack stack;
    g_stack = &stack;
    sim.Run([&] {
      PDRIVER_OBJECT driver = sim.Get<IoManager>().CreateDriverObject(u"\\Driver\\t");
      driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BottomDispatch;
      PDEVICE_OBJECT device;
      IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
      for (int i = 0; i < 3; ++i) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, OwnerCompletion, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
        IoFreeIrp(irp);
      }
      IoDeleteDevice(device);
    });
    g_stack = nullptr;
    EXPECT_TRUE(sim.VerifierReports().empty());
    return sim.TraceLog();
  };
  std::vector<TraceEvent> first = run();
  int completions = 0;
  for (const TraceEvent& event : first) completions += event.event == "irp.complete";
  EXPECT_EQ(completions, 3);
  EXPECT_EQ(run(), first);
}

// --- Requests the I/O manager builds -----------------------------------------------------------

NTSTATUS NTAPI EchoDoubled(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
  ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
  for (ULONG i = 0; i < in; ++i) buffer[i] = static_cast<unsigned char>(buffer[i] * 2);
  irp->IoStatus.Status = STATUS_SUCCESS;
  // A careless driver claims more than the output buffer: only OutputBufferLength comes back.
  irp->IoStatus.Information = 1000;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST(BuiltRequests, DeviceControlCopiesOutputFillsTheStatusBlockAndSignals) {
  Simulation sim(Lenient());
  sim.Run([&] {
    IoManager& io = sim.Get<IoManager>();
    PDRIVER_OBJECT driver = io.CreateDriverObject(u"\\Driver\\echo");
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EchoDoubled;
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    unsigned char input[6] = {1, 2, 3, 4, 5, 6};
    unsigned char output[8];
    std::memset(output, 0xEE, sizeof output);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, input, sizeof input, output, 4, FALSE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, kCode);
    EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, sizeof input);
    EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, 4u);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 1000u);
    EXPECT_EQ(std::vector<unsigned char>(output, output + 8),
              (std::vector<unsigned char>{2, 4, 6, 8, 0xEE, 0xEE, 0xEE, 0xEE}));
    // The I/O manager freed the IRP and its buffer.
    PoolStatistics stats = sim.Get<Pool>().Statistics();
    EXPECT_EQ(stats.byTag[kIrpPoolTag].blocksInUse, 0u);
    EXPECT_EQ(stats.byTag[kBufferPoolTag].blocksInUse, 0u);
    EXPECT_FALSE(io.IsTrackedIrp(irp));
    IoDeleteDevice(device);
  });
  EXPECT_EQ(Checks(sim), std::vector<std::string>{});
}

TEST_F(IrpStack, InternalRequestPendingInTheStackWakesItsWaiter) {
  stack_.bottomMode = Bottom::kPend;
  sim_.Run([&] {
    Build();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    int urb = 0;
    constexpr ULONG kSubmit = 0x220003;  // a METHOD_NEITHER internal request
    PIRP irp = IoBuildDeviceIoControlRequest(kSubmit, stack_.top, &urb, 0, nullptr, 0, TRUE, &event,
                                             &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, &urb);
    next->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IoCallDriver(stack_.top, irp), STATUS_PENDING);
    sim_.ScheduleAfter(
        2 * kMillisecond, [] { CompleteHeld(STATUS_SUCCESS); }, "bus.complete");
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim_.Now(), 2 * kMillisecond);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(Order(), (std::vector<std::string>{"middle", "top"}));
    TearDownStack();
  });
  EXPECT_EQ(Checks(sim_), std::vector<std::string>{});
}

NTSTATUS NTAPI KeepForCaller(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The I/O manager owns the IRPs it builds: a caller that stops one in its completion routine must
// complete it again, never free it.
TEST(BuiltRequests, FreeingABuiltRequestIsReported) {
  std::vector<VerifierReport> reports = RunCollectingReports(
      [](Simulation& sim) {
        sim.Run([&] {
          PDRIVER_OBJECT driver = sim.Get<IoManager>().CreateDriverObject(u"\\Driver\\echo");
          driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EchoDoubled;
          PDEVICE_OBJECT device;
          ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                    STATUS_SUCCESS);
          unsigned char data[4] = {};
          IO_STATUS_BLOCK iosb{};
          constexpr ULONG kCode =
              CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
          PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, data, sizeof data, data,
                                                   sizeof data, FALSE, nullptr, &iosb);
          ASSERT_NE(irp, nullptr);
          IoSetCompletionRoutine(irp, KeepForCaller, nullptr, TRUE, TRUE, TRUE);
          EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
          IoFreeIrp(irp);
          IoDeleteDevice(device);
        });
      },
      Lenient());
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports[0].check, "irp-bad-free");
}

// --- The IRP checks ---------------------------------------------------------------------------

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteWithCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoSetCancelRoutine(irp, CancelHeld);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Hold(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}

struct FaultCase {
  const char* name;
  PDRIVER_DISPATCH dispatch;
  bool freeAfterCall;
  std::vector<std::string> checks;
};

TEST(IrpChecks, EachFaultIsReported) {
  const std::vector<FaultCase> cases = {
      {"double completion", CompleteTwice, true, {"irp-double-complete"}},
      {"cancel routine left set", CompleteWithCancelRoutine, true, {"irp-cancel-routine-set"}},
      // At teardown the pool (created after the I/O manager) reports first.
      {"freed while held", Hold, true, {"irp-free-in-driver", "pool-leak", "irp-leak"}},
      {"never completed", Hold, false, {"pool-leak", "irp-leak"}},
  };
  for (const FaultCase& c : cases) {
    std::vector<VerifierReport> reports = RunCollectingReports(
        [&](Simulation& sim) {
          sim.Run([&] {
            PDRIVER_OBJECT driver = sim.Get<IoManager>().CreateDriverObject(u"\\Driver\\f");
            driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = c.dispatch;
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, OwnerCompletion, nullptr, TRUE, TRUE, TRUE);
            Stack stack;
            g_stack = &stack;
            IoCallDriver(device, irp);
            if (c.freeAfterCall) IoFreeIrp(irp);
            g_stack = nullptr;
            IoDeleteDevice(device);
          });
        },
        Lenient());
    std::vector<std::string> checks;
    for (const VerifierReport& report : reports) checks.push_back(report.check);
    EXPECT_EQ(checks, c.checks) << c.name;
  }
}

TEST(IrpChecks, CompletionAboveDispatchLevel) {
  Simulation sim(Lenient());
  sim.Run([&] {
    PDRIVER_OBJECT driver = sim.Get<IoManager>().CreateDriverObject(u"\\Driver\\f");
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Hold;
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnerCompletion, nullptr, TRUE, TRUE, TRUE);
    Stack stack;
    g_stack = &stack;
    IoCallDriver(device, irp);
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
    g_stack = nullptr;
    IoFreeIrp(irp);
    IoDeleteDevice(device);
  });
  EXPECT_EQ(Checks(sim), std::vector<std::string>{"irp-irql"});
}

// --- Devices and drivers ------------------------------------------------------------------------

TEST(Devices, ExtensionIsZeroedAndReferencesKeepADeletedDevice) {
  Simulation sim(Lenient());
  sim.Run([&] {
    IoManager& io = sim.Get<IoManager>();
    PDRIVER_OBJECT driver = io.CreateDriverObject(u"\\Driver\\d");
    PDEVICE_OBJECT lower, upper;
    ASSERT_EQ(IoCreateDevice(driver, 100, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver, 3, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper),
              STATUS_SUCCESS);
    auto* extension = static_cast<unsigned char*>(lower->DeviceExtension);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(extension[i], 0) << i;
    EXPECT_EQ(lower->Flags & DO_DEVICE_INITIALIZING, static_cast<ULONG>(DO_DEVICE_INITIALIZING));
    EXPECT_EQ(driver->DeviceObject, upper);
    EXPECT_EQ(upper->NextDevice, lower);

    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    EXPECT_EQ(upper->StackSize, 2);
    EXPECT_EQ(io.LowerDeviceOf(upper), lower);
    EXPECT_EQ(IoGetAttachedDeviceReference(lower), upper);
    EXPECT_EQ(io.ReferenceCountOf(upper), 2);
    IoDetachDevice(lower);
    EXPECT_EQ(lower->AttachedDevice, nullptr);
    IoDeleteDevice(upper);
    // Deleted, but the reference taken above keeps the memory until it is dropped.
    EXPECT_FALSE(io.IsDeviceObject(upper));
    EXPECT_TRUE(sim.Get<Pool>().IsLiveBlock(upper));
    EXPECT_EQ(ObDereferenceObject(upper), 0);
    EXPECT_FALSE(sim.Get<Pool>().IsLiveBlock(upper));
    EXPECT_EQ(driver->DeviceObject, lower);
    IoDeleteDevice(lower);
    EXPECT_EQ(driver->DeviceObject, nullptr);
  });
  EXPECT_EQ(Checks(sim), std::vector<std::string>{});
}

TEST(Devices, DeletingADeviceStillAttachedIsReported) {
  Simulation sim(Lenient());
  sim.Run([&] {
    PDRIVER_OBJECT driver = sim.Get<IoManager>().CreateDriverObject(u"\\Driver\\d");
    PDEVICE_OBJECT lower, upper;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    IoAttachDeviceToDeviceStack(upper, lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
  });
  EXPECT_EQ(Checks(sim), std::vector<std::string>{"device-delete-attached"});
}

TEST(Devices, WdmVersionIsWindowsXp) {
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0));
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x30));
  EXPECT_FALSE(IoIsWdmVersionAvailable(6, 0));
}

std::u16string g_seenPath;

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  g_seenPath = FromUnicodeString(registryPath);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EchoDoubled;
  PDEVICE_OBJECT device;
  return IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

void NTAPI TestDriverUnload(PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); }

TEST(Drivers, LoadCallsTheEntryWithItsServiceKeyAndUnloadChecksForDevicesLeft) {
  Simulation sim(Lenient());
  sim.Run([&] {
    IoManager& io = sim.Get<IoManager>();
    PDRIVER_OBJECT driver = nullptr;
    const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\lumo";
    EXPECT_EQ(io.LoadDriver(TestDriverEntry, u"\\Driver\\lumo", path, &driver), STATUS_SUCCESS);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(g_seenPath, path);
    EXPECT_EQ(FromUnicodeString(&driver->DriverExtension->ServiceKeyName), u"lumo");
    EXPECT_EQ(FromUnicodeString(&driver->DriverName), u"\\Driver\\lumo");
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], EchoDoubled);
    ASSERT_NE(driver->DeviceObject, nullptr);
    // Unset major functions reject the request.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, driver->DeviceObject, nullptr, 0, nullptr,
                                            &event, &iosb);
    EXPECT_EQ(IoCallDriver(driver->DeviceObject, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(KeReadStateEvent(&event), 1);

    io.UnloadDriver(driver);  // no unload routine: the device is left behind
    driver->DriverUnload = TestDriverUnload;
    io.UnloadDriver(driver);
  });
  EXPECT_EQ(Checks(sim), std::vector<std::string>{"driver-unload-devices-left"});
}

}  // namespace
}  // namespace lumo::kernel
