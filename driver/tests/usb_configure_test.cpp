// The USB half of device start-up against the simulated camera: descriptors read, packets per
// transfer, the configuration request shaped by ConfigurePipes, the pipe records and their
// classification, and starts that must fail: a descriptor that cannot be read, a pipe
// configuration without an IN data pipe, an interface list without an interface, and every
// pool allocation failing in turn.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "camera_fixture.h"
#include "kernel/io.h"

namespace lumo::drivertest {
namespace {

using sim::FaultKind;
using sim::FaultRule;

class FullSpeedCameraFixture : public CameraFixture {
 protected:
  usb::Speed CameraSpeed() const override { return usb::Speed::kFull; }
};

TEST_F(CameraFixture, HighSpeedStartSelectsTheStatusSettingAndPipeOneForVideo) {
  const size_t mark = Mark();
  ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
  PDEVICE_CONTEXT d = device();
  EXPECT_EQ(d->PacketsPerTransfer, 256u);
  ASSERT_NE(d->DeviceDescriptor, nullptr);
  EXPECT_EQ(std::memcmp(d->DeviceDescriptor, camera().DeviceDescriptor().data(),
                        sizeof(USB_DEVICE_DESCRIPTOR)),
            0);
  ASSERT_NE(d->InterfaceInfo, nullptr);
  EXPECT_EQ(d->InterfaceInfo->AlternateSetting, 1);
  EXPECT_EQ(d->InterfaceInfo->NumberOfPipes, 3u);
  EXPECT_EQ(d->InterfaceInfo->Pipes[1].MaximumTransferSize, DATA_PIPE_MAX_TRANSFER);
  EXPECT_NE(d->ConfigurationHandle, nullptr);
  EXPECT_NE(camera().Configuration(), 0);
  EXPECT_EQ(camera().AlternateSetting(), 1);

  ASSERT_NE(d->PipeTable, nullptr);
  const UCHAR types[3] = {3, 1, 2};  // interrupt, isochronous, bulk
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(d->PipeTable[i].PipeType, types[i]) << "pipe " << i;
    EXPECT_EQ(d->PipeTable[i].DirectionIn, 1) << "pipe " << i;
    EXPECT_EQ(d->PipeTable[i].MaxPacketSize, d->InterfaceInfo->Pipes[i].MaximumPacketSize);
    EXPECT_EQ(d->PipeTable[i].Config.PipeRole, PIPE_CONFIG_TABLE[i].PipeRole);
    EXPECT_EQ(d->PipeTable[i].ActiveTransfer, nullptr);
  }
  EXPECT_EQ(d->IsoDataPipe, 1);
  EXPECT_EQ(d->IsoDataPipeStream, 0);
  EXPECT_EQ(d->BulkDataPipe, -1);
  EXPECT_EQ(d->AuxPipe, -1);
  EXPECT_EQ(d->StreamCount, 1u);
  for (int n = 0; n < STREAM_SLOT_COUNT; n++) {
    EXPECT_EQ(d->OpenCount[n], 0u);
    EXPECT_EQ(d->RecoveryPending[n], -1);
  }
  EXPECT_EQ(d->UsbErrorCount, 0u);
  // The camera's initialisation ran after the selection: the bridge holds its type code.
  EXPECT_EQ(camera().BridgeRegister(0x07F0), 0x0084);
  // The camera's own set (longer than 64 bytes) is read twice: 64 bytes, then all of it.
  const std::vector<ControlRecord> reads = rig().ConfigurationReadsSince(mark);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].setup.wLength, 64);
  EXPECT_EQ(reads[1].setup.wLength, camera().ConfigurationDescriptorSet().size());
}

TEST_F(FullSpeedCameraFixture, FullSpeedStartRunsThirtyTwoPacketsPerTransfer) {
  ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(device()->PacketsPerTransfer, 32u);
  EXPECT_EQ(device()->IsoDataPipe, 1);
  EXPECT_EQ(camera().AlternateSetting(), 1);
}

// The camera's set with one more descriptor of `extra` bytes at its end (a class-specific
// descriptor nobody parses), so that the set is exactly as long as a test needs.
std::vector<uint8_t> PaddedSet(const std::vector<uint8_t>& set, size_t total) {
  std::vector<uint8_t> padded(set);
  const size_t extra = total - set.size();
  padded.push_back(static_cast<uint8_t>(extra));
  padded.push_back(0x24);
  padded.resize(total, 0);
  padded[2] = static_cast<uint8_t>(total & 0xFF);
  padded[3] = static_cast<uint8_t>(total >> 8);
  return padded;
}

TEST_F(CameraFixture, ThreeHundredByteSetIsReadTwiceAndSelected) {
  rig().tap().ReplaceConfigurationSet(PaddedSet(camera().ConfigurationDescriptorSet(), 300));
  const size_t mark = Mark();
  ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
  const std::vector<ControlRecord> reads = rig().ConfigurationReadsSince(mark);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].setup.wLength, 64);
  EXPECT_EQ(reads[1].setup.wLength, 300);
  EXPECT_EQ(device()->IsoDataPipe, 1);
}

