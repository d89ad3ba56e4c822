// The camera's video data: ProcessPacket reads the 16-byte header of each isochronous packet for
// the engine (frame boundaries, frames to drop, the snapshot button's status byte), and
// ProcessRawFrame turns an assembled raw frame (the first packet whole, then the image data of
// the others) into the delivered frame, by copy or by the bilinear upscale of the camera's
// 640x480 frame.
#include "core/lumocam.h"
#include "datapath/camera_ops.h"
#include "datapath/frame_conversion.h"
#include "datapath/scaler.h"

#include <ksmedia.h>

// The delivered sizes produced by scaling the camera's 640x480 frame (its image data starts
// after the header of the frame's first packet). Constants: the same factor both ways.
static const IMAGE_SIZE CameraImageSize = {CAMERA_IMAGE_ELEMENTS, CAMERA_IMAGE_ROWS};
static const IMAGE_RECT CameraImageRect = {0, 0, CAMERA_IMAGE_ELEMENTS, CAMERA_IMAGE_ROWS};

const UPSCALE_ENTRY UPSCALE_TABLE[UPSCALE_TABLE_ENTRIES] = {
    {800, 600, {400, 600}, 1600, 1.25},
    {1024, 768, {512, 768}, 2048, 1.6},
    {1280, 960, {640, 960}, 2560, 2.0},
};

const UPSCALE_ENTRY* FindUpscaleEntry(LONG width, LONG height) {
  for (ULONG entry = 0; entry < UPSCALE_TABLE_ENTRIES; entry++) {
    if (UPSCALE_TABLE[entry].DeliveredWidth == width &&
        UPSCALE_TABLE[entry].DeliveredHeight == height) {
      return &UPSCALE_TABLE[entry];
    }
  }
  return NULL;
}

/*
 * ProcessPacket: in the transfer completion path, normally at DISPATCH_LEVEL, with the stream's
 * CurrentReadLock held by the engine. Constant work, no allocation, never fails: a bad packet
 * becomes the drop flag and a payload of 0. Returns the payload length; PayloadOffset is where
 * the payload starts in the packet.
 *
 * DiscardFrameCount, DropWindowStart and the status fields have no lock of their own: the mirror
 * setting and the RUN transition write them from PASSIVE_LEVEL, and a lost update only shifts
 * which frame is dropped.
 */
ULONG ProcessPacket(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                    PULONG CurrentFrameContext, PUSBD_ISO_PACKET_DESCRIPTOR AuxPacket,
                    PVOID AuxBuffer, PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                    PBOOLEAN NewFrame, PULONG PacketFlags, PULONG PayloadOffset) {
  *PayloadOffset = 0;
  *PacketFlags = 0;
  *NewFrame = FALSE;
  if (DataPacket == NULL || DataBuffer == NULL) {
    *PacketFlags = PACKET_FLAG_DROP_FRAME;
    Device->DiscardFrameCount = DISCARD_FRAMES_AFTER_BAD_PACKET;
    return 0;
  }
  const UCHAR* packet = (const UCHAR*)DataBuffer;
  ULONG length = DataPacket->Length;

  // The status byte is tracked from every packet that holds one, whatever its status. A packet
  // too short to reach it says nothing about the button: what lies there is an older packet's.
  if (length > PACKET_STATUS_OFFSET) {
    USHORT status = packet[PACKET_STATUS_OFFSET];
    if (Device->StatusByte != 0 && Device->StatusByte != status) {
      if (status < Device->StatusByte) {
        Device->StatusFallBits = (USHORT)(Device->StatusByte ^ status);
      } else {
        Device->StatusRiseBits = (USHORT)(Device->StatusByte ^ status);
      }
    }
    Device->StatusByte = status;
  }

  if (USBD_ERROR(DataPacket->Status)) {
    *PacketFlags |= PACKET_FLAG_DROP_FRAME;
    Device->DiscardFrameCount = DISCARD_FRAMES_AFTER_BAD_PACKET;
  }
  if (length < PACKET_HEADER_SIZE) {
    *PacketFlags |= PACKET_FLAG_DROP_FRAME;
    Device->DiscardFrameCount = DISCARD_FRAMES_AFTER_BAD_PACKET;
    return 0;
  }

  UCHAR frameNumber = (UCHAR)(packet[PACKET_FRAME_NUMBER_OFFSET] >> 1);
  switch (packet[PACKET_TYPE_OFFSET] & PACKET_TYPE_MASK) {
    case PACKET_TYPE_FRAME_START:
      // The flags set here drop the frame this packet finishes, not the one it begins.
      if (Device->SensorType == SENSOR_TYPE_CONVERTED) {
        if (Device->DropWindowStart <= frameNumber && frameNumber <= Device->DropWindowEnd) {
          Device->DropWindowStart++;
          *PacketFlags |= PACKET_FLAG_DROP_FRAME;
        }
        if (Device->DiscardFrameCount > 0) {
          Device->DiscardFrameCount--;
          *PacketFlags |= PACKET_FLAG_DROP_FRAME;
        }
        *NewFrame = TRUE;
      }
      // The whole first packet, header included, is the start of the raw frame.
      return length;
    case PACKET_TYPE_CONTINUATION:
      *PayloadOffset = PACKET_HEADER_SIZE;
      return length - PACKET_HEADER_SIZE;
    default:
      return 0;
  }
}

