// The I/O manager: IRP allocation and the stack walk of IofCallDriver and IofCompleteRequest,
// cancellation, the requests the I/O manager builds, device and driver objects. See io.h for
// the tracked life of an IRP and the checks.
#include "kernel/io.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "kernel/internal.h"
#include "kernel/pool.h"

namespace lumo::kernel {
namespace {

constexpr const char16_t* kImageClassKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\";
constexpr const char16_t* kEnumKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\Lumo\\";

// What the platform presets every major function to: the request is not supported.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Clears what a finished stack location held, keeping the completion routine and its context
// (as the platform does: a routine may look at them no more, but they are not erased).
void ZeroStackLocation(PIO_STACK_LOCATION location) {
  location->MinorFunction = 0;
  location->Flags = 0;
  location->Control = 0;
  location->Parameters.Others.Argument1 = nullptr;
  location->Parameters.Others.Argument2 = nullptr;
  location->Parameters.Others.Argument3 = nullptr;
  location->Parameters.Others.Argument4 = nullptr;
  location->FileObject = nullptr;
}

std::string Hex(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

std::string FourDigits(int index) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d", index);
  return text;
}

}  // namespace

const char* IrpStateName(IrpState state) {
  switch (state) {
    case IrpState::kIdle:
      return "idle";
    case IrpState::kInDriver:
      return "in a driver";
    case IrpState::kCompleting:
      return "in a completion routine";
    case IrpState::kStopped:
      return "stopped by a completion routine";
    case IrpState::kCompleted:
      return "completed";
  }
  return "?";
}

IoManager::IoManager(Simulation& sim) : sim_(sim) { KeInitializeSpinLock(&cancelLock_); }

IoManager::~IoManager() = default;

void IoManager::Report(std::string_view check, std::string message) {
  char where[96];
  std::snprintf(where, sizeof where, " (at t=%" PRId64 ")", sim_.Now());
  sim_.VerifierFailure(check, message + where);
}

// IRPs and devices are named by the order in which this machine first saw them, not by
// address: names go into the trace, which must be the same from run to run.
std::string IoManager::DescribeIrp(PIRP irp) const {
  auto found = irps_.find(irp);
  if (found == irps_.end()) return "IRP at " + Hex(irp);
  std::string text = "IRP#" + std::to_string(found->second.id);
  if (!found->second.site.empty()) text += " (from " + found->second.site + ")";
  return text;
}

std::string IoManager::DescribeDevice(const void* device) const {
  auto found = devices_.find(static_cast<PDEVICE_OBJECT>(const_cast<void*>(device)));
  if (found == devices_.end()) return "object at " + Hex(device);
  return "device#" + std::to_string(found->second.id);
}

IoManager::IrpRecord& IoManager::Track(PIRP irp) {
  auto [it, inserted] = irps_.try_emplace(irp);
  if (inserted) {
    it->second.serial = nextSerial_++;
    it->second.id = nextIrpId_++;
  }
  return it->second;
}

bool IoManager::IsTrackedIrp(PIRP irp) const { return irps_.count(irp) != 0; }

IrpState IoManager::StateOf(PIRP irp) const {
  auto found = irps_.find(irp);
  return found == irps_.end() ? IrpState::kIdle : found->second.state;
}

// --- IRP allocation -----------------------------------------------------------------------------

PIRP IoManager::AllocateIrp(CCHAR stackSize, const void* site) {
  if (stackSize < 1) {
    Report("irp-stack-size", "IoAllocateIrp with StackSize " + std::to_string(stackSize) +
                                 " from " + DescribeCodeAddress(site));
    return nullptr;
  }
  USHORT size = IoSizeOfIrp(stackSize);
  auto irp = static_cast<PIRP>(sim_.Get<Pool>().Allocate(NonPagedPool, size, kIrpPoolTag, site));
  if (irp == nullptr) return nullptr;
  InitializeIrp(irp, size, stackSize);
  irp->AllocationFlags = kIrpAllocatedFixedSize;
  IrpRecord& record = Track(irp);
  record.allocated = true;
  record.built = false;
  record.site = DescribeCodeAddress(site);
  return irp;
}

void IoManager::InitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  auto found = irps_.find(irp);
  if (found != irps_.end() && found->second.state == IrpState::kInDriver) {
    Report("irp-reuse-in-driver",
           "IoInitializeIrp of " + DescribeIrp(irp) + ", which a driver still holds");
  }
  if (packetSize < IoSizeOfIrp(stackSize)) {
    Report("irp-stack-size", "IoInitializeIrp with PacketSize " + std::to_string(packetSize) +
                                 " too small for " + std::to_string(stackSize) +
                                 " stack locations");
    return;
  }
  std::memset(irp, 0, packetSize);
  irp->Type = kIoTypeIrp;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(
      reinterpret_cast<PUCHAR>(irp) + sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
  IrpRecord& record = Track(irp);
  record.state = IrpState::kIdle;
  record.serial = nextSerial_++;
}

void IoManager::ReuseIrp(PIRP irp, NTSTATUS status) {
  auto found = irps_.find(irp);
  if (found != irps_.end() && found->second.state == IrpState::kInDriver) {
    Report("irp-reuse-in-driver",
           "IoReuseIrp of " + DescribeIrp(irp) + ", which a driver still holds");
    return;
  }
  if (irp->CancelRoutine != nullptr) {
    Report("irp-cancel-routine-set",
           "IoReuseIrp of " + DescribeIrp(irp) + " with a cancel routine still set");
  }
  UCHAR allocationFlags = irp->AllocationFlags;
  InitializeIrp(irp, irp->Size, irp->StackCount);
  irp->AllocationFlags = allocationFlags;
  irp->IoStatus.Status = status;
}

void IoManager::FreeIrp(PIRP irp, const void* site) {
  auto found = irps_.find(irp);
  if (irp == nullptr || found == irps_.end()) {
    // Not an IRP we know: the pool names a second free or a foreign pointer.
    if (irp != nullptr)
      sim_.Get<Pool>().Free(irp, kIrpPoolTag, false, site);
    else
      Report("irp-bad-free", "IoFreeIrp(NULL) from " + DescribeCodeAddress(site));
    return;
  }
  if (found->second.state == IrpState::kInDriver) {
    Report("irp-free-in-driver", "IoFreeIrp of " + DescribeIrp(irp) + " from " +
                                     DescribeCodeAddress(site) + " while a driver still holds it");
    return;
  }
  if (!found->second.allocated) {
    Report("irp-bad-free", "IoFreeIrp of " + DescribeIrp(irp) +
                               ", which IoAllocateIrp did not allocate, from " +
                               DescribeCodeAddress(site));
    return;
  }
  irps_.erase(found);
  sim_.Get<Pool>().Free(irp, kIrpPoolTag, false, site);
}

// --- Requests the I/O manager builds
// --------------------------------------------------------------

PIRP IoManager::BuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                            ULONG inputLength, PVOID output, ULONG outputLength,
                                            BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb,
                                            const void* site) {
  PIRP irp = AllocateIrp(device->StackSize, site);
  if (irp == nullptr) return nullptr;
  IrpRecord& record = Track(irp);
  record.built = true;
  record.allocated = false;  // the I/O manager frees it when it completes; IoFreeIrp may not
  record.outputLength = outputLength;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = iosb;
  irp->UserEvent = event;

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.IoControlCode = code;

  Pool& pool = sim_.Get<Pool>();
  auto fail = [&]() -> PIRP {
    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
      pool.Free(irp->AssociatedIrp.SystemBuffer, kBufferPoolTag, false, site);
    }
    irps_.erase(irp);
    pool.Free(irp, kIrpPoolTag, false, site);
    return nullptr;
  };
  switch (code & 3) {
    case METHOD_BUFFERED: {
      ULONG bytes = std::max(inputLength, outputLength);
      if (bytes != 0) {
        void* buffer = pool.Allocate(NonPagedPool, bytes, kBufferPoolTag, site);
        if (buffer == nullptr) return fail();
        irp->AssociatedIrp.SystemBuffer = buffer;
        if (input != nullptr && inputLength != 0) std::memcpy(buffer, input, inputLength);
        irp->Flags = kIrpBufferedIo | kIrpDeallocateBuffer;
        if (output != nullptr && outputLength != 0) {
          irp->UserBuffer = output;
          irp->Flags |= kIrpInputOperation;
        }
      }
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
      if (input != nullptr && inputLength != 0) {
        void* buffer = pool.Allocate(NonPagedPool, inputLength, kBufferPoolTag, site);
        if (buffer == nullptr) return fail();
        std::memcpy(buffer, input, inputLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags = kIrpBufferedIo | kIrpDeallocateBuffer;
      }
      if (output != nullptr && outputLength != 0) {
        // The MDL describes the caller's buffer in place; user space is system space here.
        auto mdl = static_cast<PMDL>(pool.Allocate(NonPagedPool, sizeof(MDL), kMdlPoolTag, site));
        if (mdl == nullptr) return fail();
        std::memset(mdl, 0, sizeof(MDL));
        mdl->Size = sizeof(MDL);
        mdl->StartVa = output;
        mdl->MappedSystemVa = output;
        mdl->ByteCount = outputLength;
        irp->MdlAddress = mdl;
        irp->UserBuffer = output;
      }
      break;
    }
    case METHOD_NEITHER:
      next->Parameters.DeviceIoControl.Type3InputBuffer = input;
      irp->UserBuffer = output;
      break;
  }
  if (sim_.Options().traceEveryCall) {
    char detail[96];
    std::snprintf(detail, sizeof detail, "code 0x%08x", static_cast<unsigned>(code));
    sim_.Trace("irp.build", DescribeIrp(irp) + " " + detail, 0);
  }
  return irp;
}

