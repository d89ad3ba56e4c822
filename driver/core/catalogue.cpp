// The stream catalogue: the six video data ranges, the two stream information tables (six sizes
// for a high-speed camera, 160x120 for any other), the stream's and the device's property and
// event tables, the filter topology, and the answer to SRB_GET_STREAM_INFO.
//
// Everything here is constant data built at compile time (no static constructor), except the two
// driver-wide catalogue variables, which device start sets before the stream class asks for the
// stream information.
#include "core/lumocam.h"

namespace {

// 30 frames per second, in 100-ns units.
constexpr LONGLONG FRAME_INTERVAL_30FPS = 333333;
// Bits per pixel of YUY2, and the bit rates per pixel of the ranges: 16 bits x 30 frames, and
// the slightly lower rate the video info header states.
constexpr WORD YUY2_BIT_COUNT = 16;
constexpr LONG BITS_PER_SECOND_PER_PIXEL = 480;
constexpr DWORD BIT_RATE_PER_PIXEL = 479;

constexpr SIZE Size(LONG Width, LONG Height) {
  SIZE size{};
  size.cx = Width;
  size.cy = Height;
  return size;
}

// A YUY2 capture range of one fixed frame size at 30 frames per second.
constexpr KS_DATARANGE_VIDEO Yuy2Range(LONG Width, LONG Height) {
  const ULONG imageBytes = (ULONG)(Width * Height * (YUY2_BIT_COUNT / 8));
  KS_DATARANGE_VIDEO range{};
  range.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  range.DataRange.Flags = 0;
  range.DataRange.SampleSize = imageBytes;
  range.DataRange.Reserved = 0;
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  range.DataRange.SubFormat = MEDIASUBTYPE_YUY2;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  range.bFixedSizeSamples = TRUE;
  range.bTemporalCompression = TRUE;
  range.StreamDescriptionFlags = KS_VIDEOSTREAM_CAPTURE;
  range.MemoryAllocationFlags = 0;

  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
  caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  caps.VideoStandard = KS_AnalogVideo_None;
  caps.InputSize = Size(Width, Height);
  caps.MinCroppingSize = Size(Width, Height);
  caps.MaxCroppingSize = Size(Width, Height);
  caps.CropGranularityX = 1;
  caps.CropGranularityY = 1;
  caps.CropAlignX = 1;
  caps.CropAlignY = 1;
  caps.MinOutputSize = Size(Width, Height);
  caps.MaxOutputSize = Size(Width, Height);
  caps.OutputGranularityX = 1;
  caps.OutputGranularityY = 1;
  caps.StretchTapsX = 0;
  caps.StretchTapsY = 0;
  caps.ShrinkTapsX = 0;
  caps.ShrinkTapsY = 0;
  caps.MinFrameInterval = FRAME_INTERVAL_30FPS;
  caps.MaxFrameInterval = FRAME_INTERVAL_30FPS;
  caps.MinBitsPerSecond = Width * Height * BITS_PER_SECOND_PER_PIXEL;
  caps.MaxBitsPerSecond = Width * Height * BITS_PER_SECOND_PER_PIXEL;

  KS_VIDEOINFOHEADER& info = range.VideoInfoHeader;
  info.dwBitRate = (DWORD)(Width * Height) * BIT_RATE_PER_PIXEL;
  info.dwBitErrorRate = 0;
  info.AvgTimePerFrame = FRAME_INTERVAL_30FPS;
  info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  info.bmiHeader.biWidth = Width;
  info.bmiHeader.biHeight = Height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = YUY2_BIT_COUNT;
  info.bmiHeader.biCompression = FOURCC_YUY2;
  info.bmiHeader.biSizeImage = imageBytes;
  return range;
}

}  // namespace

constinit const KS_DATARANGE_VIDEO R640 = Yuy2Range(640, 480);
constinit const KS_DATARANGE_VIDEO R1280 = Yuy2Range(1280, 960);
constinit const KS_DATARANGE_VIDEO R1024 = Yuy2Range(1024, 768);
constinit const KS_DATARANGE_VIDEO R800 = Yuy2Range(800, 600);
constinit const KS_DATARANGE_VIDEO R320 = Yuy2Range(320, 240);
constinit const KS_DATARANGE_VIDEO R160 = Yuy2Range(160, 120);

namespace {

constinit const KSDATAFORMAT* const SIX_SIZE_FORMATS[] = {
    &R640.DataRange, &R1280.DataRange, &R1024.DataRange,
    &R800.DataRange, &R320.DataRange,  &R160.DataRange,
};
constinit const KSDATAFORMAT* const ONE_SIZE_FORMATS[] = {
    &R160.DataRange,
};

// The stream's properties: the allocator framing of the connection and the dropped frames.
constinit const KSPROPERTY_ITEM CONNECTION_PROPERTY_ITEMS[] = {
    DeclarePropertyItem(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, TRUE, FALSE,
                        sizeof(KSPROPERTY), sizeof(KSALLOCATOR_FRAMING), NULL, sizeof(ULONG)),
};
constinit const KSPROPERTY_ITEM DROPPED_FRAMES_PROPERTY_ITEMS[] = {
    DeclarePropertyItem(KSPROPERTY_DROPPEDFRAMES_CURRENT, TRUE, FALSE,
                        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), NULL, 0),
};

constexpr KSPROPERTY_SET PropertySet(const GUID* Set, ULONG Count, const KSPROPERTY_ITEM* Items) {
  KSPROPERTY_SET set{};
  set.Set = Set;
  set.PropertiesCount = Count;
  set.PropertyItem = Items;
  set.FastIoCount = 0;
  set.FastIoTable = NULL;
  return set;
}

