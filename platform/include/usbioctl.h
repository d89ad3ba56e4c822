// The internal device-control requests a USB client driver sends to the bus driver below it,
// and the port status bits. Our own declarations of the platform's names.
//
// IOCTL_INTERNAL_USB_SUBMIT_URB: Parameters.Others.Argument1 is the URB.
// IOCTL_INTERNAL_USB_GET_PORT_STATUS: Argument1 points to a ULONG that receives the
//   USBD_PORT_* bits of the device's upstream port.
// IOCTL_INTERNAL_USB_RESET_PORT: resets and re-enables the upstream port; no arguments. The
//   device keeps its address and configuration.
#pragma once

#include <wdm.h>

#define USB_SUBMIT_URB 0
#define USB_GET_PORT_STATUS 4
#define USB_RESET_PORT 5

#define IOCTL_INTERNAL_USB_SUBMIT_URB \
  CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS \
  CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT \
  CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)

#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

#ifdef __cplusplus
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "submit URB code");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013, "port status code");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220017, "port reset code");
#endif
