// The data model of the camera driver: the three extensions the stream class allocates for it
// (DEVICE_CONTEXT per camera, STREAM_CONTEXT per open stream, SRB_CONTEXT per request), the
// per-pipe and per-transfer records inside them, the driver-wide catalogue, and the entry points
// of the stream-class frame. Every subsystem of the driver includes this header; none of the
// records here is seen outside the driver.
//
// Locking. Each section of a record names the lock that guards its fields. The order is:
// DeviceSemaphore before any spin lock; CurrentReadLock before ReadQueueLock and FrameQueueLock;
// no path takes CurrentReadLock while it holds ReadQueueLock. Fields said to be "set at start-up"
// are written by SRB_INITIALIZE_DEVICE before the stream class sends any other request and are
// read without a lock afterwards. The stream class does not serialise its calls into the driver
// (registration turns its synchronisation off), so every field shared between routines that can
// run at once has a lock or a stated reason why it needs none.
//
// The stream class hands both the device and the stream extension over zero-filled; the driver
// relies on that for every field it does not set itself.
#pragma once

#include <wdm.h>
#include <strmini.h>
#include <usb.h>

#include "../datapath/camera_ops.h"

typedef struct _DEVICE_CONTEXT DEVICE_CONTEXT, *PDEVICE_CONTEXT;
typedef struct _STREAM_CONTEXT STREAM_CONTEXT, *PSTREAM_CONTEXT;
typedef struct _SRB_CONTEXT SRB_CONTEXT, *PSRB_CONTEXT;
struct _STATUS_READER;

// ---------------------------------------------------------------------------------------------
// Constants of the frame.

// Signatures that mark the records in memory; nothing checks them.
#define DEVICE_SIGNATURE 0x45544E49u    // "INTE"
#define STREAM_SIGNATURE 0x4348414Eu    // "NAHC"
#define READ_SIGNATURE 0x45425253u      // "SRBE"
#define TRANSFER_SIGNATURE 0x5452414Eu  // "NART"

// Pool tag of every allocation of the driver.
#define LUMOCAM_POOL_TAG 0x206D6457u  // "Wdm "

// Stream slots of the device: the stream class allows up to five stream numbers; the catalogue
// describes one stream, so only slot 0 is ever filled.
#define STREAM_SLOT_COUNT 5

// Isochronous transfers in the ring of a stream.
#define TRANSFER_COUNT 5

// InitState.
#define INIT_STATE_UNINITIALIZED 0
#define INIT_STATE_INITIALIZING 1
#define INIT_STATE_INITIALIZED 2

// CameraFlags: bit N (stream N) delivers that stream's frames without raw-frame processing;
// 0x4 ties a dependent stream to stream 0's bitmap header; 0x8 enables device events.
#define CAMERA_FLAG_DEPENDENT_SAME_HEADER 0x4
#define CAMERA_FLAG_DEVICE_EVENTS 0x8
#define CAMERA_FLAGS_AT_START 0xC

// ChannelFlags of a stream.
#define CHANNEL_STOP_REQUESTED 0x1
#define CHANNEL_DRAIN_REQUESTED 0x4
#define CHANNEL_RUNNING 0x8

// TransferKind of a stream.
#define TRANSFER_KIND_ISOCHRONOUS 1
#define TRANSFER_KIND_BULK 2

// Read requests wait for a frame for ever: their 15-second time-out is restarted each time it
// runs out.
#define READ_TIMEOUT_SECONDS 15

// Frames dropped after the stream enters RUN.
#define DISCARD_FRAMES_AT_RUN 15

// The settings fields of the camera half, one per registry value (index order of the record).
#define SETTINGS_COUNT 15

// ---------------------------------------------------------------------------------------------
// The pipe-services interface the driver serves on its device stack and queries from it.

// {2BCB75C0-B27F-11D1-BA41-00A0C90D2B05}
inline constexpr GUID GUID_CAMERA_PIPE_INTERFACE = {
    0x2BCB75C0, 0xB27F, 0x11D1, {0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05}};
#define CAMERA_PIPE_INTERFACE_VERSION 0x200

// Values of SetStreamPipeState's state argument.
#define PIPE_STATE_START 0
#define PIPE_STATE_STOP 1

