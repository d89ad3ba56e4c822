// The bus driver stand-in: URB execution against device models in virtual bus time.
#include "usbbus/usb_bus.h"

#include <usbdlib.h>

#include <algorithm>
#include <cstring>

#include "kernel/io.h"
#include "kernel/pool.h"

namespace lumo::usbbus {

enum class TransferKind { kControl, kIsochronous, kBulk, kPortReset };
enum class ControlAction { kNone, kSelectConfiguration, kSelectInterface };

struct UsbPort::Pipe {
  uint8_t interfaceNumber;
  uint8_t endpointAddress;
  USBD_PIPE_TYPE type;
  uint32_t maxPacketSize;
  uint32_t pollIntervals;  // interrupt pipes: bus intervals between packets
  uint64_t nextFree = 0;   // isochronous: first interval after the last queued transfer
  bool halted = false;     // bulk and interrupt: after an error, until a pipe reset
};

struct UsbPort::Transfer {
  uint64_t id = 0;
  TransferKind kind = TransferKind::kControl;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  Pipe* pipe = nullptr;
  kernel::Simulation::EventId event = 0;
  // Control.
  usb::SetupPacket setup{};
  uint8_t* buffer = nullptr;
  ControlAction action = ControlAction::kNone;
  bool inFlight = false;
  bool stuck = false;  // the device never answers
  // Isochronous.
  uint64_t startInterval = 0, endInterval = 0, filledUpTo = 0;
  // Bulk and interrupt.
  uint32_t length = 0, moved = 0, backoff = 1;
};

namespace {

constexpr VirtualTime kMaxBackoff = 8 * kernel::kMillisecond;
constexpr uint32_t kMaxIsochronousPackets = 1024;

uint8_t* TransferBufferOf(PVOID buffer, PMDL mdl) {
  if (buffer) return static_cast<uint8_t*>(buffer);
  if (!mdl) return nullptr;
  if (mdl->MappedSystemVa) return static_cast<uint8_t*>(mdl->MappedSystemVa);
  return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
}

UsbBus& BusOf() { return kernel::Simulation::Current().Get<UsbBus>(); }

USBD_PIPE_TYPE PipeTypeOf(uint8_t attributes) {
  return static_cast<USBD_PIPE_TYPE>(attributes & USB_ENDPOINT_TYPE_MASK);
}

}  // namespace

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) {
    return status == USBD_STATUS_CANCELED ? STATUS_CANCELLED : STATUS_SUCCESS;
  }
  switch (status) {
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_BAD_START_FRAME:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NO_BANDWIDTH:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// ---- Ports ---------------------------------------------------------------------------------

UsbPort::UsbPort(UsbBus& bus, usb::DeviceModel* device, PortOptions options)
    : bus_(bus), device_(device), options_(options) {
  const bool high = device->GetSpeed() == usb::Speed::kHigh;
  controlTime_ = options.controlTransferTime
                     ? options.controlTransferTime
                     : (high ? 500 * kernel::kMicrosecond : 2 * kernel::kMillisecond);
}

void UsbPort::Unplug() {
  bus_.sim_.ScheduleAt(bus_.sim_.Now(), [this] {
    UsbBus::Completions done;
    KIRQL irql;
    KeAcquireSpinLock(&bus_.lock_, &irql);
    bus_.DoUnplug(*this, done);
    KeReleaseSpinLock(&bus_.lock_, irql);
    bus_.Flush(done);
  }, "usb.unplug");
}

void UsbPort::Replug() {
  bus_.sim_.ScheduleAt(bus_.sim_.Now(), [this] {
    KIRQL irql;
    KeAcquireSpinLock(&bus_.lock_, &irql);
    connected_ = true;
    enabled_ = true;
    configurationValue_ = 0;
    for (auto& pipe : pipes_) oldPipes_.push_back(std::move(pipe));
    pipes_.clear();
    device_->PortReset(bus_.sim_.Now());
    bus_.DeviceControl(*this, {0x00, USB_REQUEST_SET_ADDRESS, 1, 0, 0}, nullptr);
    bus_.DeviceControl(*this, {0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0}, nullptr);
    KeReleaseSpinLock(&bus_.lock_, irql);
    bus_.sim_.Trace("usb.replug", "", 0);
  }, "usb.replug");
}

void UsbPort::Disable() {
  bus_.sim_.ScheduleAt(bus_.sim_.Now(), [this] {
    UsbBus::Completions done;
    KIRQL irql;
    KeAcquireSpinLock(&bus_.lock_, &irql);
    enabled_ = false;
    bus_.FailAll(*this, USBD_STATUS_DEV_NOT_RESPONDING, done);
    KeReleaseSpinLock(&bus_.lock_, irql);
    bus_.Flush(done);
  }, "usb.disable");
}

// ---- The bus -------------------------------------------------------------------------------

UsbBus::UsbBus(kernel::Simulation& sim) : sim_(sim) {
  // The pool and the I/O manager exist before the bus, so that the bus is torn down (and
  // deletes its PDOs) before they check for leaks.
  sim.Get<kernel::Pool>();
  KeInitializeSpinLock(&lock_);
  driver_ = sim.Get<kernel::IoManager>().CreateDriverObject(u"\\Driver\\usbhub");
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
  driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
}

UsbBus::~UsbBus() = default;

void UsbBus::Teardown(kernel::Simulation& sim) {
  for (auto& port : ports_) {
    if (port->pdo_) IoDeleteDevice(port->pdo_);
    port->pdo_ = nullptr;
  }
}

UsbPort& UsbBus::Attach(usb::DeviceModel* device, PortOptions options) {
  ports_.push_back(std::unique_ptr<UsbPort>(new UsbPort(*this, device, options)));
  UsbPort& port = *ports_.back();
  PDEVICE_OBJECT pdo = nullptr;
  const NTSTATUS status =
      IoCreateDevice(driver_, sizeof(UsbPort*), nullptr, FILE_DEVICE_USB, 0, FALSE, &pdo);
  ASSERT(NT_SUCCESS(status));
  *static_cast<UsbPort**>(pdo->DeviceExtension) = &port;
  pdo->StackSize = 1;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  port.pdo_ = pdo;
  // Enumeration: address, then the configuration descriptor set, as the hub driver reads it.
  DeviceControl(port, {0x00, USB_REQUEST_SET_ADDRESS, 1, 0, 0}, nullptr);
  uint8_t head[sizeof(USB_CONFIGURATION_DESCRIPTOR)] = {};
  DeviceControl(port, {0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0,
                       sizeof(head)}, head);
  const uint16_t total = static_cast<uint16_t>(head[2] | (head[3] << 8));
  port.configurationSet_.assign(std::max<size_t>(total, sizeof(head)), 0);
  const usb::ControlResult read = DeviceControl(
      port, {0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, total},
      port.configurationSet_.data());
  port.configurationSet_.resize(read.length);
  sim_.Trace("usb.attach", "port " + std::to_string(ports_.size()), read.length);
  return port;
}

UsbPort* UsbBus::PortOf(PDEVICE_OBJECT pdo) const {
  for (const auto& port : ports_) {
    if (port->pdo_ == pdo) return port.get();
  }
  return nullptr;
}

uint64_t UsbBus::CurrentInterval(const UsbPort& port) const {
  const VirtualTime d = usb::IntervalDuration(port.device_->GetSpeed());
  return static_cast<uint64_t>((sim_.Now() + d - 1) / d);
}

usb::ControlResult UsbBus::DeviceControl(UsbPort& port, const usb::SetupPacket& setup,
                                         uint8_t* data) {
  ++port.stats_.controlTransfers;
  return port.device_->Control(sim_.Now(), setup, data);
}

UsbPort::Pipe* UsbBus::FindPipe(UsbPort& port, USBD_PIPE_HANDLE handle) const {
  for (const auto& pipe : port.pipes_) {
    if (pipe.get() == handle) return pipe.get();
  }
  return nullptr;
}

UsbPort::Transfer* UsbBus::FindTransfer(UsbPort& port, uint64_t id) const {
  for (const auto& transfer : port.transfers_) {
    if (transfer->id == id) return transfer.get();
  }
  return nullptr;
}

// ---- Dispatch ------------------------------------------------------------------------------

NTSTATUS NTAPI UsbBus::DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
  UsbBus& bus = BusOf();
  UsbPort* port = bus.PortOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  Completions done;
  NTSTATUS result = STATUS_PENDING;
  KIRQL irql;
  KeAcquireSpinLock(&bus.lock_, &irql);
  bool completed = false;  // SubmitUrb queues its own immediate completions
  if (port == nullptr) {
    result = STATUS_NO_SUCH_DEVICE;
  } else if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    result = bus.SubmitUrb(*port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1),
                           done);
    completed = true;
  } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
    bus.CheckPortFault(*port, done);
    auto* bits = static_cast<PULONG>(stack->Parameters.Others.Argument1);
    if (bits == nullptr) {
      result = STATUS_INVALID_PARAMETER;
    } else {
      *bits = (port->connected_ ? USBD_PORT_CONNECTED : 0) |
              (port->connected_ && port->enabled_ ? USBD_PORT_ENABLED : 0);
      result = STATUS_SUCCESS;
    }
  } else if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
    if (!port->connected_) {
      result = STATUS_DEVICE_NOT_CONNECTED;
    } else {
      auto transfer = std::make_unique<UsbPort::Transfer>();
      transfer->kind = TransferKind::kPortReset;
      transfer->irp = irp;
      bus.Enqueue(*port, std::move(transfer), done);
    }
  } else {
    result = STATUS_INVALID_DEVICE_REQUEST;
  }
  if (result != STATUS_PENDING && !completed) done.push_back({irp, result});
  KeReleaseSpinLock(&bus.lock_, irql);
  bus.Flush(done);
  return result;
}

