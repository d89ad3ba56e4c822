// The image controls: proc-amp requests through the stream class's property path (checked
// against the tables the driver reports, range and default queries answered from them) to the
// router and on to the camera's sensor registers; the stored-only controls; and the device
// request routine handing both property commands to the router.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "camera_fixture.h"
#include "control/image_controls.h"
#include "core_harness.h"
#include "streamclass/stream_class.h"

namespace lumo::drivertest {
namespace {

// The proc-amp property path of the stream class for the rig's device: the reported device
// tables decide what reaches the driver, whose router answers the rest.
class ImageControlTest : public StartedCameraFixture {
 protected:
  NTSTATUS ProcAmp(ULONG id, ULONG flags, KSPROPERTY_VIDEOPROCAMP_S* record, ULONG bytes,
                   ULONG* returned) {
    // A capture graph sends the whole proc-amp record as the property too: the KSPROPERTY
    // header followed by Value, Flags and Capabilities as instance data.
    KSPROPERTY_VIDEOPROCAMP_S instance;
    std::memset(&instance, 0, sizeof(instance));
    if (flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)) instance = *record;
    const ULONG instanceBytes = sizeof(instance) - sizeof(KSPROPERTY);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Run([&] {
      status = streamclass::PropertyRequest(
          rig().simulation(), DEVICE_PROPERTY_TABLE, DEVICE_PROPERTY_SET_COUNT,
          PROPSETID_VIDCAP_VIDEOPROCAMP, id, flags, &instance.Value, instanceBytes, record, bytes,
          returned,
          [&](bool isSet, PSTREAM_PROPERTY_DESCRIPTOR descriptor) {
            routed_++;
            HW_STREAM_REQUEST_BLOCK srb;
            std::memset(&srb, 0, sizeof(srb));
            srb.SizeOfThisPacket = sizeof(srb);
            srb.Command = isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
            srb.HwDeviceExtension = device();
            srb.CommandData.PropertyInfo = descriptor;
            streamclass::Device::Result result;
            result.status = RouteDeviceProperty(isSet ? TRUE : FALSE, &srb);
            result.actualBytes = srb.ActualBytesTransferred;
            result.completedInCall = true;
            return result;
          });
    });
    return status;
  }

  NTSTATUS Set(ULONG id, LONG value, ULONG flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL,
               ULONG* returned = nullptr) {
    KSPROPERTY_VIDEOPROCAMP_S record;
    std::memset(&record, 0, sizeof(record));
    record.Value = value;
    record.Flags = flags;
    record.Capabilities = flags;
    ULONG bytes = 0;
    NTSTATUS status = ProcAmp(id, KSPROPERTY_TYPE_SET, &record, sizeof(record), &bytes);
    if (returned) *returned = bytes;
    return status;
  }

  KSPROPERTY_VIDEOPROCAMP_S Get(ULONG id, NTSTATUS* status, ULONG* returned) {
    KSPROPERTY_VIDEOPROCAMP_S record;
    std::memset(&record, 0xCC, sizeof(record));
    *status = ProcAmp(id, KSPROPERTY_TYPE_GET, &record, sizeof(record), returned);
    return record;
  }

  int routed_ = 0;
};

struct ControlCase {
  const char* name;
  ULONG propertyId;
  LONG value;
  UCHAR sensorRegister;
  UCHAR written;
};

class ImageControlValueTest : public ImageControlTest,
                              public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ImageControlValueTest, SetWritesTheSensorRegisterAndGetReportsTheStoredValue) {
  const ControlCase& c = GetParam();
  // Something else in the register first, so the set has to write it.
  Run([&] { WriteSensorRegister(device(), c.sensorRegister, 0x5A); });
  ULONG returned = 0;
  const size_t mark = Mark();
  ASSERT_EQ(Set(c.propertyId, c.value, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
  EXPECT_EQ(VendorSince(mark).size(), 127u);  // one sensor write
  EXPECT_EQ(camera().Sensor().Register(c.sensorRegister), c.written);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const KSPROPERTY_VIDEOPROCAMP_S record = Get(c.propertyId, &status, &returned);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
  EXPECT_EQ(record.Value, c.value);
  // Manual whatever the set asked for.
  EXPECT_EQ(record.Flags, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));
  EXPECT_EQ(record.Capabilities, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));
}

