// Synchronous USB requests of the camera driver: SubmitUrbSync and what is built on it without
// knowing the configuration (vendor requests, pipe abort, interface selection).
//
// Contract of a synchronous request, from SubmitUrbSync down to the bus and back:
// - One at a time per device: UsbCallSemaphore is held from before the IRP is built until its
//   status is known, so a vendor request waits while an interface selection is in progress.
// - The IRP is a threaded internal device-control IRP whose event and status block live on the
//   caller's stack. The bus completes it at DISPATCH_LEVEL; the I/O manager then writes the
//   status block, signals the event and frees the IRP.
// - Time-out: after URB_TIMEOUT the IRP is cancelled and the request reports STATUS_IO_TIMEOUT.
//   The caller's frame is not left before the bus has given the cancelled IRP back: the event
//   and the status block it will write stay valid until then. (Returning at once, as a bare
//   cancel would, lets the late completion write into a stack frame that is gone.)
// - Failures are counted; USB_ERROR_LIMIT in a row set DeviceGone, and from then on every
//   request reports success without touching the bus.
#include "usb/usb_requests.h"

namespace {

// The vendor request block: the URB followed by its data stage. The URB comes first so that it
// sits on the pool's alignment whatever the data length.
struct VENDOR_REQUEST_BLOCK {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
  UCHAR Data[1];
};

// One vendor request queued from DISPATCH_LEVEL to the delayed work queue.
struct VENDOR_WORK_RECORD {
  WORK_QUEUE_ITEM WorkItem;
  PDEVICE_CONTEXT Device;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  PVOID Buffer;
  PULONG Length;
  BOOLEAN DirectionIn;
  PVENDOR_REQUEST_COMPLETION Completion;
  PVOID CompletionContext;
};

// Keeps the consecutive-failure count: an error status (both top bits set) counts, anything
// else clears the count. Called while UsbCallSemaphore is still held, so that two requests
// finishing one after the other never lose a count.
void CountRequestResult(PDEVICE_CONTEXT Device, NTSTATUS Status) {
  if (NT_ERROR(Status)) {
    Device->UsbErrorCount++;
    if (Device->UsbErrorCount >= USB_ERROR_LIMIT) {
      Device->DeviceGone = TRUE;
    }
  } else {
    Device->UsbErrorCount = 0;
  }
}

void NTAPI VendorRequestWorker(PVOID Parameter) {
  VENDOR_WORK_RECORD* record = static_cast<VENDOR_WORK_RECORD*>(Parameter);
  NTSTATUS status =
      SendVendorRequest(record->Device, record->Request, record->Value, record->Index,
                        record->Buffer, record->Length, record->DirectionIn);
  if (record->Completion != NULL) {
    record->Completion(record->Device, record->CompletionContext, status);
  }
  ExFreePoolWithTag(record, LUMOCAM_POOL_TAG);
}

// TRUE when some pipe of PipeTable has a bulk or interrupt transfer outstanding.
BOOLEAN AnyPipeTransferActive(PDEVICE_CONTEXT Device) {
  if (Device->PipeTable == NULL || Device->InterfaceInfo == NULL) return FALSE;
  KIRQL oldIrql;
  BOOLEAN active = FALSE;
  KeAcquireSpinLock(&Device->PipeStateLock, &oldIrql);
  for (ULONG i = 0; i < Device->InterfaceInfo->NumberOfPipes; i++) {
    if (Device->PipeTable[i].ActiveTransfer != NULL) active = TRUE;
  }
  KeReleaseSpinLock(&Device->PipeStateLock, oldIrql);
  return active;
}

}  // namespace