// Calls the scaler for one upscale entry. The factors are floating-point values even as
// arguments, so the call itself sits inside a save/restore pair (the scaler saves again for its
// own work; the saves nest).
static void ScaleCameraFrame(const UPSCALE_ENTRY* entry, const UCHAR* image, UCHAR* destination) {
  KFLOATING_SAVE floatSave;
  if (!NT_SUCCESS(KeSaveFloatingPointState(&floatSave))) {
    return;
  }
  // The result is not looked at: on failure the delivered frame keeps what its buffer held.
  ScalePackedYuv422(image, CameraImageSize, CAMERA_IMAGE_STEP, CameraImageRect, destination,
                    entry->DestinationStep, entry->DestinationSize, entry->Factor, entry->Factor,
                    SCALE_INTERP_LINEAR);
  KeRestoreFloatingPointState(&floatSave);
}

/*
 * ProcessRawFrame: the frame worker, PASSIVE_LEVEL, under the stream's WorkerSemaphore. Always
 * STATUS_SUCCESS. BytesReturned is the size of the delivered frame, or 0 when there is none.
 *
 * Bounds: a format change may alter the delivered size without a new raw buffer, so the
 * conversion reads only within RawFrameBufferLength and writes only within DestinationLength.
 * A frame whose source or destination is too small for the delivered size is not converted and
 * reports 0 bytes; so does a format the camera does not produce (any FOURCC but YUY2).
 */
NTSTATUS ProcessRawFrame(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                         PULONG FrameContext, PVOID Destination, ULONG DestinationLength,
                         PVOID RawFrame, ULONG RawFrameBufferLength, ULONG PacketCount,
                         PULONG BytesReturned, ULONG RawBytesReceived, ULONG StreamNumber) {
  const UCHAR* raw = (const UCHAR*)RawFrame;
  *BytesReturned = 0;
  if (raw == NULL || RawFrameBufferLength < PACKET_HEADER_SIZE) {
    return STATUS_SUCCESS;
  }
  Device->LastFrameNumber = (UCHAR)(raw[PACKET_FRAME_NUMBER_OFFSET] >> 1);
  if (RawBytesReceived <= PACKET_HEADER_SIZE) {
    return STATUS_SUCCESS;
  }
  if (Device->DeliveredFourcc != FOURCC_YUY2) {
    return STATUS_SUCCESS;
  }

  LONG width = Device->DeliveredWidth;
  LONG height = Device->DeliveredHeight;
  if (width <= 0 || height <= 0) {
    return STATUS_SUCCESS;
  }
  ULONGLONG frameBytes = (ULONGLONG)width * (ULONGLONG)height * Device->DeliveredBitCount / 8;
  if (Destination == NULL || frameBytes > DestinationLength) {
    return STATUS_SUCCESS;
  }

  if (Device->SensorType == SENSOR_TYPE_CONVERTED) {
    const UCHAR* image = raw + PACKET_HEADER_SIZE;
    ULONG imageBytesHeld = RawFrameBufferLength - PACKET_HEADER_SIZE;
    const UPSCALE_ENTRY* entry = FindUpscaleEntry(width, height);
    if (entry != NULL) {
      ULONGLONG written =
          (ULONGLONG)entry->DestinationStep * (ULONGLONG)entry->DestinationSize.Height;
      if (imageBytesHeld < CAMERA_IMAGE_BYTES || written > DestinationLength) {
        return STATUS_SUCCESS;
      }
      ScaleCameraFrame(entry, image, (UCHAR*)Destination);
    } else {
      ULONGLONG copyBytes = 2 * (ULONGLONG)width * (ULONGLONG)height;
      if (copyBytes > imageBytesHeld || copyBytes > DestinationLength) {
        return STATUS_SUCCESS;
      }
      RtlCopyMemory(Destination, image, (SIZE_T)copyBytes);
    }
  }
  *BytesReturned = (ULONG)frameBytes;
  return STATUS_SUCCESS;
}
