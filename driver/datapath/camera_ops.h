// The camera operations: the thirteen-slot table through which the USB streaming engine reaches
// everything that is particular to this camera (packet layout, pixel data, programming), and the
// per-pipe roles the camera hands to the USB configuration. The engine includes this header and
// nothing else of the data path; the camera's side of each operation lives in the subsystem
// named beside its slot.
//
// The table is installed in DEVICE_CONTEXT.CameraOps once per device start and never changes, so
// it is read without a lock at every IRQL.
#pragma once

#include <wdm.h>
#include <usb.h>

struct _DEVICE_CONTEXT;
typedef struct _DEVICE_CONTEXT DEVICE_CONTEXT, *PDEVICE_CONTEXT;

// --- Pipe roles ------------------------------------------------------------------------------

// StreamAssociation, the low byte of a PIPE_CONFIG.
#define PIPE_STREAM_VIDEO 0x01
#define PIPE_STREAM_STILL 0x02
#define PIPE_STREAM_BOTH 0x03

// PipeRole, the high byte of a PIPE_CONFIG.
#define PIPE_ROLE_DATA 0x01    // data pipe of one stream
#define PIPE_ROLE_SHARED 0x02  // data pipe shared by video and still
#define PIPE_ROLE_AUX 0x04     // auxiliary isochronous pipe, read alongside the data pipe
#define PIPE_ROLE_IGNORE 0x08  // not used for streaming; wins over every other bit

// One pipe's role, 16 bits: StreamAssociation in the low byte, PipeRole in the high byte.
typedef struct _PIPE_CONFIG {
  UCHAR StreamAssociation;
  UCHAR PipeRole;
} PIPE_CONFIG, *PPIPE_CONFIG;
static_assert(sizeof(PIPE_CONFIG) == 2, "a pipe configuration is one 16-bit value");

// Entries of PIPE_CONFIG_TABLE (the pipe configuration of the camera's video interface).
#define PIPE_CONFIG_TABLE_ENTRIES 4

// MaximumTransferSize asked for the data pipe (pipe 1) in the configuration request.
#define DATA_PIPE_MAX_TRANSFER 786432u
// The camera's isochronous video data pipe within its interface.
#define DATA_PIPE_INDEX 1
// The alternate setting the configuration request selects (the status packets' setting).
#define CONFIGURATION_ALTERNATE_SETTING 1

// --- Operation signatures ----------------------------------------------------------------------
// BusDeviceObject is DEVICE_CONTEXT.BusDeviceObject; every operation returns an NTSTATUS unless
// its type says otherwise.

typedef NTSTATUS (*PCAMERA_INITIALIZE_CAMERA)(PDEVICE_OBJECT BusDeviceObject,
                                              PDEVICE_CONTEXT Device);
typedef NTSTATUS (*PCAMERA_RELEASE_CAMERA)(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device);
// Returns the packet's payload length.
typedef ULONG (*PCAMERA_PROCESS_PACKET)(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                                        PULONG CurrentFrameContext,
                                        PUSBD_ISO_PACKET_DESCRIPTOR AuxPacket, PVOID AuxBuffer,
                                        PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                        PBOOLEAN NewFrame, PULONG PacketFlags,
                                        PULONG PayloadOffset);
typedef NTSTATUS (*PCAMERA_NEW_FRAME)(PDEVICE_CONTEXT Device, PULONG FrameContext,
                                      ULONG StreamNumber, PULONG FrameLength);
typedef NTSTATUS (*PCAMERA_PROCESS_RAW_FRAME)(PDEVICE_OBJECT BusDeviceObject,
                                              PDEVICE_CONTEXT Device, PULONG FrameContext,
                                              PVOID Destination, ULONG DestinationLength,
                                              PVOID RawFrame, ULONG RawFrameBufferLength,
                                              ULONG PacketCount, PULONG BytesReturned,
                                              ULONG RawBytesReceived, ULONG StreamNumber);
