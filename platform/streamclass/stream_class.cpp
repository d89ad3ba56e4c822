// The stream class component: registration, the life of request blocks (issue, completion by
// notification, the exactly-once checks, the one-second time-out tick), master clocks, the PnP
// dispatch of functional device objects, and the platform calls of strmini.h.
#include "streamclass/stream_class.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/pool.h"

namespace lumo::streamclass {

namespace {

std::string Hex(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

const char* CommandName(ULONG command) {
  switch (command) {
    case SRB_READ_DATA: return "SRB_READ_DATA";
    case SRB_WRITE_DATA: return "SRB_WRITE_DATA";
    case SRB_GET_STREAM_STATE: return "SRB_GET_STREAM_STATE";
    case SRB_SET_STREAM_STATE: return "SRB_SET_STREAM_STATE";
    case SRB_SET_STREAM_PROPERTY: return "SRB_SET_STREAM_PROPERTY";
    case SRB_GET_STREAM_PROPERTY: return "SRB_GET_STREAM_PROPERTY";
    case SRB_INDICATE_MASTER_CLOCK: return "SRB_INDICATE_MASTER_CLOCK";
    case SRB_PROPOSE_DATA_FORMAT: return "SRB_PROPOSE_DATA_FORMAT";
    case SRB_SET_DATA_FORMAT: return "SRB_SET_DATA_FORMAT";
    case SRB_GET_DATA_FORMAT: return "SRB_GET_DATA_FORMAT";
    case SRB_GET_STREAM_INFO: return "SRB_GET_STREAM_INFO";
    case SRB_OPEN_STREAM: return "SRB_OPEN_STREAM";
    case SRB_CLOSE_STREAM: return "SRB_CLOSE_STREAM";
    case SRB_GET_DEVICE_PROPERTY: return "SRB_GET_DEVICE_PROPERTY";
    case SRB_SET_DEVICE_PROPERTY: return "SRB_SET_DEVICE_PROPERTY";
    case SRB_INITIALIZE_DEVICE: return "SRB_INITIALIZE_DEVICE";
    case SRB_CHANGE_POWER_STATE: return "SRB_CHANGE_POWER_STATE";
    case SRB_UNINITIALIZE_DEVICE: return "SRB_UNINITIALIZE_DEVICE";
    case SRB_UNKNOWN_DEVICE_COMMAND: return "SRB_UNKNOWN_DEVICE_COMMAND";
    case SRB_GET_DATA_INTERSECTION: return "SRB_GET_DATA_INTERSECTION";
    case SRB_INITIALIZATION_COMPLETE: return "SRB_INITIALIZATION_COMPLETE";
    case SRB_SURPRISE_REMOVAL: return "SRB_SURPRISE_REMOVAL";
    default: return "SRB_(other)";
  }
}

// Offset of the per-request extension behind the request block, 8-aligned.
constexpr size_t kExtensionOffset = (sizeof(HW_STREAM_REQUEST_BLOCK) + 7) & ~size_t{7};

}  // namespace

std::string DescribeRequest(const Request& request, const HW_STREAM_REQUEST_BLOCK* srb) {
  return std::string(CommandName(srb->Command)) + " #" + std::to_string(request.serial) +
         " (SRB " + Hex(srb) + ")";
}

// Frees memory the minidriver was given, after the verifier has looked for kernel objects
// still in use inside it.
void ReleaseDriverMemory(std::vector<uint8_t>& memory) {
  if (memory.empty()) return;
  kernel::CheckNoKernelObjectsIn(memory.data(), memory.size());
  kernel::ForgetKernelObjectsIn(memory.data(), memory.size());
  std::vector<uint8_t>().swap(memory);
}

// The pool and the I/O manager are made first, so that they are torn down after the class,
// which frees device objects and checks the minidriver's memory at its own teardown.
StreamClass::StreamClass(Simulation& sim) : sim_(sim) {
  sim.Get<kernel::Pool>();
  sim.Get<kernel::IoManager>();
}

StreamClass::~StreamClass() = default;

const HW_INITIALIZATION_DATA* StreamClass::RegistrationOf(PDRIVER_OBJECT driver) const {
  auto found = registrations_.find(driver);
  return found == registrations_.end() ? nullptr : &found->second.init;
}

NTSTATUS StreamClass::Register(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath,
                               const HW_INITIALIZATION_DATA* init) {
  if (driver == nullptr || init == nullptr) return STATUS_INVALID_PARAMETER;
  if (init->HwInitializationDataSize < sizeof(HW_INITIALIZATION_DATA) ||
      init->HwReceivePacket == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  Registration& registration = registrations_[driver];
  registration.init = *init;
  // The class owns the driver's entry points; only PnP requests matter to the minidriver here.
  driver->MajorFunction[IRP_MJ_PNP] = &StreamClass::DispatchPnp;
  sim_.Trace("streamclass.register", "extensions device " +
                                         std::to_string(init->DeviceExtensionSize) + " stream " +
                                         std::to_string(init->PerStreamExtensionSize) +
                                         " request " +
                                         std::to_string(init->PerRequestExtensionSize));
  return STATUS_SUCCESS;
}

Device* StreamClass::CreateDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice,
                                  PDEVICE_OBJECT realPhysicalDevice) {
  const HW_INITIALIZATION_DATA* init = RegistrationOf(driver);
  if (init == nullptr) {
    sim_.VerifierFailure("streamclass-unregistered",
                         "a device was created for a driver that did not register");
    return nullptr;
  }
  PDEVICE_OBJECT functional = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &functional);
  if (!NT_SUCCESS(status)) return nullptr;
  if (physicalDevice != nullptr) IoAttachDeviceToDeviceStack(functional, physicalDevice);
  devices_.push_back(std::make_unique<Device>(
      *this, driver, *init, functional, physicalDevice,
      realPhysicalDevice != nullptr ? realPhysicalDevice : physicalDevice));
  return devices_.back().get();
}

HANDLE StreamClass::CreateMasterClock(VirtualTime offset) {
  uintptr_t handle = nextClock_;
  nextClock_ += 0x10;
  clocks_[handle].origin = sim_.Now() - offset;
  return reinterpret_cast<HANDLE>(handle);
}

void StreamClass::SetMasterClockTime(HANDLE clock, VirtualTime streamTime) {
  auto found = clocks_.find(reinterpret_cast<uintptr_t>(clock));
  if (found != clocks_.end()) found->second.origin = sim_.Now() - streamTime;
}

void StreamClass::QueryMasterClock(HANDLE clock, PHW_TIME_CONTEXT context) {
  auto found = clocks_.find(reinterpret_cast<uintptr_t>(clock));
  if (found == clocks_.end()) {
    sim_.VerifierFailure("streamclass-bad-clock",
                         "StreamClassQueryMasterClockSync with an unknown clock handle " +
                             Hex(clock));
    context->Time = 0;
    context->SystemTime = static_cast<ULONGLONG>(sim_.Now());
    return;
  }
  context->Time = static_cast<ULONGLONG>(sim_.Now() - found->second.origin);
  context->SystemTime = static_cast<ULONGLONG>(sim_.Now());
}

// --- Requests -------------------------------------------------------------------------------------

std::shared_ptr<Request> StreamClass::NewRequest(Request::Kind kind, Device& device,
                                                 Stream* stream, SRB_COMMAND command) {
  auto request = std::make_shared<Request>();
  request->kind = kind;
  request->serial = nextSerial_++;
  const size_t extensionBytes = device.init_.PerRequestExtensionSize;
  request->storage.assign((kExtensionOffset + extensionBytes + 7) / 8, 0);
  PHW_STREAM_REQUEST_BLOCK srb = request->srb();
  std::memset(reinterpret_cast<uint8_t*>(srb) + kExtensionOffset, kRequestExtensionFill,
              extensionBytes);
  srb->SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
  srb->Command = command;
  srb->Status = STATUS_PENDING;
  srb->StreamObject = stream != nullptr ? stream->Object() : nullptr;
  srb->HwDeviceExtension = device.Extension();
  srb->SRBExtension =
      extensionBytes != 0 ? reinterpret_cast<uint8_t*>(srb) + kExtensionOffset : nullptr;
  srb->TimeoutOriginal = kDefaultRequestTimeoutSeconds;
  srb->TimeoutCounter = kDefaultRequestTimeoutSeconds;
  switch (kind) {
    case Request::Kind::kDevice: srb->Flags = 0; break;
    case Request::Kind::kStreamControl: srb->Flags = SRB_HW_FLAGS_STREAM_REQUEST; break;
    case Request::Kind::kStreamData:
      srb->Flags = SRB_HW_FLAGS_STREAM_REQUEST | SRB_HW_FLAGS_DATA_TRANSFER;
      break;
  }
  return request;
}

void StreamClass::RequestIssued(const std::shared_ptr<Request>& request) {
  PHW_STREAM_REQUEST_BLOCK srb = request->srb();
  request->outstanding = true;
  request->issuedAt = sim_.Now();
  outstanding_[srb] = request;
  completed_.erase(srb);
  sim_.Trace("srb.issue", DescribeRequest(*request, srb));
  ScheduleTick();
}

void StreamClass::CompleteRequest(PHW_STREAM_REQUEST_BLOCK srb, Request::Kind expected,
                                  const char* how) {
  auto found = outstanding_.find(srb);
  if (found == outstanding_.end()) {
    auto done = completed_.find(srb);
    if (done != completed_.end() && !done->second.expired()) {
      auto request = done->second.lock();
      sim_.VerifierFailure("srb-double-complete",
                           DescribeRequest(*request, srb) + " completed again with " + how);
    } else {
      sim_.VerifierFailure("srb-unknown", std::string(how) + " for SRB " + Hex(srb) +
                                              ", which the class never issued");
    }
    return;
  }
  std::shared_ptr<Request> request = found->second;
  const bool isDevice = request->kind == Request::Kind::kDevice;
  if (isDevice != (expected == Request::Kind::kDevice)) {
    sim_.VerifierFailure("srb-wrong-notification",
                         DescribeRequest(*request, srb) + " completed with " + how);
  }
  outstanding_.erase(found);
  completed_[srb] = request;
  request->outstanding = false;
  request->completed = true;
  request->completedAt = sim_.Now();
  sim_.Trace("srb.complete", DescribeRequest(*request, srb), srb->Status);
  if (request->waiter != nullptr) KeSetEvent(request->waiter, 0, FALSE);
  if (tickScheduled_) {
    bool timed = false;
    for (const auto& [pending, other] : outstanding_) {
      if (pending->TimeoutOriginal != 0) timed = true;
    }
    if (!timed) {
      sim_.CancelEvent(tickEvent_);
      tickScheduled_ = false;
    }
  }
}

// The time-out tick runs on whole seconds of virtual time, and only while a request with a
// time-out is outstanding, so that an idle machine has nothing scheduled.
void StreamClass::ScheduleTick() {
  if (tickScheduled_) return;
  bool timed = false;
  for (const auto& [srb, request] : outstanding_) {
    if (srb->TimeoutOriginal != 0) timed = true;
  }
  if (!timed) return;
  const VirtualTime next = (sim_.Now() / kernel::kSecond + 1) * kernel::kSecond;
  tickScheduled_ = true;
  tickEvent_ = sim_.ScheduleAt(next, [this] { Tick(); }, "streamclass.timeout-tick");
}

// DISPATCH_LEVEL. Counts every outstanding request down by one second; a request whose count
// reaches 0 goes to the minidriver's time-out routine. A count the minidriver set to 0 means
// the request does not time out (until the minidriver sets a count again).
void StreamClass::Tick() {
  tickScheduled_ = false;
  std::vector<std::pair<PHW_STREAM_REQUEST_BLOCK, std::weak_ptr<Request>>> snapshot;
  for (const auto& [srb, request] : outstanding_) snapshot.emplace_back(srb, request);
  for (auto& [srb, weak] : snapshot) {
    auto request = weak.lock();
    if (!request || !request->outstanding || srb->TimeoutOriginal == 0) continue;
    if (srb->TimeoutCounter == 0) continue;
    if (--srb->TimeoutCounter != 0) continue;
    Device* device = DeviceOfExtension(srb->HwDeviceExtension);
    if (device == nullptr || device->init_.HwRequestTimeoutHandler == nullptr) continue;
    ++request->timeoutHandlerCalls;
    ++device->timeoutHandlerCalls_;
    sim_.Trace("srb.timeout", DescribeRequest(*request, srb));
    device->init_.HwRequestTimeoutHandler(srb);
  }
  ScheduleTick();
}

Device* StreamClass::DeviceOfExtension(PVOID extension) {
  for (auto& device : devices_) {
    if (device->Extension() == extension) return device.get();
  }
  return nullptr;
}

Device* StreamClass::DeviceOfFunctional(PDEVICE_OBJECT functional) {
  for (auto& device : devices_) {
    if (device->FunctionalDevice() == functional) return device.get();
  }
  return nullptr;
}

// --- Notifications ----------------------------------------------------------------------------------

void StreamClass::DeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type,
                                     PVOID extension, va_list args) {
  Device* device = DeviceOfExtension(extension);
  switch (type) {
    case DeviceRequestComplete: {
      auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
      if (srb != nullptr && srb->HwDeviceExtension != extension) {
        sim_.VerifierFailure("srb-wrong-notification",
                             "DeviceRequestComplete names another device's extension for SRB " +
                                 Hex(srb));
      }
      CompleteRequest(srb, Request::Kind::kDevice, "DeviceRequestComplete");
      break;
    }
    case SignalMultipleDeviceEvents: {
      auto set = va_arg(args, const GUID*);
      auto id = va_arg(args, ULONG);
      if (device != nullptr) device->EventSignalled(set, id);
      break;
    }
    case SignalDeviceEvent: {
      auto entry = va_arg(args, PKSEVENT_ENTRY);
      if (device != nullptr) device->EventSignalled(entry);
      break;
    }
    default:
      // ReadyForNextDeviceRequest and the rest: the class does not serialise the minidriver.
      break;
  }
}

