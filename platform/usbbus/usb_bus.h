// The USB bus driver stand-in: one root hub whose ports each hold a device model
// (device_model.h) behind a physical device object. It executes the internal requests a USB
// client driver sends to its PDO (IOCTL_INTERNAL_USB_SUBMIT_URB, _GET_PORT_STATUS,
// _RESET_PORT) against the model, in virtual bus time, and completes them at DISPATCH_LEVEL.
//
// Bus time:
// - a high-speed bus carries one packet per pipe per 125-us microframe, a full-speed bus one
//   per 1-ms frame (bus interval i starts at i x IntervalDuration);
// - an isochronous transfer of n packets started as soon as possible takes the n intervals
//   that follow the pipe's previous transfer (or, when the pipe is idle, the first interval
//   not before now) and completes at the end of its last interval;
// - packets the device sends in intervals without a queued transfer are lost;
// - control transfers on the default pipe run one at a time, each costing
//   PortOptions::controlTransferTime (a realistic default per speed);
// - bulk and interrupt transfers move one packet per interval while the device has data; a
//   device that NAKs is asked again after a back-off of up to 8 ms.
// The device model is always brought up to date (every earlier interval of every queued
// isochronous transfer) before it executes a control request, so register writes act on the
// packets at the virtual time they happen.
//
// Not modelled: bandwidth allocation failures, split transactions, hubs between the root and
// the device, the device's address and power budget.
//
// Locking: one spin lock guards the bus's state; IRPs are completed only after it is released,
// always at DISPATCH_LEVEL. Pending IRPs carry a cancel routine.
#pragma once

#include <usbdi.h>
#include <wdm.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "kernel/simulation.h"
#include "usbbus/device_model.h"

namespace lumo::usbbus {

using kernel::VirtualTime;

class UsbPort;

struct PortOptions {
  // Cost of one control transfer; 0 picks the default of the device's speed (500 us at high
  // speed, 2 ms at full speed).
  VirtualTime controlTransferTime = 0;
  // How long IOCTL_INTERNAL_USB_RESET_PORT takes.
  VirtualTime portResetTime = 10 * kernel::kMillisecond;
  // Called once the device has left the bus and its requests have completed, in the bus's
  // DPC context at DISPATCH_LEVEL: where the hub would report the device gone to PnP (a test or
  // the stream class stand-in starts the surprise removal from here).
  std::function<void(UsbPort&)> onDisconnect;
};

struct PortStatistics {
  uint64_t urbs = 0;
  uint64_t controlTransfers = 0;    // executed on the device (client and enumeration)
  uint64_t isochronousTransfers = 0;
  uint64_t isochronousPackets = 0;  // delivered into client buffers
  uint64_t bulkTransfers = 0;
  uint64_t cancelled = 0;
  uint64_t portResets = 0;
};

class UsbBus;

// One port of the root hub and the device function on it.
class UsbPort {
 public:
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  usb::DeviceModel& Device() const { return *device_; }
  bool Connected() const { return connected_; }
  bool Enabled() const { return enabled_; }
  const PortStatistics& Statistics() const { return stats_; }
  VirtualTime ControlTransferTime() const { return controlTime_; }

  // Takes the device off the bus: every outstanding request completes with
  // STATUS_DEVICE_NOT_CONNECTED, later ones fail at once, the port reports not connected.
  // Runs at the current virtual time in the bus's DPC context; callable from any thread.
  void Unplug();
  // Puts the device back: connected, enabled, unconfigured (a fresh enumeration).
  void Replug();
  // The hub disables the port (as after babble); transfers fail until a port reset.
  void Disable();

 private:
  friend class UsbBus;
  struct Pipe;
  struct Transfer;
  UsbPort(UsbBus& bus, usb::DeviceModel* device, PortOptions options);

  UsbBus& bus_;
  usb::DeviceModel* device_;
  PortOptions options_;
  VirtualTime controlTime_;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool connected_ = true;
  bool enabled_ = true;
  std::vector<uint8_t> configurationSet_;  // read from the device at attach
  uint8_t configurationValue_ = 0;
  std::vector<std::unique_ptr<Pipe>> pipes_;      // of the current configuration
  std::vector<std::unique_ptr<Pipe>> oldPipes_;   // retired; handles no longer valid
  std::list<std::unique_ptr<Transfer>> transfers_;  // every outstanding request
  std::deque<Transfer*> controlQueue_;
  bool controlBusy_ = false;
  uint64_t nextTransferId_ = 1;
  PortStatistics stats_;
};

class UsbBus : public kernel::Component {
 public:
  explicit UsbBus(kernel::Simulation& sim);
  ~UsbBus() override;