NTSTATUS NTAPI UsbBus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  // The PDO accepts the device's life cycle requests and leaves the others as they came.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI UsbBus::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

void NTAPI UsbBus::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbBus& bus = BusOf();
  UsbPort* port = bus.PortOf(device);
  Completions done;
  KIRQL irql;
  KeAcquireSpinLock(&bus.lock_, &irql);
  if (port) {
    for (const auto& transfer : port->transfers_) {
      if (transfer->irp == irp) {
        ++port->stats_.cancelled;
        bus.Finish(*port, transfer.get(), USBD_STATUS_CANCELED, done);
        break;
      }
    }
  }
  KeReleaseSpinLock(&bus.lock_, irql);
  bus.Flush(done);
}

// ---- Submission ----------------------------------------------------------------------------

void UsbBus::FinishNow(UsbPort& port, PIRP irp, PURB urb, USBD_STATUS status, Completions& done) {
  if (urb) urb->UrbHeader.Status = status;
  done.push_back({irp, NtStatusFromUsbd(status)});
}

NTSTATUS UsbBus::SubmitUrb(UsbPort& port, PIRP irp, PURB urb, Completions& done) {
  auto fail = [&](USBD_STATUS status) {
    FinishNow(port, irp, urb, status, done);
    return done.back().status;
  };
  if (urb == nullptr) {
    done.push_back({irp, STATUS_INVALID_PARAMETER});
    return STATUS_INVALID_PARAMETER;
  }
  ++port.stats_.urbs;
  CheckPortFault(port, done);
  const USHORT length = urb->UrbHeader.Length;
  const USHORT function = urb->UrbHeader.Function;
  if (!port.connected_) return fail(USBD_STATUS_DEVICE_GONE);
  if (!port.enabled_) return fail(USBD_STATUS_DEV_NOT_RESPONDING);
  urb->UrbHeader.Status = USBD_STATUS_PENDING;

  auto transfer = std::make_unique<UsbPort::Transfer>();
  transfer->irp = irp;
  transfer->urb = urb;
  auto control = [&](uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                     ULONG bufferLength, uint8_t* buffer, bool in) -> NTSTATUS {
    if (bufferLength > 0xFFFF || (bufferLength && !buffer)) {
      return fail(USBD_STATUS_INVALID_PARAMETER);
    }
    transfer->kind = TransferKind::kControl;
    transfer->setup = {static_cast<uint8_t>(type | (in ? 0x80 : 0)), request, value, index,
                       static_cast<uint16_t>(bufferLength)};
    transfer->buffer = buffer;
    Enqueue(port, std::move(transfer), done);
    return STATUS_PENDING;
  };

  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      auto& r = urb->UrbSelectConfiguration;
      if (length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      const uint16_t value =
          r.ConfigurationDescriptor ? r.ConfigurationDescriptor->bConfigurationValue : 0;
      transfer->action = ControlAction::kSelectConfiguration;
      return control(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0, nullptr, false);
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
      auto& r = urb->UrbSelectInterface;
      if (length < offsetof(struct _URB_SELECT_INTERFACE, Interface) +
                       offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      if (port.configurationValue_ == 0 || r.ConfigurationHandle != &port.configurationSet_) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      transfer->action = ControlAction::kSelectInterface;
      return control(0x01, USB_REQUEST_SET_INTERFACE, r.Interface.AlternateSetting,
                     r.Interface.InterfaceNumber, 0, nullptr, false);
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
      if (length < sizeof(struct _URB_PIPE_REQUEST)) return fail(USBD_STATUS_INVALID_PARAMETER);
      UsbPort::Pipe* pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
      if (!pipe) return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
      AbortPipe(port, pipe, done);
      if (function == URB_FUNCTION_RESET_PIPE) {
        pipe->halted = false;
        pipe->nextFree = 0;
      }
      return fail(USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      if (length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      urb->UrbGetCurrentFrameNumber.FrameNumber =
          static_cast<ULONG>(sim_.Now() / kernel::kMillisecond);
      return fail(USBD_STATUS_SUCCESS);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      auto& r = urb->UrbControlDescriptorRequest;
      if (length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      const uint8_t recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? 0
                                : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1 : 2;
      return control(recipient, USB_REQUEST_GET_DESCRIPTOR,
                     static_cast<uint16_t>((r.DescriptorType << 8) | r.Index), r.LanguageId,
                     r.TransferBufferLength,
                     TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL), true);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto& r = urb->UrbControlVendorClassRequest;
      if (length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      uint8_t type = 0;
      switch (function) {
        case URB_FUNCTION_VENDOR_DEVICE: type = 0x40; break;
        case URB_FUNCTION_VENDOR_INTERFACE: type = 0x41; break;
        case URB_FUNCTION_VENDOR_ENDPOINT: type = 0x42; break;
        case URB_FUNCTION_VENDOR_OTHER: type = 0x43; break;
        case URB_FUNCTION_CLASS_DEVICE: type = 0x20; break;
        case URB_FUNCTION_CLASS_INTERFACE: type = 0x21; break;
        case URB_FUNCTION_CLASS_ENDPOINT: type = 0x22; break;
        default: type = 0x23; break;
      }
      return control(static_cast<uint8_t>(type | r.RequestTypeReservedBits), r.Request, r.Value,
                     r.Index, r.TransferBufferLength,
                     TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL),
                     (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& r = urb->UrbControlTransfer;
      if (length < sizeof(struct _URB_CONTROL_TRANSFER)) return fail(USBD_STATUS_INVALID_PARAMETER);
      usb::SetupPacket setup;
      std::memcpy(&setup, r.SetupPacket, sizeof(setup));
      if (r.TransferBufferLength < setup.wLength) {
        setup.wLength = static_cast<uint16_t>(r.TransferBufferLength);
      }
      return control(setup.bmRequestType & 0x7F, setup.bRequest, setup.wValue, setup.wIndex,
                     setup.wLength, TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL),
                     (setup.bmRequestType & 0x80) != 0);
    }
    case URB_FUNCTION_GET_CONFIGURATION:
    case URB_FUNCTION_GET_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
      // These share the descriptor request's layout for their buffer and index.
      auto& r = urb->UrbControlVendorClassRequest;
      if (length < offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      uint8_t* buffer = TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL);
      switch (function) {
        case URB_FUNCTION_GET_CONFIGURATION:
          return control(0x00, USB_REQUEST_GET_CONFIGURATION, 0, 0, r.TransferBufferLength,
                         buffer, true);
        case URB_FUNCTION_GET_INTERFACE:
          return control(0x01, USB_REQUEST_GET_INTERFACE, 0, r.Index, r.TransferBufferLength,
                         buffer, true);
        default:
          return control(static_cast<uint8_t>(function - URB_FUNCTION_GET_STATUS_FROM_DEVICE),
                         USB_REQUEST_GET_STATUS, 0, r.Index, r.TransferBufferLength, buffer, true);
      }
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
      auto& r = urb->UrbIsochronousTransfer;
      if (length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      UsbPort::Pipe* pipe = FindPipe(port, r.PipeHandle);
      if (!pipe) return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
      const ULONG n = r.NumberOfPackets;
      const bool high = port.device_->GetSpeed() == usb::Speed::kHigh;
      if (pipe->type != UsbdPipeTypeIsochronous || n == 0 || n > kMaxIsochronousPackets ||
          (high && n % 8 != 0) ||
          length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) +
                       size_t(n) * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      uint8_t* buffer = TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL);
      if (r.TransferBufferLength && !buffer) return fail(USBD_STATUS_INVALID_PARAMETER);
      for (ULONG i = 0; i < n; ++i) {
        const ULONG end = i + 1 < n ? r.IsoPacket[i + 1].Offset : r.TransferBufferLength;
        if (r.IsoPacket[i].Offset > end || end > r.TransferBufferLength) {
          return fail(USBD_STATUS_INVALID_PARAMETER);
        }
        r.IsoPacket[i].Length = 0;
        r.IsoPacket[i].Status = USBD_STATUS_NOT_ACCESSED;
      }
      r.ErrorCount = 0;
      const uint64_t perFrame = high ? 8 : 1;
      uint64_t start;
      if (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        // A transfer occupies whole frames: at high speed the first free one begins at the
        // next frame's first microframe, so that StartFrame names where its packets are.
        const uint64_t nextFrame = (CurrentInterval(port) + perFrame - 1) / perFrame * perFrame;
        start = std::max(pipe->nextFree, nextFrame);
      } else {
        start = uint64_t(r.StartFrame) * perFrame;
        if (start < CurrentInterval(port)) return fail(USBD_STATUS_BAD_START_FRAME);
      }
      r.StartFrame = static_cast<ULONG>(start / perFrame);
      pipe->nextFree = start + n;
      transfer->kind = TransferKind::kIsochronous;
      transfer->pipe = pipe;
      transfer->buffer = buffer;
      transfer->startInterval = transfer->filledUpTo = start;
      transfer->endInterval = start + n;
      Enqueue(port, std::move(transfer), done);
      return STATUS_PENDING;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& r = urb->UrbBulkOrInterruptTransfer;
      if (length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      UsbPort::Pipe* pipe = FindPipe(port, r.PipeHandle);
      if (!pipe) return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
      if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      uint8_t* buffer = TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL);
      if ((r.TransferBufferLength && !buffer) || pipe->maxPacketSize == 0) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
      }
      if (pipe->halted) return fail(USBD_STATUS_ENDPOINT_HALTED);
      transfer->kind = TransferKind::kBulk;
      transfer->pipe = pipe;
      transfer->buffer = buffer;
      transfer->length = r.TransferBufferLength;
      Enqueue(port, std::move(transfer), done);
      return STATUS_PENDING;
    }
    default:
      return fail(USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

void UsbBus::Enqueue(UsbPort& port, std::unique_ptr<UsbPort::Transfer> owned, Completions& done) {
  UsbPort::Transfer* transfer = owned.get();
  transfer->id = port.nextTransferId_++;
  PIRP irp = transfer->irp;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before it reached the bus.
    if (transfer->urb) {
      transfer->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
      ReportMoved(*transfer, USBD_STATUS_CANCELED);
    }
    done.push_back({irp, STATUS_CANCELLED});
    return;
  }
  port.transfers_.push_back(std::move(owned));
  const uint64_t id = transfer->id;
  const VirtualTime d = usb::IntervalDuration(port.device_->GetSpeed());
  switch (transfer->kind) {
    case TransferKind::kControl:
      port.controlQueue_.push_back(transfer);
      StartNextControl(port);
      break;
    case TransferKind::kIsochronous:
      ++port.stats_.isochronousTransfers;
      transfer->event = ScheduleTransferEvent(static_cast<VirtualTime>(transfer->endInterval) * d,
                                              port, EventKind::kIsochronous, id);
      break;
    case TransferKind::kBulk:
      ++port.stats_.bulkTransfers;
      transfer->event = ScheduleTransferEvent(static_cast<VirtualTime>(CurrentInterval(port)) * d,
                                              port, EventKind::kBulk, id);
      break;
    case TransferKind::kPortReset:
      transfer->event = ScheduleTransferEvent(sim_.Now() + port.options_.portResetTime, port,
                                              EventKind::kPortReset, id);
      break;
  }
}

kernel::Simulation::EventId UsbBus::ScheduleTransferEvent(VirtualTime when, UsbPort& port,
                                                          EventKind kind, uint64_t id) {
  size_t index = 0;
  while (ports_[index].get() != &port) ++index;
  const uint64_t key = (uint64_t(index) << 56) | (uint64_t(kind) << 48) | id;
  static const char* const kNames[] = {"usb.control", "usb.iso", "usb.bulk", "usb.reset"};
  return sim_.ScheduleAt(when, [this, key] { OnTransferEvent(key); },
                         kNames[static_cast<int>(kind)]);
}

void UsbBus::OnTransferEvent(uint64_t key) {
  UsbPort& port = *ports_[key >> 56];
  const auto kind = static_cast<EventKind>((key >> 48) & 0xFF);
  const uint64_t id = key & ((uint64_t(1) << 48) - 1);
  Completions done;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  switch (kind) {
    case EventKind::kControl: ExecuteControl(port, id, done); break;
    case EventKind::kIsochronous: CompleteIsochronous(port, id, done); break;
    case EventKind::kBulk: PollBulk(port, id, done); break;
    case EventKind::kPortReset: ResetPort(port, id, done); break;
  }
  KeReleaseSpinLock(&lock_, irql);
  Flush(done);
}

void UsbBus::ResetPort(UsbPort& port, uint64_t id, Completions& done) {
  UsbPort::Transfer* t = FindTransfer(port, id);
  if (!t) return;
  t->event = 0;
  USBD_STATUS status = USBD_STATUS_DEVICE_GONE;
  if (port.connected_) {
    port.enabled_ = true;
    ++port.stats_.portResets;
    port.device_->PortReset(sim_.Now());
    for (auto& pipe : port.pipes_) {
      pipe->nextFree = 0;
      pipe->halted = false;
    }
    status = USBD_STATUS_SUCCESS;
  }
  Finish(port, t, status, done);
}

// The URB's TransferBufferLength says how many bytes the transfer moved, however it ended:
// the packets that arrived before a cancel or a fault, nothing for a failed control request.
void UsbBus::ReportMoved(UsbPort::Transfer& transfer, USBD_STATUS status) {
  switch (transfer.kind) {
    case TransferKind::kIsochronous: {
      auto& r = transfer.urb->UrbIsochronousTransfer;
      ULONG moved = 0;
      for (ULONG k = 0; k < r.NumberOfPackets; ++k) moved += r.IsoPacket[k].Length;
      r.TransferBufferLength = moved;
      break;
    }
    case TransferKind::kBulk:
      transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transfer.moved;
      break;
    case TransferKind::kControl:
      // Every control record keeps TransferBufferLength at the same place; the selections
      // have none.
      if (transfer.action == ControlAction::kNone && status != USBD_STATUS_SUCCESS) {
        transfer.urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
      }
      break;
    case TransferKind::kPortReset:
      break;
  }
}

void UsbBus::Finish(UsbPort& port, UsbPort::Transfer* transfer, USBD_STATUS status,
                    Completions& done) {
  // The caller owns the IRP: its cancel routine was cleared here or is running now.
  IoSetCancelRoutine(transfer->irp, nullptr);
  if (transfer->urb) {
    transfer->urb->UrbHeader.Status = status;
    ReportMoved(*transfer, status);
  }
  done.push_back({transfer->irp, NtStatusFromUsbd(status)});
  if (transfer->event) sim_.CancelEvent(transfer->event);
  bool restartControl = false;
  if (transfer->kind == TransferKind::kControl) {
    auto at = std::find(port.controlQueue_.begin(), port.controlQueue_.end(), transfer);
    if (at != port.controlQueue_.end()) {
      if (transfer->inFlight) {
        port.controlBusy_ = false;
        restartControl = true;
      }
      port.controlQueue_.erase(at);
    }
  }
  port.transfers_.remove_if([transfer](const auto& owned) { return owned.get() == transfer; });
  if (restartControl) StartNextControl(port);
}

void UsbBus::Flush(Completions& done) {
  if (done.empty() && !done.notify) return;
  KIRQL irql = KeGetCurrentIrql();
  const bool raise = irql < DISPATCH_LEVEL;
  if (raise) KeRaiseIrql(DISPATCH_LEVEL, &irql);
  for (size_t i = 0; i < done.size(); ++i) {
    const Completion& c = done[i];
    c.irp->IoStatus.Status = c.status;
    c.irp->IoStatus.Information = 0;
    IoCompleteRequest(c.irp, IO_NO_INCREMENT);
  }
  UsbPort* notify = done.notify;
  done.clear();
  if (notify && notify->options_.onDisconnect) notify->options_.onDisconnect(*notify);
  if (raise) KeLowerIrql(irql);
}

// ---- Control transfers ---------------------------------------------------------------------

void UsbBus::StartNextControl(UsbPort& port) {
  if (port.controlBusy_ || port.controlQueue_.empty()) return;
  UsbPort::Transfer* head = port.controlQueue_.front();
  port.controlBusy_ = true;
  head->inFlight = true;
  head->event = ScheduleTransferEvent(sim_.Now() + port.controlTime_, port, EventKind::kControl,
                                      head->id);
}

void UsbBus::ExecuteControl(UsbPort& port, uint64_t id, Completions& done) {
  UsbPort::Transfer* t = FindTransfer(port, id);
  if (!t) return;
  t->event = 0;
  CheckPortFault(port, done);
  if (!FindTransfer(port, id)) return;  // the port fault finished it
  CatchUp(port, CurrentInterval(port));
  const usb::Fault fault = port.device_->CheckFault(usb::FaultPoint::kControl, 0, sim_.Now());
  if (fault == usb::Fault::kControlNoAnswer) {
    // The default pipe stays busy with it until the client cancels it.
    t->stuck = true;
    sim_.Trace("usb.control.stuck", "", 0);
    return;
  }
  if (fault == usb::Fault::kControlStall) {
    Finish(port, t, USBD_STATUS_STALL_PID, done);
    return;
  }
  bool ok = true;
  if (t->action == ControlAction::kSelectConfiguration) {
    ok = ApplyConfiguration(port, *t, done);
    if (!ok) {
      Finish(port, t, t->urb->UrbHeader.Status, done);
      return;
    }
  } else if (t->action == ControlAction::kSelectInterface) {
    ok = ApplyInterface(port, *t, done);
    if (!ok) {
      Finish(port, t, t->urb->UrbHeader.Status, done);
      return;
    }
  } else {
    const usb::ControlResult r = DeviceControl(port, t->setup, t->buffer);
    if (r.status == usb::ControlStatus::kNoAnswer) {
      t->stuck = true;
      return;
    }
    if (r.status == usb::ControlStatus::kStall) {
      Finish(port, t, USBD_STATUS_STALL_PID, done);
      return;
    }
    // Every control record keeps TransferBufferLength at the same place.
    t->urb->UrbControlVendorClassRequest.TransferBufferLength = r.length;
  }
  Finish(port, t, USBD_STATUS_SUCCESS, done);
}

bool UsbBus::FillInterface(UsbPort& port, USBD_INTERFACE_INFORMATION* info, size_t roomBytes,
                           std::vector<std::unique_ptr<UsbPort::Pipe>>* newPipes) {
  const std::vector<uint8_t>& set = port.configurationSet_;
  const PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(set.data())),
      const_cast<uint8_t*>(set.data()), info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
  if (!found) return false;
  const size_t needed = GET_USBD_INTERFACE_SIZE(found->bNumEndpoints);
  if (info->Length < needed || roomBytes < needed) return false;
  info->Class = found->bInterfaceClass;
  info->SubClass = found->bInterfaceSubClass;
  info->Protocol = found->bInterfaceProtocol;
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
      uintptr_t(0x1000) + found->bInterfaceNumber * 0x10 + found->bAlternateSetting);
  info->NumberOfPipes = found->bNumEndpoints;
  const uint8_t* at = reinterpret_cast<const uint8_t*>(found) + found->bLength;
  const uint8_t* end = set.data() + set.size();
  ULONG pipe = 0;
  while (pipe < found->bNumEndpoints && at + 2 <= end && at[0] >= 2 && at + at[0] <= end) {
    if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      USB_ENDPOINT_DESCRIPTOR endpoint;
      std::memcpy(&endpoint, at, sizeof(endpoint));
      auto created = std::make_unique<UsbPort::Pipe>();
      created->interfaceNumber = found->bInterfaceNumber;
      created->endpointAddress = endpoint.bEndpointAddress;
      created->type = PipeTypeOf(endpoint.bmAttributes);
      created->maxPacketSize = USB_ENDPOINT_MAX_PACKET_SIZE(endpoint.wMaxPacketSize) *
                               (1 + USB_ENDPOINT_ADDITIONAL_TRANSACTIONS(endpoint.wMaxPacketSize));
      const bool high = port.device_->GetSpeed() == usb::Speed::kHigh;
      uint32_t poll = 1;
      if (created->type == UsbdPipeTypeInterrupt) {
        poll = high ? (1u << std::min(std::max(endpoint.bInterval, UCHAR(1)) - 1, 15))
                    : std::max<uint32_t>(endpoint.bInterval, 1);
      }
      created->pollIntervals = poll;
      USBD_PIPE_INFORMATION& out = info->Pipes[pipe];
      out.MaximumPacketSize = static_cast<USHORT>(created->maxPacketSize);
      out.EndpointAddress = endpoint.bEndpointAddress;
      out.Interval = endpoint.bInterval;
      out.PipeType = created->type;
      out.PipeHandle = created.get();
      newPipes->push_back(std::move(created));
      ++pipe;
    }
    at += at[0];
  }
  return pipe == found->bNumEndpoints;
}