NTSTATUS SubmitUrbSync(PDEVICE_CONTEXT Device, PURB Urb) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  if (Device->DeviceGone) {
    return STATUS_SUCCESS;
  }

  KeWaitForSingleObject(&Device->UsbCallSemaphore, Executive, KernelMode, FALSE, NULL);

  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;

  NTSTATUS status;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Device->BusDeviceObject,
                                           NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
  if (irp == NULL) {
    status = STATUS_UNSUCCESSFUL;
  } else {
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    if (Device->InitState == 0) {
      // Built but not to be sent. The I/O manager owns a built IRP and frees it only when it
      // is completed (IoFreeIrp is not for these), so the request is completed here with the
      // refusal: first put on its first stack location, as if this driver had been sent it,
      // so that the completion walks a real location up to the I/O manager.
      status = STATUS_DEVICE_DATA_ERROR;
      IoSetNextIrpStackLocation(irp);
      irp->IoStatus.Status = status;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    } else {
      status = IoCallDriver(Device->BusDeviceObject, irp);
      if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = URB_TIMEOUT;
        NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        BOOLEAN timedOut = FALSE;
        if (wait == STATUS_TIMEOUT) {
          // At APC_LEVEL the completion cannot finish under us between the look at the event
          // and the cancel.
          KIRQL oldIrql = KeGetCurrentIrql();
          BOOLEAN raised = FALSE;
          if (oldIrql < APC_LEVEL) {
            KeRaiseIrql(APC_LEVEL, &oldIrql);
            raised = TRUE;
          }
          if (KeReadStateEvent(&event) == 0) {
            timedOut = TRUE;
            ioStatus.Status = STATUS_IO_TIMEOUT;
            IoCancelIrp(irp);
          }
          if (raised) {
            KeLowerIrql(oldIrql);
          }
          if (timedOut) {
            // The bus gives every cancelled IRP back; until it has, the event and the status
            // block on this stack are still its to write.
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
          }
        }
        status = timedOut ? STATUS_IO_TIMEOUT : ioStatus.Status;
      }
    }
  }

  CountRequestResult(Device, status);
  KeReleaseSemaphore(&Device->UsbCallSemaphore, 0, 1, FALSE);
  return status;
}

NTSTATUS SendVendorRequest(PDEVICE_CONTEXT Device, UCHAR Request, USHORT Value, USHORT Index,
                           PVOID Buffer, PULONG Length, BOOLEAN DirectionIn) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  ULONG dataLength = (Length != NULL) ? *Length : 0;
  SIZE_T blockSize = FIELD_OFFSET(VENDOR_REQUEST_BLOCK, Data) + (SIZE_T)dataLength;
  VENDOR_REQUEST_BLOCK* block = static_cast<VENDOR_REQUEST_BLOCK*>(
      ExAllocatePoolWithTag(NonPagedPool, blockSize, LUMOCAM_POOL_TAG));
  if (block == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Zeroed so that an IN request that brings no data (device gone) leaves zeros, not pool.
  RtlZeroMemory(block, blockSize);

  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* urb = &block->Urb;
  urb->Hdr.Length = (USHORT)sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  urb->TransferFlags = DirectionIn ? USBD_TRANSFER_DIRECTION_IN : 0;
  urb->TransferBufferLength = dataLength;
  urb->TransferBuffer = (dataLength != 0) ? block->Data : NULL;
  urb->TransferBufferMDL = NULL;
  urb->UrbLink = NULL;
  urb->RequestTypeReservedBits = 0;
  urb->Request = Request;
  urb->Value = Value;
  urb->Index = Index;
  if (dataLength != 0 && !DirectionIn) {
    RtlCopyMemory(block->Data, Buffer, dataLength);
  }

  NTSTATUS status = SubmitUrbSync(Device, reinterpret_cast<PURB>(urb));
  if (NT_SUCCESS(status) && Length != NULL) {
    // The bus reports what it moved; never more than the data area holds.
    ULONG transferred = urb->TransferBufferLength;
    if (transferred > dataLength) transferred = dataLength;
    *Length = transferred;
    if (DirectionIn && transferred != 0) {
      RtlCopyMemory(Buffer, block->Data, transferred);
    }
  }
  ExFreePoolWithTag(block, LUMOCAM_POOL_TAG);
  return status;
}

