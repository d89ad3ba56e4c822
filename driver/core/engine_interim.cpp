// The two stop routines of the streaming engine that surprise removal calls, as far as they can
// have anything to stop while the engine cannot yet start a status reader or submit transfers:
// stopping then only records the stop. The engine's own routines replace this file.
#include "core/lumocam.h"

// PASSIVE_LEVEL. No reader can be running: nothing to wait for.
NTSTATUS StopStatusReader(PDEVICE_CONTEXT Device) {
  if (Device->StatusReader != NULL) return STATUS_INVALID_PARAMETER;
  Device->StatusReaderRunning = FALSE;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL; waits on DeviceSemaphore. No transfer can be outstanding, so the stop request is
// recorded and delivery ends at once.
NTSTATUS StopDelivery(PDEVICE_CONTEXT Device, PSTREAM_CONTEXT Stream) {
  KeWaitForSingleObject(&Device->DeviceSemaphore, Executive, KernelMode, FALSE, NULL);
  if (Stream->DeliveryActive) {
    Stream->ChannelFlags |= CHANNEL_STOP_REQUESTED;
    Stream->DeliveryActive = 0;
  }
  KeReleaseSemaphore(&Device->DeviceSemaphore, 0, 1, FALSE);
  return STATUS_SUCCESS;
}
