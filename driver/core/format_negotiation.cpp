// Format negotiation: the data intersection that turns a client's proposed video range into a
// concrete format (SRB_GET_DATA_INTERSECTION), and the format check of open, propose and set.
//
// Ranges and formats come from clients and are untrusted. The stream class guarantees that the
// buffer it hands over holds FormatSize bytes; everything beyond the 64-byte head is read only
// after FormatSize (and, for the bitmap header, biSize) has shown that it is there.
#include "core/lumocam.h"

namespace {

// Bytes of a format: the KSDATAFORMAT head, the video info header before its bitmap header, and
// the bitmap header of BitmapHeaderSize bytes.
constexpr ULONG VIDEO_FORMAT_FIXED_BYTES = sizeof(KSDATAFORMAT) + KS_SIZE_PREHEADER;
constexpr ULONG MIN_VIDEO_FORMAT_BYTES = VIDEO_FORMAT_FIXED_BYTES + sizeof(KS_BITMAPINFOHEADER);

const KS_DATARANGE_VIDEO* RangeOf(const HW_STREAM_INFORMATION& Stream, ULONG Index) {
  return reinterpret_cast<const KS_DATARANGE_VIDEO*>(Stream.StreamFormatsArray[Index]);
}

bool SameMediaType(const KSDATARANGE& A, const KSDATARANGE& B) {
  return IsEqualGUIDAligned(A.MajorFormat, B.MajorFormat) &&
         IsEqualGUIDAligned(A.SubFormat, B.SubFormat) &&
         IsEqualGUIDAligned(A.Specifier, B.Specifier);
}

// The intersection's match: the caller's range C against one of ours, R. C's FormatSize is
// compared first: only a range of our own size is read any further.
bool RangeMatches(const KS_DATARANGE_VIDEO& C, const KS_DATARANGE_VIDEO& R) {
  if (C.DataRange.FormatSize != R.DataRange.FormatSize) return false;
  return SameMediaType(C.DataRange, R.DataRange) &&
         C.bFixedSizeSamples == R.bFixedSizeSamples &&
         C.bTemporalCompression == R.bTemporalCompression &&
         C.StreamDescriptionFlags == R.StreamDescriptionFlags &&
         C.MemoryAllocationFlags == R.MemoryAllocationFlags &&
         RtlEqualMemory(&C.ConfigCaps, &R.ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) &&
         C.VideoInfoHeader.bmiHeader.biWidth == R.VideoInfoHeader.bmiHeader.biWidth &&
         C.VideoInfoHeader.bmiHeader.biHeight == R.VideoInfoHeader.bmiHeader.biHeight;
}

// Image bytes of a DIB: rows padded to 32 bits, the height made positive. Computed in 64 bits:
// the bit count is the caller's and a large one would overflow 32-bit arithmetic.
ULONGLONG ImageBytes(const KS_BITMAPINFOHEADER& Header) {
  const ULONGLONG rowBits = (ULONGLONG)(ULONG)Header.biWidth * Header.biBitCount;
  const ULONGLONG rowBytes = ((rowBits + 31) / 8) & ~(ULONGLONG)3;
  const LONGLONG height = Header.biHeight;
  return rowBytes * (ULONGLONG)(height < 0 ? -height : height);
}

}  // namespace