typedef NTSTATUS (*PCAMERA_START_CAPTURE)(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                                          ULONG StreamNumber);
typedef NTSTATUS (*PCAMERA_STOP_CAPTURE)(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                                         ULONG StreamNumber);
typedef NTSTATUS (*PCAMERA_CONFIGURE_PIPES)(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                                            PUSBD_INTERFACE_INFORMATION Interface,
                                            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                            ULONG PipeCount, PPIPE_CONFIG PipeConfig,
                                            PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
typedef NTSTATUS (*PCAMERA_SAVE_STATE)(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device);
typedef NTSTATUS (*PCAMERA_RESTORE_STATE)(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device);
// OpenFormat is the KSDATAFORMAT the stream was opened with (STREAM_CONTEXT.OpenFormat).
typedef NTSTATUS (*PCAMERA_ALLOCATE_BANDWIDTH)(PDEVICE_OBJECT BusDeviceObject,
                                               PDEVICE_CONTEXT Device, PULONG RawFrameLength,
                                               PVOID OpenFormat, ULONG StreamNumber);
typedef NTSTATUS (*PCAMERA_FREE_BANDWIDTH)(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                                           ULONG StreamNumber);

// The table, in slot order.
typedef struct _CAMERA_OPS {
  ULONG Signature;  // slot 0: not an operation, value 0
  PCAMERA_INITIALIZE_CAMERA InitializeCamera;
  PCAMERA_RELEASE_CAMERA ReleaseCamera;
  PCAMERA_PROCESS_PACKET ProcessPacket;
  PCAMERA_NEW_FRAME NewFrame;
  PCAMERA_PROCESS_RAW_FRAME ProcessRawFrame;
  PCAMERA_START_CAPTURE StartCapture;
  PCAMERA_STOP_CAPTURE StopCapture;
  PCAMERA_CONFIGURE_PIPES ConfigurePipes;
  PCAMERA_SAVE_STATE SaveState;
  PCAMERA_RESTORE_STATE RestoreState;
  PCAMERA_ALLOCATE_BANDWIDTH AllocateBandwidth;
  PCAMERA_FREE_BANDWIDTH FreeBandwidth;
} CAMERA_OPS, *PCAMERA_OPS;
// Thirteen slots of the platform's pointer width (the signature slot is padded on 64-bit).
#define CAMERA_OPS_SLOTS 13
static_assert(sizeof(CAMERA_OPS) == CAMERA_OPS_SLOTS * sizeof(PVOID),
              "the camera operations are thirteen pointer-sized slots");

// --- The camera's operations of the data path ---------------------------------------------------
// (InitializeCamera and ReleaseCamera belong to the sensor bring-up, StopCapture,
// AllocateBandwidth and FreeBandwidth to the capture bandwidth code.)

NTSTATUS ConfigurePipes(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                        PUSBD_INTERFACE_INFORMATION Interface,
                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG PipeCount,
                        PPIPE_CONFIG PipeConfig, PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
ULONG ProcessPacket(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                    PULONG CurrentFrameContext, PUSBD_ISO_PACKET_DESCRIPTOR AuxPacket,
                    PVOID AuxBuffer, PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                    PBOOLEAN NewFrame, PULONG PacketFlags, PULONG PayloadOffset);
NTSTATUS NewFrame(PDEVICE_CONTEXT Device, PULONG FrameContext, ULONG StreamNumber,
                  PULONG FrameLength);
NTSTATUS ProcessRawFrame(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                         PULONG FrameContext, PVOID Destination, ULONG DestinationLength,
                         PVOID RawFrame, ULONG RawFrameBufferLength, ULONG PacketCount,
                         PULONG BytesReturned, ULONG RawBytesReceived, ULONG StreamNumber);
NTSTATUS StartCapture(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device, ULONG StreamNumber);
NTSTATUS SaveState(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device);
NTSTATUS RestoreState(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device);

// The pipe configuration ConfigurePipes hands out, one entry per pipe of the video interface.
extern const PIPE_CONFIG PIPE_CONFIG_TABLE[PIPE_CONFIG_TABLE_ENTRIES];

// Fills the slots of the data path's operations (signature 0, ProcessPacket, NewFrame,
// ProcessRawFrame, StartCapture, ConfigurePipes, SaveState, RestoreState) and leaves the other
// five, which the device start-up sets from the sensor bring-up and the capture bandwidth code.
void FillDataPathCameraOps(PCAMERA_OPS Ops);

// --- Video packets ------------------------------------------------------------------------------

#define PACKET_HEADER_SIZE 16
#define PACKET_TYPE_OFFSET 12         // bits 0-3: packet type
#define PACKET_TYPE_MASK 0x0F
#define PACKET_STATUS_OFFSET 13       // the snapshot button's status byte
#define PACKET_FRAME_NUMBER_OFFSET 14  // bits 1-7: frame number
#define PACKET_TYPE_FRAME_START 8
#define PACKET_TYPE_CONTINUATION 0

// Packet flags ProcessPacket returns.
#define PACKET_FLAG_DROP_FRAME 0x2

// Frames to drop after a bad packet: the one it arrived in and the next two.
#define DISCARD_FRAMES_AFTER_BAD_PACKET 3

// The sensor type for which raw frames are converted (always the case after device start).
#define SENSOR_TYPE_CONVERTED 0x84
