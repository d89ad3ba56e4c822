// The USB driver library: descriptor parsing, the building of select-configuration requests,
// and the macros that fill the common URBs. Our own declarations of the platform's names.
#pragma once

#include "usbdi.h"

// One entry per interface of a configuration to select; the list ends with an entry whose
// InterfaceDescriptor is NULL. USBD_CreateConfigurationRequestEx points each Interface into
// the request it builds.
typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// Finds the first interface descriptor at or after StartPosition inside the configuration
// descriptor set that matches every criterion that is not -1. NULL when none matches or the
// set is malformed. Any IRQL.
NTSYSAPI PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// Finds the next descriptor of the given type at or after StartPosition, NULL when none.
NTSYSAPI PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                            ULONG TotalLength,
                                                            PVOID StartPosition,
                                                            LONG DescriptorType);

// Builds a select-configuration URB (non-paged pool, freed by the caller with ExFreePool) for
// the interfaces of InterfaceList: each gets its USBD_INTERFACE_INFORMATION inside the URB
// with its number, alternate setting, pipe count and Length filled and each pipe's
// MaximumTransferSize set to USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE; each list entry's Interface
// points to it. NULL when the pool has no memory. PASSIVE_LEVEL or DISPATCH_LEVEL.
NTSYSAPI PURB NTAPI USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
    PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength, \
                                     link)                                                   \
  do {                                                                                       \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                     \
    (urb)->UrbHeader.Length = (length);                                                      \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);        \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);              \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                    \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                    \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                            \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                            \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                     \
  } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value,  \
                              index, transferBuffer, transferBufferMDL, transferBufferLength, \
                              link)                                                           \
  do {                                                                                        \
    (urb)->UrbHeader.Function = (cmd);                                                        \
    (urb)->UrbHeader.Length = (length);                                                       \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);        \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);              \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                    \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);             \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                  \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                      \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                      \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                      \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                     \
  } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,      \
                                               transferBufferMDL, transferBufferLength,      \
                                               transferFlags, link)                          \
  do {                                                                                       \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                     \
    (urb)->UrbHeader.Length = (length);                                                      \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                             \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);         \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);               \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                     \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                       \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                      \
  } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, \
                                       alternateSetting)                                 \
  do {                                                                                   \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                           \
    (urb)->UrbHeader.Length = (length);                                                  \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);           \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);             \
    (urb)->UrbSelectInterface.Interface.Length =                                         \
        (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE)); \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);               \
  } while (0)
