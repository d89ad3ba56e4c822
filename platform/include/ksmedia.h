// Kernel streaming media records for video capture as the platform defines them: the video data
// range and its parts (stream configuration caps, video info header, bitmap header), the frame
// information that follows each video stream header, the video capture property and event sets
// our code names, and the media GUIDs of uncompressed video.
//
// Our own declarations of the platform's names, with the platform's x86 layouts: the capture graph
// reads these records byte for byte. Only what our code uses is here.
#pragma once

#include <ks.h>

// Rectangles and sizes, as the platform's window definitions give them.
#if !defined(_WINDEF_) && !defined(LUMO_RECT_DEFINED)
#define LUMO_RECT_DEFINED
typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT;
typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE, *PSIZE;
#endif

typedef LONGLONG REFERENCE_TIME;

// Four-character codes, first character in the low byte.
#define LUMO_FOURCC(a, b, c, d) \
  ((DWORD)(BYTE)(a) | ((DWORD)(BYTE)(b) << 8) | ((DWORD)(BYTE)(c) << 16) | ((DWORD)(BYTE)(d) << 24))
#define FOURCC_YUY2 LUMO_FOURCC('Y', 'U', 'Y', '2')
#define FOURCC_I420 LUMO_FOURCC('I', '4', '2', '0')

// ---------------------------------------------------------------------------------------------
// Media types of uncompressed video.
LUMO_GUID(KSDATAFORMAT_TYPE_VIDEO, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38,
          0x9B, 0x71);
LUMO_GUID(MEDIASUBTYPE_YUY2, 0x32595559, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
          0x71);
LUMO_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO, 0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA,
          0x00, 0x55, 0x59, 0x5A);

// Pin names.
LUMO_GUID(PINNAME_VIDEO_CAPTURE, 0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC,
          0x16, 0xBA);

// ---------------------------------------------------------------------------------------------
// The video format: a bitmap header inside a video info header.
typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

#define KS_BI_RGB 0L

typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

// Bytes of a video info header before its bitmap header; the whole header is this plus biSize.
#define KS_SIZE_PREHEADER (FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader))
#define KS_SIZE_VIDEOHEADER(pbmi) ((pbmi)->bmiHeader.biSize + KS_SIZE_PREHEADER)

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

// ---------------------------------------------------------------------------------------------
// Stream configuration caps of a video range.
typedef enum {
  KS_AnalogVideo_None = 0x00000000,
  KS_AnalogVideo_NTSC_M = 0x00000001,
  KS_AnalogVideo_PAL_B = 0x00000010,
} KS_AnalogVideoStandard;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

#define KS_VIDEOSTREAM_PREVIEW 0x0001
#define KS_VIDEOSTREAM_CAPTURE 0x0002
#define KS_VIDEOSTREAM_VBI 0x0010
#define KS_VIDEOSTREAM_NABTS 0x0020
#define KS_VIDEOSTREAM_CC 0x0100
#define KS_VIDEOSTREAM_EDS 0x0200
#define KS_VIDEOSTREAM_TELETEXT 0x0400
#define KS_VIDEOSTREAM_STILL 0x1000
#define KS_VIDEOSTREAM_IS_VPE 0x8000

// A video data range: the range head, the stream's properties, its configuration caps and the
// video info header of the format it produces.
typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

// ---------------------------------------------------------------------------------------------
// Frame information, the media-specific extension behind each video stream header.
typedef struct tagKS_FRAME_INFO {
  ULONG ExtendedHeaderSize;
  DWORD dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  HANDLE hDirectDraw;
  HANDLE hSurfaceHandle;
  RECT DirectDrawRect;
  DWORD Reserved1;
  DWORD Reserved2;
  DWORD Reserved3;
  DWORD Reserved4;
} KS_FRAME_INFO, *PKS_FRAME_INFO;

#define KS_VIDEO_FLAG_FRAME 0x0000L
#define KS_VIDEO_FLAG_FIELD1 0x0001L
#define KS_VIDEO_FLAG_FIELD2 0x0002L
#define KS_VIDEO_FLAG_I_FRAME 0x0000L
#define KS_VIDEO_FLAG_P_FRAME 0x0010L
#define KS_VIDEO_FLAG_B_FRAME 0x0020L

// ---------------------------------------------------------------------------------------------
// Dropped frames of a capture pin.
LUMO_GUID(PROPSETID_VIDCAP_DROPPEDFRAMES, 0xC6E13344, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0,
          0xC9, 0x11, 0x89, 0x56);

typedef enum {
  KSPROPERTY_DROPPEDFRAMES_CURRENT,
} KSPROPERTY_VIDCAP_DROPPEDFRAMES;

typedef struct {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;

// ---------------------------------------------------------------------------------------------
// Proc-amp controls of a capture filter.
LUMO_GUID(PROPSETID_VIDCAP_VIDEOPROCAMP, 0xC6E13360, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9,
          0x11, 0x89, 0x56);

typedef enum {
  KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
  KSPROPERTY_VIDEOPROCAMP_CONTRAST,
  KSPROPERTY_VIDEOPROCAMP_HUE,
  KSPROPERTY_VIDEOPROCAMP_SATURATION,
  KSPROPERTY_VIDEOPROCAMP_SHARPNESS,
  KSPROPERTY_VIDEOPROCAMP_GAMMA,
  KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
  KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION,
  KSPROPERTY_VIDEOPROCAMP_GAIN,
} KSPROPERTY_VIDCAP_VIDEOPROCAMP;

typedef struct {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;

#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0x0001L
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0x0002L

// ---------------------------------------------------------------------------------------------
// The still-image trigger of a capture device.
LUMO_GUID(KSEVENTSETID_VIDCAPTOSTI, 0xDB47DE20, 0xF628, 0x11D1, 0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D,
          0x2B, 0x05);

typedef enum {
  KSEVENT_VIDCAPTOSTI_EXT_TRIGGER,
} KSEVENT_VIDCAPTOSTI;