PIRP IoManager::BuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer,
                                           ULONG length, PLARGE_INTEGER offset, PKEVENT event,
                                           PIO_STATUS_BLOCK iosb, const void* site) {
  PIRP irp = AllocateIrp(device->StackSize, site);
  if (irp == nullptr) return nullptr;
  Track(irp).built = true;
  Track(irp).allocated = false;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  irp->UserBuffer = buffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = static_cast<UCHAR>(major);
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    next->Parameters.Read.Length = length;
    if (offset != nullptr) next->Parameters.Read.ByteOffset = *offset;
    if (buffer != nullptr && length != 0) {
      // Devices that take buffered I/O see the caller's buffer directly: nothing to copy.
      irp->AssociatedIrp.SystemBuffer = buffer;
    }
  }
  return irp;
}

void IoManager::FinishBuiltIrp(PIRP irp) {
  Pool& pool = sim_.Get<Pool>();
  auto found = irps_.find(irp);
  ULONG outputLength = found != irps_.end() ? found->second.outputLength : 0;
  if ((irp->Flags & kIrpInputOperation) != 0 && !NT_ERROR(irp->IoStatus.Status) &&
      irp->UserBuffer != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr) {
    size_t bytes = std::min<size_t>(irp->IoStatus.Information, outputLength);
    std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
  }
  if ((irp->Flags & kIrpDeallocateBuffer) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
    pool.Free(irp->AssociatedIrp.SystemBuffer, kBufferPoolTag, false, nullptr);
  }
  if (irp->MdlAddress != nullptr) pool.Free(irp->MdlAddress, kMdlPoolTag, false, nullptr);
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  if (found != irps_.end()) irps_.erase(found);
  pool.Free(irp, kIrpPoolTag, false, nullptr);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// --- Call and complete ---------------------------------------------------------------------------

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Report("irp-irql", "IofCallDriver of " + DescribeIrp(irp) + " at IRQL " + std::to_string(irql));
  }
  IrpRecord& record = Track(irp);
  if (irp->CurrentLocation <= 1) {
    Report("irp-stack-overflow", "IofCallDriver of " + DescribeIrp(irp) +
                                     " with no stack location left (StackCount " +
                                     std::to_string(irp->StackCount) + ")");
    return STATUS_INVALID_PARAMETER;
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  location->DeviceObject = device;
  record.state = IrpState::kInDriver;
  if (sim_.Options().traceEveryCall) {
    char detail[64];
    std::snprintf(detail, sizeof detail, " major 0x%02x minor 0x%02x", location->MajorFunction,
                  location->MinorFunction);
    sim_.Trace("irp.call", DescribeIrp(irp) + detail, 0);
  }
  PDRIVER_DISPATCH dispatch = InvalidDeviceRequest;
  if (location->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION && device->DriverObject != nullptr &&
      device->DriverObject->MajorFunction[location->MajorFunction] != nullptr) {
    dispatch = device->DriverObject->MajorFunction[location->MajorFunction];
  }
  return dispatch(device, irp);
}

