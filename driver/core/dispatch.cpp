// Registration with the stream class and the routines it calls for the device as a whole: the
// device request dispatcher, the cancel routine, the request time-out routine, and surprise
// removal. The stream routines of an open stream are installed by the open, elsewhere.
#include "core/lumocam.h"
#include "control/image_controls.h"

// PASSIVE_LEVEL, once per driver load. Fills the registration record and nothing else: all
// per-device work starts with SRB_INITIALIZE_DEVICE. Returns the stream class's status unchanged.
LUMO_EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                         PUNICODE_STRING RegistryPath) {
  HW_INITIALIZATION_DATA init;
  RtlZeroMemory(&init, sizeof(init));
  init.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
  init.HwInterrupt = NULL;
  init.HwReceivePacket = ReceiveDevicePacket;
  init.HwCancelPacket = CancelPacket;
  init.HwRequestTimeoutHandler = RestartRequestTimeout;
  init.DeviceExtensionSize = DEVICE_EXTENSION_SIZE;
  init.PerRequestExtensionSize = SRB_EXTENSION_SIZE;
  init.PerStreamExtensionSize = STREAM_EXTENSION_SIZE;
  init.FilterInstanceExtensionSize = 0;
  init.BusMasterDMA = FALSE;
  init.Dma24BitAddresses = FALSE;
  init.BufferAlignment = 4;
  // The driver serialises itself with its own locks; the stream class may call it concurrently.
  init.TurnOffSynchronization = TRUE;
  init.DmaBufferSize = 0;
  init.NumNameExtensions = 0;
  init.NameExtensionArray = NULL;
  return StreamClassRegisterAdapter(DriverObject, RegistryPath, &init);
}

