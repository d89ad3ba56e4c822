// The USB driver interface as a client driver sees it: URBs and their records (usb.h) and the
// internal requests to the bus driver (usbioctl.h).
#pragma once

#include "usb.h"
#include "usbioctl.h"
