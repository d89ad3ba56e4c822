// A small USB client for tests, tools and benchmarks of the bus: it sends URBs to a PDO the way a
// client driver does (internal device-control IRPs, synchronous waits, reusable IRPs for
// isochronous rings) and collects video frames from isochronous packets. Runs on a simulated
// thread at PASSIVE_LEVEL.
#pragma once

#include <usbdlib.h>
#include <wdm.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "kernel/simulation.h"

namespace lumo::usbbus::testing {

// Sends one URB and waits for it (for ever, or `timeout` in 100-ns units when not 0). On a
// time-out the IRP is cancelled and waited for; the result is then STATUS_TIMEOUT unless it
// completed in the meantime.
inline NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PURB urb, int64_t timeout = 0,
                          ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
  KEVENT event;
  IO_STATUS_BLOCK iosb = {};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER due;
    due.QuadPart = -timeout;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout ? &due : nullptr) ==
        STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      return iosb.Status == STATUS_CANCELLED ? STATUS_TIMEOUT : iosb.Status;
    }
    status = iosb.Status;
  }
  return status;
}

inline NTSTATUS PortRequest(PDEVICE_OBJECT pdo, ULONG code, ULONG* bits) {
  return SubmitUrb(pdo, reinterpret_cast<PURB>(bits), 0, code);
}

inline NTSTATUS VendorWrite(PDEVICE_OBJECT pdo, uint16_t reg, uint16_t value,
                            USBD_STATUS* usbd = nullptr) {
  URB urb = {};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x01, value,
                        reg, nullptr, nullptr, 0, nullptr);
  const NTSTATUS status = SubmitUrb(pdo, &urb);
  if (usbd) *usbd = urb.UrbHeader.Status;
  return status;
}

inline uint16_t VendorRead(PDEVICE_OBJECT pdo, uint16_t reg, NTSTATUS* result = nullptr) {
  URB urb = {};
  uint8_t data[2] = {};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, 0x00, 0, reg, data, nullptr, 2, nullptr);
  const NTSTATUS status = SubmitUrb(pdo, &urb);
  if (result) *result = status;
  return static_cast<uint16_t>(data[0] | (data[1] << 8));
}

// Reads the configuration descriptor set and selects it with `alternate` on interface 0.
// Returns a pool copy of the interface information (freed by the caller with ExFreePool), or
// null.
inline PUSBD_INTERFACE_INFORMATION Configure(PDEVICE_OBJECT pdo, UCHAR alternate,
                                             ULONG pipe1TransferSize,
                                             USBD_CONFIGURATION_HANDLE* handle) {
  std::vector<uint8_t> set(4096);
  URB urb = {};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, set.data(), nullptr,
                               static_cast<ULONG>(set.size()), nullptr);
  if (!NT_SUCCESS(SubmitUrb(pdo, &urb))) return nullptr;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(config, config, 0, -1, -1, -1, -1);
  if (!list[0].InterfaceDescriptor) return nullptr;
  PURB select = USBD_CreateConfigurationRequestEx(config, list);
  if (!select) return nullptr;
  list[0].Interface->AlternateSetting = alternate;
  if (list[0].Interface->NumberOfPipes > 1) {
    list[0].Interface->Pipes[1].MaximumTransferSize = pipe1TransferSize;
  }
  PUSBD_INTERFACE_INFORMATION copy = nullptr;
  if (NT_SUCCESS(SubmitUrb(pdo, select)) && USBD_SUCCESS(select->UrbHeader.Status)) {
    *handle = select->UrbSelectConfiguration.ConfigurationHandle;
    copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, list[0].Interface->Length, 0x74736554));
    if (copy) std::memcpy(copy, list[0].Interface, list[0].Interface->Length);
  }
  ExFreePool(select);
  return copy;
}

// Selects `alternate` on the interface `info` describes and updates `info` in place.
inline NTSTATUS SelectAlternate(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE handle,
                                PUSBD_INTERFACE_INFORMATION info, UCHAR alternate) {
  const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(info->NumberOfPipes);
  std::vector<uint8_t> storage(size);
  auto* urb = reinterpret_cast<PURB>(storage.data());
  std::memcpy(&urb->UrbSelectInterface.Interface, info, info->Length);
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(size), handle, info->InterfaceNumber,
                                 alternate);
  const NTSTATUS status = SubmitUrb(pdo, urb);
  if (NT_SUCCESS(status)) std::memcpy(info, &urb->UrbSelectInterface.Interface, info->Length);
  return status;
}