// Completion of a bulk or interrupt transfer of the pipe interface: the device context, the
// caller's context, the transfer's final status.
typedef void (*PPIPE_TRANSFER_COMPLETION)(PVOID DeviceContext, PVOID Context, NTSTATUS Status);

typedef NTSTATUS (*PCAMERA_READ_INTERRUPT_PIPE)(PVOID DeviceContext, ULONG PipeIndex, PVOID Buffer,
                                                ULONG Length,
                                                PPIPE_TRANSFER_COMPLETION CompletionRoutine,
                                                PVOID CompletionContext, BOOLEAN Loop);
typedef NTSTATUS (*PCAMERA_BULK_TRANSFER)(PVOID DeviceContext, ULONG PipeIndex, PVOID Buffer,
                                          ULONG Length,
                                          PPIPE_TRANSFER_COMPLETION CompletionRoutine,
                                          PVOID CompletionContext);
typedef BOOLEAN (*PCAMERA_SET_VIDEO_FORMAT)(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
typedef NTSTATUS (*PCAMERA_SET_PIPE_STATE)(PVOID DeviceContext, ULONG State);
typedef NTSTATUS (*PCAMERA_CANCEL_BULK_TRANSFER)(PVOID DeviceContext, ULONG PipeIndex);

// The platform's interface header, then the five operations.
typedef struct _CAMERA_PIPE_INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  void(NTAPI* InterfaceReference)(PVOID Context);
  void(NTAPI* InterfaceDereference)(PVOID Context);
  PCAMERA_READ_INTERRUPT_PIPE ReadInterruptPipe;
  PCAMERA_BULK_TRANSFER BulkTransfer;
  PCAMERA_SET_VIDEO_FORMAT SetVideoFormat;
  PCAMERA_SET_PIPE_STATE SetPipeState;
  PCAMERA_CANCEL_BULK_TRANSFER CancelBulkTransfer;
} CAMERA_PIPE_INTERFACE, *PCAMERA_PIPE_INTERFACE;

// The camera half's own stream routines, offered every SRB first: they either handle and
// complete it (Handled set) or leave it (Handled clear).
typedef void (*PCAMERA_STREAM_ROUTINE)(PHW_STREAM_REQUEST_BLOCK Srb, PBOOLEAN Handled);

// ---------------------------------------------------------------------------------------------
// TRANSFER_RECORD: one transfer of a stream's isochronous ring, or one bulk or interrupt transfer
// of the pipe interface (fields marked "pipe transfer" serve only the latter).
//
// Ring records: PendingIrps, TransferError of the stream and ChannelFlags are plain variables
// shared without a lock between the completion path, the watchdog and the passive operations;
// the watchdog re-reads them every period. The packet fields (PacketFlags .. StartsFrame) are
// touched only by the completion of the record's own transfer.
// Pipe transfers: the record belongs to the caller that issued it until its completion; the
// PIPE_STATE entries that point at it are guarded by PipeStateLock.
typedef struct _TRANSFER_RECORD {
  ULONG Signature;       // TRANSFER_SIGNATURE
  LONG PendingIrps;      // the record's IRPs outstanding, 0 or 1
  ULONG PacketFlags;     // ProcessPacket's flags for the packet being examined
  ULONG PayloadOffset;   // ProcessPacket's payload offset for that packet
  BOOLEAN StartsFrame;   // that packet begins a frame
  PVOID DataBuffer;      // ring: PacketsPerTransfer x MaxPacketSize bytes of packets
  PURB Urb;              // ring: isochronous URB; pipe transfer: bulk or interrupt URB
  PIRP TransferIrp;      // allocated once, reused for every submission
  PVOID BounceBuffer;    // pipe transfer: 2 x MaxPacketSize for short IN chunks
  KTIMER ResubmitTimer;  // ring: schedules the resubmission one tick after the completion
  KDPC ResubmitDpc;
  ULONG Remaining;       // pipe transfer: bytes still to move
  ULONG ChunkLength;     // pipe transfer: length of the URB outstanding
  ULONG Transferred;     // pipe transfer: bytes moved
  PUCHAR Cursor;         // pipe transfer: where the next chunk goes
  PUCHAR ClientBuffer;   // pipe transfer: the client's position while BounceBuffer is used
  ULONG PipeIndex;       // pipe transfer: the pipe
  BOOLEAN UsingBounce;   // pipe transfer: the outstanding chunk goes to BounceBuffer
  KEVENT CancelEvent;    // pipe transfer: signalled by the completion of a cancelled transfer
  UCHAR CancelRequested;  // pipe transfer: bit 0 set by the cancel
  PPIPE_TRANSFER_COMPLETION CompletionRoutine;  // pipe transfer: the client's routine
  PVOID CompletionContext;                      // pipe transfer: and its context
  BOOLEAN RestartWhenDone;   // pipe transfer: reissue after each completion
  BOOLEAN SignalStillEvent;  // pipe transfer: signal the still-button event after each completion
  PDEVICE_CONTEXT Device;
  PSTREAM_CONTEXT Stream;  // owning stream; none for pipe transfers
} TRANSFER_RECORD, *PTRANSFER_RECORD;