NTSTATUS SendVendorRequestAsync(PDEVICE_CONTEXT Device, UCHAR Request, USHORT Value,
                                USHORT Index, PVOID Buffer, PULONG Length, BOOLEAN DirectionIn,
                                PVENDOR_REQUEST_COMPLETION Completion, PVOID CompletionContext) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    NTSTATUS status =
        SendVendorRequest(Device, Request, Value, Index, Buffer, Length, DirectionIn);
    if (Completion != NULL) {
      Completion(Device, CompletionContext, status);
    }
    return status;
  }

  VENDOR_WORK_RECORD* record = static_cast<VENDOR_WORK_RECORD*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(VENDOR_WORK_RECORD), LUMOCAM_POOL_TAG));
  if (record == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  record->Device = Device;
  record->Request = Request;
  record->Value = Value;
  record->Index = Index;
  record->Buffer = Buffer;
  record->Length = Length;
  record->DirectionIn = DirectionIn;
  record->Completion = Completion;
  record->CompletionContext = CompletionContext;
  ExInitializeWorkItem(&record->WorkItem, VendorRequestWorker, record);
  ExQueueWorkItem(&record->WorkItem, DelayedWorkQueue);
  return STATUS_PENDING;
}

NTSTATUS AbortPipe(PDEVICE_CONTEXT Device, USBD_PIPE_HANDLE PipeHandle) {
  if (Device->DeviceGone) {
    return STATUS_SUCCESS;
  }
  struct _URB_PIPE_REQUEST* urb = static_cast<struct _URB_PIPE_REQUEST*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), LUMOCAM_POOL_TAG));
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = (USHORT)sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  urb->PipeHandle = PipeHandle;
  NTSTATUS status = SubmitUrbSync(Device, reinterpret_cast<PURB>(urb));
  ExFreePoolWithTag(urb, LUMOCAM_POOL_TAG);
  return status;
}

NTSTATUS SelectInterface(PDEVICE_CONTEXT Device, PUSBD_INTERFACE_INFORMATION Interface) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  if (Device->DeviceGone) {
    return STATUS_SUCCESS;
  }
  if (Device->InterfaceInfo == NULL || Interface == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  // A bulk or interrupt transfer outstanding on a pipe of the old setting would have to be
  // cancelled and kept for a restart; this driver has none that could be.
  if (AnyPipeTransferActive(Device)) {
    return STATUS_DEVICE_DATA_ERROR;
  }

  // Sized for the larger of the two descriptions, so that neither the copy in nor the bus's
  // answer can run past the request.
  ULONG pipes = Device->InterfaceInfo->NumberOfPipes;
  if (Interface->NumberOfPipes > pipes) pipes = Interface->NumberOfPipes;
  if (pipes == 0) pipes = 1;
  SIZE_T requestSize = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
  SIZE_T interfaceRoom = requestSize - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
  if (Interface->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) ||
      Interface->Length > interfaceRoom) {
    return STATUS_INVALID_PARAMETER;
  }

  struct _URB_SELECT_INTERFACE* urb = static_cast<struct _URB_SELECT_INTERFACE*>(
      ExAllocatePoolWithTag(NonPagedPool, requestSize, LUMOCAM_POOL_TAG));
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, requestSize);
  RtlCopyMemory(&urb->Interface, Interface, Interface->Length);
  urb->Hdr.Length = (USHORT)requestSize;
  urb->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->ConfigurationHandle = Device->ConfigurationHandle;

  NTSTATUS status = SubmitUrbSync(Device, reinterpret_cast<PURB>(urb));
  if (NT_SUCCESS(status) && USBD_SUCCESS(urb->Hdr.Status)) {
    // The answer replaces both descriptions; each keeps the room it had, so an answer that
    // would not fit is refused rather than copied short.
    USHORT answered = urb->Interface.Length;
    if (answered > interfaceRoom || answered > Device->InterfaceInfo->Length ||
        answered > Interface->Length) {
      status = STATUS_DEVICE_DATA_ERROR;
    } else {
      if (Interface != Device->InterfaceInfo) {
        RtlCopyMemory(Interface, &urb->Interface, answered);
      }
      RtlCopyMemory(Device->InterfaceInfo, &urb->Interface, answered);
    }
  } else if (NT_SUCCESS(status)) {
    // The bus took the request but the selection failed: the interface did not change, so the
    // caller must not be told it did (the pipe handles it holds are those of the old setting).
    status = STATUS_UNSUCCESSFUL;
  }
  ExFreePoolWithTag(urb, LUMOCAM_POOL_TAG);
  return status;
}
