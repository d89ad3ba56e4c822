// The image controls (the proc-amp property set and the three stored-only controls) and the
// device property router. Not here: the camera's own property set, and the persistence of the
// settings.
#include "control/image_controls.h"

#include <ks.h>
#include <ksmedia.h>

#include "control/register_access.h"

namespace {

// Sensor registers of the four offered controls.
const USHORT SENSOR_REGISTER_BRIGHTNESS = 0xE6;
const USHORT SENSOR_REGISTER_CONTRAST = 0xE7;
const USHORT SENSOR_REGISTER_SATURATION = 0xF2;
const USHORT SENSOR_REGISTER_GAMMA = 0xE8;
// What the sensor's gamma register holds for "no gamma correction" (control value 0).
const UCHAR SENSOR_GAMMA_OFF = 0xEE;
// Brightness and contrast are signed around 128, saturation around 101: the default of each
// reaches the sensor as 0xFF.
const LONG BRIGHTNESS_ZERO = 128;
const LONG CONTRAST_ZERO = 128;
const LONG SATURATION_ZERO = 101;

// One control: where its value lives and what the proc-amp set calls it.
struct IMAGE_CONTROL_INFO {
  LONG Maximum;
  LONG Default;
  LONG PropertyId;  // -1: not offered as a property
};

const IMAGE_CONTROL_INFO IMAGE_CONTROLS[IMAGE_CONTROL_COUNT] = {
    /* Brightness   */ {255, 127, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS},
    /* Contrast     */ {255, 127, KSPROPERTY_VIDEOPROCAMP_CONTRAST},
    /* Saturation   */ {200, 100, KSPROPERTY_VIDEOPROCAMP_SATURATION},
    /* Gamma        */ {64, 0, KSPROPERTY_VIDEOPROCAMP_GAMMA},
    /* Hue          */ {255, 128, -1},
    /* Sharpness    */ {7, 3, -1},
    /* WhiteBalance */ {128, 64, -1},
};

PLONG ControlField(PDEVICE_CONTEXT Device, IMAGE_CONTROL Control) {
  switch (Control) {
    case IMAGE_CONTROL_BRIGHTNESS: return &Device->Brightness;
    case IMAGE_CONTROL_CONTRAST: return &Device->Contrast;
    case IMAGE_CONTROL_SATURATION: return &Device->Saturation;
    case IMAGE_CONTROL_GAMMA: return &Device->Gamma;
    case IMAGE_CONTROL_HUE: return &Device->Hue;
    case IMAGE_CONTROL_SHARPNESS: return &Device->Sharpness;
    case IMAGE_CONTROL_WHITE_BALANCE: return &Device->WhiteBalance;
    default: return NULL;
  }
}

// The control a proc-amp property id names; FALSE for an id this driver does not offer.
BOOLEAN ControlFromPropertyId(ULONG PropertyId, IMAGE_CONTROL* Control) {
  for (int i = 0; i < IMAGE_CONTROL_COUNT; i++) {
    if (IMAGE_CONTROLS[i].PropertyId >= 0 && (ULONG)IMAGE_CONTROLS[i].PropertyId == PropertyId) {
      *Control = (IMAGE_CONTROL)i;
      return TRUE;
    }
  }
  return FALSE;
}

// The request's property descriptor and its data record, or NULL when the request is too short
// to carry one (the stream class checks the declared sizes; this keeps the driver from relying
// on it).
PKSPROPERTY_VIDEOPROCAMP_S ProcAmpRecord(PHW_STREAM_REQUEST_BLOCK Srb) {
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
  if (descriptor == NULL || descriptor->PropertyInfo == NULL ||
      descriptor->PropertyOutputSize < sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
    return NULL;
  }
  return static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(descriptor->PropertyInfo);
}

}  // namespace

LONG ImageControlMaximum(IMAGE_CONTROL Control) {
  return (Control < IMAGE_CONTROL_COUNT) ? IMAGE_CONTROLS[Control].Maximum : 0;
}

LONG ImageControlDefault(IMAGE_CONTROL Control) {
  return (Control < IMAGE_CONTROL_COUNT) ? IMAGE_CONTROLS[Control].Default : 0;
}