bool UsbBus::ApplyConfiguration(UsbPort& port, UsbPort::Transfer& t, Completions& done) {
  auto& r = t.urb->UrbSelectConfiguration;
  std::vector<std::unique_ptr<UsbPort::Pipe>> newPipes;
  if (r.ConfigurationDescriptor != nullptr) {
    if (port.configurationSet_.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        t.setup.wValue != port.configurationSet_[5]) {
      t.urb->UrbHeader.Status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
      return false;
    }
    const uint8_t interfaces = port.configurationSet_[4];
    uint8_t* cursor = reinterpret_cast<uint8_t*>(&r.Interface);
    uint8_t* end = reinterpret_cast<uint8_t*>(t.urb) + t.urb->UrbHeader.Length;
    for (uint8_t i = 0; i < interfaces; ++i) {
      auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(cursor);
      if (cursor + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end ||
          !FillInterface(port, info, size_t(end - cursor), &newPipes)) {
        t.urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return false;
      }
      cursor += info->Length;
    }
  }
  // Commit: the old pipes' transfers end, their handles become invalid.
  for (auto& pipe : port.pipes_) {
    AbortPipe(port, pipe.get(), done);
    port.oldPipes_.push_back(std::move(pipe));
  }
  port.pipes_ = std::move(newPipes);
  DeviceControl(port, t.setup, nullptr);
  port.configurationValue_ = static_cast<uint8_t>(t.setup.wValue);
  r.ConfigurationHandle = port.configurationValue_ ? &port.configurationSet_ : nullptr;
  if (r.ConfigurationDescriptor != nullptr) {
    uint8_t* cursor = reinterpret_cast<uint8_t*>(&r.Interface);
    for (uint8_t i = 0; i < port.configurationSet_[4]; ++i) {
      auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(cursor);
      if (info->AlternateSetting != 0) {
        DeviceControl(port, {0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting,
                             info->InterfaceNumber, 0}, nullptr);
      }
      cursor += info->Length;
    }
  }
  return true;
}

