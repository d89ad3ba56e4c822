// The stream catalogue and format negotiation: the stream information of both catalogues, the
// data ranges field by field, the data intersection (size query, short buffers, every mismatch,
// the frame interval and bit rate adjustments, the built format) and the format check.
#include <cstring>

#include "core_harness.h"

namespace lumo::drivertest {
namespace {

struct Size {
  LONG width;
  LONG height;
};
constexpr Size kSixSizes[] = {{640, 480}, {1280, 960}, {1024, 768},
                              {800, 600}, {320, 240},  {160, 120}};

const KS_DATARANGE_VIDEO& RangeAt(const HW_STREAM_INFORMATION& info, ULONG index) {
  return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[index]);
}

ULONG StreamInfoBytes() { return sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION); }

// --- Stream information ---------------------------------------------------------------------

TEST_F(CoreTest, HighSpeedCameraOffersSixSizesInOrder) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    ASSERT_EQ(device.QueryStreamInfo(StreamInfoBytes()), STATUS_SUCCESS);
    const HW_STREAM_HEADER& header = device.StreamHeader();
    EXPECT_EQ(header.NumberOfStreams, 1u);
    EXPECT_EQ(header.SizeOfHwStreamInformation, sizeof(HW_STREAM_INFORMATION));
    const HW_STREAM_INFORMATION& info = device.StreamInfo(0);
    EXPECT_EQ(info.NumberOfPossibleInstances, 1u);
    EXPECT_EQ(info.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_TRUE(info.DataAccessible);
    ASSERT_EQ(info.NumberOfFormatArrayEntries, 6u);
    for (ULONG i = 0; i < 6; i++) {
      SCOPED_TRACE(i);
      EXPECT_EQ(RangeAt(info, i).VideoInfoHeader.bmiHeader.biWidth, kSixSizes[i].width);
      EXPECT_EQ(RangeAt(info, i).VideoInfoHeader.bmiHeader.biHeight, kSixSizes[i].height);
    }
    const PVOID noReserved[4] = {};
    EXPECT_EQ(std::memcmp(info.ClassReserved, noReserved, sizeof noReserved), 0);
    ASSERT_EQ(info.NumStreamPropArrayEntries, 2u);
    EXPECT_TRUE(IsEqualGUID(*info.StreamPropertiesArray[0].Set, KSPROPSETID_Connection));
    EXPECT_TRUE(IsEqualGUID(*info.StreamPropertiesArray[1].Set, PROPSETID_VIDCAP_DROPPEDFRAMES));
    EXPECT_EQ(info.NumStreamEventArrayEntries, 0u);
    EXPECT_EQ(info.StreamEventsArray, nullptr);
    EXPECT_TRUE(IsEqualGUID(*info.Category, PINNAME_VIDEO_CAPTURE));
    EXPECT_TRUE(IsEqualGUID(*info.Name, PINNAME_VIDEO_CAPTURE));
    EXPECT_EQ(info.MediumsCount, 0u);
    EXPECT_FALSE(info.BridgeStream);
  });
}

TEST_F(CoreTest, OtherConfigurationsOfferOnly160By120) {
  for (ULONG packets : {32u, 0u, 255u}) {
    SCOPED_TRACE(packets);
    RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
      AsStarted(context, packets);
      EXPECT_FALSE(IsHighSpeedConfiguration(&context));
      ASSERT_EQ(device.QueryStreamInfo(StreamInfoBytes()), STATUS_SUCCESS);
      const HW_STREAM_INFORMATION& info = device.StreamInfo(0);
      ASSERT_EQ(info.NumberOfFormatArrayEntries, 1u);
      EXPECT_EQ(info.StreamFormatsArray[0], &R160.DataRange);
      // Everything else is the same as in the six-size table.
      HW_STREAM_INFORMATION six = CATALOGUE_SIX_SIZES[0];
      six.NumberOfFormatArrayEntries = 1;
      six.StreamFormatsArray = info.StreamFormatsArray;
      EXPECT_EQ(std::memcmp(&six, &info, sizeof info), 0);
    });
  }
}

