// Sizes of the USB request records as the x86 platform lays them out: the drivers allocate
// and fill these byte for byte (an 80-byte vendor request, a 24-byte pipe request, an
// isochronous URB of (n + 8) x 12 bytes).
#include <usbdlib.h>

#if defined(__i386__)
static_assert(sizeof(struct _URB_HEADER) == 16);
static_assert(sizeof(struct _URB_HCD_AREA) == 32);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 80);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 8);
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 56);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(1) == 56);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(3) == 96);
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60);
static_assert(GET_USBD_INTERFACE_SIZE(3) == 76);
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, StartFrame) == 72);
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, ErrorCount) == 80);
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 84);
static_assert(GET_ISO_URB_SIZE(1) == (1 + 8) * 12);
static_assert(GET_ISO_URB_SIZE(32) == (32 + 8) * 12);
static_assert(GET_ISO_URB_SIZE(256) == (256 + 8) * 12);
static_assert(GET_ISO_URB_SIZE(80) == 1056);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 73);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 74);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 76);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 74);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 75);
#endif
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
