// The camera's packet header as ProcessPacket reads it for the engine (payload, frame starts, drop
// flags, the discard count, the frame-number drop window, the status byte), and the camera's
// pipe configuration.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/lumocam.h"
#include "datapath/camera_ops.h"

namespace {

struct PacketResult {
  ULONG payload;
  ULONG offset;
  ULONG flags;
  BOOLEAN newFrame;
};

class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<DEVICE_CONTEXT>();
    std::memset(device_.get(), 0, sizeof(DEVICE_CONTEXT));
    device_->SensorType = SENSOR_TYPE_CONVERTED;
  }

  // A packet of `length` bytes with header type, status byte and frame number.
  PacketResult Send(UCHAR type, ULONG length, UCHAR status = 0, UCHAR frameNumber = 0,
                    USBD_STATUS usbStatus = USBD_STATUS_SUCCESS) {
    std::vector<UCHAR> bytes(length + 32, 0xEE);  // what lies past a short packet is stale
    for (ULONG n = 0; n < length; n++) bytes[n] = UCHAR(n * 7);
    if (length > 12) bytes[12] = type;
    if (length > 13) bytes[13] = status;
    if (length > 14) bytes[14] = UCHAR(frameNumber << 1 | 1);  // bit 0 is not part of it
    USBD_ISO_PACKET_DESCRIPTOR descriptor = {0, length, usbStatus};
    PacketResult result = {0xDEAD, 0xDEAD, 0xDEAD, 0xEE};
    result.payload = ProcessPacket(nullptr, device_.get(), nullptr, nullptr, nullptr, &descriptor,
                                   bytes.data(), &result.newFrame, &result.flags, &result.offset);
    return result;
  }

  std::unique_ptr<DEVICE_CONTEXT> device_;
};

struct PacketCase {
  const char* name;
  UCHAR type;
  ULONG length;
  USBD_STATUS usbStatus;
  ULONG payload, offset, flags;
  BOOLEAN newFrame;
  UCHAR discardAfter;  // starting from 0
};
const PacketCase kPacketCases[] = {
    {"frame start", 0x08, 960, USBD_STATUS_SUCCESS, 960, 0, 0, TRUE, 0},
    {"frame start, high nibble ignored", 0x18, 100, USBD_STATUS_SUCCESS, 100, 0, 0, TRUE, 0},
    {"frame start of a bare header", 0x08, 16, USBD_STATUS_SUCCESS, 16, 0, 0, TRUE, 0},
    {"continuation", 0x00, 3072, USBD_STATUS_SUCCESS, 3056, 16, 0, FALSE, 0},
    {"continuation, high nibble ignored", 0xF0, 40, USBD_STATUS_SUCCESS, 24, 16, 0, FALSE, 0},
    {"continuation of a bare header", 0x00, 16, USBD_STATUS_SUCCESS, 0, 16, 0, FALSE, 0},
    {"continuation of 15 bytes", 0x00, 15, USBD_STATUS_SUCCESS, 0, 0, PACKET_FLAG_DROP_FRAME,
     FALSE, 3},
    {"empty packet", 0x00, 0, USBD_STATUS_SUCCESS, 0, 0, PACKET_FLAG_DROP_FRAME, FALSE, 3},
    {"other type", 0x03, 500, USBD_STATUS_SUCCESS, 0, 0, 0, FALSE, 0},
    {"other type 0x0F", 0x0F, 500, USBD_STATUS_SUCCESS, 0, 0, 0, FALSE, 0},
    {"continuation with an error", 0x00, 20, USBD_STATUS_CRC, 4, 16, PACKET_FLAG_DROP_FRAME,
     FALSE, 3},
    {"frame start with an error", 0x08, 64, USBD_STATUS_CRC, 64, 0, PACKET_FLAG_DROP_FRAME, TRUE,
     2},
    {"short packet with an error", 0x08, 10, USBD_STATUS_CRC, 0, 0, PACKET_FLAG_DROP_FRAME, FALSE,
     3},
};