TEST_F(CoreTest, StreamHeaderNamesTheDeviceTablesTopologyAndEvents) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    ASSERT_EQ(device.QueryStreamInfo(StreamInfoBytes()), STATUS_SUCCESS);
    const HW_STREAM_HEADER& header = device.StreamHeader();
    ASSERT_EQ(header.NumDevPropArrayEntries, 2u);
    EXPECT_TRUE(IsEqualGUID(*header.DevicePropertiesArray[0].Set, PROPSETID_VENDOR_CAMERA));
    EXPECT_EQ(header.DevicePropertiesArray[0].PropertiesCount, 37u);
    EXPECT_TRUE(IsEqualGUID(*header.DevicePropertiesArray[1].Set, PROPSETID_VIDCAP_VIDEOPROCAMP));
    EXPECT_EQ(header.DevicePropertiesArray[1].PropertiesCount, 4u);
    ASSERT_NE(header.Topology, nullptr);
    ASSERT_EQ(header.Topology->CategoriesCount, 2u);
    EXPECT_TRUE(IsEqualGUID(header.Topology->Categories[0], KSCATEGORY_VIDEO));
    EXPECT_TRUE(IsEqualGUID(header.Topology->Categories[1], KSCATEGORY_CAPTURE));
    EXPECT_EQ(header.Topology->TopologyNodesCount, 0u);
    EXPECT_EQ(header.Topology->TopologyConnectionsCount, 0u);
    EXPECT_EQ(header.Topology->TopologyNodesNames, nullptr);
    ASSERT_EQ(header.NumDevEventArrayEntries, 1u);
    const KSEVENT_SET& events = header.DeviceEventsArray[0];
    EXPECT_TRUE(IsEqualGUID(*events.Set, KSEVENTSETID_VIDCAPTOSTI));
    ASSERT_EQ(events.EventsCount, 1u);
    EXPECT_EQ(events.EventItem[0].EventId, ULONG(KSEVENT_VIDCAPTOSTI_EXT_TRIGGER));
    EXPECT_EQ(events.EventItem[0].DataInput, 0u);
    EXPECT_EQ(events.EventItem[0].ExtraEntryData, 0u);
    EXPECT_EQ(events.EventItem[0].AddHandler, nullptr);
    EXPECT_EQ(header.DeviceEventRoutine, &DeviceEventRoutine);
    // The method fields are not touched.
    EXPECT_EQ(header.NumDevMethodArrayEntries, 0);
    EXPECT_EQ(header.DeviceMethodsArray, nullptr);

    // The still-button event can be enabled, and its signal reaches the entry.
    streamclass::EventEntry* entry = nullptr;
    ASSERT_EQ(device.EnableEvent(KSEVENTSETID_VIDCAPTOSTI, KSEVENT_VIDCAPTOSTI_EXT_TRIGGER, &entry),
              STATUS_SUCCESS);
    StreamClassDeviceNotification(SignalMultipleDeviceEvents, &context, &KSEVENTSETID_VIDCAPTOSTI,
                                  ULONG(KSEVENT_VIDCAPTOSTI_EXT_TRIGGER));
    EXPECT_EQ(entry->signals, 1u);
    EXPECT_EQ(device.DisableEvent(entry), STATUS_SUCCESS);
  });
}

TEST_F(CoreTest, WithoutDeviceEventsTheEventFieldsAreLeftAsTheyCame) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    context.CameraFlags = 0;
    ASSERT_EQ(device.QueryStreamInfo(StreamInfoBytes()), STATUS_SUCCESS);
    EXPECT_EQ(device.StreamHeader().NumDevEventArrayEntries, 0u);
    EXPECT_EQ(device.StreamHeader().DeviceEventsArray, nullptr);
    EXPECT_EQ(device.StreamHeader().DeviceEventRoutine, nullptr);
    EXPECT_EQ(device.EnableEvent(KSEVENTSETID_VIDCAPTOSTI, 0, nullptr),
              streamclass::kStatusNotFound);
  });
}