// ---------------------------------------------------------------------------------------------
// PIPE_STATE: one per pipe of the selected interface, in pipe order (PipeTable).
// PipeType, DirectionIn, MaxPacketSize and Config are set at configuration and then constant;
// ActiveTransfer and DeferredTransfer are guarded by DEVICE_CONTEXT.PipeStateLock.
typedef struct _PIPE_STATE {
  UCHAR PipeType;       // transfer type masked with 3: 0 control, 1 iso, 2 bulk, 3 interrupt
  UCHAR DirectionIn;    // 1 for an IN endpoint
  USHORT MaxPacketSize;
  PIPE_CONFIG Config;   // the camera's role for the pipe
  PTRANSFER_RECORD ActiveTransfer;    // bulk or interrupt transfer outstanding, or none
  PTRANSFER_RECORD DeferredTransfer;  // a transfer cancelled for a later restart, or none
} PIPE_STATE, *PPIPE_STATE;

// ---------------------------------------------------------------------------------------------
// SRB_CONTEXT: the per-request extension. A read request of stream 0 uses all of it; a control
// request waiting in ControlQueue uses only Link and Srb.
// A read belongs to exactly one place at a time: ReadQueue (ReadQueueLock), CurrentRead
// (CurrentReadLock), the frame worker, or CompletedReads (CompletedReadsLock); its fields are
// written only by the owner of that place.
struct _SRB_CONTEXT {
  ULONG Signature;  // READ_SIGNATURE once a read is accepted
  LIST_ENTRY Link;  // in ReadQueue, CompletedReads or ControlQueue
  PIRP Irp;
  PHW_STREAM_REQUEST_BLOCK Srb;
  ULONG PacketCount;        // packets copied into the frame
  PVOID Buffer;             // raw frame buffer (pool, RawFrameLength) or the client's buffer
  ULONG BufferLength;
  ULONG FrameLength;        // expected frame length, handed to the camera's NewFrame
  ULONG PayloadBytes;       // valid bytes of the copied packets
  ULONG FilledBytes;        // bytes written into Buffer
  NTSTATUS CompletionStatus;  // the conversion's result
  ULONG DeliveredBytes;     // bytes of the delivered frame, the future DataUsed
  BOOLEAN Dropped;          // the frame is to be dropped
  PSTREAM_CONTEXT OwnerStream;
  ULONG FrameContext;       // the camera's per-frame context word
};

// ---------------------------------------------------------------------------------------------
// STREAM_CONTEXT: the stream extension of an open stream.
struct _STREAM_CONTEXT {
  // --- identity: set by the channel initialisation of the open, then constant.
  ULONG Signature;  // STREAM_SIGNATURE
  PDEVICE_CONTEXT Device;

  // --- channel state: ChannelFlags and TransferError are shared without a lock with the
  // completion path and the watchdog (see TRANSFER_RECORD); DeliveryActive and StreamingStarted
  // change only under DeviceSemaphore.
  ULONG ChannelFlags;      // CHANNEL_STOP_REQUESTED, CHANNEL_DRAIN_REQUESTED, CHANNEL_RUNNING
  ULONG TransferError;     // the ring needs a recovery
  ULONG DeliveryActive;    // 1 between start and stop of delivery
  ULONG StreamingStarted;  // 1 between start and stop of streaming
  KEVENT DrainEvent;       // synchronization: the transfers drained for a recovery
  KEVENT StopEvent;        // synchronization: the transfers drained after a stop request
  KTIMER WatchdogTimer;