void IoManager::CompleteRequest(PIRP irp, CCHAR boost) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Report("irp-irql",
           "IofCompleteRequest of " + DescribeIrp(irp) + " at IRQL " + std::to_string(irql));
  }
  IrpRecord& record = Track(irp);
  if (record.state == IrpState::kCompleted || irp->CurrentLocation > irp->StackCount) {
    Report(
        "irp-double-complete",
        "IofCompleteRequest of " + DescribeIrp(irp) + ", which is " +
            (record.state == IrpState::kCompleted ? "already completed" : "not in any driver") +
            " (status 0x" +
            [&] {
              char text[16];
              std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(irp->IoStatus.Status));
              return std::string(text);
            }() +
            ")");
    return;
  }
  if (irp->CancelRoutine != nullptr) {
    Report("irp-cancel-routine-set",
           "IofCompleteRequest of " + DescribeIrp(irp) + " with its cancel routine still set");
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    Report("irp-complete-pending",
           "IofCompleteRequest of " + DescribeIrp(irp) + " with status STATUS_PENDING");
  }
  ++completions_;
  sim_.Trace("irp.complete", DescribeIrp(irp), irp->IoStatus.Status);

  const uint64_t serial = record.serial;
  const bool built = record.built;
  const bool allocated = record.allocated;
  record.state = IrpState::kCompleting;

  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  for (; irp->CurrentLocation <= irp->StackCount + 1;
       location++, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
    UCHAR control = location->Control;
    irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                  (irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0);
    if (invoke && location->CompletionRoutine != nullptr) {
      ZeroStackLocation(location);
      // The routine gets the device object of the driver that set it: the one whose location
      // is now current; none when the routine belongs to the IRP's allocator.
      PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      NTSTATUS result = location->CompletionRoutine(device, irp, location->Context);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine's driver owns the IRP again; it may already have freed, reused or resent
        // it, so only a record of the same life is touched.
        auto found = irps_.find(irp);
        if (found != irps_.end() && found->second.serial == serial &&
            found->second.state == IrpState::kCompleting) {
          found->second.state = IrpState::kStopped;
        }
        return;
      }
    } else {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
        IoMarkIrpPending(irp);
      }
      ZeroStackLocation(location);
    }
  }

  auto found = irps_.find(irp);
  if (found != irps_.end() && found->second.serial == serial) {
    found->second.state = IrpState::kCompleted;
  }
  if (built) {
    FinishBuiltIrp(irp);
  } else if (allocated) {
    Report("irp-no-owner", "the completion of " + DescribeIrp(irp) +
                               " reached the top of its stack: its allocator must stop it "
                               "with STATUS_MORE_PROCESSING_REQUIRED");
  }
}