TEST_F(CoreTest, NumberOfStreamsIsTheDevicesStreamCount) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    context.StreamCount = 0;
    ASSERT_EQ(device.QueryStreamInfo(StreamInfoBytes()), STATUS_SUCCESS);
    EXPECT_EQ(device.StreamHeader().NumberOfStreams, 0u);
  });
}

// --- The data ranges ------------------------------------------------------------------------

TEST(DataRanges, EveryFieldOfTheSixRanges) {
  struct Expected {
    const KS_DATARANGE_VIDEO* range;
    LONG width, height;
    ULONG imageBytes;
    LONG bitsPerSecond;
    DWORD bitRate;
  } table[] = {
      {&R640, 640, 480, 614400, 147456000, 147148800},
      {&R1280, 1280, 960, 2457600, 589824000, 588595200},
      {&R1024, 1024, 768, 1572864, 377487360, 376700928},
      {&R800, 800, 600, 960000, 230400000, 229920000},
      {&R320, 320, 240, 153600, 36864000, 36787200},
      {&R160, 160, 120, 38400, 9216000, 9196800},
  };
  for (const Expected& e : table) {
    SCOPED_TRACE(e.width);
    const KS_DATARANGE_VIDEO& r = *e.range;
    EXPECT_EQ(r.DataRange.FormatSize, sizeof(KS_DATARANGE_VIDEO));
    EXPECT_EQ(r.DataRange.Flags, 0u);
    EXPECT_EQ(r.DataRange.Reserved, 0u);
    EXPECT_EQ(r.DataRange.SampleSize, e.imageBytes);
    EXPECT_TRUE(IsEqualGUID(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO));
    EXPECT_TRUE(IsEqualGUID(r.DataRange.SubFormat, MEDIASUBTYPE_YUY2));
    EXPECT_TRUE(IsEqualGUID(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
    EXPECT_EQ(r.bFixedSizeSamples, TRUE);
    EXPECT_EQ(r.bTemporalCompression, TRUE);
    EXPECT_EQ(r.StreamDescriptionFlags, DWORD(KS_VIDEOSTREAM_CAPTURE));
    EXPECT_EQ(r.MemoryAllocationFlags, 0u);
    const KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
    EXPECT_TRUE(IsEqualGUID(c.guid, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
    EXPECT_EQ(c.VideoStandard, ULONG(KS_AnalogVideo_None));
    for (const SIZE& s : {c.InputSize, c.MinCroppingSize, c.MaxCroppingSize, c.MinOutputSize,
                          c.MaxOutputSize}) {
      EXPECT_EQ(s.cx, e.width);
      EXPECT_EQ(s.cy, e.height);
    }
    for (int one : {c.CropGranularityX, c.CropGranularityY, c.CropAlignX, c.CropAlignY,
                    c.OutputGranularityX, c.OutputGranularityY}) {
      EXPECT_EQ(one, 1);
    }
    for (int zero : {c.StretchTapsX, c.StretchTapsY, c.ShrinkTapsX, c.ShrinkTapsY}) {
      EXPECT_EQ(zero, 0);
    }
    EXPECT_EQ(c.MinFrameInterval, 333333);
    EXPECT_EQ(c.MaxFrameInterval, 333333);
    EXPECT_EQ(c.MinBitsPerSecond, e.bitsPerSecond);
    EXPECT_EQ(c.MaxBitsPerSecond, e.bitsPerSecond);
    const KS_VIDEOINFOHEADER& v = r.VideoInfoHeader;
    const RECT none{};
    EXPECT_EQ(std::memcmp(&v.rcSource, &none, sizeof none), 0);
    EXPECT_EQ(std::memcmp(&v.rcTarget, &none, sizeof none), 0);
    EXPECT_EQ(v.dwBitRate, e.bitRate);
    EXPECT_EQ(v.dwBitErrorRate, 0u);
    EXPECT_EQ(v.AvgTimePerFrame, 333333);
    EXPECT_EQ(v.bmiHeader.biSize, 40u);
    EXPECT_EQ(v.bmiHeader.biWidth, e.width);
    EXPECT_EQ(v.bmiHeader.biHeight, e.height);
    EXPECT_EQ(v.bmiHeader.biPlanes, 1);
    EXPECT_EQ(v.bmiHeader.biBitCount, 16);
    EXPECT_EQ(v.bmiHeader.biCompression, 0x32595559u);
    EXPECT_EQ(v.bmiHeader.biSizeImage, e.imageBytes);
    EXPECT_EQ(v.bmiHeader.biXPelsPerMeter, 0);
    EXPECT_EQ(v.bmiHeader.biYPelsPerMeter, 0);
    EXPECT_EQ(v.bmiHeader.biClrUsed, 0u);
    EXPECT_EQ(v.bmiHeader.biClrImportant, 0u);
  }
}

TEST(PropertyTables, StreamItemsAndProcAmpValueTables) {
  const KSPROPERTY_ITEM& framing = STREAM_PROPERTY_TABLE[0].PropertyItem[0];
  EXPECT_EQ(framing.PropertyId, ULONG(KSPROPERTY_CONNECTION_ALLOCATORFRAMING));
  EXPECT_TRUE(framing.GetSupported);
  EXPECT_FALSE(framing.SetSupported);
  EXPECT_EQ(framing.MinProperty, 24u);
  EXPECT_EQ(framing.MinData, 24u);
  EXPECT_EQ(framing.SerializedSize, 4u);
  const KSPROPERTY_ITEM& dropped = STREAM_PROPERTY_TABLE[1].PropertyItem[0];
  EXPECT_EQ(dropped.PropertyId, ULONG(KSPROPERTY_DROPPEDFRAMES_CURRENT));
  EXPECT_EQ(dropped.MinProperty, 48u);
  EXPECT_EQ(dropped.MinData, 48u);
  EXPECT_EQ(dropped.SerializedSize, 0u);
  for (const KSPROPERTY_SET& set : STREAM_PROPERTY_TABLE) {
    EXPECT_EQ(set.PropertiesCount, 1u);
    EXPECT_EQ(set.FastIoCount, 0u);
    EXPECT_EQ(set.PropertyItem[0].Values, nullptr);
    EXPECT_EQ(set.PropertyItem[0].RelationsCount, 0u);
    EXPECT_EQ(set.PropertyItem[0].SupportHandler, nullptr);
  }

  struct ProcAmp {
    ULONG id;
    LONG maximum;
    LONG fallback;
  } procamp[] = {{0, 255, 127}, {3, 200, 100}, {1, 255, 127}, {5, 64, 0}};
  for (ULONG i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    const KSPROPERTY_ITEM& item = PROCAMP_PROPERTY_TABLE[i];
    EXPECT_EQ(item.PropertyId, procamp[i].id);
    EXPECT_TRUE(item.GetSupported);
    EXPECT_TRUE(item.SetSupported);
    EXPECT_EQ(item.MinProperty, 40u);
    EXPECT_EQ(item.MinData, 40u);
    ASSERT_NE(item.Values, nullptr);
    EXPECT_TRUE(IsEqualGUID(item.Values->PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(item.Values->PropTypeSet.Id, ULONG(VT_I4));
    ASSERT_EQ(item.Values->MembersListCount, 2u);
    const KSPROPERTY_MEMBERSLIST& ranges = item.Values->MembersList[0];
    EXPECT_EQ(ranges.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
    EXPECT_EQ(ranges.MembersHeader.MembersCount, 1u);
    auto* stepping = static_cast<const KSPROPERTY_STEPPING_LONG*>(ranges.Members);
    EXPECT_EQ(stepping->SteppingDelta, 1u);
    EXPECT_EQ(stepping->Bounds.SignedMinimum, 0);
    EXPECT_EQ(stepping->Bounds.SignedMaximum, procamp[i].maximum);
    const KSPROPERTY_MEMBERSLIST& defaults = item.Values->MembersList[1];
    EXPECT_EQ(defaults.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_VALUES));
    EXPECT_EQ(defaults.MembersHeader.Flags, ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT));
    EXPECT_EQ(*static_cast<const LONG*>(defaults.Members), procamp[i].fallback);
  }

  // The vendor set, in declaration order, with its verbs and sizes.
  const ULONG order[] = {0,  1,  2,  3,  4,  5,  6,  16, 17, 18, 20, 21, 22, 7,  8,  9,  10, 11, 19,
                         23, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36};
  const ULONG getOnly[] = {0, 12, 14, 24, 34, 36};
  const ULONG setOnly[] = {3, 6, 10, 11, 13, 15, 18, 19, 22, 23, 25, 35};
  const ULONG valueForm[] = {12, 13, 14, 15, 24, 25, 26, 27, 28, 34, 35, 36};
  auto in = [](const auto& list, ULONG id) {
    for (ULONG x : list) {
      if (x == id) return true;
    }
    return false;
  };
  for (ULONG i = 0; i < VENDOR_PROPERTY_COUNT; i++) {
    const KSPROPERTY_ITEM& item = VENDOR_PROPERTY_TABLE[i];
    SCOPED_TRACE(item.PropertyId);
    EXPECT_EQ(item.PropertyId, order[i]);
    EXPECT_EQ(bool(item.GetSupported), !in(setOnly, item.PropertyId));
    EXPECT_EQ(bool(item.SetSupported), !in(getOnly, item.PropertyId));
    const ULONG size = in(valueForm, item.PropertyId) ? 4 : 32;
    EXPECT_EQ(item.MinProperty, size);
    EXPECT_EQ(item.MinData, size);
    EXPECT_EQ(item.Values, nullptr);
  }
}

// --- Data intersection ------------------------------------------------------------------------

constexpr ULONG kFormatBytes = sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER);

TEST_F(CoreTest, IntersectionSizeQueryAnswers152Bytes) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    KS_DATARANGE_VIDEO range = R640;
    std::vector<uint8_t> format;
    Device::Result result = device.Intersect(0, &range, sizeof range, 0, &format);
    EXPECT_EQ(result.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result.actualBytes, 152u);
    EXPECT_EQ(kFormatBytes, 152u);
    EXPECT_TRUE(format.empty());
  });
}

TEST_F(CoreTest, IntersectionRefusesShortBuffersWithoutWriting) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    for (ULONG bytes : {4u, 64u, 151u}) {
      SCOPED_TRACE(bytes);
      KS_DATARANGE_VIDEO range = R640;
      std::vector<uint8_t> format;
      // The stand-in checks the bytes behind the answer; nothing may be written at all here.
      Device::Result result = device.Intersect(0, &range, sizeof range, bytes, &format);
      EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
      EXPECT_TRUE(format.empty());
    }
  });
}

