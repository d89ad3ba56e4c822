// The simulated camera: a USB device function with a bridge chip and an image sensor behind
// it, as the driver sees them through the bus. It answers the standard requests from its
// descriptor sets (high speed or full speed), the bridge's vendor register requests, runs the
// sensor's two-wire bus on two general-purpose pins of the bridge, serves the auxiliary
// register port, and streams video on the isochronous pipe with the snapshot button's status
// byte in every packet header. Faults come from a seeded FaultPlan.
//
// It is a pure device model: no engine, no threads; virtual time comes in with every call.
// README.md beside this file documents the register map, the packet format and the behaviour.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "fault_plan.h"
#include "registers.h"
#include "scene.h"
#include "two_wire_sensor.h"
#include "usbbus/device_model.h"

namespace lumo::sim {

struct CameraOptions {
  usb::Speed speed = usb::Speed::kHigh;
  uint64_t seed = 1;  // the fault plan's generator
  size_t frameLogCapacity = 4096;  // most recent frames kept in the truth log
};

// What the camera sent as one frame: its parameters (from which SceneRenderer::RenderFrame
// gives the exact image bytes) and where it sat on the bus.
struct FrameTruth {
  FrameParams params;
  uint64_t firstInterval;  // bus interval of the frame-start packet
  uint32_t packets;        // packets the frame occupies
  uint32_t imageBytes;     // 2 x width x height
};

class Camera final : public usb::DeviceModel {
 public:
  explicit Camera(CameraOptions options = {});

  // --- usb::DeviceModel ---------------------------------------------------------------------
  usb::Speed GetSpeed() const override { return options_.speed; }
  usb::ControlResult Control(usb::BusTime now, const usb::SetupPacket& setup,
                             uint8_t* data) override;
  usb::PacketResult InPacket(uint8_t endpointAddress, uint64_t interval, uint8_t* buffer,
                             uint32_t capacity) override;
  void PortReset(usb::BusTime now) override;
  usb::Fault CheckFault(usb::FaultPoint point, uint8_t endpointAddress,
                        usb::BusTime now) override;

  // --- What a person or a test does to the hardware -----------------------------------------
  // The button goes down or up at virtual time `at` (not earlier than a change already made);
  // packets of the intervals that start at or after `at` carry the new status byte.
  void PressButton(usb::BusTime at) { buttonChanges_.push_back({at, true}); }
  void ReleaseButton(usb::BusTime at) { buttonChanges_.push_back({at, false}); }
  bool ButtonPressed() const {
    return buttonChanges_.empty() ? buttonPressed_ : buttonChanges_.back().second;
  }
  FaultPlan& Faults() { return faults_; }

  // --- Observation (the hardware's truth) ---------------------------------------------------
  const std::vector<uint8_t>& DeviceDescriptor() const { return deviceDescriptor_; }
  const std::vector<uint8_t>& ConfigurationDescriptorSet() const { return configuration_; }
  uint8_t Configuration() const { return configuration_value_; }
  uint8_t AlternateSetting() const { return alternateSetting_; }
  uint32_t VideoPacketSize() const { return PacketSize(kEndpointVideo, alternateSetting_); }
  uint16_t BridgeRegister(uint16_t reg) const { return bridge_[reg]; }
  uint16_t AuxRegister(uint8_t reg) const { return aux_[reg]; }
  const TwoWireSensor& Sensor() const { return sensor_; }
  bool VideoEnabled() const;
  // The frame size the capture window registers give now (0 x 0 when invalid).
  void CaptureSize(uint32_t* width, uint32_t* height) const;
  PictureSettings CurrentPicture() const;
  const std::deque<FrameTruth>& FrameLog() const { return frameLog_; }
  uint32_t FramesStarted() const { return nextSequence_; }
  uint64_t ControlRequests() const { return controlRequests_; }
  uint64_t VendorWrites() const { return vendorWrites_; }
  uint64_t VendorReads() const { return vendorReads_; }

  // Packet size of an endpoint at an alternate setting, from the descriptor set.
  uint32_t PacketSize(uint8_t endpointAddress, uint8_t alternateSetting) const;
  uint8_t AlternateSettingCount() const { return alternateCount_; }

 private:
  usb::ControlResult Standard(usb::BusTime now, const usb::SetupPacket& setup, uint8_t* data);
  uint16_t ReadBridge(uint16_t reg, usb::BusTime now);
  void WriteBridge(uint16_t reg, uint16_t value, usb::BusTime now);
  void UpdateBusLines();
  void UpdateSensorPower();
  void UpdateVideoEnable(usb::BusTime now);
  void BuildDescriptors();
  usb::BusTime IntervalTime(uint64_t interval) const;
  uint64_t FirstIntervalAtOrAfter(usb::BusTime time) const;
  uint64_t SlotStartInterval(uint64_t slot) const;
  void AdvanceVideo(uint64_t interval, uint32_t packetSize);
  void StartFrame(uint64_t interval, uint32_t packetSize);
  void FillPayload(uint32_t offset, uint32_t length, uint8_t* out);
  void WriteHeader(uint8_t* out, uint8_t type, usb::BusTime time);
  uint8_t StatusByteAt(usb::BusTime time);

  CameraOptions options_;
  FaultPlan faults_;
  TwoWireSensor sensor_;
  std::vector<uint16_t> bridge_;          // 65536 registers
  std::array<uint16_t, kAuxRegisterCount> aux_;
  uint16_t auxReadData_ = 0;
  bool auxError_ = false;
  usb::BusTime auxBusyUntil_ = 0;
  bool buttonPressed_ = false;  // before the first pending change
  std::deque<std::pair<usb::BusTime, bool>> buttonChanges_;

  std::vector<uint8_t> deviceDescriptor_;
  std::vector<uint8_t> configuration_;
  uint8_t alternateCount_ = 0;
  uint8_t configuration_value_ = 0;
  uint8_t alternateSetting_ = 0;

  // Video. A frame starts on the first interval of a 1/30-s slot (slot k begins at
  // k x 10^7 / 30 in 100-ns units, so the cadence never drifts) once the previous frame has
  // been sent completely and video is enabled; it occupies `packets` consecutive intervals.
  bool videoWasEnabled_ = false;
  bool frameActive_ = false;
  uint64_t nextFreeInterval_ = 0;  // no frame may start before this interval
  FrameTruth current_{};
  uint32_t currentPayloadPerPacket_ = 0;
  uint32_t nextSequence_ = 0;
  std::deque<FrameTruth> frameLog_;
  SceneRenderer renderer_;
  bool rendererReady_ = false;
  std::vector<uint8_t> rowCache_;
  std::vector<uint8_t> overflowPacket_;  // a packet larger than the host's slot
  int64_t cachedRow_ = -1;

  uint64_t controlRequests_ = 0;
  uint64_t vendorWrites_ = 0;
  uint64_t vendorReads_ = 0;
};

}  // namespace lumo::sim
