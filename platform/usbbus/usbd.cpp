// The USB driver library of the platform: descriptor parsing and the building of
// select-configuration requests. Every descriptor set it parses comes from a device and is
// walked within its wTotalLength, stopping at the first malformed descriptor.
#include <usbdlib.h>

namespace {

constexpr ULONG kUsbdPoolTag = 0x44425355;  // "USBD"

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == LONG(actual); }

}  // namespace

extern "C" PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                              ULONG TotalLength,
                                                              PVOID StartPosition,
                                                              LONG DescriptorType) {
  auto* begin = static_cast<UCHAR*>(DescriptorBuffer);
  auto* at = static_cast<UCHAR*>(StartPosition);
  UCHAR* end = begin + TotalLength;
  if (at < begin) return nullptr;
  while (at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end) {
      return nullptr;
    }
    if (DescriptorType == -1 || common->bDescriptorType == DescriptorType) return common;
    at += common->bLength;
  }
  return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  auto* begin = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
  auto* at = static_cast<UCHAR*>(StartPosition);
  for (;;) {
    PUSB_COMMON_DESCRIPTOR found =
        USBD_ParseDescriptors(begin, total, at, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (found == nullptr) return nullptr;
    if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
      if (Matches(InterfaceNumber, interface->bInterfaceNumber) &&
          Matches(AlternateSetting, interface->bAlternateSetting) &&
          Matches(InterfaceClass, interface->bInterfaceClass) &&
          Matches(InterfaceSubClass, interface->bInterfaceSubClass) &&
          Matches(InterfaceProtocol, interface->bInterfaceProtocol)) {
        return interface;
      }
    }
    at = reinterpret_cast<UCHAR*>(found) + found->bLength;
  }
}

extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
    PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  ULONG interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  if (interfaces == 0) size += sizeof(USBD_INTERFACE_INFORMATION);
  if (size > 0xFFFF) return nullptr;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
  if (urb == nullptr) return nullptr;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->NumberOfPipes = descriptor->bNumEndpoints;
    for (ULONG pipe = 0; pipe < descriptor->bNumEndpoints; ++pipe) {
      info->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[pipe].PipeFlags = 0;
    }
    entry->Interface = info;
    cursor += info->Length;
  }
  return urb;
}
