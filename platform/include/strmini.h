// The stream class's interface to its minidrivers as the platform defines it: the registration
// record, the request block (SRB) with its command codes and command data, stream objects, the
// stream information a minidriver reports, time and event records, the configuration record of
// device start, and the four stream class calls.
//
// Our own declarations of the platform's names, with the platform's x86 layouts. The stand-in
// behind them is platform/streamclass. Only what our code uses is here.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#define STREAMAPI NTAPI

struct _HW_STREAM_REQUEST_BLOCK;
struct _HW_STREAM_OBJECT;
struct _HW_TIME_CONTEXT;
struct _HW_EVENT_DESCRIPTOR;
struct _PORT_CONFIGURATION_INFORMATION;
struct _KSSCATTER_GATHER;

// ---------------------------------------------------------------------------------------------
// Command codes. Stream requests count from 0, device requests from 0x100.
typedef enum _SRB_COMMAND {
  SRB_READ_DATA = 0x00,
  SRB_WRITE_DATA,
  SRB_GET_STREAM_STATE,
  SRB_SET_STREAM_STATE,
  SRB_SET_STREAM_PROPERTY,
  SRB_GET_STREAM_PROPERTY,
  SRB_OPEN_MASTER_CLOCK,
  SRB_INDICATE_MASTER_CLOCK,
  SRB_UNKNOWN_STREAM_COMMAND,
  SRB_SET_STREAM_RATE,
  SRB_PROPOSE_DATA_FORMAT,
  SRB_CLOSE_MASTER_CLOCK,
  SRB_PROPOSE_STREAM_RATE,
  SRB_SET_DATA_FORMAT,
  SRB_GET_DATA_FORMAT,
  SRB_BEGIN_FLUSH,
  SRB_END_FLUSH,

  SRB_GET_STREAM_INFO = 0x100,
  SRB_OPEN_STREAM,
  SRB_CLOSE_STREAM,
  SRB_OPEN_DEVICE_INSTANCE,
  SRB_CLOSE_DEVICE_INSTANCE,
  SRB_GET_DEVICE_PROPERTY,
  SRB_SET_DEVICE_PROPERTY,
  SRB_INITIALIZE_DEVICE,
  SRB_CHANGE_POWER_STATE,
  SRB_UNINITIALIZE_DEVICE,
  SRB_UNKNOWN_DEVICE_COMMAND,
  SRB_PAGING_OUT_DRIVER,
  SRB_GET_DATA_INTERSECTION,
  SRB_INITIALIZATION_COMPLETE,
  SRB_SURPRISE_REMOVAL,
  SRB_DEVICE_METHOD,
  SRB_STREAM_METHOD,
} SRB_COMMAND;

// Flags of a request block: a stream's data request, a stream request at all.
#define SRB_HW_FLAGS_DATA_TRANSFER 0x00000001
#define SRB_HW_FLAGS_STREAM_REQUEST 0x00000002

// ---------------------------------------------------------------------------------------------
// Routine types a minidriver gives the class.
typedef void(STREAMAPI* PHW_RECEIVE_DEVICE_SRB)(struct _HW_STREAM_REQUEST_BLOCK* Srb);
typedef void(STREAMAPI* PHW_RECEIVE_STREAM_DATA_SRB)(struct _HW_STREAM_REQUEST_BLOCK* Srb);
typedef void(STREAMAPI* PHW_RECEIVE_STREAM_CONTROL_SRB)(struct _HW_STREAM_REQUEST_BLOCK* Srb);
typedef void(STREAMAPI* PHW_CANCEL_SRB)(struct _HW_STREAM_REQUEST_BLOCK* Srb);
typedef void(STREAMAPI* PHW_REQUEST_TIMEOUT_HANDLER)(struct _HW_STREAM_REQUEST_BLOCK* Srb);
typedef BOOLEAN(STREAMAPI* PHW_INTERRUPT)(PVOID DeviceExtension);
typedef void(STREAMAPI* PHW_CLOCK_FUNCTION)(struct _HW_TIME_CONTEXT* TimeContext);
typedef void(STREAMAPI* PHW_QUERY_CLOCK_ROUTINE)(struct _HW_TIME_CONTEXT* TimeContext);
typedef NTSTATUS(STREAMAPI* PHW_EVENT_ROUTINE)(struct _HW_EVENT_DESCRIPTOR* EventDescriptor);

