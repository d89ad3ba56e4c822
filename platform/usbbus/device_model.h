// The one interface between the bus stand-in and a simulated USB device function. The device
// model sees only what crosses a real USB cable: setup packets and their data stages, packets
// of its endpoints in numbered bus intervals, port resets. It knows nothing of IRPs, URBs or
// the simulation engine; time is passed in as an argument (100-ns units), so a model can be
// built and tested on its own.
//
// Contract:
// - A high-speed device exchanges at most one packet per endpoint per 125-us microframe, a
//   full-speed device one per 1-ms frame; `interval` numbers those (micro)frames from 0 at
//   virtual time 0, so interval i starts at i x IntervalDuration(speed).
// - InPacket is called in increasing interval order per endpoint, only for intervals in which
//   the host had a transfer queued; the device keeps running through the others and what it
//   would have sent then is lost, as on a real bus.
// - Control is called for every request on the default pipe, standard ones included (the bus
//   reads descriptors, sets the configuration and interfaces through it).
// - CheckFault lets the device's fault plan act on the bus side of a transaction: the bus asks
//   once per control request of the host's client, once per completed transfer, and at every
//   bus operation for port faults.
#pragma once

#include <cstdint>

namespace lumo::usb {

using BusTime = int64_t;  // 100-ns units

enum class Speed { kFull, kHigh };

constexpr BusTime IntervalDuration(Speed speed) { return speed == Speed::kHigh ? 1250 : 10000; }

struct SetupPacket {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

enum class ControlStatus {
  kAck,       // the request completed; `length` bytes moved in the data stage
  kStall,     // the device answered with STALL (unknown or malformed request)
  kNoAnswer,  // the device never answers; the host's transfer stays pending
};

struct ControlResult {
  ControlStatus status;
  uint32_t length;
};

struct PacketResult {
  uint32_t length;  // bytes of the packet; 0 when the device sent nothing (NAK or no data)
  bool error;       // the packet arrived damaged (CRC, bit stuffing); its bytes are not reliable
};

enum class Fault {
  kNone,
  kControlStall,           // the control request is answered with STALL
  kControlNoAnswer,        // the control request never completes
  kTransferFail,           // the whole transfer fails: URB error status, no data
  kTransferAllPacketsFail, // every packet of an isochronous transfer carries an error status
  kPortDisable,            // the hub disables the port; transfers fail until a port reset
  kUnplug,                 // the device leaves the bus
};

enum class FaultPoint { kControl, kTransfer, kPort };

class DeviceModel {
 public:
  virtual ~DeviceModel() = default;
  virtual Speed GetSpeed() const = 0;

  // One control transfer on the default pipe. `data` holds setup.wLength bytes: the OUT data
  // stage, or room for the IN data stage.
  virtual ControlResult Control(BusTime now, const SetupPacket& setup, uint8_t* data) = 0;

  // One IN packet of `endpointAddress` (bit 7 set) in bus interval `interval`, written into
  // buffer (capacity = the endpoint's packet size in the current alternate setting).
  virtual PacketResult InPacket(uint8_t endpointAddress, uint64_t interval, uint8_t* buffer,
                                uint32_t capacity) = 0;

  // One OUT packet; returns the bytes the device accepted (0: NAK).
  virtual uint32_t OutPacket(uint8_t endpointAddress, uint64_t interval, const uint8_t* data,
                             uint32_t length) {
    return length;
  }

  // The port was reset by the hub. The device returns to its default state on a real bus; the
  // bus stand-in re-runs SET_ADDRESS/SET_CONFIGURATION/SET_INTERFACE implicitly, as the
  // platform's port reset restores the configuration the client had selected.
  virtual void PortReset(BusTime now) {}

  // See the contract above. `endpointAddress` is 0 for control and port points.
  virtual Fault CheckFault(FaultPoint point, uint8_t endpointAddress, BusTime now) {
    return Fault::kNone;
  }
};

}  // namespace lumo::usb