BOOLEAN IoManager::CancelIrp(PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&cancelLock_, &irql);
  irp->Cancel = TRUE;
  auto routine = reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine), nullptr));
  sim_.Trace("irp.cancel", DescribeIrp(irp), routine != nullptr);
  if (routine != nullptr) {
    irp->CancelIrql = irql;
    ++cancelRoutineCalls_;
    PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                : nullptr;
    // The routine releases the cancel spin lock.
    routine(device, irp);
    return TRUE;
  }
  KeReleaseSpinLock(&cancelLock_, irql);
  return FALSE;
}

// --- Device objects
// -------------------------------------------------------------------------------

NTSTATUS IoManager::CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                 ULONG type, ULONG characteristics, PDEVICE_OBJECT* device,
                                 const void* site) {
  *device = nullptr;
  std::u16string deviceName = FromUnicodeString(name);
  if (!deviceName.empty()) {
    for (const auto& [other, record] : devices_) {
      if (!record.deleted && record.name == deviceName) return STATUS_OBJECT_NAME_COLLISION;
    }
  }
  constexpr size_t kObjectBytes = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;
  void* memory =
      sim_.Get<Pool>().Allocate(NonPagedPool, kObjectBytes + extensionSize, kDevicePoolTag, site);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(memory, 0, kObjectBytes + extensionSize);
  auto object = static_cast<PDEVICE_OBJECT>(memory);
  object->Type = kIoTypeDevice;
  object->Size = static_cast<USHORT>(std::min<size_t>(kObjectBytes + extensionSize, 0xFFFF));
  object->DriverObject = driver;
  object->Flags = DO_DEVICE_INITIALIZING;
  object->DeviceType = type;
  object->Characteristics = characteristics;
  object->StackSize = 1;
  object->DeviceExtension =
      extensionSize != 0 ? static_cast<PUCHAR>(memory) + kObjectBytes : nullptr;
  if (driver != nullptr) {
    object->NextDevice = driver->DeviceObject;
    driver->DeviceObject = object;
  }
  DeviceRecord& record = devices_[object];
  record = DeviceRecord{};
  record.id = nextDeviceId_++;
  record.name = deviceName;
  *device = object;
  return STATUS_SUCCESS;
}