  // Attaches a device model (which must outlive the bus) to a new port, reads its descriptors
  // and creates its PDO. Call from a simulated thread or between runs.
  UsbPort& Attach(usb::DeviceModel* device, PortOptions options = {});
  const std::vector<std::unique_ptr<UsbPort>>& Ports() const { return ports_; }
  UsbPort* PortOf(PDEVICE_OBJECT pdo) const;

  void Teardown(kernel::Simulation& sim) override;

 private:
  friend class UsbPort;
  struct Completion {
    PIRP irp;
    NTSTATUS status;
  };
  // Requests to complete once the lock is released. The usual few stay inside the record, so
  // a handler's stack holds no heap memory while it makes platform calls.
  class Completions {
   public:
    void push_back(const Completion& c) {
      if (count_ < kInline) {
        inline_[count_] = c;
      } else {
        overflow_.push_back(c);
      }
      ++count_;
    }
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    const Completion& operator[](size_t i) const {
      return i < kInline ? inline_[i] : overflow_[i - kInline];
    }
    const Completion& back() const { return (*this)[count_ - 1]; }
    void clear() {
      count_ = 0;
      overflow_.clear();
      notify = nullptr;
    }
    UsbPort* notify = nullptr;  // a port whose device left the bus: tell onDisconnect

   private:
    static constexpr size_t kInline = 16;
    Completion inline_[kInline];
    size_t count_ = 0;
    std::vector<Completion> overflow_;
  };
  enum class EventKind : uint8_t { kControl, kIsochronous, kBulk, kPortReset };
  // Schedules the bus event of one transfer. The action captures only the bus and one packed
  // key, which std::function keeps without allocating.
  kernel::Simulation::EventId ScheduleTransferEvent(VirtualTime when, UsbPort& port,
                                                    EventKind kind, uint64_t id);
  void OnTransferEvent(uint64_t key);
  void ResetPort(UsbPort& port, uint64_t id, Completions& done);

  static NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
  static void NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

  NTSTATUS SubmitUrb(UsbPort& port, PIRP irp, PURB urb, Completions& done);
  void Enqueue(UsbPort& port, std::unique_ptr<UsbPort::Transfer> transfer, Completions& done);
  void FinishNow(UsbPort& port, PIRP irp, PURB urb, USBD_STATUS status, Completions& done);
  void Finish(UsbPort& port, UsbPort::Transfer* transfer, USBD_STATUS status, Completions& done);
  static void ReportMoved(UsbPort::Transfer& transfer, USBD_STATUS status);
  void Flush(Completions& done);

  void StartNextControl(UsbPort& port);
  void ExecuteControl(UsbPort& port, uint64_t id, Completions& done);
  void CompleteIsochronous(UsbPort& port, uint64_t id, Completions& done);
  void PollBulk(UsbPort& port, uint64_t id, Completions& done);
  void CatchUp(UsbPort& port, uint64_t untilInterval);
  void FillIsochronous(UsbPort& port, UsbPort::Transfer& transfer, uint64_t untilInterval);
  void AbortPipe(UsbPort& port, UsbPort::Pipe* pipe, Completions& done);
  void FailAll(UsbPort& port, USBD_STATUS status, Completions& done);
  void CheckPortFault(UsbPort& port, Completions& done);
  void DoUnplug(UsbPort& port, Completions& done);
  bool ApplyConfiguration(UsbPort& port, UsbPort::Transfer& transfer, Completions& done);
  bool ApplyInterface(UsbPort& port, UsbPort::Transfer& transfer, Completions& done);
  bool FillInterface(UsbPort& port, USBD_INTERFACE_INFORMATION* info, size_t roomBytes,
                     std::vector<std::unique_ptr<UsbPort::Pipe>>* newPipes);
  UsbPort::Pipe* FindPipe(UsbPort& port, USBD_PIPE_HANDLE handle) const;
  UsbPort::Transfer* FindTransfer(UsbPort& port, uint64_t id) const;
  uint64_t CurrentInterval(const UsbPort& port) const;
  usb::ControlResult DeviceControl(UsbPort& port, const usb::SetupPacket& setup, uint8_t* data);

  kernel::Simulation& sim_;
  PDRIVER_OBJECT driver_ = nullptr;
  KSPIN_LOCK lock_ = 0;
  std::vector<std::unique_ptr<UsbPort>> ports_;
};

// The IRP status that goes with a USBD status.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

}  // namespace lumo::usbbus