TEST_F(CameraFixture, FortyByteSetIsReadInOneRequest) {
  // Configuration, interface association, interface 0 setting 0 and two endpoints: 40 bytes.
  const std::vector<uint8_t>& own = camera().ConfigurationDescriptorSet();
  std::vector<uint8_t> set(own.begin(), own.begin() + 9 + 8 + 9 + 7 + 7);
  set[2] = 40;
  set[3] = 0;
  set[9 + 8 + 4] = 2;  // bNumEndpoints
  ASSERT_EQ(set.size(), 40u);
  rig().tap().ReplaceConfigurationSet(set);
  const size_t mark = Mark();
  StartDevice();
  const std::vector<ControlRecord> reads = rig().ConfigurationReadsSince(mark);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].setup.wLength, 64);
}

struct SpeedMarkerCase {
  const char* name;
  usb::Speed speed;
  int byte60;  // -1: the camera's own value
  ULONG packets;
};

class SpeedMarkerTest : public ::testing::TestWithParam<SpeedMarkerCase> {};

TEST_P(SpeedMarkerTest, ByteSixtyOfTheSetDecidesPacketsPerTransfer) {
  const SpeedMarkerCase& c = GetParam();
  CameraRig rig(c.speed);
  std::vector<uint8_t> set = rig.camera().ConfigurationDescriptorSet();
  ASSERT_GT(set.size(), 60u);
  if (c.byte60 >= 0) {
    set[60] = static_cast<uint8_t>(c.byte60);
    rig.tap().ReplaceConfigurationSet(set);
  }
  ASSERT_EQ(rig.StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(rig.device()->PacketsPerTransfer, c.packets);
}

const SpeedMarkerCase kSpeedMarkerCases[] = {
    {"HighSpeedCamera", usb::Speed::kHigh, -1, 256},
    {"FullSpeedCamera", usb::Speed::kFull, -1, 32},
    {"HighSpeedSetMarkedTwo", usb::Speed::kHigh, 2, 32},
    {"FullSpeedSetMarkedThree", usb::Speed::kFull, 3, 256},
    {"FullSpeedSetMarkedZero", usb::Speed::kFull, 0, 256},
};
INSTANTIATE_TEST_SUITE_P(Sets, SpeedMarkerTest, ::testing::ValuesIn(kSpeedMarkerCases),
                         [](const ::testing::TestParamInfo<SpeedMarkerCase>& info) {
                           return std::string(info.param.name);
                         });

// What a start that fails must leave: no configuration selected, the camera not initialised.
void ExpectNothingSelected(CameraRig& rig, size_t mark) {
  for (const ControlRecord& record : rig.Since(mark)) {
    EXPECT_NE(record.setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
  }
  EXPECT_EQ(rig.camera().Configuration(), 0);
  EXPECT_EQ(rig.camera().BridgeRegister(0x07F0), 0);
  EXPECT_EQ(rig.device()->PipeTable, nullptr);
}

struct UnreadableSetCase {
  const char* name;
  // The set the camera presents, made from its own set when the test runs.
  std::vector<uint8_t> (*answer)(const std::vector<uint8_t>& own);
};

class UnreadableSetTest : public ::testing::TestWithParam<UnreadableSetCase> {};

TEST_P(UnreadableSetTest, StartFailsInsteadOfParsingWhatWasNotRead) {
  CameraRig rig;
  const std::vector<uint8_t>& own = rig.camera().ConfigurationDescriptorSet();
  rig.tap().ReplaceConfigurationSet(GetParam().answer(own));
  const size_t mark = rig.Mark();
  EXPECT_EQ(rig.StartDevice(), STATUS_DEVICE_DATA_ERROR);
  ExpectNothingSelected(rig, mark);
}

std::vector<uint8_t> NoData(const std::vector<uint8_t>&) { return {}; }
std::vector<uint8_t> ShorterThanADescriptor(const std::vector<uint8_t>&) { return {9, 2, 9, 0}; }
std::vector<uint8_t> TotalBelowADescriptor(const std::vector<uint8_t>& own) {
  std::vector<uint8_t> set(own);
  set[2] = 4;
  set[3] = 0;
  return set;
}
std::vector<uint8_t> AnnouncesMoreThanItHas(const std::vector<uint8_t>& own) {
  // wTotalLength 400 over 300 bytes of set: the second read gets less than announced.
  std::vector<uint8_t> set = PaddedSet(own, 300);
  set[2] = 400 & 0xFF;
  set[3] = 400 >> 8;
  return set;
}

const UnreadableSetCase kUnreadableSetCases[] = {
    {"NoData", NoData},
    {"ShorterThanAConfigurationDescriptor", ShorterThanADescriptor},
    {"TotalLengthBelowADescriptor", TotalBelowADescriptor},
    {"AnnouncesMoreThanItSends", AnnouncesMoreThanItHas},
};
INSTANTIATE_TEST_SUITE_P(Answers, UnreadableSetTest, ::testing::ValuesIn(kUnreadableSetCases),
                         [](const ::testing::TestParamInfo<UnreadableSetCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(CameraFixture, FailedConfigurationReadFailsTheStart) {
  // The device descriptor is the first request of the start, the configuration set the second.
  FaultRule rule;
  rule.kind = FaultKind::kControlStall;
  rule.skipFirst = 1;
  rule.maxHits = 1;
  camera().Faults().Add(rule);
  const size_t mark = Mark();
  EXPECT_EQ(StartDevice(), STATUS_UNSUCCESSFUL);
  ExpectNothingSelected(rig(), mark);
  // The stalled read never reached the camera, and the start tried no second one.
  EXPECT_EQ(camera().Faults().Hits(FaultKind::kControlStall), 1u);
  EXPECT_EQ(rig().ConfigurationReadsSince(mark).size(), 0u);
}

TEST_F(CameraFixture, FailedDeviceDescriptorReadFailsTheStartAndKeepsNothing) {
  FaultRule rule;
  rule.kind = FaultKind::kControlStall;
  rule.maxHits = 1;
  camera().Faults().Add(rule);
  const size_t mark = Mark();
  EXPECT_EQ(StartDevice(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device()->DeviceDescriptor, nullptr);
  EXPECT_EQ(rig().ConfigurationReadsSince(mark).size(), 0u);
  EXPECT_EQ(PoolTag(LUMOCAM_POOL_TAG).blocksInUse, 0u);
}

TEST_F(CameraFixture, SetWithoutInterfacesFailsTheStart) {
  std::vector<uint8_t> set(camera().ConfigurationDescriptorSet().begin(),
                           camera().ConfigurationDescriptorSet().begin() + 9);
  set[2] = 9;
  set[3] = 0;
  set[4] = 0;  // bNumInterfaces
  rig().tap().ReplaceConfigurationSet(set);
  const size_t mark = Mark();
  EXPECT_EQ(StartDevice(), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingSelected(rig(), mark);
}

// A camera whose pipe configuration names no data pipe.
NTSTATUS NoDataPipe(PDEVICE_OBJECT bus, PDEVICE_CONTEXT device,
                    PUSBD_INTERFACE_INFORMATION interface, PUSB_CONFIGURATION_DESCRIPTOR set,
                    ULONG count, PPIPE_CONFIG config, PUSB_DEVICE_DESCRIPTOR descriptor) {
  NTSTATUS status = ConfigurePipes(bus, device, interface, set, count, config, descriptor);
  for (ULONG i = 0; i < count; i++) config[i].PipeRole = PIPE_ROLE_IGNORE;
  return status;
}

TEST_F(CameraFixture, PipeConfigurationWithoutDataPipeFailsWithInvalidParameter) {
  device()->CameraOps.ConfigurePipes = NoDataPipe;
  EXPECT_EQ(StartDevice(), STATUS_INVALID_PARAMETER);
  // The selection itself went through and its results are kept for the final release; the
  // camera was not initialised.
  EXPECT_NE(device()->InterfaceInfo, nullptr);
  EXPECT_NE(device()->PipeTable, nullptr);
  EXPECT_EQ(device()->IsoDataPipe, -1);
  EXPECT_EQ(device()->BulkDataPipe, -1);
  EXPECT_EQ(camera().BridgeRegister(0x07F0), 0);
}

// Every allocation of a start made to fail in turn: the start reports a failure or, when the
// failed allocation was not one it depends on, succeeds; nothing leaks either way (the pool's
// check at the end of each simulation).
TEST(UsbConfigureAllocationTest, EveryAllocationFailingInTurnLeavesNothingBehind) {
  uint64_t attemptsOfAStart = 0;
  {
    CameraRig rig;
    const uint64_t before = rig.pool().Statistics().attempts;
    ASSERT_EQ(rig.StartDevice(), STATUS_SUCCESS);
    attemptsOfAStart = rig.pool().Statistics().attempts - before;
  }
  ASSERT_GT(attemptsOfAStart, 5u);
  int failedStarts = 0;
  for (uint64_t k = 1; k <= attemptsOfAStart; k++) {
    CameraRig rig;
    rig.pool().FailAllocationNumber(rig.pool().Statistics().attempts + k);
    const NTSTATUS status = rig.StartDevice();
    if (!NT_SUCCESS(status)) {
      failedStarts++;
      EXPECT_NE(status, STATUS_PENDING) << "allocation " << k;
    }
  }
  EXPECT_GT(failedStarts, 0);
}

}  // namespace
}  // namespace lumo::drivertest