// PASSIVE_LEVEL; reads the constant ranges and the catalogue variables. The caller's range is
// adjusted in place (frame interval and bit rate), as the capture graph expects of the answer.
NTSTATUS GetDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_DATA_INTERSECT_INFO intersect = Srb->CommandData.IntersectInfo;
  if (intersect->StreamNumber >= CatalogueCount) return STATUS_NOT_IMPLEMENTED;

  const HW_STREAM_INFORMATION& stream = Catalogue[intersect->StreamNumber];
  PKS_DATARANGE_VIDEO caller = reinterpret_cast<PKS_DATARANGE_VIDEO>(intersect->DataRange);
  const KS_DATARANGE_VIDEO* match = NULL;
  for (ULONG i = 0; i < stream.NumberOfFormatArrayEntries; i++) {
    if (RangeMatches(*caller, *RangeOf(stream, i))) {
      match = RangeOf(stream, i);
      break;
    }
  }
  if (match == NULL) return STATUS_NO_MATCH;

  // The bitmap header must be whole and inside the caller's range; otherwise the format would
  // be copied from beyond the range, or its image size written beyond the format.
  KS_VIDEOINFOHEADER& video = caller->VideoInfoHeader;
  const ULONG bitmapRoom = caller->DataRange.FormatSize -
                           (ULONG)FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader);
  if (video.bmiHeader.biSize < sizeof(KS_BITMAPINFOHEADER) || video.bmiHeader.biSize > bitmapRoom) {
    return STATUS_NO_MATCH;
  }

  const KS_VIDEO_STREAM_CONFIG_CAPS& caps = match->ConfigCaps;
  if (video.AvgTimePerFrame > caps.MaxFrameInterval) {
    video.AvgTimePerFrame = caps.MaxFrameInterval;
    video.dwBitRate = (DWORD)caps.MinBitsPerSecond;
  }
  if (video.AvgTimePerFrame < caps.MinFrameInterval) {
    video.AvgTimePerFrame = caps.MinFrameInterval;
    video.dwBitRate = (DWORD)caps.MaxBitsPerSecond;
  }

  const ULONG formatBytes = VIDEO_FORMAT_FIXED_BYTES + video.bmiHeader.biSize;
  if (intersect->SizeOfDataFormatBuffer == 0) {
    Srb->ActualBytesTransferred = formatBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (intersect->SizeOfDataFormatBuffer < formatBytes) return STATUS_BUFFER_TOO_SMALL;

  const ULONGLONG imageBytes = ImageBytes(video.bmiHeader);
  if (imageBytes > 0xFFFFFFFFull) return STATUS_NO_MATCH;

  PUCHAR out = static_cast<PUCHAR>(intersect->DataFormatBuffer);
  RtlCopyMemory(out, &caller->DataRange, sizeof(KSDATARANGE));
  PKSDATAFORMAT format = reinterpret_cast<PKSDATAFORMAT>(out);
  format->FormatSize = formatBytes;
  RtlCopyMemory(out + sizeof(KSDATAFORMAT), &video, KS_SIZE_PREHEADER + video.bmiHeader.biSize);
  PKS_VIDEOINFOHEADER outVideo = reinterpret_cast<PKS_VIDEOINFOHEADER>(out + sizeof(KSDATAFORMAT));
  format->SampleSize = (ULONG)imageBytes;
  outVideo->bmiHeader.biSizeImage = (ULONG)imageBytes;

  Srb->ActualBytesTransferred = formatBytes;
  return STATUS_SUCCESS;
}

// Any IRQL up to DISPATCH_LEVEL; reads the constant ranges and the catalogue variables.
BOOLEAN IsFormatSupported(const KSDATAFORMAT* Format, ULONG StreamNumber) {
  if (StreamNumber >= CatalogueCount) return FALSE;
  // The video info header and a whole bitmap header of biSize bytes must lie inside FormatSize:
  // the open copies 48 + biSize bytes of it.
  if (Format->FormatSize < MIN_VIDEO_FORMAT_BYTES) return FALSE;
  const KS_VIDEOINFOHEADER* video = reinterpret_cast<const KS_VIDEOINFOHEADER*>(
      reinterpret_cast<const UCHAR*>(Format) + sizeof(KSDATAFORMAT));
  if (video->bmiHeader.biSize < sizeof(KS_BITMAPINFOHEADER) ||
      video->bmiHeader.biSize > Format->FormatSize - VIDEO_FORMAT_FIXED_BYTES) {
    return FALSE;
  }

  const HW_STREAM_INFORMATION& stream = Catalogue[StreamNumber];
  for (ULONG i = 0; i < stream.NumberOfFormatArrayEntries; i++) {
    const KS_DATARANGE_VIDEO& range = *RangeOf(stream, i);
    const KS_BITMAPINFOHEADER& ours = range.VideoInfoHeader.bmiHeader;
    if (SameMediaType(*Format, range.DataRange) && video->bmiHeader.biWidth == ours.biWidth &&
        video->bmiHeader.biHeight == ours.biHeight &&
        video->bmiHeader.biSizeImage == ours.biSizeImage) {
      return TRUE;
    }
  }
  return FALSE;
}