  // --- current request: guarded by CurrentReadLock.
  PSRB_CONTEXT CurrentRead;  // the read being filled with the arriving frame, or none
  KSPIN_LOCK CurrentReadLock;

  // --- transfers: the ring (see TRANSFER_RECORD for its sharing rules).
  TRANSFER_RECORD Transfers[TRANSFER_COUNT];
  KDPC WatchdogDpc;

  // --- read queue: ReadQueue is guarded by ReadQueueLock; RawFrameLength is set at start of
  // streaming under DeviceSemaphore, before any read can be queued.
  LIST_ENTRY ReadQueue;  // SRB_CONTEXT.Link, oldest first
  KSPIN_LOCK ReadQueueLock;
  ULONG RawFrameLength;
  KSEMAPHORE WorkerSemaphore;  // count 1, limit 1: the frame worker's use of the stream

  // --- pipes: set at open and at start of streaming (DeviceSemaphore), and by the pipe restart.
  UCHAR StreamNumber;
  UCHAR TransferKind;   // TRANSFER_KIND_ISOCHRONOUS or TRANSFER_KIND_BULK
  LONG AuxPipeIndex;    // -1 when none
  LONG DataPipeIndex;

  // --- timing: MasterClock is written by the serialised control path; FrameInfo by the read
  // completion, which runs one frame at a time.
  HANDLE MasterClock;        // from SRB_INDICATE_MASTER_CLOCK, or none
  KS_FRAME_INFO FrameInfo;   // copied behind the header of every completed frame
  PVOID RecoveryWorkItem;    // the queued recovery work item

  // --- format: written by the serialised control path of the stream.
  PKS_VIDEOINFOHEADER VideoInfo;  // pool copy of the format in force
  KSSTATE State;
  PCAMERA_STREAM_ROUTINE CameraControlRoutine;
  PCAMERA_STREAM_ROUTINE CameraDataRoutine;
  PKSDATAFORMAT OpenFormat;       // the format given at open

  // --- frame counting: the read completion, one frame at a time; reset at PAUSE by the
  // serialised control path.
  LONGLONG DeliveredFrames;  // since the last PAUSE; -1 before the first
  LONGLONG StartTime;        // master-clock stream time of the first frame after PAUSE
  BOOLEAN FirstFrame;        // the next frame records StartTime
  BOOLEAN NoRawProcessing;   // this stream's bit of CameraFlags
  BOOLEAN PipeStopped;       // the data pipe was stopped through SetStreamPipeState
};

// ---------------------------------------------------------------------------------------------
// DEVICE_CONTEXT: the device extension, one per camera. The first half belongs to the frame and
// the USB engine, the second half to the camera.
struct _DEVICE_CONTEXT {
  // === frame and USB engine ==================================================================

  // --- identity: set at start-up.
  ULONG Signature;  // DEVICE_SIGNATURE

  // --- streams: set by a successful open, cleared by close (the device request routine, which
  // the stream class calls for open and close of one stream at a time).
  PSTREAM_CONTEXT StreamSlots[STREAM_SLOT_COUNT];

  // --- control serialisation: guarded by ControlLock.
  LIST_ENTRY ControlQueue[STREAM_SLOT_COUNT];  // SRB_CONTEXT.Link of waiting control SRBs
  ULONG ControlBusy[STREAM_SLOT_COUNT];        // 1 while a control SRB of that stream is processed
  KSPIN_LOCK ControlLock;

  // --- frame hand-off: FrameQueueLock is held while a filled frame's work item is queued;
  // CompletedReads is guarded by CompletedReadsLock (interlocked list operations).
  KSPIN_LOCK FrameQueueLock;
  LIST_ENTRY CompletedReads;  // converted reads (SRB_CONTEXT.Link) waiting to be completed
  KSPIN_LOCK CompletedReadsLock;

  // --- engine: the delivery timer completes one converted read per DeliveryInterval; it is
  // armed and cancelled under DeviceSemaphore and re-arms itself from its DPC.
  KTIMER DeliveryTimer;  // notification
  KDPC DeliveryDpc;      // DeliverFrame
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;  // set at configuration

  // --- recovery: changed only by interlocked increment and decrement.
  LONG RecoveryPending[STREAM_SLOT_COUNT];  // -1 when no recovery work item of the stream is queued