NTSTATUS ApplyImageControl(PDEVICE_CONTEXT Device, IMAGE_CONTROL Control, LONG Value) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  PLONG field = ControlField(Device, Control);
  if (field == NULL || Value < 0 || Value > IMAGE_CONTROLS[Control].Maximum) {
    return STATUS_INVALID_PARAMETER;
  }
  *field = Value;
  // The sensor takes the low 8 bits of each computed value; a lost write (sensor bus busy) is
  // not reported, the stored value stands.
  switch (Control) {
    case IMAGE_CONTROL_BRIGHTNESS:
      WriteSensorRegister(Device, SENSOR_REGISTER_BRIGHTNESS,
                          (USHORT)((Value - BRIGHTNESS_ZERO) & 0xFF));
      break;
    case IMAGE_CONTROL_CONTRAST:
      WriteSensorRegister(Device, SENSOR_REGISTER_CONTRAST,
                          (USHORT)((Value - CONTRAST_ZERO) & 0xFF));
      break;
    case IMAGE_CONTROL_SATURATION:
      WriteSensorRegister(Device, SENSOR_REGISTER_SATURATION,
                          (USHORT)((Value - SATURATION_ZERO) & 0xFF));
      break;
    case IMAGE_CONTROL_GAMMA:
      WriteSensorRegister(Device, SENSOR_REGISTER_GAMMA,
                          (USHORT)(Value == 0 ? SENSOR_GAMMA_OFF : ((Value - 1) & 0xFF)));
      break;
    default:
      break;
  }
  return STATUS_SUCCESS;
}

// What a proc-amp get and set both start with: nothing transferred yet, the control the
// property id names (STATUS_NOT_SUPPORTED for another id) and the request's data record
// (STATUS_BUFFER_TOO_SMALL when it cannot hold one).
static NTSTATUS OpenProcAmpRequest(PHW_STREAM_REQUEST_BLOCK Srb, IMAGE_CONTROL* Control,
                                   PKSPROPERTY_VIDEOPROCAMP_S* Record) {
  Srb->ActualBytesTransferred = 0;
  if (!ControlFromPropertyId(Srb->CommandData.PropertyInfo->Property->Id, Control)) {
    return STATUS_NOT_SUPPORTED;
  }
  *Record = ProcAmpRecord(Srb);
  return (*Record == NULL) ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

NTSTATUS GetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK Srb) {
  PDEVICE_CONTEXT device = static_cast<PDEVICE_CONTEXT>(Srb->HwDeviceExtension);
  IMAGE_CONTROL control;
  PKSPROPERTY_VIDEOPROCAMP_S record;
  NTSTATUS status = OpenProcAmpRequest(Srb, &control, &record);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  record->Value = (LONG)(*ControlField(device, control) & 0xFFFF);
  record->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  record->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  Srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
  return STATUS_SUCCESS;
}

NTSTATUS SetProcAmpProperty(PHW_STREAM_REQUEST_BLOCK Srb) {
  PDEVICE_CONTEXT device = static_cast<PDEVICE_CONTEXT>(Srb->HwDeviceExtension);
  IMAGE_CONTROL control;
  PKSPROPERTY_VIDEOPROCAMP_S record;
  NTSTATUS status = OpenProcAmpRequest(Srb, &control, &record);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // Flags and Capabilities of the request are not looked at: every control is manual.
  status = ApplyImageControl(device, control, record->Value);
  if (NT_SUCCESS(status)) {
    Srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
  }
  return status;
}

NTSTATUS RouteDeviceProperty(BOOLEAN IsSet, PHW_STREAM_REQUEST_BLOCK Srb) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
  if (descriptor == NULL || descriptor->Property == NULL) {
    Srb->ActualBytesTransferred = 0;
    return STATUS_NOT_SUPPORTED;
  }
  const GUID& set = descriptor->Property->Set;
  if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOPROCAMP)) {
    return IsSet ? SetProcAmpProperty(Srb) : GetProcAmpProperty(Srb);
  }
  // The camera's own property set has its own handlers; without them in this driver it is not
  // served, like any set the driver does not know.
  Srb->ActualBytesTransferred = 0;
  return STATUS_NOT_SUPPORTED;
}