// ---------------------------------------------------------------------------------------------
// Time.
typedef enum {
  TIME_GET_STREAM_TIME,
  TIME_READ_ONBOARD_CLOCK,
  TIME_SET_ONBOARD_CLOCK,
} TIME_FUNCTION;

typedef struct _HW_TIME_CONTEXT {
  PVOID HwDeviceExtension;
  struct _HW_STREAM_OBJECT* HwStreamObject;
  TIME_FUNCTION Function;
  ULONGLONG Time;
  ULONGLONG SystemTime;
} HW_TIME_CONTEXT, *PHW_TIME_CONTEXT;

typedef struct _HW_CLOCK_OBJECT {
  PHW_CLOCK_FUNCTION HwClockFunction;
  ULONG ClockSupportFlags;
  ULONG Reserved[2];
} HW_CLOCK_OBJECT, *PHW_CLOCK_OBJECT;

#define CLOCK_SUPPORT_CAN_SET_ONBOARD_CLOCK 0x1
#define CLOCK_SUPPORT_CAN_READ_ONBOARD_CLOCK 0x2
#define CLOCK_SUPPORT_CAN_RETURN_STREAM_TIME 0x4

typedef struct _STREAM_TIME_REFERENCE {
  LONGLONG CurrentOnboardClockValue;
  LARGE_INTEGER OnboardClockFrequency;
  LARGE_INTEGER CurrentSystemTime;
  ULONG Reserved[2];
} STREAM_TIME_REFERENCE, *PSTREAM_TIME_REFERENCE;

// ---------------------------------------------------------------------------------------------
// Events: what the class passes when an event entry is enabled or disabled.
typedef struct _HW_EVENT_DESCRIPTOR {
  BOOLEAN Enable;
  PKSEVENT_ENTRY EventEntry;
  PKSEVENTDATA EventData;
  union {
    struct _HW_STREAM_OBJECT* StreamObject;
    PVOID DeviceExtension;
  };
  ULONG EnableEventSetIndex;
  PVOID HwInstanceExtension;
  ULONG Reserved;
} HW_EVENT_DESCRIPTOR, *PHW_EVENT_DESCRIPTOR;

// ---------------------------------------------------------------------------------------------
// A stream of an open filter.
typedef struct _HW_STREAM_OBJECT {
  ULONG SizeOfThisPacket;
  ULONG StreamNumber;
  PVOID HwStreamExtension;
  PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
  PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
  HW_CLOCK_OBJECT HwClockObject;
  BOOLEAN Dma;
  BOOLEAN Pio;
  PVOID HwDeviceExtension;
  ULONG StreamHeaderMediaSpecific;
  ULONG StreamHeaderWorkspace;
  BOOLEAN Allocator;
  PHW_EVENT_ROUTINE HwEventRoutine;
  ULONG Reserved[2];
} HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;

