// A camera on the simulated bus and a device context set up as device start-up sets it up, for
// the tests of the driver's USB requests and camera control. The driver reaches the camera only
// through its own requests to the bus; the camera model answers them as the hardware does.
//
// Between the bus and the camera sits a tap that records every control request on the default
// pipe (with its virtual time) and passes it on unchanged, so that tests can pair what the
// driver sent with what the camera holds. It can also present another configuration descriptor
// set in place of the camera's, for the tests of descriptor reading.
//
// Start-up: StartDevice initialises PipeStateLock and runs PrepareUsbDevice with InitState 1, as
// SRB_INITIALIZE_DEVICE does, with the data path's ConfigurePipes and a camera initialisation
// that brings the bridge up (reset and initialisation table, written through the driver's
// bridge access) and sets the sensor bus fields to the values device start gives them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "camera.h"
#include "camera_testing.h"
#include "control/register_access.h"
#include "core/lumocam.h"
#include "datapath/camera_ops.h"
#include "kernel/pool.h"
#include "kernel/simulation.h"
#include "usb/usb_requests.h"
#include "usbbus/usb_bus.h"

namespace lumo::drivertest {

using kernel::kMillisecond;
using kernel::kSecond;
using kernel::VirtualTime;

// One control request as it crossed the cable.
struct ControlRecord {
  usb::BusTime time;
  usb::SetupPacket setup;
};

// bmRequestType of the camera's vendor requests.
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
// A standard GET_DESCRIPTOR request (device to host) and the descriptor type in wValue.
constexpr uint8_t kStandardIn = 0x80;
constexpr uint8_t kGetDescriptor = 0x06;

class ControlTap final : public usb::DeviceModel {
 public:
  explicit ControlTap(usb::DeviceModel& device) : device_(device) {}

  usb::Speed GetSpeed() const override { return device_.GetSpeed(); }
  usb::ControlResult Control(usb::BusTime now, const usb::SetupPacket& setup,
                             uint8_t* data) override {
    log_.push_back({now, setup});
    const uint8_t descriptorType = static_cast<uint8_t>(setup.wValue >> 8);
    if (replaceConfigurationSet_ && setup.bmRequestType == kStandardIn &&
        setup.bRequest == kGetDescriptor && descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
      const uint32_t length =
          std::min<uint32_t>(setup.wLength, static_cast<uint32_t>(configurationSet_.size()));
      if (length != 0) std::memcpy(data, configurationSet_.data(), length);
      return {usb::ControlStatus::kAck, length};
    }
    return device_.Control(now, setup, data);
  }
  usb::PacketResult InPacket(uint8_t endpointAddress, uint64_t interval, uint8_t* buffer,
                             uint32_t capacity) override {
    return device_.InPacket(endpointAddress, interval, buffer, capacity);
  }
  uint32_t OutPacket(uint8_t endpointAddress, uint64_t interval, const uint8_t* data,
                     uint32_t length) override {
    return device_.OutPacket(endpointAddress, interval, data, length);
  }
  void PortReset(usb::BusTime now) override { device_.PortReset(now); }
  usb::Fault CheckFault(usb::FaultPoint point, uint8_t endpointAddress,
                        usb::BusTime now) override {
    return device_.CheckFault(point, endpointAddress, now);
  }

  const std::vector<ControlRecord>& Log() const { return log_; }
  // Presents `set` (which may be empty) as the configuration descriptor set from now on.
  void ReplaceConfigurationSet(std::vector<uint8_t> set) {
    configurationSet_ = std::move(set);
    replaceConfigurationSet_ = true;
  }

 private:
  usb::DeviceModel& device_;
  std::vector<ControlRecord> log_;
  std::vector<uint8_t> configurationSet_;
  bool replaceConfigurationSet_ = false;
};

// The camera initialisation the fixture installs in CameraOps: the bridge reset and table, then
// the sensor bus fields and shadows as device start leaves them with the built-in script.
inline NTSTATUS NTAPI FixtureInitializeCamera(PDEVICE_OBJECT, PDEVICE_CONTEXT device) {
  device->SensorBusTimeout.QuadPart = -100000;  // 10 ms, relative
  KeInitializeMutex(&device->SensorBusMutex, 0);
  sim::testing::BridgeAccess bridge;
  bridge.write = [device](uint16_t reg, uint16_t value) {
    WriteBridgeRegister(device, reg, value);
  };
  bridge.read = [device](uint16_t reg) { return ReadBridgeRegister(device, reg); };
  sim::testing::BringUp(bridge);
  device->GpioDirShadow = ReadBridgeRegister(device, BRIDGE_GPIO_DIR);
  device->GpioOutShadow = ReadBridgeRegister(device, BRIDGE_GPIO_OUT);
  device->SensorAddress = 0x68;
  device->SensorDefaultAddress = 0x68;
  device->SensorType = 0x84;
  device->SensorShadowFD = 0x40;
  device->SensorShadowE9 = 0x6F;
  device->HighSpeed = IsHighSpeedConfiguration(device);
  SelectCatalogue(device);
  return STATUS_SUCCESS;
}

// One simulated machine with the camera on its bus and a zeroed device context aimed at it.
class CameraRig {
 public:
  explicit CameraRig(usb::Speed speed = usb::Speed::kHigh) {
    sim::CameraOptions options;
    options.speed = speed;
    camera_ = std::make_unique<sim::Camera>(options);
    tap_ = std::make_unique<ControlTap>(*camera_);
    sim_ = std::make_unique<kernel::Simulation>();
    port_ = &sim_->Get<usbbus::UsbBus>().Attach(tap_.get());
    device_ = std::make_unique<DEVICE_CONTEXT>();
    std::memset(device_.get(), 0, sizeof(DEVICE_CONTEXT));
    device_->Signature = DEVICE_SIGNATURE;
    device_->BusDeviceObject = port_->Pdo();
    device_->RealPhysicalDeviceObject = port_->Pdo();
    device_->CameraOps.ConfigurePipes = ConfigurePipes;
    device_->CameraOps.InitializeCamera = FixtureInitializeCamera;
  }