TEST_F(CoreTest, IntersectionBuildsTheFormatOfTheMatchingRange) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    for (ULONG i = 0; i < 6; i++) {
      const KS_DATARANGE_VIDEO& ours = RangeAt(CATALOGUE_SIX_SIZES[0], i);
      SCOPED_TRACE(ours.VideoInfoHeader.bmiHeader.biWidth);
      KS_DATARANGE_VIDEO range = ours;
      range.DataRange.SampleSize = 1;  // not compared, replaced in the answer
      range.VideoInfoHeader.bmiHeader.biSizeImage = 7;
      range.VideoInfoHeader.dwBitErrorRate = 5;  // carried over as it is
      std::vector<uint8_t> format;
      Device::Result result = device.Intersect(0, &range, sizeof range, 200, &format);
      ASSERT_EQ(result.status, STATUS_SUCCESS);
      ASSERT_EQ(result.actualBytes, kFormatBytes);
      ASSERT_EQ(format.size(), kFormatBytes);
      auto* head = reinterpret_cast<const KSDATAFORMAT*>(format.data());
      auto* video = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format.data() + 64);
      EXPECT_EQ(head->FormatSize, kFormatBytes);
      EXPECT_EQ(head->SampleSize, ours.DataRange.SampleSize);
      EXPECT_EQ(std::memcmp(&head->MajorFormat, &ours.DataRange.MajorFormat, 48), 0);
      EXPECT_EQ(video->bmiHeader.biSizeImage, ours.VideoInfoHeader.bmiHeader.biSizeImage);
      EXPECT_EQ(video->dwBitErrorRate, 5u);
      KS_VIDEOINFOHEADER expected = range.VideoInfoHeader;
      expected.bmiHeader.biSizeImage = ours.VideoInfoHeader.bmiHeader.biSizeImage;
      EXPECT_EQ(std::memcmp(video, &expected, sizeof expected), 0);
    }
  });
}