// One reusable isochronous IN transfer: its IRP, URB and buffer.
class IsoTransfer {
 public:
  IsoTransfer(PDEVICE_OBJECT pdo, ULONG packets, ULONG packetSize)
      : pdo_(pdo), packets_(packets), packetSize_(packetSize),
        urb_(GET_ISO_URB_SIZE(packets)), buffer_(size_t(packets) * packetSize) {
    irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
  }
  ~IsoTransfer() {
    if (irp_) IoFreeIrp(irp_);
  }

  NTSTATUS Submit(USBD_PIPE_HANDLE pipe) {
    std::memset(urb_.data(), 0, urb_.size());
    auto& r = Urb()->UrbIsochronousTransfer;
    r.Hdr.Length = static_cast<USHORT>(urb_.size());
    r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    r.PipeHandle = pipe;
    r.TransferFlags =
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    r.TransferBuffer = buffer_.data();
    r.TransferBufferLength = static_cast<ULONG>(buffer_.size());
    r.NumberOfPackets = packets_;
    for (ULONG k = 0; k < packets_; ++k) r.IsoPacket[k].Offset = k * packetSize_;
    IoReuseIrp(irp_, STATUS_SUCCESS);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb();
    IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    KeClearEvent(&done_);
    return IoCallDriver(pdo_, irp_);
  }
  void Wait() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }
  bool Done() { return KeReadStateEvent(&done_) != 0; }
  PIRP Irp() const { return irp_; }
  PURB Urb() { return reinterpret_cast<PURB>(urb_.data()); }
  const uint8_t* Packet(ULONG k) const { return buffer_.data() + size_t(k) * packetSize_; }
  int64_t CompletedAt() const { return completedAt_; }
  KIRQL CompletionIrql() const { return completionIrql_; }

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<IsoTransfer*>(context);
    self->completedAt_ = kernel::Simulation::Current().Now();
    self->completionIrql_ = KeGetCurrentIrql();
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT pdo_;
  ULONG packets_;
  ULONG packetSize_;
  std::vector<uint8_t> urb_;
  std::vector<uint8_t> buffer_;
  PIRP irp_ = nullptr;
  KEVENT done_;
  int64_t completedAt_ = 0;
  KIRQL completionIrql_ = 0;
};

// Assembles frames from video packets as the camera's driver does: a frame-start packet
// (type 8) begins a frame with its whole packet, continuation packets (type 0) append what
// follows their 16-byte header, other packets carry nothing.
class FrameCollector {
 public:
  struct Frame {
    std::vector<uint8_t> bytes;  // the first packet's header, then the image
    bool damaged = false;        // a packet of it had an error status or was too short
  };
  std::function<void(Frame&)> onFrame;  // called for each frame that a frame start ends

  void Add(const USBD_ISO_PACKET_DESCRIPTOR& packet, const uint8_t* data) {
    ++packets_;
    if (USBD_ERROR(packet.Status) || packet.Length < 16) {
      if (active_) current_.damaged = true;
      if (packet.Length < 16) return;
    }
    const uint8_t type = data[12] & 0x0F;
    if (type == 8) {
      if (active_ && onFrame) onFrame(current_);
      current_.bytes.assign(data, data + packet.Length);
      current_.damaged = USBD_ERROR(packet.Status);
      active_ = true;
    } else if (type == 0 && active_) {
      current_.bytes.insert(current_.bytes.end(), data + 16, data + packet.Length);
    }
    lastStatusByte_ = data[13];
  }
  void AddTransfer(IsoTransfer& transfer) {
    auto& r = transfer.Urb()->UrbIsochronousTransfer;
    for (ULONG k = 0; k < r.NumberOfPackets; ++k) Add(r.IsoPacket[k], transfer.Packet(k));
  }
  uint8_t LastStatusByte() const { return lastStatusByte_; }
  uint64_t Packets() const { return packets_; }

 private:
  Frame current_;
  bool active_ = false;
  uint8_t lastStatusByte_ = 0;
  uint64_t packets_ = 0;
};

}  // namespace lumo::usbbus::testing