  ~CameraRig() {
    // The final release of device start-up's allocations, so the pool's leak check at the end
    // of the simulation sees only what the tests themselves leave.
    Run([this] {
      if (device_->DeviceDescriptor) ExFreePoolWithTag(device_->DeviceDescriptor, LUMOCAM_POOL_TAG);
      if (device_->InterfaceInfo) ExFreePoolWithTag(device_->InterfaceInfo, LUMOCAM_POOL_TAG);
      if (device_->PipeTable) ExFreePoolWithTag(device_->PipeTable, LUMOCAM_POOL_TAG);
      device_->DeviceDescriptor = nullptr;
      device_->InterfaceInfo = nullptr;
      device_->PipeTable = nullptr;
    });
    sim_.reset();
  }

  // PrepareUsbDevice as SRB_INITIALIZE_DEVICE runs it; InitState 2 on success.
  NTSTATUS StartDevice() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Run([&] {
      device_->InitState = INIT_STATE_INITIALIZING;
      KeInitializeSpinLock(&device_->PipeStateLock);
      status = PrepareUsbDevice(device_.get());
      if (NT_SUCCESS(status)) device_->InitState = INIT_STATE_INITIALIZED;
    });
    return status;
  }

  void Run(std::function<void()> body) { sim_->Run(std::move(body)); }
  VirtualTime Now() const { return sim_->Now(); }

  // Control requests seen since `mark` (a value of Mark()).
  size_t Mark() const { return tap_->Log().size(); }
  std::vector<ControlRecord> Since(size_t mark) const {
    return std::vector<ControlRecord>(tap_->Log().begin() + mark, tap_->Log().end());
  }
  // The vendor requests among them.
  std::vector<ControlRecord> VendorSince(size_t mark) const {
    std::vector<ControlRecord> vendor;
    for (const ControlRecord& record : Since(mark)) {
      if (record.setup.bmRequestType == kVendorOut || record.setup.bmRequestType == kVendorIn) {
        vendor.push_back(record);
      }
    }
    return vendor;
  }
  // The GET_DESCRIPTOR requests for the configuration descriptor set among them.
  std::vector<ControlRecord> ConfigurationReadsSince(size_t mark) const {
    std::vector<ControlRecord> reads;
    for (const ControlRecord& record : Since(mark)) {
      if (record.setup.bmRequestType == kStandardIn && record.setup.bRequest == kGetDescriptor &&
          (record.setup.wValue >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        reads.push_back(record);
      }
    }
    return reads;
  }

  kernel::PoolTagStatistics PoolTag(ULONG tag) const {
    kernel::PoolStatistics statistics = sim_->Get<kernel::Pool>().Statistics();
    auto found = statistics.byTag.find(tag);
    return found == statistics.byTag.end() ? kernel::PoolTagStatistics{} : found->second;
  }

  PDEVICE_CONTEXT device() const { return device_.get(); }
  sim::Camera& camera() const { return *camera_; }
  ControlTap& tap() const { return *tap_; }
  usbbus::UsbPort& port() const { return *port_; }
  kernel::Simulation& simulation() const { return *sim_; }
  kernel::Pool& pool() const { return sim_->Get<kernel::Pool>(); }

 private:
  // Declared before the simulation: the bus holds them until the simulation's teardown.
  std::unique_ptr<sim::Camera> camera_;
  std::unique_ptr<ControlTap> tap_;
  std::unique_ptr<kernel::Simulation> sim_;
  usbbus::UsbPort* port_ = nullptr;
  std::unique_ptr<DEVICE_CONTEXT> device_;
};

// A test with one rig; CameraSpeed chooses the camera.
class CameraFixture : public ::testing::Test {
 protected:
  virtual usb::Speed CameraSpeed() const { return usb::Speed::kHigh; }
  void SetUp() override { rig_ = std::make_unique<CameraRig>(CameraSpeed()); }
  void TearDown() override { rig_.reset(); }

  NTSTATUS StartDevice() { return rig_->StartDevice(); }
  void Run(std::function<void()> body) { rig_->Run(std::move(body)); }
  VirtualTime Now() const { return rig_->Now(); }
  size_t Mark() const { return rig_->Mark(); }
  std::vector<ControlRecord> Since(size_t mark) const { return rig_->Since(mark); }
  std::vector<ControlRecord> VendorSince(size_t mark) const { return rig_->VendorSince(mark); }
  kernel::PoolTagStatistics PoolTag(ULONG tag) const { return rig_->PoolTag(tag); }
  PDEVICE_CONTEXT device() const { return rig_->device(); }
  sim::Camera& camera() const { return rig_->camera(); }
  usbbus::UsbPort& port() const { return rig_->port(); }
  CameraRig& rig() const { return *rig_; }

 private:
  std::unique_ptr<CameraRig> rig_;
};

// The fixture with the device already started.
class StartedCameraFixture : public CameraFixture {
 protected:
  void SetUp() override {
    CameraFixture::SetUp();
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
  }
};

}  // namespace lumo::drivertest
