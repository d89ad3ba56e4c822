// The sensor's picture options against the simulated camera: the bits of sensor registers 0xFD
// and 0xE9 and of bridge register 0x0100 that each option leaves, from the shadows the register
// script gives, and the frame-discard window the mirror option arms.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "camera_fixture.h"
#include "control/picture_options.h"

namespace lumo::drivertest {
namespace {

using PictureOptionsTest = StartedCameraFixture;

// As the stream start runs them: flip, then mirror, from the built-in script's 0xFD shadow.
struct FlipMirrorCase {
  const char* name;
  LONG flip;
  LONG mirror;
  UCHAR written;
};

class FlipMirrorTest : public StartedCameraFixture,
                       public ::testing::WithParamInterface<FlipMirrorCase> {};

TEST_P(FlipMirrorTest, FlipThenMirrorLeaveTheirBitsInRegisterFD) {
  const FlipMirrorCase& c = GetParam();
  ASSERT_EQ(device()->SensorShadowFD, 0x40);
  device()->Flip = c.flip;
  device()->Mirror = c.mirror;
  const size_t mark = Mark();
  Run([&] {
    ApplyFlip(device());
    ApplyMirror(device());
  });
  EXPECT_EQ(VendorSince(mark).size(), 2u * 127u);  // two sensor writes
  EXPECT_EQ(camera().Sensor().Register(0xFD), c.written);
  EXPECT_EQ(device()->SensorShadowFD, c.written);
}

const FlipMirrorCase kFlipMirrorCases[] = {
    {"NeitherFlippedNorMirrored", 0, 0, 0x40},
    {"FlippedAndMirrored", 1, 1, 0x80},
    {"FlipTwoActsLikeZero", 2, 0, 0x40},
    {"MirrorTwoActsLikeOne", 0, 2, 0xC0},
    {"FlipMinusOneActsLikeZero", -1, 1, 0xC0},
};
INSTANTIATE_TEST_SUITE_P(Options, FlipMirrorTest, ::testing::ValuesIn(kFlipMirrorCases),
                         [](const ::testing::TestParamInfo<FlipMirrorCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(PictureOptionsTest, LowLightSetsItsBitAndClearingItKeepsOnlyMirrorAndFlip) {
  device()->SensorShadowFD = 0x41;
  device()->LowLight = 1;
  Run([&] { ApplyLowLight(device()); });
  EXPECT_EQ(camera().Sensor().Register(0xFD), 0x43);
  device()->LowLight = 0;
  Run([&] { ApplyLowLight(device()); });
  EXPECT_EQ(camera().Sensor().Register(0xFD), 0x40);
  device()->SensorShadowFD = 0xFF;
  Run([&] { ApplyLowLight(device()); });
  EXPECT_EQ(camera().Sensor().Register(0xFD), 0xC0);
}

TEST_F(PictureOptionsTest, LightingSelectsOneOfTwoBitsOfRegisterE9) {
  ASSERT_EQ(device()->SensorShadowE9, 0x6F);
  const struct {
    LONG lighting;
    UCHAR written;
  } steps[] = {{0, 0x5F}, {1, 0x6F}, {0, 0x5F}, {2, 0x6F}, {-5, 0x6F}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.lighting);
    device()->Lighting = step.lighting;
    Run([&] { ApplyLighting(device()); });
    EXPECT_EQ(camera().Sensor().Register(0xE9), step.written);
    EXPECT_EQ(device()->SensorShadowE9, step.written);
  }
}

TEST_F(PictureOptionsTest, TestModeIsBitSixOfBridgeRegister0100) {
  ASSERT_EQ(camera().BridgeRegister(0x0100), 0x0003);  // after the bridge table
  size_t mark = Mark();
  device()->TestMode = 1;
  Run([&] { ApplyTestMode(device()); });
  EXPECT_EQ(camera().BridgeRegister(0x0100), 0x0043);
  const std::vector<ControlRecord> sent = VendorSince(mark);
  ASSERT_EQ(sent.size(), 2u);  // read, then write back
  EXPECT_EQ(sent[0].setup.bmRequestType, kVendorIn);
  EXPECT_EQ(sent[1].setup.wValue, 0x0043);
  device()->TestMode = 0;
  Run([&] { ApplyTestMode(device()); });
  EXPECT_EQ(camera().BridgeRegister(0x0100), 0x0003);
}

TEST_F(PictureOptionsTest, MirrorArmsTheDiscardWindowFromTheLastFrameNumber) {
  const struct {
    UCHAR last;
    UCHAR start;
    UCHAR end;
  } cases[] = {{10, 10, 13}, {0, 0, 3}, {126, 126, 129}, {127, 127, 130}, {254, 254, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.last));
    device()->LastFrameNumber = c.last;
    device()->DropWindowStart = 0x55;
    device()->DropWindowEnd = 0x55;
    Run([&] { ApplyMirror(device()); });
    EXPECT_EQ(device()->DropWindowStart, c.start);
    EXPECT_EQ(device()->DropWindowEnd, c.end);
  }
  // Flip and the other options leave the window alone.
  device()->DropWindowStart = 7;
  device()->DropWindowEnd = 9;
  Run([&] {
    ApplyFlip(device());
    ApplyLowLight(device());
    ApplyLighting(device());
  });
  EXPECT_EQ(device()->DropWindowStart, 7);
  EXPECT_EQ(device()->DropWindowEnd, 9);
}

// A lost write (the sensor bus busy for more than 10 ms) still changes the shadow, so the next
// write of the register carries the bit.
TEST_F(PictureOptionsTest, WriteLostToABusyBusLeavesTheShadowForTheNextWrite) {
  KEVENT held, letGo;
  Run([&] {
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&letGo, NotificationEvent, FALSE);
    rig().simulation().StartThread("holder", [&] {
      KeWaitForSingleObject(&device()->SensorBusMutex, Executive, KernelMode, FALSE, NULL);
      KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
      LARGE_INTEGER hold;
      hold.QuadPart = -20 * kMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &hold);
      KeReleaseMutex(&device()->SensorBusMutex, FALSE);
      KeSetEvent(&letGo, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, NULL);
    device()->Mirror = 1;
    ApplyMirror(device());
    KeWaitForSingleObject(&letGo, Executive, KernelMode, FALSE, NULL);
  });
  EXPECT_EQ(camera().Sensor().Register(0xFD), 0x40);
  EXPECT_EQ(device()->SensorShadowFD, 0xC0);
  device()->Flip = 1;
  Run([&] { ApplyFlip(device()); });
  EXPECT_EQ(camera().Sensor().Register(0xFD), 0x80);
}

}  // namespace
}  // namespace lumo::drivertest