TEST_F(CoreTest, IntersectionImageSizeFollowsTheCallersBitCount) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    struct {
      WORD bits;
      ULONG image;
    } cases[] = {{12, 640 * 12 / 8 * 480}, {24, 640 * 3 * 480}, {1, 80 * 480}, {0, 0},
                 // Rows padded to 32 bits: 640 x 3 bits = 1920 bits = 240 bytes.
                 {3, 240 * 480}};
    for (const auto& c : cases) {
      SCOPED_TRACE(c.bits);
      KS_DATARANGE_VIDEO range = R640;
      range.VideoInfoHeader.bmiHeader.biBitCount = c.bits;
      std::vector<uint8_t> format;
      ASSERT_EQ(device.Intersect(0, &range, sizeof range, kFormatBytes, &format).status,
                STATUS_SUCCESS);
      auto* head = reinterpret_cast<const KSDATAFORMAT*>(format.data());
      auto* video = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format.data() + 64);
      EXPECT_EQ(head->SampleSize, c.image);
      EXPECT_EQ(video->bmiHeader.biSizeImage, c.image);
    }
  });
}

TEST_F(CoreTest, IntersectionAdjustsTheFrameIntervalAndBitRateInPlace) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    struct {
      const char* name;
      LONGLONG interval;
      DWORD bitRate;
      DWORD expectedBitRate;
    } cases[] = {
        {"slower than the range", 666666, 1, 640 * 480 * 480},
        {"much slower, 64-bit", 0x7FFFFFFFFFFFll, 1, 640 * 480 * 480},
        {"faster than the range", 100000, 1, 640 * 480 * 480},
        {"negative", -5, 1, 640 * 480 * 480},
        {"exactly the range", 333333, 12345, 12345},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      KS_DATARANGE_VIDEO range = R640;
      range.VideoInfoHeader.AvgTimePerFrame = c.interval;
      range.VideoInfoHeader.dwBitRate = c.bitRate;
      std::vector<uint8_t> format;
      ASSERT_EQ(device.Intersect(0, &range, sizeof range, kFormatBytes, &format).status,
                STATUS_SUCCESS);
      auto* video = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format.data() + 64);
      EXPECT_EQ(video->AvgTimePerFrame, 333333);
      EXPECT_EQ(video->dwBitRate, c.expectedBitRate);
      // The caller's range was changed the same way.
      EXPECT_EQ(range.VideoInfoHeader.AvgTimePerFrame, 333333);
      EXPECT_EQ(range.VideoInfoHeader.dwBitRate, c.expectedBitRate);
    }
  });
}