void IoManager::ReleaseDevice(PDEVICE_OBJECT device) {
  auto found = devices_.find(device);
  if (found == devices_.end() || found->second.references > 0 || !found->second.deleted) return;
  devices_.erase(found);
  sim_.Get<Pool>().Free(device, kDevicePoolTag, false, nullptr);
}

void IoManager::DeleteDevice(PDEVICE_OBJECT device) {
  auto found = devices_.find(device);
  if (found == devices_.end() || found->second.deleted) {
    Report("ob-unknown-object",
           "IoDeleteDevice of " + DescribeDevice(device) + ", which is " +
               (found == devices_.end() ? "not a device object" : "already deleted"));
    return;
  }
  DeviceRecord& record = found->second;
  if (record.lower != nullptr && record.lower->AttachedDevice == device) {
    Report("device-delete-attached", "IoDeleteDevice of " + DescribeDevice(device) +
                                         ", still attached to the device below it");
  }
  if (PDRIVER_OBJECT driver = device->DriverObject) {
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
      if (*link == device) {
        *link = device->NextDevice;
        break;
      }
    }
  }
  record.deleted = true;
  --record.references;
  ReleaseDevice(device);
}

PDEVICE_OBJECT IoManager::AttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  if (target == nullptr || source == nullptr) return nullptr;
  PDEVICE_OBJECT top = target;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  auto found = devices_.find(top);
  if (found != devices_.end() && found->second.deleted) return nullptr;
  top->AttachedDevice = source;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  source->AlignmentRequirement = std::max(source->AlignmentRequirement, top->AlignmentRequirement);
  devices_[source].lower = top;
  return top;
}

