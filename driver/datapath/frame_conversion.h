// The camera's raw frame and the delivered sizes made by scaling it: the constants the frame
// conversion passes to the scaler, shared with the tools that reproduce the conversion.
#pragma once

#include <wdm.h>

#include "datapath/scaler.h"

// The camera's frame for the scaled sizes: 640x480 YUY2, i.e. 320 elements by 480 rows.
#define CAMERA_IMAGE_WIDTH 640
#define CAMERA_IMAGE_HEIGHT 480
#define CAMERA_IMAGE_ELEMENTS 320
#define CAMERA_IMAGE_ROWS 480
#define CAMERA_IMAGE_STEP 1280
#define CAMERA_IMAGE_BYTES (CAMERA_IMAGE_STEP * CAMERA_IMAGE_ROWS)

typedef struct _UPSCALE_ENTRY {
  LONG DeliveredWidth;   // pixels
  LONG DeliveredHeight;  // rows
  IMAGE_SIZE DestinationSize;  // elements x rows
  LONG DestinationStep;        // bytes
  double Factor;               // x and y
} UPSCALE_ENTRY;

#define UPSCALE_TABLE_ENTRIES 3
extern const UPSCALE_ENTRY UPSCALE_TABLE[UPSCALE_TABLE_ENTRIES];

// The entry of a delivered size, or NULL when that size is delivered by copy.
const UPSCALE_ENTRY* FindUpscaleEntry(LONG width, LONG height);