  // --- serialisation.
  KSEMAPHORE DeviceSemaphore;   // count 1, limit 1; taken before any spin lock
  KSEMAPHORE UsbCallSemaphore;  // count 1, limit 1; one synchronous USB request at a time

  // --- catalogue: set at start-up.
  ULONG StreamCount;  // streams reported to the stream class; 1 after start-up

  // --- life cycle: InitState changes only in the device request routine; OpenCount under
  // DeviceSemaphore.
  ULONG InitState;  // INIT_STATE_*
  ULONG OpenCount[STREAM_SLOT_COUNT];

  // --- device objects: set at start-up.
  PDEVICE_OBJECT BusDeviceObject;   // target of every USB request
  PDEVICE_OBJECT ClassDeviceObject;
  PDEVICE_OBJECT RealPhysicalDeviceObject;

  // --- USB configuration: set at start-up (and at each interface selection, under
  // UsbCallSemaphore through the synchronous request path); PipeStateLock guards the transfer
  // entries of PipeTable.
  KSPIN_LOCK PipeStateLock;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;   // pool copy
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;  // pool copy of the selected interface
  LONG IsoDataPipe;   // pipe indexes found by classification, -1 when none
  LONG BulkDataPipe;
  LONG AuxPipe;
  UCHAR IsoDataPipeStream;   // stream served by the iso data pipe, 0xFF when none
  UCHAR BulkDataPipeStream;  // stream served by the bulk data pipe, 0xFF when none
  BOOLEAN StillSharesVideoPipe;

  // --- device state. DeviceGone is set once and never cleared (a plain flag: readers that miss
  // the change by one request send that request to a device that is going away, which the bus
  // fails). PowerState changes only in the device request routine.
  BOOLEAN DeviceGone;
  ULONG PowerState;          // DEVICE_POWER_STATE
  ULONG CameraFlags;         // CAMERA_FLAG_*, 0xC after start-up
  ULONG PacketsPerTransfer;  // 256 or 32, set at configuration
  ULONG UsbErrorCount;       // consecutive failed synchronous requests (UsbCallSemaphore)
  CAMERA_OPS CameraOps;      // installed at start-up, then constant
  PPIPE_STATE PipeTable;     // one per pipe of InterfaceInfo

  // === camera ================================================================================

  // --- sensor bus: SensorBusMutex serialises one whole sensor register access and guards the
  // two pin shadows; the addresses are plain values written by the device property path.
  KMUTEX SensorBusMutex;
  LARGE_INTEGER SensorBusTimeout;  // relative wait for SensorBusMutex: 10 ms
  UCHAR SensorAddress;             // write form of the sensor's bus address
  UCHAR SensorDefaultAddress;
  USHORT GpioDirShadow;
  USHORT GpioOutShadow;

  // --- bring-up: set at start-up; the shadows change under SensorBusMutex-protected writes of
  // the picture options, which the device property path serialises.
  ULONG SensorType;
  ULONG BridgeTableLength;
  UCHAR ScriptTable[100][2];  // sensor register, value
  USHORT ScriptCount;
  UCHAR SensorShadowFD;
  UCHAR SensorShadowE9;
  BOOLEAN HighSpeed;

  // --- settings, in registry order: read at stream start, written at stream stop and by the
  // device property path; single 32-bit values, each read or written whole.
  LONG Brightness;
  LONG Contrast;
  LONG Saturation;
  LONG Sharpness;
  LONG WhiteBalance;
  LONG Hue;
  LONG Gamma;
  LONG BroadcastSystem;
  LONG VideoInput;
  LONG TestMode;
  LONG LowLight;
  LONG Lighting;
  LONG WBStatus;
  LONG Flip;
  LONG Mirror;

  // --- vendor property set addresses: the device property path.
  USHORT VendorBridgeAddress;
  USHORT VendorSensorAddress;
  USHORT VendorAuxAddress;