bool UsbBus::ApplyInterface(UsbPort& port, UsbPort::Transfer& t, Completions& done) {
  auto& r = t.urb->UrbSelectInterface;
  std::vector<std::unique_ptr<UsbPort::Pipe>> newPipes;
  uint8_t* cursor = reinterpret_cast<uint8_t*>(&r.Interface);
  uint8_t* end = reinterpret_cast<uint8_t*>(t.urb) + t.urb->UrbHeader.Length;
  if (!FillInterface(port, &r.Interface, size_t(end - cursor), &newPipes)) {
    t.urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    return false;
  }
  const usb::ControlResult result = DeviceControl(port, t.setup, nullptr);
  if (result.status != usb::ControlStatus::kAck) {
    t.urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
    return false;
  }
  const uint8_t number = r.Interface.InterfaceNumber;
  for (auto& pipe : port.pipes_) {
    if (pipe && pipe->interfaceNumber == number) {
      AbortPipe(port, pipe.get(), done);
      port.oldPipes_.push_back(std::move(pipe));
    }
  }
  port.pipes_.erase(std::remove(port.pipes_.begin(), port.pipes_.end(), nullptr),
                    port.pipes_.end());
  for (auto& pipe : newPipes) port.pipes_.push_back(std::move(pipe));
  return true;
}