void IoManager::DetachDevice(PDEVICE_OBJECT target) {
  PDEVICE_OBJECT upper = target->AttachedDevice;
  if (upper == nullptr) return;
  auto found = devices_.find(upper);
  if (found != devices_.end() && found->second.lower == target) found->second.lower = nullptr;
  target->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoManager::GetAttachedDeviceReference(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT top = device;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  ReferenceObject(top);
  return top;
}

LONG_PTR IoManager::ReferenceObject(PVOID object) {
  auto found = devices_.find(static_cast<PDEVICE_OBJECT>(object));
  if (found == devices_.end()) {
    Report("ob-unknown-object", "ObfReferenceObject of " + DescribeDevice(object) +
                                    ", which is not an object of this machine");
    return 0;
  }
  return ++found->second.references;
}

LONG_PTR IoManager::DereferenceObject(PVOID object) {
  auto device = static_cast<PDEVICE_OBJECT>(object);
  auto found = devices_.find(device);
  if (found == devices_.end()) {
    Report("ob-unknown-object", "ObfDereferenceObject of " + DescribeDevice(object) +
                                    ", which is not an object of this machine");
    return 0;
  }
  if (found->second.references <= 0 || (found->second.references == 1 && !found->second.deleted)) {
    // The last reference of a device that is not deleted is its creator's, dropped only by
    // IoDeleteDevice.
    Report("ob-over-dereference", "ObfDereferenceObject of " + DescribeDevice(object) +
                                      " dropped a reference nobody took");
    return found->second.references;
  }
  LONG left = --found->second.references;
  ReleaseDevice(device);
  return left;
}

LONG IoManager::ReferenceCountOf(PDEVICE_OBJECT device) const {
  auto found = devices_.find(device);
  return found == devices_.end() ? 0 : found->second.references;
}

bool IoManager::IsDeviceObject(const void* object) const {
  auto found = devices_.find(static_cast<PDEVICE_OBJECT>(const_cast<void*>(object)));
  return found != devices_.end() && !found->second.deleted;
}

PDEVICE_OBJECT IoManager::LowerDeviceOf(PDEVICE_OBJECT device) const {
  auto found = devices_.find(device);
  return found == devices_.end() ? nullptr : found->second.lower;
}

void IoManager::SetDriverKeyPath(PDEVICE_OBJECT device, const std::u16string& path) {
  devices_[device].driverKey = path;
}

std::u16string IoManager::DriverKeyPath(PDEVICE_OBJECT device) {
  auto found = devices_.find(device);
  if (found == devices_.end()) return {};
  if (found->second.driverKey.empty()) {
    found->second.driverKey = kImageClassKey + ToUtf16(FourDigits(nextDriverKeyIndex_++));
  }
  return found->second.driverKey;
}

std::u16string IoManager::DeviceKeyPath(PDEVICE_OBJECT device) {
  auto found = devices_.find(device);
  if (found == devices_.end()) return {};
  if (found->second.deviceKey.empty()) {
    found->second.deviceKey =
        kEnumKey + ToUtf16(FourDigits(nextDeviceKeyIndex_++)) + u"\\Device Parameters";
  }
  return found->second.deviceKey;
}

// --- Driver objects
// -------------------------------------------------------------------------------

PDRIVER_OBJECT IoManager::CreateDriverObject(const std::u16string& name) {
  DriverRecord record;
  record.object = std::make_unique<DRIVER_OBJECT>();
  record.extension = std::make_unique<DRIVER_EXTENSION>();
  record.name = name;
  PDRIVER_OBJECT driver = record.object.get();
  std::memset(driver, 0, sizeof *driver);
  std::memset(record.extension.get(), 0, sizeof(DRIVER_EXTENSION));
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = record.extension.get();
  record.extension->DriverObject = driver;
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
  drivers_.push_back(std::move(record));
  DriverRecord& stored = drivers_.back();
  stored.name.reserve(stored.name.size() + 1);
  driver->DriverName.Buffer = reinterpret_cast<PWSTR>(stored.name.data());
  driver->DriverName.Length = static_cast<USHORT>(stored.name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  return driver;
}

NTSTATUS IoManager::LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& name,
                               const std::u16string& registryPath, PDRIVER_OBJECT* driver) {
  PDRIVER_OBJECT object = CreateDriverObject(name);
  DriverRecord& record = drivers_.back();
  record.registryPath = registryPath;
  // The service key name is the last component of the registry path.
  std::u16string& path = record.registryPath;
  size_t slash = path.rfind(u'\\');
  size_t start = slash == std::u16string::npos ? 0 : slash + 1;
  object->DriverExtension->ServiceKeyName.Buffer = reinterpret_cast<PWSTR>(path.data() + start);
  object->DriverExtension->ServiceKeyName.Length =
      static_cast<USHORT>((path.size() - start) * sizeof(WCHAR));
  object->DriverExtension->ServiceKeyName.MaximumLength =
      object->DriverExtension->ServiceKeyName.Length;
  UNICODE_STRING registryPathString;
  registryPathString.Buffer = reinterpret_cast<PWSTR>(path.data());
  registryPathString.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
  registryPathString.MaximumLength = registryPathString.Length;
  if (driver != nullptr) *driver = object;
  NTSTATUS status = entry(object, &registryPathString);
  sim_.Trace("driver.load", ToUtf8(name), status);
  return status;
}

void IoManager::UnloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  sim_.Trace("driver.unload", ToUtf8(FromUnicodeString(&driver->DriverName)), 0);
  if (driver->DeviceObject != nullptr) {
    Report("driver-unload-devices-left", "driver " +
                                             ToUtf8(FromUnicodeString(&driver->DriverName)) +
                                             " unloaded with device objects left");
  }
}

