// The sensor's picture options (mirror, flip, low light, lighting, test mode). Not here: the
// stored settings and their corrections at stream start, and the vendor property requests that
// set them.
#include "control/picture_options.h"

#include "control/register_access.h"

void ApplyMirror(PDEVICE_CONTEXT Device) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  // Frame numbers are 7 bits on the wire, the window is 8-bit arithmetic: near the wrap the end
  // may lie beyond 127, and the numbers after the wrap are then not in the window.
  Device->DropWindowStart = Device->LastFrameNumber;
  Device->DropWindowEnd = (UCHAR)(Device->LastFrameNumber + MIRROR_DISCARD_FRAMES);
  if (Device->Mirror != 0) {
    Device->SensorShadowFD = (UCHAR)(Device->SensorShadowFD | OPTIONS_MIRROR_BIT);
  } else {
    Device->SensorShadowFD = (UCHAR)(Device->SensorShadowFD & ~OPTIONS_MIRROR_BIT);
  }
  WriteSensorRegister(Device, SENSOR_REGISTER_OPTIONS, Device->SensorShadowFD);
}

void ApplyFlip(PDEVICE_CONTEXT Device) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  if (Device->Flip == 1) {
    Device->SensorShadowFD = (UCHAR)(Device->SensorShadowFD & ~OPTIONS_NOT_FLIPPED_BIT);
  } else {
    Device->SensorShadowFD = (UCHAR)(Device->SensorShadowFD | OPTIONS_NOT_FLIPPED_BIT);
  }
  WriteSensorRegister(Device, SENSOR_REGISTER_OPTIONS, Device->SensorShadowFD);
}

void ApplyLowLight(PDEVICE_CONTEXT Device) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  if (Device->LowLight != 0) {
    Device->SensorShadowFD = (UCHAR)(Device->SensorShadowFD | OPTIONS_LOW_LIGHT_BIT);
  } else {
    Device->SensorShadowFD = (UCHAR)(Device->SensorShadowFD & OPTIONS_LOW_LIGHT_OFF_KEEP);
  }
  WriteSensorRegister(Device, SENSOR_REGISTER_OPTIONS, Device->SensorShadowFD);
}

void ApplyLighting(PDEVICE_CONTEXT Device) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  UCHAR bit = (Device->Lighting != 0) ? LIGHTING_ON_BIT : LIGHTING_OFF_BIT;
  Device->SensorShadowE9 = (UCHAR)((Device->SensorShadowE9 & ~LIGHTING_BITS) | bit);
  WriteSensorRegister(Device, SENSOR_REGISTER_LIGHTING, Device->SensorShadowE9);
}

void ApplyTestMode(PDEVICE_CONTEXT Device) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  USHORT mode = ReadBridgeRegister(Device, BRIDGE_REGISTER_MODE);
  if (Device->TestMode != 0) {
    mode = (USHORT)(mode | MODE_TEST_PATTERN_BIT);
  } else {
    mode = (USHORT)(mode & ~MODE_TEST_PATTERN_BIT);
  }
  WriteBridgeRegister(Device, BRIDGE_REGISTER_MODE, mode);
}