// ---- Isochronous transfers -----------------------------------------------------------------

void UsbBus::FillIsochronous(UsbPort& port, UsbPort::Transfer& t, uint64_t untilInterval) {
  auto& r = t.urb->UrbIsochronousTransfer;
  const uint64_t limit = std::min(untilInterval, t.endInterval);
  const bool in = (t.pipe->endpointAddress & 0x80) != 0;
  for (uint64_t i = t.filledUpTo; i < limit; ++i) {
    const ULONG k = static_cast<ULONG>(i - t.startInterval);
    USBD_ISO_PACKET_DESCRIPTOR& packet = r.IsoPacket[k];
    const ULONG next =
        k + 1 < r.NumberOfPackets ? r.IsoPacket[k + 1].Offset : r.TransferBufferLength;
    const uint32_t capacity = std::min<uint32_t>(next - packet.Offset, t.pipe->maxPacketSize);
    if (in) {
      const usb::PacketResult got =
          port.device_->InPacket(t.pipe->endpointAddress, i, t.buffer + packet.Offset, capacity);
      packet.Length = std::min(got.length, capacity);
      packet.Status = got.error ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS;
    } else {
      port.device_->OutPacket(t.pipe->endpointAddress, i, t.buffer + packet.Offset, capacity);
      packet.Length = capacity;
      packet.Status = USBD_STATUS_SUCCESS;
    }
    ++port.stats_.isochronousPackets;
  }
  t.filledUpTo = std::max(t.filledUpTo, limit);
}