void StreamClass::StreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type,
                                     PHW_STREAM_OBJECT stream, va_list args) {
  switch (type) {
    case StreamRequestComplete: {
      auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
      if (srb != nullptr && srb->StreamObject != stream) {
        sim_.VerifierFailure("srb-wrong-notification",
                             "StreamRequestComplete names another stream for SRB " + Hex(srb));
      }
      CompleteRequest(srb, Request::Kind::kStreamData, "StreamRequestComplete");
      break;
    }
    default:
      break;
  }
}

// --- PnP ----------------------------------------------------------------------------------------------

NTSTATUS NTAPI StreamClass::DispatchPnp(PDEVICE_OBJECT functional, PIRP irp) {
  StreamClass& self = Of(Simulation::Current());
  Device* device = self.DeviceOfFunctional(functional);
  if (device == nullptr) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  return device->HandlePnp(irp);
}

void StreamClass::Teardown(Simulation& sim) {
  for (const auto& [srb, request] : outstanding_) {
    sim.VerifierFailure("srb-never-completed",
                        DescribeRequest(*request, srb) + " issued at " +
                            std::to_string(request->issuedAt) + " was never completed");
  }
  outstanding_.clear();
  completed_.clear();
  for (auto& device : devices_) device->Release();
  devices_.clear();
}

}  // namespace lumo::streamclass