TEST_F(CoreTest, IntersectionMatchesNothingThatDiffersInACompareField) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    using Change = void (*)(KS_DATARANGE_VIDEO&);
    struct {
      const char* name;
      Change change;
    } changes[] = {
        {"major format", [](KS_DATARANGE_VIDEO& r) { r.DataRange.MajorFormat.Data1 ^= 1; }},
        {"subformat", [](KS_DATARANGE_VIDEO& r) { r.DataRange.SubFormat.Data4[7] ^= 1; }},
        {"specifier", [](KS_DATARANGE_VIDEO& r) { r.DataRange.Specifier.Data2 ^= 1; }},
        {"format size", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize -= 1; }},
        {"fixed size samples", [](KS_DATARANGE_VIDEO& r) { r.bFixedSizeSamples = FALSE; }},
        {"temporal compression", [](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = 2; }},
        {"stream description", [](KS_DATARANGE_VIDEO& r) { r.StreamDescriptionFlags = 1; }},
        {"memory allocation", [](KS_DATARANGE_VIDEO& r) { r.MemoryAllocationFlags = 1; }},
        {"width", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = 641; }},
        {"height", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biHeight = -480; }},
    };
    for (const auto& c : changes) {
      SCOPED_TRACE(c.name);
      KS_DATARANGE_VIDEO range = R640;
      c.change(range);
      std::vector<uint8_t> format;
      EXPECT_EQ(device.Intersect(0, &range, sizeof range, kFormatBytes, &format).status,
                STATUS_NO_MATCH);
    }
    // Every single byte of the configuration caps.
    for (size_t offset = 0; offset < sizeof(KS_VIDEO_STREAM_CONFIG_CAPS); offset++) {
      KS_DATARANGE_VIDEO range = R640;
      reinterpret_cast<uint8_t*>(&range.ConfigCaps)[offset] ^= 0x01;
      std::vector<uint8_t> format;
      EXPECT_EQ(device.Intersect(0, &range, sizeof range, kFormatBytes, &format).status,
                STATUS_NO_MATCH)
          << "caps byte " << offset;
    }
  });
}