TEST_F(PacketTest, TypesLengthsAndErrors) {
  for (const PacketCase& c : kPacketCases) {
    SetUp();
    PacketResult result = Send(c.type, c.length, 0, 5, c.usbStatus);
    EXPECT_EQ(c.payload, result.payload) << c.name;
    EXPECT_EQ(c.offset, result.offset) << c.name;
    EXPECT_EQ(c.flags, result.flags) << c.name;
    EXPECT_EQ(c.newFrame, result.newFrame) << c.name;
    EXPECT_EQ(c.discardAfter, device_->DiscardFrameCount) << c.name;
  }
}

TEST_F(PacketTest, BadPacketDropsItsFrameAndTheNextTwo) {
  Send(PACKET_TYPE_FRAME_START, 100);
  EXPECT_EQ(PACKET_FLAG_DROP_FRAME, Send(PACKET_TYPE_CONTINUATION, 12).flags);
  // The next three frame starts each carry the drop flag: the frame of the bad packet, then the
  // two after it.
  for (int start = 0; start < 3; start++) {
    PacketResult result = Send(PACKET_TYPE_FRAME_START, 100, 0, UCHAR(start));
    EXPECT_EQ(PACKET_FLAG_DROP_FRAME, result.flags) << start;
    EXPECT_TRUE(result.newFrame);
    EXPECT_EQ(2 - start, device_->DiscardFrameCount);
  }
  EXPECT_EQ(0u, Send(PACKET_TYPE_FRAME_START, 100).flags);
}

TEST_F(PacketTest, FifteenFramesDroppedAfterRun) {
  device_->DiscardFrameCount = 15;
  for (int start = 0; start < 15; start++) {
    EXPECT_EQ(PACKET_FLAG_DROP_FRAME, Send(PACKET_TYPE_FRAME_START, 1000, 0, UCHAR(start)).flags)
        << start;
    EXPECT_EQ(0u, Send(PACKET_TYPE_CONTINUATION, 1000).flags);
  }
  EXPECT_EQ(0, device_->DiscardFrameCount);
  EXPECT_EQ(0u, Send(PACKET_TYPE_FRAME_START, 1000, 0, 15).flags);
}

TEST_F(PacketTest, DropWindowMovesWithTheFramesItDrops) {
  device_->DropWindowStart = 10;
  device_->DropWindowEnd = 13;
  struct Step {
    UCHAR frameNumber;
    ULONG flags;
    UCHAR startAfter;
  };
  const Step steps[] = {{11, PACKET_FLAG_DROP_FRAME, 11}, {12, PACKET_FLAG_DROP_FRAME, 12},
                        {13, PACKET_FLAG_DROP_FRAME, 13}, {14, 0, 13}, {9, 0, 13}};
  for (const Step& step : steps) {
    EXPECT_EQ(step.flags, Send(PACKET_TYPE_FRAME_START, 100, 0, step.frameNumber).flags)
        << int(step.frameNumber);
    EXPECT_EQ(step.startAfter, device_->DropWindowStart);
    EXPECT_EQ(13, device_->DropWindowEnd);
  }
}

TEST_F(PacketTest, DropWindowPastTheLastFrameNumberDoesNotWrap) {
  // Set by the mirror setting as last frame + 3 in 8 bits: 126 to 129.
  device_->DropWindowStart = 126;
  device_->DropWindowEnd = 129;
  EXPECT_EQ(0u, Send(PACKET_TYPE_FRAME_START, 100, 0, 0).flags);
  EXPECT_EQ(0u, Send(PACKET_TYPE_FRAME_START, 100, 0, 1).flags);
  EXPECT_EQ(126, device_->DropWindowStart);
  EXPECT_EQ(PACKET_FLAG_DROP_FRAME, Send(PACKET_TYPE_FRAME_START, 100, 0, 127).flags);
  EXPECT_EQ(127, device_->DropWindowStart);
  // The frame number is bits 1-7 of byte 14: 127 is the largest.
  EXPECT_EQ(PACKET_FLAG_DROP_FRAME, Send(PACKET_TYPE_FRAME_START, 100, 0, 127).flags);
  EXPECT_EQ(128, device_->DropWindowStart);
}