// HwReceivePacket. PASSIVE_LEVEL; may block in the handlers of start-up, power and the streams.
// The status starts as STATUS_SUCCESS, the handler of the command replaces it, and the request is
// completed here, exactly once, before the routine returns: no device request is left pending.
void STREAMAPI ReceiveDevicePacket(PHW_STREAM_REQUEST_BLOCK Srb) {
  PDEVICE_CONTEXT device = static_cast<PDEVICE_CONTEXT>(Srb->HwDeviceExtension);
  Srb->Status = STATUS_SUCCESS;

  switch (Srb->Command) {
    case SRB_GET_STREAM_INFO:
      GetStreamInfo(Srb);
      break;
    case SRB_GET_DATA_INTERSECTION:
      Srb->Status = GetDataIntersection(Srb);
      break;
    case SRB_SURPRISE_REMOVAL:
      Srb->Status = SurpriseRemoval(device);
      break;
    case SRB_PAGING_OUT_DRIVER:
      // Nothing of the driver is pageable.
      break;
    case SRB_GET_DEVICE_PROPERTY:
      Srb->Status = RouteDeviceProperty(FALSE, Srb);
      break;
    case SRB_SET_DEVICE_PROPERTY:
      Srb->Status = RouteDeviceProperty(TRUE, Srb);
      break;
    // Handlers of the stream life cycle, device start-up, power and PnP (an unknown device
    // command that carries IRP_MJ_PNP). Each answers STATUS_NOT_IMPLEMENTED until it is served;
    // an unknown command that carries anything else always does.
    case SRB_UNKNOWN_DEVICE_COMMAND:
    case SRB_OPEN_STREAM:
    case SRB_CLOSE_STREAM:
    case SRB_INITIALIZE_DEVICE:
    case SRB_CHANGE_POWER_STATE:
    case SRB_UNINITIALIZE_DEVICE:
    case SRB_INITIALIZATION_COMPLETE:
      Srb->Status = STATUS_NOT_IMPLEMENTED;
      break;
    case SRB_OPEN_DEVICE_INSTANCE:
    case SRB_CLOSE_DEVICE_INSTANCE:
    default:
      Srb->Status = STATUS_NOT_IMPLEMENTED;
      break;
  }

  StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

// HwCancelPacket, at DISPATCH_LEVEL. Acts only on read requests of stream 0: the read being
// filled (CurrentRead) or a read still waiting in ReadQueue; one already taken for conversion
// or completion is left to finish there. Takes CurrentReadLock and releases it before it takes
// ReadQueueLock, so it never holds both. Never waits.
//
// The current read of a bulk stream is not cancelled here: its bulk transfer is still writing
// into its buffer and can only be cancelled by a wait, which this level does not allow. That
// read completes through its transfer. (The camera's pipe table gives every stream an
// isochronous pipe.)
void STREAMAPI CancelPacket(PHW_STREAM_REQUEST_BLOCK Srb) {
  ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
  if ((Srb->Flags & SRB_HW_FLAGS_DATA_TRANSFER) == 0 ||
      (Srb->Flags & SRB_HW_FLAGS_STREAM_REQUEST) == 0 || Srb->Command != SRB_READ_DATA ||
      Srb->StreamObject == NULL || Srb->StreamObject->StreamNumber != 0) {
    return;
  }
  PSTREAM_CONTEXT stream = static_cast<PSTREAM_CONTEXT>(Srb->StreamObject->HwStreamExtension);
  PSRB_CONTEXT read = static_cast<PSRB_CONTEXT>(Srb->SRBExtension);
  if (stream == NULL || read == NULL) return;

  bool found = false;
  PVOID rawBuffer = NULL;

  KeAcquireSpinLockAtDpcLevel(&stream->CurrentReadLock);
  if (stream->CurrentRead != NULL && stream->CurrentRead->Srb == Srb) {
    if (stream->TransferKind == TRANSFER_KIND_BULK) {
      KeReleaseSpinLockFromDpcLevel(&stream->CurrentReadLock);
      return;
    }
    if (!stream->NoRawProcessing) rawBuffer = read->Buffer;
    stream->CurrentRead = NULL;
    found = true;
  }
  KeReleaseSpinLockFromDpcLevel(&stream->CurrentReadLock);

  if (!found) {
    KeAcquireSpinLockAtDpcLevel(&stream->ReadQueueLock);
    for (PLIST_ENTRY entry = stream->ReadQueue.Flink; entry != &stream->ReadQueue;
         entry = entry->Flink) {
      if (entry == &read->Link) {
        RemoveEntryList(entry);
        if (!stream->NoRawProcessing) rawBuffer = read->Buffer;
        found = true;
        break;
      }
    }
    KeReleaseSpinLockFromDpcLevel(&stream->ReadQueueLock);
  }

  if (!found) return;
  if (rawBuffer != NULL) {
    ExFreePoolWithTag(rawBuffer, LUMOCAM_POOL_TAG);
    read->Buffer = NULL;
  }
  if (Srb->CommandData.DataBufferArray != NULL) Srb->CommandData.DataBufferArray->DataUsed = 0;
  Srb->Status = STATUS_CANCELLED;
  StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
}

// HwRequestTimeoutHandler. Any IRQL; touches only the request. Restarting the count means the
// stream class never fails a request for its time-out: a read waits for a frame as long as it
// takes.
void STREAMAPI RestartRequestTimeout(PHW_STREAM_REQUEST_BLOCK Srb) {
  Srb->TimeoutCounter = Srb->TimeoutOriginal;
}

// SRB_SURPRISE_REMOVAL. PASSIVE_LEVEL. After it no synchronous USB request is sent and reads
// outside STOP are refused. Transfers, queued reads and the streams themselves are released later
// by SRB_CLOSE_STREAM and SRB_UNINITIALIZE_DEVICE.
NTSTATUS SurpriseRemoval(PDEVICE_CONTEXT Device) {
  Device->DeviceGone = TRUE;
  StopStatusReader(Device);
  for (ULONG n = 0; n < STREAM_SLOT_COUNT; n++) {
    PSTREAM_CONTEXT stream = Device->StreamSlots[n];
    if (stream != NULL && stream->DeliveryActive) StopDelivery(Device, stream);
  }
  return STATUS_SUCCESS;
}
