// The USB half of device start-up: the device and configuration descriptors, the number of
// isochronous packets per transfer, the configuration selection shaped by the camera's
// ConfigurePipes, the per-pipe records and their classification. Runs once per device start at
// PASSIVE_LEVEL, from SRB_INITIALIZE_DEVICE; nothing here runs while a stream is open.
//
// Everything read from the device is untrusted: a descriptor request that fails or brings back
// less than a configuration descriptor fails the start rather than being parsed, and the
// descriptor set is never looked at beyond the bytes that were actually received.
#include "usb/usb_requests.h"

#include <usbdlib.h>

namespace {

// The first read of the configuration descriptor set; most sets fit, longer ones are read again
// with their full length.
const ULONG CONFIGURATION_FIRST_READ_BYTES = 64;
// Byte 60 of the set is 2 on the full-speed camera, which then runs 32 packets per transfer.
const ULONG FULL_SPEED_MARKER_OFFSET = 60;
const UCHAR FULL_SPEED_MARKER = 2;
const ULONG PACKETS_PER_TRANSFER_HIGH_SPEED = 256;
const ULONG PACKETS_PER_TRANSFER_FULL_SPEED = 32;

// ClassifyPipes: a pipe configuration whose roles weigh more than this is refused.
const ULONG PIPE_ROLE_WEIGHT_LIMIT = 5;
const UCHAR NO_STREAM = 0xFF;
// The stream number a data pipe serves when its association has no video bit.
const UCHAR STILL_STREAM_NUMBER = 4;

// Sends one GET_DESCRIPTOR request for the device's descriptor of Type into Buffer (Length
// bytes); *Received is the number of bytes the device gave.
NTSTATUS ReadDescriptor(PDEVICE_CONTEXT Device, UCHAR Type, PVOID Buffer, ULONG Length,
                        PULONG Received) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST* urb =
      static_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(ExAllocatePoolWithTag(
          NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), LUMOCAM_POOL_TAG));
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = (USHORT)sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->TransferBufferLength = Length;
  urb->TransferBuffer = Buffer;
  urb->TransferBufferMDL = NULL;
  urb->UrbLink = NULL;
  urb->Index = 0;
  urb->DescriptorType = Type;
  urb->LanguageId = 0;
  NTSTATUS status = SubmitUrbSync(Device, reinterpret_cast<PURB>(urb));
  ULONG received = urb->TransferBufferLength;
  *Received = (received > Length) ? Length : received;
  ExFreePoolWithTag(urb, LUMOCAM_POOL_TAG);
  return status;
}

// Reads the whole configuration descriptor set: first 64 bytes, then, when the set says it is
// longer, once more with its full length. On success *Set is a pool block of *SetLength bytes
// holding at least a configuration descriptor whose wTotalLength does not exceed *SetLength.
NTSTATUS ReadConfigurationSet(PDEVICE_CONTEXT Device, PUSB_CONFIGURATION_DESCRIPTOR* Set,
                              PULONG SetLength) {
  *Set = NULL;
  *SetLength = 0;
  ULONG length = CONFIGURATION_FIRST_READ_BYTES;
  for (int attempt = 0; attempt < 2; attempt++) {
    PUCHAR buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, LUMOCAM_POOL_TAG));
    if (buffer == NULL) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, length);
    ULONG received = 0;
    NTSTATUS status =
        ReadDescriptor(Device, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, length, &received);
    // A gone device answers success with nothing in the buffer: that is no descriptor either.
    if (NT_SUCCESS(status) && received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(buffer, LUMOCAM_POOL_TAG);
      return status;
    }
    PUSB_CONFIGURATION_DESCRIPTOR set = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    ULONG total = set->wTotalLength;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      ExFreePoolWithTag(buffer, LUMOCAM_POOL_TAG);
      return STATUS_DEVICE_DATA_ERROR;
    }
    if (total <= length) {
      if (total > received) {
        // The device announced more than it sent.
        ExFreePoolWithTag(buffer, LUMOCAM_POOL_TAG);
        return STATUS_DEVICE_DATA_ERROR;
      }
      *Set = set;
      *SetLength = length;
      return STATUS_SUCCESS;
    }
    ExFreePoolWithTag(buffer, LUMOCAM_POOL_TAG);
    length = total;
  }
  // The second answer claimed a length longer than the first: the set changes under us.
  return STATUS_DEVICE_DATA_ERROR;
}

}  // namespace

