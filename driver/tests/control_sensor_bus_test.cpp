// The sensor's two-wire bus driven through the bridge pins, and the auxiliary register port,
// against the simulated camera: what each access costs on the bus, what the sensor holds
// afterwards, the bus conditions as the pins show them, the bus mutex under contention in
// virtual time, and the bounded waits of the auxiliary port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera_fixture.h"

namespace lumo::drivertest {
namespace {

using SensorBusTest = StartedCameraFixture;

// Every sensor access costs its transfers and nothing else; each transfer one control time.
TEST_F(SensorBusTest, WriteCostsOneHundredTwentySevenTransfersAndReadOneHundredSeventyNine) {
  const VirtualTime transfer = port().ControlTransferTime();
  size_t mark = Mark();
  VirtualTime started = 0, finished = 0;
  USHORT result = 0xFFFF;
  Run([&] {
    started = Now();
    result = WriteSensorRegister(device(), 0xE6, 0x5A);
    finished = Now();
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(VendorSince(mark).size(), 127u);
  EXPECT_EQ(finished - started, 127 * transfer);
  EXPECT_EQ(camera().Sensor().Register(0xE6), 0x5A);

  mark = Mark();
  USHORT value = 0;
  Run([&] {
    started = Now();
    value = ReadSensorRegister(device(), 0xE6);
    finished = Now();
  });
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(VendorSince(mark).size(), 179u);
  EXPECT_EQ(finished - started, 179 * transfer);
}

TEST_F(SensorBusTest, OnlyTheLowEightBitsOfRegisterAndValueReachTheBus) {
  USHORT value = 0;
  Run([&] {
    WriteSensorRegister(device(), 0x1E7, 0x1FF);
    value = ReadSensorRegister(device(), 0x3E7);
  });
  EXPECT_EQ(camera().Sensor().Register(0xE7), 0xFF);
  EXPECT_EQ(value, 0xFF);
}

TEST_F(SensorBusTest, EveryAccessFirstMasksThePinConfigurationRegisters) {
  Run([&] {
    WriteBridgeRegister(device(), 0x0900, 0xFFFF);
    WriteBridgeRegister(device(), 0x0700, 0xFFFF);
  });
  const size_t mark = Mark();
  Run([&] { WriteSensorRegister(device(), 0xE6, 1); });
  const std::vector<ControlRecord> sent = VendorSince(mark);
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0].setup.bmRequestType, kVendorIn);
  EXPECT_EQ(sent[0].setup.wIndex, 0x0900);
  EXPECT_EQ(sent[1].setup.wIndex, 0x0900);
  EXPECT_EQ(sent[1].setup.wValue, 0xFFFA);
  EXPECT_EQ(sent[2].setup.bmRequestType, kVendorIn);
  EXPECT_EQ(sent[2].setup.wIndex, 0x0700);
  EXPECT_EQ(sent[3].setup.wIndex, 0x0700);
  EXPECT_EQ(sent[3].setup.wValue, 0x000B);
  EXPECT_EQ(camera().BridgeRegister(0x0900), 0xFFFA);
}

// The bus as the bridge's pins drive it, rebuilt from the register writes: the data line is
// the output level while the pin is driven and high (pulled up) while it is released. Start
// (S): data falls while the clock is high; stop (P): data rises while the clock is high. The
// ninth-clock level of a byte the host reads is recorded as A (acknowledge, low) or N (high).
std::string BusConditions(const std::vector<ControlRecord>& sent) {
  uint16_t direction = 0, output = 0;
  bool clock = true, data = true;
  int releasedSamples = 0;  // samples since the host last drove the data line
  bool acknowledgePending = false;
  std::string conditions;
  for (const ControlRecord& record : sent) {
    const usb::SetupPacket& s = record.setup;
    if (s.bmRequestType == kVendorIn && s.wIndex == BRIDGE_GPIO_IN) {
      if (!(direction & SDA_BIT)) releasedSamples++;
      continue;
    }
    if (s.bmRequestType != kVendorOut) continue;
    if (s.wIndex == BRIDGE_GPIO_DIR) {
      if ((s.wValue & SDA_BIT) && !(direction & SDA_BIT)) {
        // The host drives data again: after eight bits read it is the host's acknowledge.
        if (releasedSamples >= 8) acknowledgePending = true;
        releasedSamples = 0;
      }
      direction = s.wValue;
    } else if (s.wIndex == BRIDGE_GPIO_OUT) {
      output = s.wValue;
    } else {
      continue;
    }
    const bool newClock = (output & SCL_BIT) != 0;
    const bool newData = (direction & SDA_BIT) ? (output & SDA_BIT) != 0 : true;
    if (clock && newClock && data && !newData) conditions += 'S';
    if (clock && newClock && !data && newData) conditions += 'P';
    if (acknowledgePending && !clock && newClock) {
      conditions += newData ? 'N' : 'A';
      acknowledgePending = false;
    }
    clock = newClock;
    data = newData;
  }
  return conditions;
}

TEST_F(SensorBusTest, ReadUsesARepeatedStartAndEndsItsByteWithoutAcknowledge) {
  size_t mark = Mark();
  Run([&] { WriteSensorRegister(device(), 0xE8, 0x30); });
  EXPECT_EQ(BusConditions(VendorSince(mark)), "SP");
  mark = Mark();
  Run([&] { ReadSensorRegister(device(), 0xE8); });
  EXPECT_EQ(BusConditions(VendorSince(mark)), "SSNP");
}

TEST_F(SensorBusTest, ChangedBusAddressRedirectsAccessesAwayFromTheSensor) {
  Run([&] { WriteSensorRegister(device(), 0xE6, 0x11); });
  const uint64_t missesBefore = camera().Sensor().GetCounters().addressMisses;
  device()->SensorAddress = 0x42;
  USHORT value = 0;
  Run([&] {
    WriteSensorRegister(device(), 0xE6, 0x22);
    value = ReadSensorRegister(device(), 0xE6);
  });
  EXPECT_EQ(camera().Sensor().Register(0xE6), 0x11);
  // The write's address and both address bytes of the read (register, then read form).
  EXPECT_EQ(camera().Sensor().GetCounters().addressMisses, missesBefore + 3);
  EXPECT_EQ(value, 0xFF);  // nobody drives the released data line: all ones
  device()->SensorAddress = device()->SensorDefaultAddress;
  Run([&] { value = ReadSensorRegister(device(), 0xE6); });
  EXPECT_EQ(value, 0x11);
}

// Another thread holds SensorBusMutex for `holdMs` of virtual time while this one accesses
// the sensor.
struct ContentionCase {
  const char* name;
  int holdMs;
  bool write;
  bool goesThrough;
};

class SensorBusContentionTest : public StartedCameraFixture,
                                public ::testing::WithParamInterface<ContentionCase> {};

TEST_P(SensorBusContentionTest, AccessWaitsAtMostTenMillisecondsForTheBus) {
  const ContentionCase& c = GetParam();
  Run([&] { WriteSensorRegister(device(), 0xE7, 0x33); });
  KEVENT held, letGo;
  size_t mark = 0;
  VirtualTime asked = 0, firstTransfer = -1, finished = 0;
  USHORT value = 0xFFFF;
  Run([&] {
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&letGo, NotificationEvent, FALSE);
    rig().simulation().StartThread("holder", [&] {
      KeWaitForSingleObject(&device()->SensorBusMutex, Executive, KernelMode, FALSE, NULL);
      KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
      LARGE_INTEGER hold;
      hold.QuadPart = -c.holdMs * kMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &hold);
      KeReleaseMutex(&device()->SensorBusMutex, FALSE);
      KeSetEvent(&letGo, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, NULL);
    mark = Mark();
    asked = Now();
    if (c.write) {
      value = WriteSensorRegister(device(), 0xE7, 0x44);
    } else {
      value = ReadSensorRegister(device(), 0xE7);
    }
    finished = Now();
    KeWaitForSingleObject(&letGo, Executive, KernelMode, FALSE, NULL);
  });
  const std::vector<ControlRecord> sent = VendorSince(mark);
  if (!sent.empty()) firstTransfer = sent.front().time;
  if (c.goesThrough) {
    EXPECT_EQ(sent.size(), c.write ? 127u : 179u);
    EXPECT_EQ(value, c.write ? 0 : 0x33);
    EXPECT_EQ(camera().Sensor().Register(0xE7), c.write ? 0x44 : 0x33);
    // The first transfer left when the holder let go (it completes one control time later).
    EXPECT_EQ(firstTransfer, asked + c.holdMs * kMillisecond + port().ControlTransferTime());
  } else {
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(value, 0);
    EXPECT_EQ(camera().Sensor().Register(0xE7), 0x33);
    EXPECT_EQ(finished - asked, 10 * kMillisecond);
  }
}

const ContentionCase kContentionCases[] = {
    {"ReadAfterTwentyMillisecondsGivesUp", 20, false, false},
    {"WriteAfterTwentyMillisecondsGivesUp", 20, true, false},
    {"ReadAfterFiveMillisecondsGoesThrough", 5, false, true},
    {"WriteAfterFiveMillisecondsGoesThrough", 5, true, true},
};
INSTANTIATE_TEST_SUITE_P(Holders, SensorBusContentionTest, ::testing::ValuesIn(kContentionCases),
                         [](const ::testing::TestParamInfo<ContentionCase>& info) {
                           return std::string(info.param.name);
                         });

// --- Auxiliary port ----------------------------------------------------------------------------

using AuxPortTest = StartedCameraFixture;

TEST_F(AuxPortTest, WriteIsVerifiedOnceAndReadReturnsTheRegister) {
  size_t mark = Mark();
  Run([&] { WriteAuxRegister(device(), 0x10, 0xBEEF); });
  EXPECT_EQ(camera().AuxRegister(0x10), 0xBEEF);
  // Ready, address, data, then one verification: status, read address, status, data.
  EXPECT_EQ(VendorSince(mark).size(), 7u);
  mark = Mark();
  USHORT value = 0;
  Run([&] { value = ReadAuxRegister(device(), 0x10); });
  EXPECT_EQ(value, 0xBEEF);
  EXPECT_EQ(VendorSince(mark).size(), 5u);  // ready, status, read address, status, data
  Run([&] { value = ReadAuxRegister(device(), 0x00); });
  EXPECT_EQ(value, 0x4417);  // the unit's identity register
}

TEST_F(AuxPortTest, ReadWhoseAttemptsAllFailReturnsTheFixedFailureValue) {
  // A register number past the unit's bank: every attempt ends with the error bit.
  const size_t mark = Mark();
  USHORT value = 0;
  Run([&] { value = ReadAuxRegister(device(), 0x0100); });
  EXPECT_EQ(value, AUX_READ_FAILED);
  EXPECT_EQ(VendorSince(mark).size(), 1u + 3u * AUX_ATTEMPTS_MAX);
}

TEST_F(AuxPortTest, StoppedUnitEndsBothWaitsAfterTheirBounds) {
  Run([&] { WriteBridgeRegister(device(), 0x0500, 0x0500); });  // the unit stops: never ready
  size_t mark = Mark();
  USHORT value = 0;
  Run([&] { value = ReadAuxRegister(device(), 0x10); });
  EXPECT_EQ(value, AUX_READ_FAILED);
  EXPECT_EQ(VendorSince(mark).size(), AUX_READY_READS_MAX + 3u * AUX_ATTEMPTS_MAX);
  mark = Mark();
  Run([&] { WriteAuxRegister(device(), 0x10, 0x1234); });
  EXPECT_EQ(camera().AuxRegister(0x10), 0);
  EXPECT_EQ(VendorSince(mark).size(), AUX_READY_READS_MAX + 2u + 3u * AUX_ATTEMPTS_MAX);
}

TEST_F(AuxPortTest, WriteThatNeverVerifiesEndsSilentlyAfterItsAttempts) {
  // The identity register ignores writes, so the read-back never matches.
  const size_t mark = Mark();
  Run([&] { WriteAuxRegister(device(), 0x00, 0x1111); });
  EXPECT_EQ(camera().AuxRegister(0x00), 0x4417);
  EXPECT_EQ(VendorSince(mark).size(), 1u + 2u + 4u * AUX_ATTEMPTS_MAX);
}

}  // namespace
}  // namespace lumo::drivertest
