// The image controls and the device property router. Four controls (brightness, contrast,
// saturation, gamma) are offered as the standard proc-amp property set and written at once to
// one sensor register each; three more (hue, sharpness, white balance) exist only as stored
// settings. Every device property request of the stream class arrives at RouteDeviceProperty,
// which serves the proc-amp set here and hands the camera's own set to its handlers.
//
// Property requests arrive at PASSIVE_LEVEL; no lock protects the settings fields (a request
// and a stream start may interleave register by register, and the last writer wins).
#pragma once

#include <wdm.h>
#include <strmini.h>

#include "core/lumocam.h"

// The seven image controls, each held in the settings field of the same name.
typedef enum _IMAGE_CONTROL {
  IMAGE_CONTROL_BRIGHTNESS,
  IMAGE_CONTROL_CONTRAST,
  IMAGE_CONTROL_SATURATION,
  IMAGE_CONTROL_GAMMA,
  IMAGE_CONTROL_HUE,
  IMAGE_CONTROL_SHARPNESS,
  IMAGE_CONTROL_WHITE_BALANCE,
  IMAGE_CONTROL_COUNT
} IMAGE_CONTROL;

// Range and default of each control (minimum 0), for the stored settings and the property table.
LONG ImageControlMaximum(IMAGE_CONTROL Control);
LONG ImageControlDefault(IMAGE_CONTROL Control);

// Stores Value in the control's field and, for the four offered controls, writes the sensor
// register. STATUS_INVALID_PARAMETER, with nothing stored or written, when Value is negative or
// above the control's maximum.
NTSTATUS ApplyImageControl(PDEVICE_CONTEXT Device, IMAGE_CONTROL Control, LONG Value);

// SRB_GET_DEVICE_PROPERTY (IsSet FALSE) and SRB_SET_DEVICE_PROPERTY (IsSet TRUE): the status
// that becomes the request's. Any set this driver does not serve: STATUS_NOT_SUPPORTED.
NTSTATUS RouteDeviceProperty(BOOLEAN IsSet, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS GetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS SetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK Srb);
