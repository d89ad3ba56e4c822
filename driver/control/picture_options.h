// The sensor's picture options: mirror, flip, low light, mains lighting and test mode. Each is a
// stored setting that takes effect by one register write at the moment it is applied: bits of
// sensor registers 0xFD and 0xE9, written from their shadows so that the other bits keep what
// the register script gave them, or bit 6 of bridge register 0x0100. The caller stores the
// setting field before it calls the apply routine. The white-balance status is stored only.
//
// All run at PASSIVE_LEVEL. No lock protects the shadows or the frame-discard window; the
// packet parser reads and advances the window on the streaming path.
#pragma once

#include <wdm.h>

#include "core/lumocam.h"

#define SENSOR_REGISTER_OPTIONS 0xFD   // mirror, flip, low light
#define SENSOR_REGISTER_LIGHTING 0xE9  // mains frequency
#define BRIDGE_REGISTER_MODE 0x0100    // test pattern

#define OPTIONS_MIRROR_BIT 0x80
#define OPTIONS_NOT_FLIPPED_BIT 0x40
#define OPTIONS_LOW_LIGHT_BIT 0x02
// Low light off keeps only the mirror and flip bits of 0xFD.
#define OPTIONS_LOW_LIGHT_OFF_KEEP 0xC0
#define LIGHTING_BITS 0x30
#define LIGHTING_ON_BIT 0x20
#define LIGHTING_OFF_BIT 0x10
#define MODE_TEST_PATTERN_BIT 0x0040
// Frames after the last one seen that a mirror change drops (the sensor reads out half-mirrored
// frames meanwhile).
#define MIRROR_DISCARD_FRAMES 3

// Arms the frame-discard window from the last frame number seen, then sets or clears the mirror
// bit of the 0xFD shadow (set when Mirror is not 0) and writes 0xFD.
void ApplyMirror(PDEVICE_CONTEXT Device);
// Clears the "not flipped" bit of the 0xFD shadow when Flip is exactly 1, sets it for any other
// value, and writes 0xFD.
void ApplyFlip(PDEVICE_CONTEXT Device);
// LowLight not 0: sets the low-light bit of the 0xFD shadow; 0: clears bits 0 to 5. Writes 0xFD.
void ApplyLowLight(PDEVICE_CONTEXT Device);
// Lighting not 0 selects bit 5 of the 0xE9 shadow, 0 selects bit 4; writes 0xE9.
void ApplyLighting(PDEVICE_CONTEXT Device);
// Read-modify-write of bridge register 0x0100: bit 6 set when TestMode is not 0.
void ApplyTestMode(PDEVICE_CONTEXT Device);
