// The camera model on its own, driven through its device interface the way a host does:
// setup packets on the default pipe and packets of the video endpoint per bus interval.
#include "camera.h"

#include <gtest/gtest.h>

#include <string>

#include <cstring>
#include <vector>

#include "camera_testing.h"

namespace lumo::sim {
namespace {

using testing::BridgeAccess;
using testing::SensorBusMaster;

constexpr usb::BusTime kControlCost = 2500;  // what the host pays per request here

class CameraHost {
 public:
  explicit CameraHost(usb::Speed speed = usb::Speed::kHigh) : camera_({speed, 7}) {}

  usb::ControlResult Request(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                             uint16_t length, uint8_t* data) {
    now_ += kControlCost;
    return camera_.Control(now_, {type, request, value, index, length}, data);
  }
  void WriteBridge(uint16_t reg, uint16_t value) {
    ASSERT_EQ(Request(0x40, kVendorWriteRegister, value, reg, 0, nullptr).status,
              usb::ControlStatus::kAck);
  }
  uint16_t ReadBridge(uint16_t reg) {
    uint8_t data[2] = {};
    const usb::ControlResult r = Request(0xC0, kVendorReadRegister, 0, reg, 2, data);
    EXPECT_EQ(r.status, usb::ControlStatus::kAck);
    EXPECT_EQ(r.length, 2u);
    return static_cast<uint16_t>(data[0] | (data[1] << 8));
  }
  BridgeAccess Access() {
    return {[this](uint16_t r, uint16_t v) { WriteBridge(r, v); },
            [this](uint16_t r) { return ReadBridge(r); }};
  }
  void Configure(uint8_t alternate) {
    ASSERT_EQ(Request(0x00, 0x09, 1, 0, 0, nullptr).status, usb::ControlStatus::kAck);
    ASSERT_EQ(Request(0x01, 0x0B, alternate, 0, 0, nullptr).status, usb::ControlStatus::kAck);
  }
  void StartVideo(int windowRecord, uint8_t alternate = 4) {
    Configure(alternate);
    testing::BringUp(Access());
    testing::SetCaptureWindow(Access(), windowRecord);
  }
  uint64_t NextInterval() const {
    const usb::BusTime d = usb::IntervalDuration(camera_.GetSpeed());
    return static_cast<uint64_t>((now_ + d - 1) / d);
  }