// --- The platform calls ---------------------------------------------------------------------------

using lumo::streamclass::StreamClass;
using lumo::kernel::Simulation;

extern "C" {

NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2,
                                              PHW_INITIALIZATION_DATA HwInitData) {
  return StreamClass::Of(Simulation::Current())
      .Register(static_cast<PDRIVER_OBJECT>(Argument1), static_cast<PUNICODE_STRING>(Argument2),
                HwInitData);
}

void STREAMAPI StreamClassDeviceNotification(
    STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...) {
  va_list args;
  va_start(args, HwDeviceExtension);
  StreamClass::Of(Simulation::Current()).DeviceNotification(NotificationType, HwDeviceExtension,
                                                            args);
  va_end(args);
}

void STREAMAPI StreamClassStreamNotification(
    STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType, PHW_STREAM_OBJECT StreamObject,
    ...) {
  va_list args;
  va_start(args, StreamObject);
  StreamClass::Of(Simulation::Current()).StreamNotification(NotificationType, StreamObject, args);
  va_end(args);
}

void STREAMAPI StreamClassQueryMasterClockSync(HANDLE MasterClockHandle,
                                               PHW_TIME_CONTEXT TimeContext) {
  StreamClass::Of(Simulation::Current()).QueryMasterClock(MasterClockHandle, TimeContext);
}

}  // extern "C"