NTSTATUS ClassifyPipes(PDEVICE_CONTEXT Device, ULONG PipeCount) {
  Device->IsoDataPipe = -1;
  Device->BulkDataPipe = -1;
  Device->AuxPipe = -1;
  Device->IsoDataPipeStream = NO_STREAM;
  Device->BulkDataPipeStream = NO_STREAM;
  Device->StillSharesVideoPipe = FALSE;
  ULONG weight = 0;

  for (ULONG i = 0; i < PipeCount; i++) {
    const PIPE_STATE* pipe = &Device->PipeTable[i];
    UCHAR role = pipe->Config.PipeRole;
    UCHAR association = pipe->Config.StreamAssociation;
    // Isochronous (1) and interrupt (3) pipes have bit 0 of the type, bulk (2) only bit 1.
    BOOLEAN periodic = (pipe->PipeType & 0x1) != 0;
    BOOLEAN bulk = !periodic && (pipe->PipeType & 0x2) != 0;
    if (role & PIPE_ROLE_IGNORE) {
      continue;
    }
    if (role == PIPE_ROLE_DATA) {
      if (association != 3 && pipe->DirectionIn) {
        UCHAR stream = (association & 0x1) ? 0 : STILL_STREAM_NUMBER;
        if (periodic) {
          Device->IsoDataPipe = (LONG)i;
          Device->IsoDataPipeStream = stream;
        } else if (bulk) {
          Device->BulkDataPipe = (LONG)i;
          Device->BulkDataPipeStream = stream;
        }
      }
      weight += 1;
    } else if (role == PIPE_ROLE_SHARED) {
      if ((association & 3) != 0 && pipe->DirectionIn) {
        if (periodic) {
          Device->IsoDataPipe = (LONG)i;
          Device->IsoDataPipeStream = 0;
        } else if (bulk) {
          Device->BulkDataPipe = (LONG)i;
          Device->BulkDataPipeStream = 0;
        }
      }
      weight += 2;
      Device->StillSharesVideoPipe = TRUE;
    } else if (role == PIPE_ROLE_AUX) {
      if (periodic && pipe->DirectionIn) {
        Device->AuxPipe = (LONG)i;
      }
    }
  }

  Device->StreamCount = CatalogueCount;
  if ((Device->IsoDataPipe == -1 && Device->BulkDataPipe == -1) ||
      weight > PIPE_ROLE_WEIGHT_LIMIT) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(PDEVICE_CONTEXT Device,
                             PUSB_CONFIGURATION_DESCRIPTOR Configuration) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  ULONG interfaceCount = Configuration->bNumInterfaces;
  SIZE_T listBytes = sizeof(USBD_INTERFACE_LIST_ENTRY) * (interfaceCount + 1);
  PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      ExAllocatePoolWithTag(PagedPool, listBytes, LUMOCAM_POOL_TAG));
  if (list == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(list, listBytes);
  for (ULONG i = 0; i < interfaceCount; i++) {
    list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        Configuration, Configuration, (LONG)i, -1, -1, -1, -1);
  }
  list[interfaceCount].InterfaceDescriptor = NULL;

  PURB request = USBD_CreateConfigurationRequestEx(Configuration, list);
  if (request == NULL) {
    ExFreePoolWithTag(list, LUMOCAM_POOL_TAG);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // No interface was found for entry 0 when the set has none: ConfigurePipes then refuses.
  PUSBD_INTERFACE_INFORMATION interface = (interfaceCount != 0) ? list[0].Interface : NULL;
  ULONG pipeCount = (interface != NULL) ? interface->NumberOfPipes : 0;
  SIZE_T configBytes = sizeof(PIPE_CONFIG) * (pipeCount != 0 ? pipeCount : 1);
  PPIPE_CONFIG pipeConfig = static_cast<PPIPE_CONFIG>(
      ExAllocatePoolWithTag(PagedPool, configBytes, LUMOCAM_POOL_TAG));
  if (pipeConfig == NULL) {
    ExFreePoolWithTag(list, LUMOCAM_POOL_TAG);
    ExFreePool(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(pipeConfig, configBytes);
  NTSTATUS result =
      Device->CameraOps.ConfigurePipes(Device->BusDeviceObject, Device, interface, Configuration,
                                       pipeCount, pipeConfig, Device->DeviceDescriptor);
  ExFreePoolWithTag(list, LUMOCAM_POOL_TAG);

  if (NT_SUCCESS(result)) {
    result = SubmitUrbSync(Device, request);
    if (NT_SUCCESS(result) && !USBD_SUCCESS(request->UrbHeader.Status)) {
      // Sent but refused by the bus: no configuration is selected and the answer holds no
      // pipe handles, so reporting the send's success would start a device without pipes.
      result = STATUS_UNSUCCESSFUL;
    }
  }
  if (NT_SUCCESS(result)) {
    PUSBD_INTERFACE_INFORMATION answered = &request->UrbSelectConfiguration.Interface;
    // The bus answers in place; it cannot add pipes to the room the request was built with.
    ULONG answeredPipes = answered->NumberOfPipes;
    if (answeredPipes > pipeCount) answeredPipes = pipeCount;

    if (Device->PipeTable != NULL) {
      ExFreePoolWithTag(Device->PipeTable, LUMOCAM_POOL_TAG);
      Device->PipeTable = NULL;
    }
    PPIPE_STATE pipes = static_cast<PPIPE_STATE>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(PIPE_STATE) * (answeredPipes != 0 ? answeredPipes : 1),
        LUMOCAM_POOL_TAG));
    if (pipes == NULL) {
      result = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      for (ULONG i = 0; i < answeredPipes; i++) {
        const USBD_PIPE_INFORMATION* info = &answered->Pipes[i];
        pipes[i].PipeType = (UCHAR)(info->PipeType & 3);
        pipes[i].DirectionIn = (UCHAR)((info->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0);
        pipes[i].MaxPacketSize = info->MaximumPacketSize;
        pipes[i].Config = pipeConfig[i];
        pipes[i].ActiveTransfer = NULL;
        pipes[i].DeferredTransfer = NULL;
      }
      Device->PipeTable = pipes;
      result = ClassifyPipes(Device, answeredPipes);
    }

    Device->ConfigurationHandle = request->UrbSelectConfiguration.ConfigurationHandle;
    if (Device->InterfaceInfo != NULL) {
      ExFreePoolWithTag(Device->InterfaceInfo, LUMOCAM_POOL_TAG);
      Device->InterfaceInfo = NULL;
    }
    PUSBD_INTERFACE_INFORMATION copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, answered->Length, LUMOCAM_POOL_TAG));
    if (copy == NULL) {
      if (NT_SUCCESS(result)) result = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlCopyMemory(copy, answered, answered->Length);
      copy->NumberOfPipes = answeredPipes;
      if (answeredPipes > 1) {
        copy->Pipes[1].MaximumTransferSize = DATA_PIPE_MAX_TRANSFER;
      }
      Device->InterfaceInfo = copy;
    }
  }

  ExFreePool(request);
  ExFreePoolWithTag(pipeConfig, LUMOCAM_POOL_TAG);
  return result;
}