  Camera camera_;
  usb::BusTime now_ = 0;
};

struct Packet {
  uint64_t interval;
  usb::PacketResult result;
  std::vector<uint8_t> bytes;
};

std::vector<Packet> Poll(Camera& camera, uint64_t first, uint64_t count) {
  std::vector<Packet> packets;
  const uint32_t size = camera.VideoPacketSize();
  std::vector<uint8_t> buffer(size ? size : 1);
  for (uint64_t i = first; i < first + count; ++i) {
    const usb::PacketResult r = camera.InPacket(kEndpointVideo, i, buffer.data(), size);
    packets.push_back({i, r, std::vector<uint8_t>(buffer.begin(), buffer.begin() + r.length)});
  }
  return packets;
}

TEST(CameraDescriptors, BothSpeedsDescribeTheVideoInterface) {
  struct Case {
    usb::Speed speed;
    std::vector<uint32_t> videoPacketSizes;
    uint8_t byte60;
  };
  const Case cases[] = {{usb::Speed::kHigh, {0, 16, 1024, 2048, 3072}, 8},
                        {usb::Speed::kFull, {0, 16, 1023}, 2}};
  for (const Case& c : cases) {
    Camera camera({c.speed});
    const std::vector<uint8_t>& set = camera.ConfigurationDescriptorSet();
    ASSERT_GT(set.size(), 60u);
    EXPECT_EQ(set[0], 9);
    EXPECT_EQ(set[1], 2);
    EXPECT_EQ(set[2] | (set[3] << 8), int(set.size()));
    EXPECT_EQ(set[60], c.byte60);
    EXPECT_EQ(camera.AlternateSettingCount(), c.videoPacketSizes.size());
    for (uint8_t alt = 0; alt < c.videoPacketSizes.size(); ++alt) {
      EXPECT_EQ(camera.PacketSize(kEndpointVideo, alt), c.videoPacketSizes[alt]) << int(alt);
    }
    // Every alternate setting has the three endpoints in pipe order.
    int interfaces = 0, endpoints = 0;
    for (size_t at = 0; at < set.size(); at += set[at]) {
      ASSERT_GT(set[at], 0);
      if (set[at + 1] == 4) {
        EXPECT_EQ(set[at + 3], interfaces);  // bAlternateSetting
        EXPECT_EQ(set[at + 4], 3);
        ++interfaces;
      }
      if (set[at + 1] == 5) {
        const uint8_t expected[3] = {kEndpointEvents, kEndpointVideo, kEndpointStill};
        EXPECT_EQ(set[at + 2], expected[endpoints % 3]);
        ++endpoints;
      }
    }
    EXPECT_EQ(interfaces, int(c.videoPacketSizes.size()));
    EXPECT_EQ(endpoints, 3 * interfaces);
  }
}

TEST(CameraRequests, DescriptorsAndConfigurationByStandardRequests) {
  CameraHost host;
  uint8_t data[512] = {};
  usb::ControlResult r = host.Request(0x80, 6, 0x0100, 0, 64, data);
  ASSERT_EQ(r.status, usb::ControlStatus::kAck);
  EXPECT_EQ(r.length, 18u);
  EXPECT_EQ(0, std::memcmp(data, host.camera_.DeviceDescriptor().data(), 18));
  r = host.Request(0x80, 6, 0x0200, 0, 9, data);
  EXPECT_EQ(r.length, 9u);
  // Unknown requests and interfaces stall, as hardware does.
  EXPECT_EQ(host.Request(0x40, 0x55, 0, 0, 0, nullptr).status, usb::ControlStatus::kStall);
  EXPECT_EQ(host.Request(0x01, 0x0B, 1, 0, 0, nullptr).status, usb::ControlStatus::kStall)
      << "no interface before a configuration";
  host.Configure(4);
  EXPECT_EQ(host.camera_.AlternateSetting(), 4);
  EXPECT_EQ(host.Request(0x01, 0x0B, 5, 0, 0, nullptr).status, usb::ControlStatus::kStall);
  EXPECT_EQ(host.camera_.AlternateSetting(), 4);
  // A write with a data stage, or a read without one, is not a register access.
  EXPECT_EQ(host.Request(0x40, 1, 5, 0x0100, 2, data).status, usb::ControlStatus::kStall);
  EXPECT_EQ(host.Request(0xC0, 0, 0, 0x0100, 0, data).status, usb::ControlStatus::kStall);
}

TEST(CameraBridge, RegistersReadBackLowByteFirst) {
  CameraHost host;
  host.WriteBridge(0x0952, 0xBEEF);
  uint8_t data[2] = {};
  ASSERT_EQ(host.Request(0xC0, 0, 0, 0x0952, 2, data).length, 2u);
  EXPECT_EQ(data[0], 0xEF);
  EXPECT_EQ(data[1], 0xBE);
  EXPECT_EQ(host.ReadBridge(0x0360), 0x013E) << "documented reset value";
}

TEST(CameraSensorBus, WriteAndReadBackWithTheExactLevelSequence) {
  CameraHost host;
  testing::BringUp(host.Access());
  SensorBusMaster bus(host.Access());
  EXPECT_EQ(bus.WriteRegister(0x68, 0xE6, 0x5A), 3);
  EXPECT_EQ(bus.Transfers(), 127u);
  EXPECT_EQ(host.camera_.Sensor().Register(0xE6), 0x5A);
  int acks = 0;
  EXPECT_EQ(bus.ReadRegister(0x68, 0xE6, &acks), 0x5A);
  EXPECT_EQ(acks, 3);
  EXPECT_EQ(bus.Transfers(), 127u + 179u);
  // Every value survives the trip, including ones with a leading 1 and 0.
  for (int value : {0x00, 0xFF, 0x80, 0x01, 0xA5}) {
    bus.WriteRegister(0x68, 0x28, static_cast<uint8_t>(value));
    EXPECT_EQ(bus.ReadRegister(0x68, 0x28), value);
  }
  EXPECT_EQ(bus.ReadRegister(0x68, kSensorIdHigh), 0x44);
  const TwoWireSensor::Counters& c = host.camera_.Sensor().GetCounters();
  EXPECT_EQ(c.addressMisses, 0u);
  EXPECT_EQ(c.bytesWritten, 6u);
  EXPECT_EQ(c.bytesRead, 7u);
}

TEST(CameraSensorBus, WrongAddressIsNotAcknowledgedAndChangesNothing) {
  CameraHost host;
  testing::BringUp(host.Access());
  SensorBusMaster bus(host.Access());
  const uint8_t before = host.camera_.Sensor().Register(0xE7);
  EXPECT_EQ(bus.WriteRegister(0x6A, 0xE7, 0x33), 0);
  EXPECT_EQ(host.camera_.Sensor().Register(0xE7), before);
  int acks = -1;
  EXPECT_EQ(bus.ReadRegister(0x42, 0xE7, &acks), 0xFF) << "nobody drives the released line";
  EXPECT_EQ(acks, 0);
  EXPECT_EQ(host.camera_.Sensor().GetCounters().addressMisses, 3u);
  EXPECT_EQ(host.camera_.Sensor().GetCounters().bytesWritten, 0u);
}

TEST(CameraSensorBus, PoweredDownSensorDoesNotAnswer) {
  CameraHost host;  // no bring-up: the power-down pin floats high
  SensorBusMaster bus(host.Access());
  EXPECT_EQ(bus.WriteRegister(0x68, 0xE6, 0x11), 0);
  EXPECT_EQ(host.camera_.Sensor().Register(0xE6), 0x00);
}

TEST(CameraAuxPort, ReadyBusyErrorAndRegisters) {
  CameraHost host;
  // The auxiliary unit is stopped at reset: not ready, and an access reports an error.
  EXPECT_EQ(host.ReadBridge(kRegAuxStatus) & kAuxReady, 0);
  host.WriteBridge(kRegAuxReadAddr, 0x00);
  EXPECT_EQ(host.ReadBridge(kRegAuxStatus) & kAuxError, kAuxError);
  testing::BringUp(host.Access());
  EXPECT_EQ(host.ReadBridge(kRegAuxStatus), kAuxReady | kAuxError)
      << "the error of the last access stays until the next access";
  host.WriteBridge(kRegAuxWriteAddr, 0x21);
  host.WriteBridge(kRegAuxWriteData, 0x1234);
  EXPECT_EQ(host.ReadBridge(kRegAuxStatus), kAuxReady) << "the operation ended within a request";
  host.WriteBridge(kRegAuxReadAddr, 0x21);
  EXPECT_EQ(host.ReadBridge(kRegAuxStatus), kAuxReady);
  EXPECT_EQ(host.ReadBridge(kRegAuxReadData), 0x1234);
  host.WriteBridge(kRegAuxReadAddr, kAuxIdRegister);
  EXPECT_EQ(host.ReadBridge(kRegAuxReadData), kAuxIdValue);
  // Out of range: error, data unchanged.
  host.WriteBridge(kRegAuxReadAddr, 0x300);
  EXPECT_EQ(host.ReadBridge(kRegAuxStatus), kAuxReady | kAuxError);
  EXPECT_EQ(host.ReadBridge(kRegAuxReadData), kAuxIdValue);
  // Busy right after an access when the host is quicker than the unit.
  Camera& camera = host.camera_;
  camera.Control(host.now_, {0x40, 1, 0x21, kRegAuxReadAddr, 0}, nullptr);
  uint8_t data[2];
  camera.Control(host.now_ + 10, {0xC0, 0, 0, kRegAuxStatus, 2}, data);
  EXPECT_EQ(data[0], kAuxBusy);
  camera.Control(host.now_ + 20, {0x40, 1, 0x22, kRegAuxReadAddr, 0}, nullptr);
  camera.Control(host.now_ + 30, {0xC0, 0, 0, kRegAuxStatus, 2}, data);
  EXPECT_EQ(data[0] & kAuxError, kAuxError) << "an access while busy fails";
}

struct SizeCase {
  int record;
  uint32_t width, height;
};

// Names each case by its frame size in test names and failure messages.
std::string CaseName(const ::testing::TestParamInfo<SizeCase>& info) {
  return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
}

class CameraVideoStream : public ::testing::TestWithParam<SizeCase> {};

TEST_P(CameraVideoStream, ThirtyFramesPerSecondWithHeadersNumbersAndImageBytes) {
  const SizeCase size = GetParam();
  CameraHost host;
  host.StartVideo(size.record);
  ASSERT_TRUE(host.camera_.VideoEnabled());
  const uint64_t first = host.NextInterval();
  const std::vector<Packet> packets = Poll(host.camera_, first, 8000);  // one second
  // Reassemble frames the way the driver does: a frame start begins a frame, continuation
  // packets append their image data.
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint64_t> starts;
  for (const Packet& p : packets) {
    ASSERT_FALSE(p.result.error);
    ASSERT_GE(p.bytes.size(), kPacketHeaderSize);
    EXPECT_EQ(p.bytes[kHeaderOffsetStatus], kStatusIdle);
    const uint8_t type = p.bytes[kHeaderOffsetType] & 0x0F;
    if (type == kPacketTypeFrameStart) {
      frames.emplace_back(p.bytes.begin() + kPacketHeaderSize, p.bytes.end());
      starts.push_back(p.interval);
      EXPECT_EQ(p.bytes[kHeaderOffsetFrameNumber] >> 1, (frames.size() - 1) & 0x7F);
    } else if (type == kPacketTypeContinuation && !frames.empty()) {
      frames.back().insert(frames.back().end(), p.bytes.begin() + kPacketHeaderSize, p.bytes.end());
    } else {
      EXPECT_EQ(type, kPacketTypeStatus);
      EXPECT_EQ(p.bytes.size(), kPacketHeaderSize);
    }
  }
  ASSERT_GE(frames.size(), 29u);
  ASSERT_LE(frames.size(), 31u);
  // Frames start on 1/30-s slots: 266 or 267 microframes apart.
  for (size_t i = 1; i < starts.size(); ++i) {
    const uint64_t gap = starts[i] - starts[i - 1];
    EXPECT_TRUE(gap == 266 || gap == 267) << gap;
  }
  const std::deque<FrameTruth>& log = host.camera_.FrameLog();
  ASSERT_GE(log.size(), frames.size());
  std::vector<uint8_t> expected(size.width * size.height * 2);
  for (size_t i = 0; i + 1 < frames.size(); ++i) {  // the last one may be cut by the window
    const FrameTruth& truth = log[i];
    EXPECT_EQ(truth.params.width, size.width);
    EXPECT_EQ(truth.params.height, size.height);
    EXPECT_EQ(truth.firstInterval, starts[i]);
    ASSERT_EQ(frames[i].size(), expected.size()) << i;
    SceneRenderer::RenderFrame(truth.params, expected.data());
    EXPECT_EQ(frames[i], expected) << "frame " << i;
    uint32_t stamp = 0;
    ASSERT_TRUE(DecodeFrameStamp(frames[i].data(), size.width, size.height, &stamp));
    EXPECT_EQ(stamp, truth.params.sequence);
  }
}

INSTANTIATE_TEST_SUITE_P(EachCaptureWindow, CameraVideoStream,
                         ::testing::Values(SizeCase{0, 640, 480}, SizeCase{1, 320, 240},
                                           SizeCase{2, 160, 120}),
                         CaseName);

TEST(CameraVideoRate, BandwidthLimitsTheFrameRate) {
  struct Case {
    usb::Speed speed;
    uint8_t alternate;
    int record;
    uint64_t intervalsPerSecond;
    size_t framesPerSecond;
  };
  const Case cases[] = {
      {usb::Speed::kHigh, 4, 0, 8000, 30},  // 202 packets of 3072 per frame
      {usb::Speed::kHigh, 3, 0, 8000, 15},  // 303 packets: every other slot
      {usb::Speed::kHigh, 2, 0, 8000, 10},  // 610 packets: every third slot
      {usb::Speed::kHigh, 2, 1, 8000, 30},
      {usb::Speed::kFull, 2, 2, 1000, 15},  // 39 packets of 1023 in 1-ms frames
  };
  for (const Case& c : cases) {
    CameraHost host(c.speed);
    host.StartVideo(c.record, c.alternate);
    size_t starts = 0;
    for (const Packet& p : Poll(host.camera_, host.NextInterval(), c.intervalsPerSecond)) {
      if ((p.bytes[kHeaderOffsetType] & 0x0F) == kPacketTypeFrameStart) ++starts;
    }
    EXPECT_NEAR(double(starts), double(c.framesPerSecond), 1.0)
        << "alt " << int(c.alternate) << " record " << c.record;
  }
}

TEST(CameraVideo, NoVideoWithoutCaptureEnableOrBandwidth) {
  CameraHost host;
  host.Configure(1);
  testing::BringUp(host.Access());
  testing::SetCaptureWindow(host.Access(), 0);
  EXPECT_FALSE(host.camera_.VideoEnabled()) << "alternate setting 1 carries status only";
  for (const Packet& p : Poll(host.camera_, host.NextInterval(), 400)) {
    EXPECT_EQ(p.bytes.size(), kPacketHeaderSize);
    EXPECT_EQ(p.bytes[kHeaderOffsetType], kPacketTypeStatus);
  }
  host.Configure(4);
  EXPECT_TRUE(host.camera_.VideoEnabled());
  host.WriteBridge(kRegCapture, 0);
  EXPECT_FALSE(host.camera_.VideoEnabled());
}

TEST(CameraVideo, PowerDownStopsVideoAndTheBridgeTableBringsItBack) {
  CameraHost host;
  host.StartVideo(0);
  testing::PowerDown(host.Access());
  EXPECT_FALSE(host.camera_.VideoEnabled());
  EXPECT_FALSE(host.camera_.Sensor().Powered());
  const uint32_t before = host.camera_.FramesStarted();
  Poll(host.camera_, host.NextInterval(), 2000);
  EXPECT_EQ(host.camera_.FramesStarted(), before);
  testing::BringUp(host.Access());
  testing::SetCaptureWindow(host.Access(), 0);
  EXPECT_TRUE(host.camera_.VideoEnabled());
  Poll(host.camera_, host.NextInterval(), 2000);
  EXPECT_GT(host.camera_.FramesStarted(), before);
}

TEST(CameraVideo, ASlotSmallerThanThePacketKeepsWhatFitsAndMarksAnError) {
  CameraHost host;
  host.StartVideo(0);
  uint64_t at = host.NextInterval();
  std::vector<uint8_t> small(1000, 0xAA);
  // Find the first frame packet, read into a slot a third of its size.
  usb::PacketResult r{};
  for (int i = 0; i < 300; ++i, ++at) {
    r = host.camera_.InPacket(kEndpointVideo, at, small.data(), 1000);
    if (small[kHeaderOffsetType] == kPacketTypeFrameStart) break;
    EXPECT_FALSE(r.error) << "status packets fit";
  }
  ASSERT_EQ(small[kHeaderOffsetType], kPacketTypeFrameStart);
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.length, 1000u);
  // The frame goes on at the camera's own pace: the next packet is its continuation.
  std::vector<uint8_t> full(3072);
  r = host.camera_.InPacket(kEndpointVideo, at + 1, full.data(), 3072);
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.length, 3072u);
  EXPECT_EQ(full[kHeaderOffsetType], kPacketTypeContinuation);
}