const ControlCase kControlCases[] = {
    {"Brightness127", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 127, 0xE6, 0xFF},
    {"Brightness128", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 128, 0xE6, 0x00},
    {"Brightness0", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0, 0xE6, 0x80},
    {"Brightness255", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 255, 0xE6, 0x7F},
    {"Contrast127", KSPROPERTY_VIDEOPROCAMP_CONTRAST, 127, 0xE7, 0xFF},
    {"Contrast0", KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0, 0xE7, 0x80},
    {"Contrast255", KSPROPERTY_VIDEOPROCAMP_CONTRAST, 255, 0xE7, 0x7F},
    {"Saturation100", KSPROPERTY_VIDEOPROCAMP_SATURATION, 100, 0xF2, 0xFF},
    {"Saturation101", KSPROPERTY_VIDEOPROCAMP_SATURATION, 101, 0xF2, 0x00},
    {"Saturation200", KSPROPERTY_VIDEOPROCAMP_SATURATION, 200, 0xF2, 0x63},
    {"Saturation0", KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, 0xF2, 0x9B},
    {"Gamma0", KSPROPERTY_VIDEOPROCAMP_GAMMA, 0, 0xE8, 0xEE},
    {"Gamma1", KSPROPERTY_VIDEOPROCAMP_GAMMA, 1, 0xE8, 0x00},
    {"Gamma64", KSPROPERTY_VIDEOPROCAMP_GAMMA, 64, 0xE8, 0x3F},
};
INSTANTIATE_TEST_SUITE_P(Values, ImageControlValueTest, ::testing::ValuesIn(kControlCases),
                         [](const ::testing::TestParamInfo<ControlCase>& info) {
                           return std::string(info.param.name);
                         });

struct OutOfRangeCase {
  const char* name;
  ULONG propertyId;
  LONG value;
  UCHAR sensorRegister;
  LONG DEVICE_CONTEXT::*field;
};

class ImageControlRangeTest : public ImageControlTest,
                              public ::testing::WithParamInterface<OutOfRangeCase> {};

