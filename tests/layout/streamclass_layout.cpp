// Sizes and offsets of the stream class and kernel streaming records that the stream class and the
// capture graph read byte for byte, as on x86.
#include <strmini.h>

#if defined(__i386__)
// The registration record, the stream information and its header.
static_assert(sizeof(HW_INITIALIZATION_DATA) == 60);
static_assert(sizeof(HW_STREAM_HEADER) == 40);
static_assert(sizeof(HW_STREAM_INFORMATION) == 80);
static_assert(sizeof(HW_STREAM_DESCRIPTOR) == 120);

// Identifiers and formats.
static_assert(sizeof(KSPROPERTY) == 24 && alignof(KSPROPERTY) == 8);
static_assert(sizeof(KSDATAFORMAT) == 64 && alignof(KSDATAFORMAT) == 8);
static_assert(sizeof(KSDATARANGE) == 64);

// The video data range: 64-bit fields on 8-byte boundaries as the platform lays them out.
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MaxFrameInterval) == 112);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond) == 120);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, bFixedSizeSamples) == 64);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader.AvgTimePerFrame) % 8 == 0);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps.MinFrameInterval) % 8 == 0);
// A format: the 64-byte head, the 48 bytes before the bitmap header, the bitmap header.
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 64 + 48 + 40);

// The stream header and the frame information behind it.
static_assert(sizeof(KSSTREAM_HEADER) == 48);
static_assert(offsetof(KSSTREAM_HEADER, PresentationTime) == 8);
static_assert(offsetof(KSSTREAM_HEADER, Duration) == 24);
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32);
static_assert(offsetof(KSSTREAM_HEADER, DataUsed) == 36);
static_assert(offsetof(KSSTREAM_HEADER, OptionsFlags) == 44);
static_assert(sizeof(KS_FRAME_INFO) == 64);
static_assert(offsetof(KS_FRAME_INFO, PictureNumber) == 8);
static_assert(offsetof(KS_FRAME_INFO, DropCount) == 16);

// Property records and tables.
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);
static_assert(sizeof(KSPROPERTY_ITEM) == 40);
static_assert(sizeof(KSPROPERTY_SET) == 20);
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);
static_assert(sizeof(KSEVENT_ITEM) == 24);
static_assert(sizeof(KSEVENT_SET) == 12);
static_assert(sizeof(KSTOPOLOGY) == 32);

// Command data of the requests.
static_assert(sizeof(STREAM_DATA_INTERSECT_INFO) == 16);
static_assert(sizeof(STREAM_PROPERTY_DESCRIPTOR) == 20);
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, CommandData) == 24);
#endif

// In every build: the command codes the minidriver dispatches on.
static_assert(SRB_GET_STREAM_INFO == 0x100 && SRB_SURPRISE_REMOVAL == 0x10E);
static_assert(SRB_PROPOSE_DATA_FORMAT == 0x0A && SRB_GET_DATA_FORMAT == 0x0E);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296 && sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