TEST_F(CoreTest, IntersectionUnderTheOneSizeCatalogue) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 32);
    KS_DATARANGE_VIDEO big = R640;
    std::vector<uint8_t> format;
    EXPECT_EQ(device.Intersect(0, &big, sizeof big, kFormatBytes, &format).status,
              STATUS_NO_MATCH);
    KS_DATARANGE_VIDEO small = R160;
    EXPECT_EQ(device.Intersect(0, &small, sizeof small, kFormatBytes, &format).status,
              STATUS_SUCCESS);
  });
}

TEST_F(CoreTest, IntersectionForAStreamOutsideTheCatalogue) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    KS_DATARANGE_VIDEO range = R640;
    std::vector<uint8_t> buffer(kFormatBytes);
    STREAM_DATA_INTERSECT_INFO info{1, &range.DataRange, buffer.data(), kFormatBytes};
    Device::Result result = device.SendDeviceRequest(
        SRB_GET_DATA_INTERSECTION,
        [&](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.IntersectInfo = &info; });
    EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED);
  });
}

TEST_F(CoreTest, IntersectionNeverReadsOrWritesPastTheRangeOrTheFormat) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    // A bare 64-byte range: its size alone rules it out, and nothing behind it is read (the
    // buffer is exactly 64 bytes, so a sanitizer build would catch a read past it).
    std::vector<uint8_t> bare(sizeof(KSDATARANGE));
    std::memcpy(bare.data(), &R640.DataRange, sizeof(KSDATARANGE));
    reinterpret_cast<KSDATARANGE*>(bare.data())->FormatSize = sizeof(KSDATARANGE);
    std::vector<uint8_t> format;
    EXPECT_EQ(device.Intersect(0, bare.data(), ULONG(bare.size()), kFormatBytes, &format).status,
              STATUS_NO_MATCH);
    // A bitmap header that claims more bytes than the range holds, or fewer than a bitmap
    // header has: the copy would leave the range, or the image size would land past the format.
    for (DWORD biSize : {41u, 0xFFFFFFF0u, 24u, 0u}) {
      SCOPED_TRACE(biSize);
      KS_DATARANGE_VIDEO range = R640;
      range.VideoInfoHeader.bmiHeader.biSize = biSize;
      EXPECT_EQ(device.Intersect(0, &range, sizeof range, 4096, &format).status,
                STATUS_NO_MATCH);
      EXPECT_EQ(device.Intersect(0, &range, sizeof range, 0, &format).status, STATUS_NO_MATCH);
    }
  });
}