TEST(CameraButton, StatusByteFollowsTheButtonInEveryHeader) {
  CameraHost host;
  host.Configure(1);
  const uint64_t at = host.NextInterval();
  // Pressed at the start of interval at + 1, released half-way into interval at + 11.
  host.camera_.PressButton(usb::BusTime(at + 1) * 1250);
  host.camera_.ReleaseButton(usb::BusTime(at + 11) * 1250 + 600);
  EXPECT_TRUE(host.camera_.ButtonPressed() == false);
  const std::vector<Packet> packets = Poll(host.camera_, at, 14);
  for (size_t i = 0; i < packets.size(); ++i) {
    const bool pressed = i >= 1 && i <= 11;
    EXPECT_EQ(packets[i].bytes[kHeaderOffsetStatus], pressed ? kStatusPressed : kStatusIdle) << i;
  }
  EXPECT_LT(kStatusPressed, kStatusIdle);
}

TEST(CameraFaults, PacketFaultsByCountAndByWindow) {
  CameraHost host;
  host.Configure(1);
  const uint64_t at = host.NextInterval();
  host.camera_.Faults().Add({FaultKind::kPacketError, /*skipFirst=*/5, /*maxHits=*/2});
  const usb::BusTime windowStart = usb::BusTime(at + 20) * 1250;
  host.camera_.Faults().Add(
      {FaultKind::kPacketShort, 0, UINT64_MAX, 1000, windowStart, windowStart + 3 * 1250});
  const std::vector<Packet> packets = Poll(host.camera_, at, 40);
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].result.error, i == 5 || i == 6) << i;
    EXPECT_EQ(packets[i].result.length < kPacketHeaderSize, i >= 20 && i < 23) << i;
  }
}

TEST(CameraFaults, SeededChanceIsRepeatable) {
  auto run = [](uint64_t seed) {
    Camera camera({usb::Speed::kHigh, seed});
    camera.Faults().Add({FaultKind::kControlStall, 0, UINT64_MAX, 250});
    std::vector<int> fired;
    for (int i = 0; i < 200; ++i) {
      fired.push_back(camera.CheckFault(usb::FaultPoint::kControl, 0, i) ==
                      usb::Fault::kControlStall);
    }
    return fired;
  };
  const std::vector<int> a = run(11), b = run(11), c = run(12);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  int hits = 0;
  for (int f : a) hits += f;
  EXPECT_GT(hits, 25);
  EXPECT_LT(hits, 80);
}

}  // namespace
}  // namespace lumo::sim