  // --- snapshot button: the status reader runs between stream captures; its packet scan holds
  // the reader's own spin lock. The five status fields follow each other in this order.
  BOOLEAN StatusReaderRunning;
  struct _STATUS_READER* StatusReader;
  USHORT StatusByte;      // the last status byte seen; 0 none yet
  USHORT StatusRiseBits;  // old XOR new at the last increase
  USHORT StatusFallBits;  // old XOR new at the last decrease
  ULONG ButtonPressLatch;    // BUTTON_LATCH_VALUE after a decrease; 0 once read
  ULONG ButtonReleaseLatch;  // BUTTON_LATCH_VALUE after an increase

  // --- frames: DiscardFrameCount is set at RUN and counted down by the packet parser; the frame
  // numbers and the drop window belong to the packet parser, which runs in one transfer
  // completion at a time.
  UCHAR DiscardFrameCount;
  UCHAR LastFrameNumber;
  UCHAR DropWindowStart;
  UCHAR DropWindowEnd;
  ULONG DeliveryInterval;  // period after a delivered frame, in 100-us units

  // --- delivered format of stream 0: set at open and by SRB_SET_DATA_FORMAT (the serialised
  // control path), read by the conversion.
  ULONG DeliveredFourcc;
  ULONG DeliveredBitCount;
  LONG DeliveredWidth;
  LONG DeliveredHeight;

  // --- pipe interface: obtained at SRB_INITIALIZATION_COMPLETE; Version 0 when the query failed.
  CAMERA_PIPE_INTERFACE PipeInterface;
  PDEVICE_OBJECT InterfaceTarget;  // the class device object, target of the interface query
};

// ---------------------------------------------------------------------------------------------
// Extension sizes registered with the stream class: the sizes of the target, or the records'
// own sizes where a wider build needs more room for the same fields.
#define DEVICE_CONTEXT_SIZE_TARGET 2500u
#define STREAM_CONTEXT_SIZE_TARGET 1456u
#define SRB_CONTEXT_SIZE_TARGET 64u

constexpr ULONG ExtensionSize(ULONG target, size_t actual) {
  return actual > target ? (ULONG)actual : target;
}
#define DEVICE_EXTENSION_SIZE ExtensionSize(DEVICE_CONTEXT_SIZE_TARGET, sizeof(DEVICE_CONTEXT))
#define STREAM_EXTENSION_SIZE ExtensionSize(STREAM_CONTEXT_SIZE_TARGET, sizeof(STREAM_CONTEXT))
#define SRB_EXTENSION_SIZE ExtensionSize(SRB_CONTEXT_SIZE_TARGET, sizeof(SRB_CONTEXT))

// ---------------------------------------------------------------------------------------------
// The stream catalogue. Driver-wide (not per device): the camera started last decides it. Set
// at every device start by the camera's initialise operation, before the stream class asks for
// the stream information; read without a lock.
extern const HW_STREAM_INFORMATION* Catalogue;
extern ULONG CatalogueCount;

extern const HW_STREAM_INFORMATION CATALOGUE_SIX_SIZES[1];
extern const HW_STREAM_INFORMATION CATALOGUE_ONE_SIZE[1];

// The data ranges, by frame size.
extern const KS_DATARANGE_VIDEO R640;
extern const KS_DATARANGE_VIDEO R1280;
extern const KS_DATARANGE_VIDEO R1024;
extern const KS_DATARANGE_VIDEO R800;
extern const KS_DATARANGE_VIDEO R320;
extern const KS_DATARANGE_VIDEO R160;

// Property and event tables and the topology reported for the device and its stream.
#define STREAM_PROPERTY_SET_COUNT 2
#define DEVICE_PROPERTY_SET_COUNT 2
#define DEVICE_EVENT_SET_COUNT 1
extern const KSPROPERTY_SET STREAM_PROPERTY_TABLE[STREAM_PROPERTY_SET_COUNT];
extern const KSPROPERTY_SET DEVICE_PROPERTY_TABLE[DEVICE_PROPERTY_SET_COUNT];
extern const KSEVENT_SET DEVICE_EVENT_TABLE[DEVICE_EVENT_SET_COUNT];
extern const KSTOPOLOGY FILTER_TOPOLOGY;

// The device's two property sets, the vendor set first (its items are declared with the vendor
// property code) and the proc-amp set second (declared with the image controls).
// {FDD100F8-0AEA-4C7D-BAEB-19CE2814A244}
inline constexpr GUID PROPSETID_VENDOR_CAMERA = {
    0xFDD100F8, 0x0AEA, 0x4C7D, {0xBA, 0xEB, 0x19, 0xCE, 0x28, 0x14, 0xA2, 0x44}};