// --- Format check ---------------------------------------------------------------------------

struct VideoFormat {
  KSDATAFORMAT head;
  KS_VIDEOINFOHEADER video;
};

VideoFormat FormatOf(const KS_DATARANGE_VIDEO& range) {
  VideoFormat format{};
  format.head = range.DataRange;
  format.head.FormatSize = sizeof(VideoFormat);
  format.video = range.VideoInfoHeader;
  return format;
}

TEST_F(CoreTest, FormatCheckCases) {
  struct {
    const char* name;
    bool oneSize;
    ULONG stream;
    void (*change)(VideoFormat&);
    bool expected;
  } cases[] = {
      {"640x480 as offered", false, 0, [](VideoFormat&) {}, true},
      {"image one byte larger", false, 0,
       [](VideoFormat& f) { f.video.bmiHeader.biSizeImage = 614401; }, false},
      {"12 bits per pixel, image of 614400", false, 0,
       [](VideoFormat& f) { f.video.bmiHeader.biBitCount = 12; }, true},
      {"another compression", false, 0,
       [](VideoFormat& f) { f.video.bmiHeader.biCompression = 0; }, true},
      {"another subtype", false, 0, [](VideoFormat& f) { f.head.SubFormat.Data1 = 0; }, false},
      {"another major type", false, 0, [](VideoFormat& f) { f.head.MajorFormat.Data1 = 0; },
       false},
      {"another specifier", false, 0, [](VideoFormat& f) { f.head.Specifier.Data1 = 0; }, false},
      {"width of another size", false, 0,
       [](VideoFormat& f) { f.video.bmiHeader.biWidth = 800; }, false},
      {"a bottom-up height", false, 0,
       [](VideoFormat& f) { f.video.bmiHeader.biHeight = -480; }, false},
      {"stream 1", false, 1, [](VideoFormat&) {}, false},
      {"640x480 with the one-size catalogue", true, 0, [](VideoFormat&) {}, false},
      {"format one byte too short for the headers", false, 0,
       [](VideoFormat& f) { f.head.FormatSize = sizeof(VideoFormat) - 1; }, false},
      {"bitmap header shorter than its record", false, 0,
       [](VideoFormat& f) { f.video.bmiHeader.biSize = 39; }, false},
      {"bitmap header beyond the format", false, 0,
       [](VideoFormat& f) { f.video.bmiHeader.biSize = 41; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DEVICE_CONTEXT device{};
    device.PacketsPerTransfer = c.oneSize ? 32 : 256;
    SelectCatalogue(&device);
    VideoFormat format = FormatOf(R640);
    c.change(format);
    EXPECT_EQ(bool(IsFormatSupported(&format.head, c.stream)), c.expected);
  }
  // Every offered size passes under its catalogue; 160x120 under both.
  DEVICE_CONTEXT highSpeed{};
  highSpeed.PacketsPerTransfer = 256;
  SelectCatalogue(&highSpeed);
  for (const KS_DATARANGE_VIDEO* range : {&R640, &R1280, &R1024, &R800, &R320, &R160}) {
    VideoFormat format = FormatOf(*range);
    EXPECT_TRUE(IsFormatSupported(&format.head, 0));
  }
  DEVICE_CONTEXT fullSpeed{};
  fullSpeed.PacketsPerTransfer = 32;
  SelectCatalogue(&fullSpeed);
  VideoFormat small = FormatOf(R160);
  EXPECT_TRUE(IsFormatSupported(&small.head, 0));
  ResetCatalogue();
}

}  // namespace
}  // namespace lumo::drivertest