constexpr HW_STREAM_INFORMATION CaptureStream(ULONG FormatCount,
                                              const KSDATAFORMAT* const* Formats) {
  HW_STREAM_INFORMATION info{};
  info.NumberOfPossibleInstances = 1;
  info.DataFlow = KSPIN_DATAFLOW_OUT;
  info.DataAccessible = TRUE;
  info.NumberOfFormatArrayEntries = FormatCount;
  info.StreamFormatsArray = Formats;
  info.NumStreamPropArrayEntries = STREAM_PROPERTY_SET_COUNT;
  info.StreamPropertiesArray = STREAM_PROPERTY_TABLE;
  info.NumStreamEventArrayEntries = 0;
  info.StreamEventsArray = NULL;
  info.Category = &PINNAME_VIDEO_CAPTURE;
  info.Name = &PINNAME_VIDEO_CAPTURE;
  info.MediumsCount = 0;
  info.Mediums = NULL;
  info.BridgeStream = FALSE;
  return info;
}

constexpr KSEVENT_ITEM StillTriggerEvent() {
  KSEVENT_ITEM item{};
  item.EventId = KSEVENT_VIDCAPTOSTI_EXT_TRIGGER;
  item.DataInput = 0;
  item.ExtraEntryData = 0;
  item.AddHandler = NULL;
  item.RemoveHandler = NULL;
  item.SupportHandler = NULL;
  return item;
}
constinit const KSEVENT_ITEM STILL_EVENT_ITEMS[] = {StillTriggerEvent()};

constinit const GUID FILTER_CATEGORIES[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

}  // namespace

constinit const KSPROPERTY_SET STREAM_PROPERTY_TABLE[STREAM_PROPERTY_SET_COUNT] = {
    PropertySet(&KSPROPSETID_Connection, 1, CONNECTION_PROPERTY_ITEMS),
    PropertySet(&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, DROPPED_FRAMES_PROPERTY_ITEMS),
};

constinit const KSPROPERTY_SET DEVICE_PROPERTY_TABLE[DEVICE_PROPERTY_SET_COUNT] = {
    PropertySet(&PROPSETID_VENDOR_CAMERA, VENDOR_PROPERTY_COUNT, VENDOR_PROPERTY_TABLE),
    PropertySet(&PROPSETID_VIDCAP_VIDEOPROCAMP, PROCAMP_PROPERTY_COUNT, PROCAMP_PROPERTY_TABLE),
};

constinit const KSEVENT_SET DEVICE_EVENT_TABLE[DEVICE_EVENT_SET_COUNT] = {
    {&KSEVENTSETID_VIDCAPTOSTI, 1, STILL_EVENT_ITEMS},
};

constinit const KSTOPOLOGY FILTER_TOPOLOGY = {
    2, FILTER_CATEGORIES, 0, NULL, 0, NULL, NULL, 0,
};

constinit const HW_STREAM_INFORMATION CATALOGUE_SIX_SIZES[1] = {
    CaptureStream(6, SIX_SIZE_FORMATS),
};
constinit const HW_STREAM_INFORMATION CATALOGUE_ONE_SIZE[1] = {
    CaptureStream(1, ONE_SIZE_FORMATS),
};

constinit const HW_STREAM_INFORMATION* Catalogue = CATALOGUE_SIX_SIZES;
constinit ULONG CatalogueCount = 1;

// PASSIVE_LEVEL; reads only PacketsPerTransfer, which configuration has set.
BOOLEAN IsHighSpeedConfiguration(const DEVICE_CONTEXT* Device) {
  return Device->PacketsPerTransfer == 256 ? TRUE : FALSE;
}

// PASSIVE_LEVEL, at device start, before the stream class asks for the stream information.
// With two cameras the one started last decides for both: the catalogue is driver-wide.
void SelectCatalogue(const DEVICE_CONTEXT* Device) {
  Catalogue = IsHighSpeedConfiguration(Device) ? CATALOGUE_SIX_SIZES : CATALOGUE_ONE_SIZE;
  CatalogueCount = 1;
}

// Accepts every enable and disable of the still-button event; the event is signalled by the
// interrupt-pipe reads of the pipe interface. Any IRQL.
NTSTATUS STREAMAPI DeviceEventRoutine(PHW_EVENT_DESCRIPTOR EventDescriptor) {
  UNREFERENCED_PARAMETER(EventDescriptor);
  return STATUS_SUCCESS;
}

// SRB_GET_STREAM_INFO. The stream class hands over a buffer of the StreamDescriptorSize reported
// at start-up (a header and StreamCount stream information records). PASSIVE_LEVEL; reads the
// constant tables and the catalogue variables only.
void GetStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb) {
  PDEVICE_CONTEXT device = static_cast<PDEVICE_CONTEXT>(Srb->HwDeviceExtension);
  PHW_STREAM_HEADER header = &Srb->CommandData.StreamBuffer->StreamHeader;
  PHW_STREAM_INFORMATION info = &Srb->CommandData.StreamBuffer->StreamInfo;

  header->NumberOfStreams = CatalogueCount;
  RtlCopyMemory(info, Catalogue, CatalogueCount * sizeof(HW_STREAM_INFORMATION));
  header->NumDevPropArrayEntries = DEVICE_PROPERTY_SET_COUNT;
  header->DevicePropertiesArray = DEVICE_PROPERTY_TABLE;
  header->SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
  header->NumberOfStreams = device->StreamCount;
  header->Topology = &FILTER_TOPOLOGY;
  if (device->CameraFlags & CAMERA_FLAG_DEVICE_EVENTS) {
    header->NumDevEventArrayEntries = DEVICE_EVENT_SET_COUNT;
    header->DeviceEventsArray = DEVICE_EVENT_TABLE;
    header->DeviceEventRoutine = DeviceEventRoutine;
  }
  Srb->Status = STATUS_SUCCESS;
}