void UsbBus::CatchUp(UsbPort& port, uint64_t untilInterval) {
  for (const auto& t : port.transfers_) {
    if (t->kind == TransferKind::kIsochronous && t->filledUpTo < untilInterval) {
      FillIsochronous(port, *t, untilInterval);
    }
  }
}

void UsbBus::CompleteIsochronous(UsbPort& port, uint64_t id, Completions& done) {
  UsbPort::Transfer* t = FindTransfer(port, id);
  if (!t) return;
  t->event = 0;
  CheckPortFault(port, done);
  if (!FindTransfer(port, id)) return;
  CatchUp(port, t->endInterval);
  auto& r = t->urb->UrbIsochronousTransfer;
  const usb::Fault fault =
      port.device_->CheckFault(usb::FaultPoint::kTransfer, t->pipe->endpointAddress, sim_.Now());
  if (fault == usb::Fault::kTransferFail) {
    for (ULONG k = 0; k < r.NumberOfPackets; ++k) {
      r.IsoPacket[k].Length = 0;
      r.IsoPacket[k].Status = USBD_STATUS_NOT_ACCESSED;
    }
    r.ErrorCount = 0;
    Finish(port, t, USBD_STATUS_XACT_ERROR, done);
    return;
  }
  if (fault == usb::Fault::kTransferAllPacketsFail) {
    for (ULONG k = 0; k < r.NumberOfPackets; ++k) {
      r.IsoPacket[k].Length = 0;
      r.IsoPacket[k].Status = USBD_STATUS_ISO_TD_ERROR;
    }
  }
  ULONG errors = 0;
  for (ULONG k = 0; k < r.NumberOfPackets; ++k) {
    if (USBD_ERROR(r.IsoPacket[k].Status)) ++errors;
  }
  r.ErrorCount = errors;
  const bool allFailed = errors == r.NumberOfPackets;
  Finish(port, t, allFailed ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS, done);
}