void IoManager::Teardown(Simulation& sim) {
  std::string stuck;
  size_t count = 0;
  for (const auto& [irp, record] : irps_) {
    if (record.state == IrpState::kInDriver || record.state == IrpState::kCompleting) {
      ++count;
      stuck += "\n  " + DescribeIrp(irp) + ", " + IrpStateName(record.state);
    }
  }
  if (count != 0) {
    Report("irp-leak", std::to_string(count) + " IRP(s) never completed:" + stuck);
  }
}

}  // namespace lumo::kernel

// --- The platform calls
// ---------------------------------------------------------------------------

using lumo::kernel::IoManager;
using lumo::kernel::Simulation;

namespace {
IoManager& Io() { return Simulation::Current().Get<IoManager>(); }
}  // namespace

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  return Io().AllocateIrp(StackSize, __builtin_return_address(0));
}

void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  Io().InitializeIrp(Irp, PacketSize, StackSize);
}

void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) { Io().ReuseIrp(Irp, Iostatus); }

void NTAPI IoFreeIrp(PIRP Irp) { Io().FreeIrp(Irp, __builtin_return_address(0)); }

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  return Io().BuildDeviceIoControlRequest(
      IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
      InternalDeviceIoControl, Event, IoStatusBlock, __builtin_return_address(0));
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  return Io().BuildSynchronousFsdRequest(MajorFunction, DeviceObject, Buffer, Length,
                                         StartingOffset, Event, IoStatusBlock,
                                         __builtin_return_address(0));
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return Io().CallDriver(DeviceObject, Irp);
}

void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  Io().CompleteRequest(Irp, PriorityBoost);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) { return Io().CancelIrp(Irp); }

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                 reinterpret_cast<PVOID>(CancelRoutine)));
}

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(Io().CancelSpinLock(), Irql); }

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(Io().CancelSpinLock(), Irql); }

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  return Io().CreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                           DeviceCharacteristics, DeviceObject, __builtin_return_address(0));
}

void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) { Io().DeleteDevice(DeviceObject); }

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  return Io().AttachDeviceToDeviceStack(SourceDevice, TargetDevice);
}

void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) { Io().DetachDevice(TargetDevice); }

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  return Io().GetAttachedDeviceReference(DeviceObject);
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) { return Io().ReferenceObject(Object); }

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) { return Io().DereferenceObject(Object); }

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  using lumo::kernel::kWdmMajorVersion;
  using lumo::kernel::kWdmMinorVersion;
  return MajorVersion < kWdmMajorVersion ||
         (MajorVersion == kWdmMajorVersion && MinorVersion <= kWdmMinorVersion);
}

void NTAPI PoStartNextPowerIrp(PIRP Irp) {
  // Power IRPs are not serialised per device here, so there is no next one to release.
  Simulation& sim = Simulation::Current();
  if (sim.Options().traceEveryCall) sim.Trace("PoStartNextPowerIrp", {}, 0);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return Io().CallDriver(DeviceObject, Irp);
}

}  // extern "C"