// ---------------------------------------------------------------------------------------------
// What a minidriver reports at SRB_GET_STREAM_INFO: this header, then one stream information
// record per stream, in the buffer of StreamDescriptorSize bytes the class allocates.
typedef struct _HW_STREAM_HEADER {
  ULONG NumberOfStreams;
  ULONG SizeOfHwStreamInformation;
  ULONG NumDevPropArrayEntries;
  const KSPROPERTY_SET* DevicePropertiesArray;
  ULONG NumDevEventArrayEntries;
  const KSEVENT_SET* DeviceEventsArray;
  const KSTOPOLOGY* Topology;
  PHW_EVENT_ROUTINE DeviceEventRoutine;
  LONG NumDevMethodArrayEntries;
  const KSMETHOD_SET* DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;

typedef struct _HW_STREAM_INFORMATION {
  ULONG NumberOfPossibleInstances;
  KSPIN_DATAFLOW DataFlow;
  BOOLEAN DataAccessible;
  ULONG NumberOfFormatArrayEntries;
  const KSDATAFORMAT* const* StreamFormatsArray;
  PVOID ClassReserved[4];
  ULONG NumStreamPropArrayEntries;
  const KSPROPERTY_SET* StreamPropertiesArray;
  ULONG NumStreamEventArrayEntries;
  const KSEVENT_SET* StreamEventsArray;
  const GUID* Category;
  const GUID* Name;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  BOOLEAN BridgeStream;
  ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;

typedef struct _HW_STREAM_DESCRIPTOR {
  HW_STREAM_HEADER StreamHeader;
  HW_STREAM_INFORMATION StreamInfo;
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

// ---------------------------------------------------------------------------------------------
// Command data of property and intersection requests.
typedef struct _STREAM_PROPERTY_DESCRIPTOR {
  PKSPROPERTY Property;     // the request: set, id, flags, then instance data
  ULONG PropertySetID;      // index of the set in the table the minidriver reported
  PVOID PropertyInfo;       // the data buffer
  ULONG PropertyInputSize;  // bytes of Property, instance data included
  ULONG PropertyOutputSize; // bytes of PropertyInfo
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

typedef struct _STREAM_DATA_INTERSECT_INFO {
  ULONG StreamNumber;
  PKSDATARANGE DataRange;
  PVOID DataFormatBuffer;
  ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;

// ---------------------------------------------------------------------------------------------
// The configuration record of device start.
typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal,
  Isa,
  Eisa,
  MicroChannel,
  TurboChannel,
  PCIBus,
  VMEBus,
  NuBus,
  PCMCIABus,
  CBus,
  MPIBus,
  MPSABus,
  ProcessorInternal,
  InternalPowerBus,
  PNPISABus,
  PNPBus,
  MaximumInterfaceType
} INTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;

typedef struct _ACCESS_RANGE {
  PHYSICAL_ADDRESS RangeStart;
  ULONG RangeLength;
  BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

typedef struct _PORT_CONFIGURATION_INFORMATION {
  ULONG SizeOfThisPacket;
  PVOID HwDeviceExtension;
  PDEVICE_OBJECT ClassDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  ULONG SystemIoBusNumber;
  INTERFACE_TYPE AdapterInterfaceType;
  ULONG BusInterruptLevel;
  ULONG BusInterruptVector;
  KINTERRUPT_MODE InterruptMode;
  ULONG DmaChannel;
  ULONG NumberOfAccessRanges;
  PACCESS_RANGE AccessRanges;
  ULONG StreamDescriptorSize;  // set by the minidriver: bytes of its stream information
  PIRP Irp;
  PVOID InterruptObject;
  PVOID DmaAdapterObject;
  PDEVICE_OBJECT RealPhysicalDeviceObject;
  ULONG Reserved[1];
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

// ---------------------------------------------------------------------------------------------
// The request block. The class allocates it with the minidriver's per-request extension
// (SRBExtension) and hands it to the device or stream routine; the minidriver completes it with
// a notification, exactly once.
typedef struct _HW_STREAM_REQUEST_BLOCK {
  ULONG SizeOfThisPacket;
  SRB_COMMAND Command;
  NTSTATUS Status;
  PHW_STREAM_OBJECT StreamObject;
  PVOID HwDeviceExtension;
  PVOID SRBExtension;
  union _CommandData {
    PKSSTREAM_HEADER DataBufferArray;
    PHW_STREAM_DESCRIPTOR StreamBuffer;
    KSSTATE StreamState;
    PSTREAM_TIME_REFERENCE TimeReference;
    PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
    PKSDATAFORMAT OpenFormat;
    struct _PORT_CONFIGURATION_INFORMATION* ConfigInfo;
    HANDLE MasterClockHandle;
    DEVICE_POWER_STATE DeviceState;
    PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
    PVOID FilterTypeIndex;
  } CommandData;
  ULONG NumberOfBuffers;
  ULONG TimeoutCounter;   // seconds left; the class counts it down once a second
  ULONG TimeoutOriginal;  // seconds; 0 means no time-out
  struct _HW_STREAM_REQUEST_BLOCK* NextSRB;
  PIRP Irp;
  ULONG Flags;
  PVOID HwInstanceExtension;
  union {
    ULONG NumberOfBytesToTransfer;
    ULONG ActualBytesTransferred;
  };
  struct _KSSCATTER_GATHER* ScatterGatherBuffer;
  ULONG NumberOfPhysicalPages;
  ULONG NumberOfScatterGatherElements;
  ULONG Reserved[1];
} HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;

// ---------------------------------------------------------------------------------------------
// The registration record.
typedef struct _HW_INITIALIZATION_DATA {
  union {
    ULONG HwInitializationDataSize;
    struct {
      USHORT SizeOfThisPacket;
      USHORT StreamClassVersion;
    };
  };
  PHW_INTERRUPT HwInterrupt;
  PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
  PHW_CANCEL_SRB HwCancelPacket;
  PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
  ULONG DeviceExtensionSize;
  ULONG PerRequestExtensionSize;
  ULONG PerStreamExtensionSize;
  ULONG FilterInstanceExtensionSize;
  BOOLEAN BusMasterDMA;
  BOOLEAN Dma24BitAddresses;
  ULONG BufferAlignment;
  BOOLEAN TurnOffSynchronization;
  ULONG DmaBufferSize;
  ULONG NumNameExtensions;
  PWCHAR* NameExtensionArray;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

// ---------------------------------------------------------------------------------------------
// Notifications and the class calls.
typedef enum {
  ReadyForNextDeviceRequest,
  DeviceRequestComplete,
  SignalMultipleDeviceEvents,
  SignalDeviceEvent,
  DeleteDeviceEvent,
  SignalMultipleDeviceInstanceEvents,
  DeviceNotificationMaximum
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

typedef enum {
  ReadyForNextStreamDataRequest,
  ReadyForNextStreamControlRequest,
  HardwareStarved,
  StreamRequestComplete,
  SignalMultipleStreamEvents,
  SignalStreamEvent,
  DeleteStreamEvent,
  StreamNotificationMaximum
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

// Registers a minidriver from its DriverEntry: Argument1 and Argument2 are the driver object and
// the registry path DriverEntry received.
LUMO_EXTERN_C NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2,
                                                            PHW_INITIALIZATION_DATA HwInitData);
#define StreamClassRegisterMinidriver StreamClassRegisterAdapter

// Device notifications. DeviceRequestComplete: (PHW_STREAM_REQUEST_BLOCK).
// SignalMultipleDeviceEvents: (const GUID* EventSet, ULONG EventId). SignalDeviceEvent and
// DeleteDeviceEvent: (PKSEVENT_ENTRY). ReadyForNextDeviceRequest: nothing.
LUMO_EXTERN_C void STREAMAPI StreamClassDeviceNotification(
    STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...);

// Stream notifications. StreamRequestComplete: (PHW_STREAM_REQUEST_BLOCK).
// SignalMultipleStreamEvents: (const GUID* EventSet, ULONG EventId). SignalStreamEvent and
// DeleteStreamEvent: (PKSEVENT_ENTRY). The two ReadyForNext and HardwareStarved: nothing.
LUMO_EXTERN_C void STREAMAPI StreamClassStreamNotification(
    STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType, PHW_STREAM_OBJECT StreamObject,
    ...);

// Reads the master clock given by SRB_INDICATE_MASTER_CLOCK: TimeContext->Function says what
// (TIME_GET_STREAM_TIME), the class fills Time and SystemTime. PASSIVE_LEVEL or DISPATCH_LEVEL.
LUMO_EXTERN_C void STREAMAPI StreamClassQueryMasterClockSync(HANDLE MasterClockHandle,
                                                            PHW_TIME_CONTEXT TimeContext);

// Streams class version of the registration record.
#define STREAM_CLASS_VERSION_20 0x0200