// ---- Bulk and interrupt transfers ----------------------------------------------------------

void UsbBus::PollBulk(UsbPort& port, uint64_t id, Completions& done) {
  UsbPort::Transfer* t = FindTransfer(port, id);
  if (!t) return;
  t->event = 0;
  CheckPortFault(port, done);
  if (!FindTransfer(port, id)) return;
  UsbPort::Pipe* pipe = t->pipe;
  const VirtualTime d = usb::IntervalDuration(port.device_->GetSpeed());
  const uint64_t now = CurrentInterval(port);
  auto again = [&](uint64_t intervals) {
    t->event = ScheduleTransferEvent(static_cast<VirtualTime>(now + intervals) * d, port,
                                     EventKind::kBulk, id);
  };
  // Transfers of one pipe run in order.
  for (const auto& other : port.transfers_) {
    if (other.get() == t) break;
    if (other->kind == TransferKind::kBulk && other->pipe == pipe) {
      again(pipe->pollIntervals);
      return;
    }
  }
  auto& r = t->urb->UrbBulkOrInterruptTransfer;
  auto complete = [&](USBD_STATUS status) {
    r.TransferBufferLength = t->moved;
    if (USBD_ERROR(status)) pipe->halted = true;
    Finish(port, t, status, done);
  };
  const bool in = (pipe->endpointAddress & 0x80) != 0;
  const uint32_t chunk = std::min(pipe->maxPacketSize, t->length - t->moved);
  uint32_t moved = 0;
  bool shortPacket = false;
  if (t->length > 0) {
    if (in) {
      const usb::PacketResult got =
          port.device_->InPacket(pipe->endpointAddress, now, t->buffer + t->moved, chunk);
      if (got.error) return complete(USBD_STATUS_CRC);
      moved = std::min(got.length, chunk);
      shortPacket = got.length > 0 && moved < pipe->maxPacketSize;
    } else {
      moved = std::min(port.device_->OutPacket(pipe->endpointAddress, now, t->buffer + t->moved,
                                               chunk),
                       chunk);
    }
    if (moved == 0) {
      // NAK: ask again later, backing off while the device has nothing.
      t->backoff = std::min<uint32_t>(t->backoff * 2, static_cast<uint32_t>(kMaxBackoff / d));
      again(std::max(pipe->pollIntervals, t->backoff));
      return;
    }
    t->backoff = 1;
    t->moved += moved;
  }
  if (t->moved < t->length && !shortPacket) {
    again(pipe->pollIntervals);
    return;
  }
  const usb::Fault fault =
      port.device_->CheckFault(usb::FaultPoint::kTransfer, pipe->endpointAddress, sim_.Now());
  if (fault == usb::Fault::kTransferFail || fault == usb::Fault::kTransferAllPacketsFail) {
    return complete(USBD_STATUS_XACT_ERROR);
  }
  if (t->moved < t->length && !(r.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
    return complete(USBD_STATUS_DATA_UNDERRUN);
  }
  complete(USBD_STATUS_SUCCESS);
}

// ---- Pipes and ports -----------------------------------------------------------------------

void UsbBus::AbortPipe(UsbPort& port, UsbPort::Pipe* pipe, Completions& done) {
  std::vector<UsbPort::Transfer*> victims;
  for (const auto& t : port.transfers_) {
    if (t->pipe == pipe) victims.push_back(t.get());
  }
  for (UsbPort::Transfer* t : victims) {
    // A transfer whose cancel routine is already running is left to it.
    if (IoSetCancelRoutine(t->irp, nullptr) == nullptr) continue;
    CatchUp(port, CurrentInterval(port));
    ++port.stats_.cancelled;
    Finish(port, t, USBD_STATUS_CANCELED, done);
  }
  pipe->nextFree = 0;
}

void UsbBus::FailAll(UsbPort& port, USBD_STATUS status, Completions& done) {
  std::vector<UsbPort::Transfer*> victims;
  for (const auto& t : port.transfers_) victims.push_back(t.get());
  for (UsbPort::Transfer* t : victims) {
    if (IoSetCancelRoutine(t->irp, nullptr) == nullptr) continue;
    Finish(port, t, status, done);
  }
}

void UsbBus::CheckPortFault(UsbPort& port, Completions& done) {
  if (!port.connected_) return;
  const usb::Fault fault = port.device_->CheckFault(usb::FaultPoint::kPort, 0, sim_.Now());
  if (fault == usb::Fault::kUnplug) {
    DoUnplug(port, done);
  } else if (fault == usb::Fault::kPortDisable && port.enabled_) {
    port.enabled_ = false;
    sim_.Trace("usb.port.disabled", "", 0);
    FailAll(port, USBD_STATUS_DEV_NOT_RESPONDING, done);
  }
}

void UsbBus::DoUnplug(UsbPort& port, Completions& done) {
  if (port.connected_) done.notify = &port;
  port.connected_ = false;
  port.enabled_ = false;
  sim_.Trace("usb.unplug", "", 0);
  FailAll(port, USBD_STATUS_DEVICE_GONE, done);
}

}  // namespace lumo::usbbus