NTSTATUS ConfigureDevice(PDEVICE_CONTEXT Device) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  PUSB_CONFIGURATION_DESCRIPTOR set = NULL;
  ULONG setLength = 0;
  NTSTATUS status = ReadConfigurationSet(Device, &set, &setLength);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  const PUCHAR bytes = reinterpret_cast<PUCHAR>(set);
  BOOLEAN fullSpeed = set->wTotalLength > FULL_SPEED_MARKER_OFFSET &&
                      bytes[FULL_SPEED_MARKER_OFFSET] == FULL_SPEED_MARKER;
  Device->PacketsPerTransfer =
      fullSpeed ? PACKETS_PER_TRANSFER_FULL_SPEED : PACKETS_PER_TRANSFER_HIGH_SPEED;

  status = SelectConfiguration(Device, set);
  if (NT_SUCCESS(status)) {
    status = Device->CameraOps.InitializeCamera(Device->BusDeviceObject, Device);
  }
  ExFreePoolWithTag(set, LUMOCAM_POOL_TAG);
  return status;
}

NTSTATUS PrepareUsbDevice(PDEVICE_CONTEXT Device) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  KeInitializeSemaphore(&Device->DeviceSemaphore, 1, 1);
  KeInitializeSemaphore(&Device->UsbCallSemaphore, 1, 1);

  PUSB_DEVICE_DESCRIPTOR descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), LUMOCAM_POOL_TAG));
  if (descriptor == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(descriptor, sizeof(*descriptor));
  ULONG received = 0;
  NTSTATUS status = ReadDescriptor(Device, USB_DEVICE_DESCRIPTOR_TYPE, descriptor,
                                   sizeof(USB_DEVICE_DESCRIPTOR), &received);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(descriptor, LUMOCAM_POOL_TAG);
    return status;
  }
  if (Device->DeviceDescriptor != NULL) {
    ExFreePoolWithTag(Device->DeviceDescriptor, LUMOCAM_POOL_TAG);
  }
  Device->DeviceDescriptor = descriptor;

  status = ConfigureDevice(Device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  for (ULONG i = 0; i < STREAM_SLOT_COUNT; i++) {
    Device->OpenCount[i] = 0;
    Device->RecoveryPending[i] = -1;
  }
  return status;
}