TEST_P(ImageControlRangeTest, OutOfRangeValueChangesNothing) {
  const OutOfRangeCase& c = GetParam();
  ASSERT_EQ(Set(c.propertyId, 1), STATUS_SUCCESS);
  const UCHAR before = camera().Sensor().Register(c.sensorRegister);
  const size_t mark = Mark();
  ULONG returned = 99;
  EXPECT_EQ(Set(c.propertyId, c.value, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(device()->*c.field, 1);
  EXPECT_EQ(VendorSince(mark).size(), 0u);
  EXPECT_EQ(camera().Sensor().Register(c.sensorRegister), before);
}

const OutOfRangeCase kOutOfRangeCases[] = {
    {"Brightness256", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 256, 0xE6, &DEVICE_CONTEXT::Brightness},
    {"BrightnessMinusOne", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -1, 0xE6,
     &DEVICE_CONTEXT::Brightness},
    {"Contrast256", KSPROPERTY_VIDEOPROCAMP_CONTRAST, 256, 0xE7, &DEVICE_CONTEXT::Contrast},
    {"Saturation201", KSPROPERTY_VIDEOPROCAMP_SATURATION, 201, 0xF2, &DEVICE_CONTEXT::Saturation},
    {"Gamma65", KSPROPERTY_VIDEOPROCAMP_GAMMA, 65, 0xE8, &DEVICE_CONTEXT::Gamma},
    {"GammaMinimumLong", KSPROPERTY_VIDEOPROCAMP_GAMMA, LONG(0x80000000), 0xE8,
     &DEVICE_CONTEXT::Gamma},
};
INSTANTIATE_TEST_SUITE_P(Values, ImageControlRangeTest, ::testing::ValuesIn(kOutOfRangeCases),
                         [](const ::testing::TestParamInfo<OutOfRangeCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(ImageControlTest, GetsReportZeroBeforeAnySetAndTheLowSixteenBitsOfTheField) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ULONG returned = 0;
  for (ULONG id : {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                   KSPROPERTY_VIDEOPROCAMP_SATURATION, KSPROPERTY_VIDEOPROCAMP_GAMMA}) {
    EXPECT_EQ(Get(id, &status, &returned).Value, 0) << "id " << id;
    EXPECT_EQ(status, STATUS_SUCCESS);
  }
  // A field changed behind the property path (a stored setting read back) shows its low half.
  device()->Contrast = 0x12345;
  EXPECT_EQ(Get(KSPROPERTY_VIDEOPROCAMP_CONTRAST, &status, &returned).Value, 0x2345);
  device()->Contrast = -2;
  EXPECT_EQ(Get(KSPROPERTY_VIDEOPROCAMP_CONTRAST, &status, &returned).Value, 0xFFFE);
}

struct TableCase {
  ULONG propertyId;
  LONG maximum;
  LONG fallback;
};

TEST_F(ImageControlTest, RangesAndDefaultsComeFromTheTablesWithoutReachingTheDriver) {
  const TableCase cases[] = {{KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 255, 127},
                             {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 255, 127},
                             {KSPROPERTY_VIDEOPROCAMP_SATURATION, 200, 100},
                             {KSPROPERTY_VIDEOPROCAMP_GAMMA, 64, 0}};
  const size_t mark = Mark();
  for (const TableCase& c : cases) {
    SCOPED_TRACE(c.propertyId);
    const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + 2 * sizeof(KSPROPERTY_MEMBERSHEADER) +
                       sizeof(KSPROPERTY_STEPPING_LONG) + sizeof(LONG);
    std::vector<uint8_t> answer(full);
    ULONG returned = 0;
    ASSERT_EQ(ProcAmp(c.propertyId, KSPROPERTY_TYPE_BASICSUPPORT,
                      reinterpret_cast<KSPROPERTY_VIDEOPROCAMP_S*>(answer.data()), full,
                      &returned),
              STATUS_SUCCESS);
    auto* header = reinterpret_cast<KSPROPERTY_MEMBERSHEADER*>(answer.data() +
                                                               sizeof(KSPROPERTY_DESCRIPTION));
    auto* stepping = reinterpret_cast<KSPROPERTY_STEPPING_LONG*>(header + 1);
    EXPECT_EQ(stepping->SteppingDelta, 1u);
    EXPECT_EQ(stepping->Bounds.SignedMinimum, 0);
    EXPECT_EQ(stepping->Bounds.SignedMaximum, c.maximum);

    const ULONG defaults =
        sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(LONG);
    std::vector<uint8_t> fallback(defaults);
    ASSERT_EQ(ProcAmp(c.propertyId, KSPROPERTY_TYPE_DEFAULTVALUES,
                      reinterpret_cast<KSPROPERTY_VIDEOPROCAMP_S*>(fallback.data()), defaults,
                      &returned),
              STATUS_SUCCESS);
    auto* list = reinterpret_cast<KSPROPERTY_MEMBERSHEADER*>(fallback.data() +
                                                             sizeof(KSPROPERTY_DESCRIPTION));
    EXPECT_EQ(list->MembersCount, 1u);
    EXPECT_EQ(*reinterpret_cast<LONG*>(list + 1), c.fallback);

    // The driver's own limits agree with what the tables report.
    const IMAGE_CONTROL control =
        c.propertyId == KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS   ? IMAGE_CONTROL_BRIGHTNESS
        : c.propertyId == KSPROPERTY_VIDEOPROCAMP_CONTRAST   ? IMAGE_CONTROL_CONTRAST
        : c.propertyId == KSPROPERTY_VIDEOPROCAMP_SATURATION ? IMAGE_CONTROL_SATURATION
                                                             : IMAGE_CONTROL_GAMMA;
    EXPECT_EQ(ImageControlMaximum(control), c.maximum);
    EXPECT_EQ(ImageControlDefault(control), c.fallback);
  }
  EXPECT_EQ(routed_, 0);
  EXPECT_EQ(VendorSince(mark).size(), 0u);
}

TEST_F(ImageControlTest, UndeclaredIdsAreRefusedByTheClassAndByTheRouter) {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG returned = 0;
  Get(KSPROPERTY_VIDEOPROCAMP_HUE, &status, &returned);
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_EQ(routed_, 0);

  // Straight to the router, as if the class had let it through.
  KSPROPERTY property;
  std::memset(&property, 0, sizeof(property));
  property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
  property.Id = KSPROPERTY_VIDEOPROCAMP_SHARPNESS;
  KSPROPERTY_VIDEOPROCAMP_S record;
  std::memset(&record, 0, sizeof(record));
  record.Value = 3;
  STREAM_PROPERTY_DESCRIPTOR descriptor{&property, 1, &record, sizeof(property), sizeof(record)};
  HW_STREAM_REQUEST_BLOCK srb;
  std::memset(&srb, 0, sizeof(srb));
  srb.HwDeviceExtension = device();
  srb.CommandData.PropertyInfo = &descriptor;
  srb.ActualBytesTransferred = 77;
  NTSTATUS get = 0, set = 0;
  ULONG getBytes = 0;
  Run([&] {
    get = RouteDeviceProperty(FALSE, &srb);
    getBytes = srb.ActualBytesTransferred;
    set = RouteDeviceProperty(TRUE, &srb);
  });
  EXPECT_EQ(get, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(set, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(getBytes, 0u);
  EXPECT_EQ(srb.ActualBytesTransferred, 0u);
  EXPECT_EQ(device()->Sharpness, 0);
}

TEST_F(ImageControlTest, RouterRefusesADataBufferTooShortForTheRecord) {
  KSPROPERTY property;
  std::memset(&property, 0, sizeof(property));
  property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
  property.Id = KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS;
  LONG shortBuffer[2] = {200, 0};
  STREAM_PROPERTY_DESCRIPTOR descriptor{&property, 1, shortBuffer, sizeof(property),
                                        sizeof(shortBuffer)};
  HW_STREAM_REQUEST_BLOCK srb;
  std::memset(&srb, 0, sizeof(srb));
  srb.HwDeviceExtension = device();
  srb.CommandData.PropertyInfo = &descriptor;
  NTSTATUS set = 0;
  const size_t mark = Mark();
  Run([&] { set = RouteDeviceProperty(TRUE, &srb); });
  EXPECT_EQ(set, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(srb.ActualBytesTransferred, 0u);
  EXPECT_EQ(device()->Brightness, 0);
  EXPECT_EQ(VendorSince(mark).size(), 0u);
}

// The three stored-only controls keep their value and touch no register.
struct StoredControlCase {
  IMAGE_CONTROL control;
  LONG maximum;
  LONG DEVICE_CONTEXT::*field;
};

TEST_F(ImageControlTest, StoredOnlyControlsKeepTheirValueAndWriteNothing) {
  const StoredControlCase cases[] = {
      {IMAGE_CONTROL_HUE, 255, &DEVICE_CONTEXT::Hue},
      {IMAGE_CONTROL_SHARPNESS, 7, &DEVICE_CONTEXT::Sharpness},
      {IMAGE_CONTROL_WHITE_BALANCE, 128, &DEVICE_CONTEXT::WhiteBalance},
  };
  const size_t mark = Mark();
  for (const StoredControlCase& c : cases) {
    SCOPED_TRACE(c.control);
    NTSTATUS atMaximum = 0, above = 0, negative = 0;
    Run([&] {
      atMaximum = ApplyImageControl(device(), c.control, c.maximum);
      above = ApplyImageControl(device(), c.control, c.maximum + 1);
      negative = ApplyImageControl(device(), c.control, -1);
    });
    EXPECT_EQ(atMaximum, STATUS_SUCCESS);
    EXPECT_EQ(above, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(negative, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device()->*c.field, c.maximum);
  }
  EXPECT_EQ(ImageControlDefault(IMAGE_CONTROL_HUE), 128);
  EXPECT_EQ(ImageControlDefault(IMAGE_CONTROL_SHARPNESS), 3);
  EXPECT_EQ(ImageControlDefault(IMAGE_CONTROL_WHITE_BALANCE), 64);
  EXPECT_EQ(VendorSince(mark).size(), 0u);
}

// --- The device request routine hands property commands to the router ---------------------------

TEST_F(CoreTest, DevicePropertyCommandsReachTheRouter) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    context.Gamma = 42;
    KSPROPERTY property;
    std::memset(&property, 0, sizeof(property));
    KSPROPERTY_VIDEOPROCAMP_S record;
    std::memset(&record, 0, sizeof(record));
    STREAM_PROPERTY_DESCRIPTOR descriptor{&property, 1, &record, sizeof(property),
                                          sizeof(record)};
    auto send = [&](SRB_COMMAND command, const GUID& set, ULONG id) {
      property.Set = set;
      property.Id = id;
      return device.SendDeviceRequest(
          command, [&](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.PropertyInfo = &descriptor; });
    };
    Device::Result got =
        send(SRB_GET_DEVICE_PROPERTY, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.actualBytes, sizeof(record));
    EXPECT_EQ(record.Value, 42);
    EXPECT_TRUE(got.completedInCall);
    // A set out of range fails in ApplyImageControl before any hardware access.
    record.Value = 65;
    EXPECT_EQ(send(SRB_SET_DEVICE_PROPERTY, PROPSETID_VIDCAP_VIDEOPROCAMP,
                   KSPROPERTY_VIDEOPROCAMP_GAMMA)
                  .status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context.Gamma, 42);
    // The camera's own set is not served yet, nor is any other set.
    EXPECT_EQ(send(SRB_GET_DEVICE_PROPERTY, PROPSETID_VENDOR_CAMERA, 36).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(send(SRB_SET_DEVICE_PROPERTY, PROPSETID_VENDOR_CAMERA, 9).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(send(SRB_GET_DEVICE_PROPERTY, KSPROPSETID_Connection, 0).status,
              STATUS_NOT_SUPPORTED);
  });
}

}  // namespace
}  // namespace lumo::drivertest