TEST_F(PacketTest, FrameStartsOfAnotherSensorAreNotFramed) {
  device_->SensorType = 0;
  device_->DiscardFrameCount = 5;
  PacketResult result = Send(PACKET_TYPE_FRAME_START, 100);
  EXPECT_EQ(100u, result.payload);
  EXPECT_FALSE(result.newFrame);
  EXPECT_EQ(0u, result.flags);
  EXPECT_EQ(5, device_->DiscardFrameCount);
}

TEST_F(PacketTest, StatusByteRiseAndFall) {
  struct Step {
    UCHAR type;
    ULONG length;
    UCHAR status;
    USHORT byteAfter, riseAfter, fallAfter;
  };
  const Step steps[] = {
      {0x00, 100, 0x05, 0x05, 0x00, 0x00},  // from 0: recorded, no edge
      {0x00, 100, 0x04, 0x04, 0x00, 0x01},  // 0x05 -> 0x04 falls by 0x01
      {0x03, 100, 0x06, 0x06, 0x02, 0x01},  // other packet types are tracked too
      {0x00, 15, 0x06, 0x06, 0x02, 0x01},   // unchanged: no edge, even on a bad packet
      {0x08, 14, 0x02, 0x02, 0x02, 0x04},   // a 14-byte packet still holds its status byte
      {0x00, 13, 0x7F, 0x02, 0x02, 0x04},   // a 13-byte packet has none: stale byte ignored
  };
  for (const Step& step : steps) {
    Send(step.type, step.length, step.status);
    EXPECT_EQ(step.byteAfter, device_->StatusByte) << int(step.status);
    EXPECT_EQ(step.riseAfter, device_->StatusRiseBits) << int(step.status);
    EXPECT_EQ(step.fallAfter, device_->StatusFallBits) << int(step.status);
  }
}

TEST_F(PacketTest, StatusTrackedFromPacketsWithErrors) {
  device_->StatusByte = 0x04;
  Send(PACKET_TYPE_CONTINUATION, 100, 0x06, 0, USBD_STATUS_CRC);
  EXPECT_EQ(0x06, device_->StatusByte);
  EXPECT_EQ(0x02, device_->StatusRiseBits);
}

// Packets as a faulty or hostile device may send them: exact-size buffers (so the sanitizer
// build stops any read past a packet), any length, status and header bytes. The payload must lie
// inside the packet, and the only flag is the drop flag.
TEST_F(PacketTest, RandomPacketsStayInsideThemselves) {
  std::mt19937 generator(0xBADC0DE);
  for (int n = 0; n < 20000; n++) {
    ULONG length = generator() % 4 == 0 ? generator() % 20 : generator() % 3100;
    std::vector<UCHAR> bytes(length == 0 ? 1 : length);
    for (auto& byte : bytes) byte = UCHAR(generator());
    if (length > 12 && generator() % 2) bytes[12] = UCHAR(generator() % 2 ? 0x08 : 0x00);
    USBD_ISO_PACKET_DESCRIPTOR descriptor = {0, length,
                                             generator() % 8 == 0 ? USBD_STATUS_CRC : 0};
    BOOLEAN newFrame = 0xEE;
    ULONG flags = 0xDEAD, offset = 0xDEAD;
    ULONG payload = ProcessPacket(nullptr, device_.get(), nullptr, nullptr, nullptr, &descriptor,
                                  bytes.data(), &newFrame, &flags, &offset);
    ASSERT_LE(uint64_t(offset) + payload, uint64_t(length)) << n;
    ASSERT_TRUE(flags == 0 || flags == PACKET_FLAG_DROP_FRAME) << n;
    ASSERT_TRUE(newFrame == TRUE || newFrame == FALSE) << n;
    ASSERT_LE(device_->DiscardFrameCount, 3) << n;
  }
}

// --- Pipe configuration ----------------------------------------------------------------------

std::vector<UCHAR> InterfaceWithPipes(ULONG pipes) {
  std::vector<UCHAR> bytes(GET_USBD_INTERFACE_SIZE(pipes < 1 ? 1 : pipes), 0);
  auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes.data());
  interface->Length = USHORT(bytes.size());
  interface->NumberOfPipes = pipes;
  for (ULONG pipe = 0; pipe < pipes; pipe++) interface->Pipes[pipe].MaximumTransferSize = 4096;
  return bytes;
}