#define VENDOR_PROPERTY_COUNT 37
#define PROCAMP_PROPERTY_COUNT 4
extern const KSPROPERTY_ITEM VENDOR_PROPERTY_TABLE[VENDOR_PROPERTY_COUNT];
extern const KSPROPERTY_ITEM PROCAMP_PROPERTY_TABLE[PROCAMP_PROPERTY_COUNT];

// One declared property item as the stream class reads it: the get and set slots hold only the
// "supported" flag (the class calls no handler of a minidriver's table), no relations, no
// support handler. Usable in constant initialisers.
constexpr KSPROPERTY_ITEM DeclarePropertyItem(ULONG PropertyId, BOOLEAN Get, BOOLEAN Set,
                                              ULONG MinProperty, ULONG MinData,
                                              const KSPROPERTY_VALUES* Values,
                                              ULONG SerializedSize) {
  KSPROPERTY_ITEM item{};
  item.PropertyId = PropertyId;
  item.GetSupported = Get;
  item.MinProperty = MinProperty;
  item.MinData = MinData;
  item.SetSupported = Set;
  item.Values = Values;
  item.SerializedSize = SerializedSize;
  return item;
}

// ---------------------------------------------------------------------------------------------
// Entry points of the stream-class frame.

// Registers the driver with the stream class; returns its status unchanged. PASSIVE_LEVEL.
LUMO_EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// HwReceivePacket: every device SRB, dispatched by command and completed exactly once before it
// returns. PASSIVE_LEVEL.
void STREAMAPI ReceiveDevicePacket(PHW_STREAM_REQUEST_BLOCK Srb);
// HwCancelPacket: cancels a read of stream 0 that is current or queued. DISPATCH_LEVEL; takes
// CurrentReadLock, releases it, then ReadQueueLock.
void STREAMAPI CancelPacket(PHW_STREAM_REQUEST_BLOCK Srb);
// HwRequestTimeoutHandler: restarts the request's time-out. Any IRQL; touches only the SRB.
void STREAMAPI RestartRequestTimeout(PHW_STREAM_REQUEST_BLOCK Srb);

// SRB_SURPRISE_REMOVAL: marks the device gone, stops the status reader and the delivery of every
// stream that delivers. PASSIVE_LEVEL. STATUS_SUCCESS.
NTSTATUS SurpriseRemoval(PDEVICE_CONTEXT Device);

// SRB_GET_STREAM_INFO: fills the stream header and the stream information. PASSIVE_LEVEL.
void GetStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb);
// SRB_GET_DATA_INTERSECTION: turns the caller's range into a format. PASSIVE_LEVEL. Sets
// ActualBytesTransferred; returns the SRB's status.
NTSTATUS GetDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb);
// TRUE when Format (a KSDATAFORMAT followed by a KS_VIDEOINFOHEADER) matches one of the ranges
// of stream StreamNumber. A format whose FormatSize cannot hold the video info header with its
// bitmap header does not match.
BOOLEAN IsFormatSupported(const KSDATAFORMAT* Format, ULONG StreamNumber);
// TRUE exactly when the camera was configured with 256 packets per transfer.
BOOLEAN IsHighSpeedConfiguration(const DEVICE_CONTEXT* Device);
// Puts the catalogue that fits the device's configuration in force (called at device start).
void SelectCatalogue(const DEVICE_CONTEXT* Device);

// The device event routine named in the stream header: accepts every enable and disable.
NTSTATUS STREAMAPI DeviceEventRoutine(PHW_EVENT_DESCRIPTOR EventDescriptor);

// ---------------------------------------------------------------------------------------------
// Entry points of the streaming engine that the frame calls (status reader, delivery).

// Stops the snapshot button's status reader; STATUS_SUCCESS when none runs. PASSIVE_LEVEL;
// blocks until its transfers have come back.
NTSTATUS StopStatusReader(PDEVICE_CONTEXT Device);
// Stops the delivery of frames on the stream; nothing when DeliveryActive is clear.
// PASSIVE_LEVEL; waits on DeviceSemaphore.
NTSTATUS StopDelivery(PDEVICE_CONTEXT Device, PSTREAM_CONTEXT Stream);