USHORT AsValue(PIPE_CONFIG config) {
  USHORT value;
  std::memcpy(&value, &config, sizeof(value));
  return value;
}

TEST(ConfigurePipesTest, CameraInterfaceGetsItsRolesAndDataPipeSize) {
  struct Case {
    ULONG pipes;
    std::vector<USHORT> expected;
  };
  const Case cases[] = {
      {3, {0x0800, 0x0101, 0x0800}},
      {4, {0x0800, 0x0101, 0x0800, 0x0000}},
      {6, {0x0800, 0x0101, 0x0800, 0x0000, 0x0800, 0x0800}},
  };
  for (const Case& c : cases) {
    auto bytes = InterfaceWithPipes(c.pipes);
    auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes.data());
    std::vector<PIPE_CONFIG> configs(c.pipes, PIPE_CONFIG{0x55, 0x55});
    ASSERT_EQ(STATUS_SUCCESS, ConfigurePipes(nullptr, nullptr, interface, nullptr, c.pipes,
                                             configs.data(), nullptr));
    for (ULONG pipe = 0; pipe < c.pipes; pipe++) {
      EXPECT_EQ(c.expected[pipe], AsValue(configs[pipe])) << c.pipes << " pipes, pipe " << pipe;
    }
    EXPECT_EQ(1, interface->AlternateSetting);
    for (ULONG pipe = 0; pipe < c.pipes; pipe++) {
      EXPECT_EQ(pipe == 1 ? 786432u : 4096u, interface->Pipes[pipe].MaximumTransferSize);
    }
  }
}

TEST(ConfigurePipesTest, NoInterfaceOrNoDataPipeIsRefused) {
  PIPE_CONFIG configs[3] = {};
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            ConfigurePipes(nullptr, nullptr, nullptr, nullptr, 3, configs, nullptr));
  auto bytes = InterfaceWithPipes(1);
  auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes.data());
  auto before = bytes;
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            ConfigurePipes(nullptr, nullptr, interface, nullptr, 1, configs, nullptr));
  EXPECT_EQ(before, bytes) << "nothing written past the single pipe";
  auto three = InterfaceWithPipes(3);
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            ConfigurePipes(nullptr, nullptr,
                           reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(three.data()), nullptr, 3,
                           nullptr, nullptr));
}

TEST(CameraOpsTest, DataPathFillsItsSlotsAndLeavesTheOthers) {
  CAMERA_OPS ops;
  std::memset(&ops, 0xAB, sizeof(ops));
  CAMERA_OPS untouched = ops;
  FillDataPathCameraOps(&ops);
  EXPECT_EQ(0u, ops.Signature);
  EXPECT_EQ(&ProcessPacket, ops.ProcessPacket);
  EXPECT_EQ(&NewFrame, ops.NewFrame);
  EXPECT_EQ(&ProcessRawFrame, ops.ProcessRawFrame);
  EXPECT_EQ(&StartCapture, ops.StartCapture);
  EXPECT_EQ(&ConfigurePipes, ops.ConfigurePipes);
  EXPECT_EQ(&SaveState, ops.SaveState);
  EXPECT_EQ(&RestoreState, ops.RestoreState);
  EXPECT_EQ(untouched.InitializeCamera, ops.InitializeCamera);
  EXPECT_EQ(untouched.ReleaseCamera, ops.ReleaseCamera);
  EXPECT_EQ(untouched.StopCapture, ops.StopCapture);
  EXPECT_EQ(untouched.AllocateBandwidth, ops.AllocateBandwidth);
  EXPECT_EQ(untouched.FreeBandwidth, ops.FreeBandwidth);
}

TEST(CameraOpsTest, EmptyOperationsSucceed) {
  ULONG frameLength = 1234, context = 0;
  EXPECT_EQ(STATUS_SUCCESS, NewFrame(nullptr, &context, 0, &frameLength));
  EXPECT_EQ(1234u, frameLength);
  EXPECT_EQ(STATUS_SUCCESS, StartCapture(nullptr, nullptr, 0));
  EXPECT_EQ(STATUS_SUCCESS, SaveState(nullptr, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, RestoreState(nullptr, nullptr));
}

}  // namespace
