// The packed YUV 4:2:2 bilinear scaler that turns the camera's 640x480 frame into the three
// large delivered sizes, and the aligned scratch memory it works in.
//
// The scaler works on 4-byte elements (one YUY2 pixel pair: Y0 U Y1 V); each of the four bytes
// is a channel of its own, interpolated only from the same byte of neighbouring elements. It
// keeps no state between calls: every call validates, builds its coordinate tables in double
// precision, takes its scratch from the non-paged pool, runs an integer horizontal and an
// integer vertical pass and gives the scratch back.
//
// Runs at PASSIVE_LEVEL (it allocates pool and uses the floating-point and vector units inside
// KeSaveFloatingPointState/KeRestoreFloatingPointState). Takes no lock.
#pragma once

#include <wdm.h>

typedef struct _IMAGE_SIZE {
  LONG Width;   // elements (pixel pairs)
  LONG Height;  // rows
} IMAGE_SIZE, *PIMAGE_SIZE;

typedef struct _IMAGE_RECT {
  LONG X;  // elements from the first element of a row
  LONG Y;  // rows from the first row
  LONG Width;
  LONG Height;
} IMAGE_RECT, *PIMAGE_RECT;

// Results.
#define SCALE_OK 0
#define SCALE_WARN_NO_OVERLAP 29
#define SCALE_ERR_SIZE (-6)
#define SCALE_ERR_NULL_POINTER (-8)
#define SCALE_ERR_NO_MEMORY (-9)
#define SCALE_ERR_STEP (-14)
#define SCALE_ERR_INTERPOLATION (-22)
#define SCALE_ERR_FACTOR (-23)

// The one interpolation mode: bilinear.
#define SCALE_INTERP_LINEAR 2

// Scales the region sourceRoi of source by (xFactor, yFactor) into destination, corner-aligned,
// writing at most destinationSize. Returns SCALE_OK when the destination was written; any other
// result leaves the destination untouched. Uses the fastest pass the processor offers; every
// pass gives the same bytes.
LONG ScalePackedYuv422(const UCHAR* source, IMAGE_SIZE sourceSize, LONG sourceStep,
                       IMAGE_RECT sourceRoi, UCHAR* destination, LONG destinationStep,
                       IMAGE_SIZE destinationSize, double xFactor, double yFactor,
                       LONG interpolation);

// Scratch from the non-paged pool (tag "Wdm "), aligned to 32 bytes. NULL for zero or fewer
// bytes or when the pool has none. FreeAlignedScratch ignores NULL.
PVOID AllocateAlignedScratch(LONG bytes);
void FreeAlignedScratch(PVOID scratch);

// --- Passes -------------------------------------------------------------------------------------
// The scalar pass is the reference; the others are vector versions of it that give identical
// bytes. Tests and the benchmark pick one explicitly; the driver takes the fastest available.
typedef enum _SCALER_PATH {
  ScalerPathScalar = 0,
  ScalerPathSse2 = 1,
  ScalerPathSsse3 = 2,
  ScalerPathAvx2 = 3,
  ScalerPathAvx512 = 4,  // AVX-512 BW with byte permutes (VBMI)
  ScalerPathCount = 5
} SCALER_PATH;

// Whether this processor (and this build) can run the pass.
BOOLEAN ScalerPathAvailable(SCALER_PATH path);
// The fastest available pass.
SCALER_PATH ScalerFastestPath(void);
// Short lower-case name: "scalar", "sse2", "ssse3", "avx2", "avx512".
const char* ScalerPathName(SCALER_PATH path);

// ScalePackedYuv422 with a chosen pass. A pass the processor does not offer returns
// SCALE_ERR_INTERPOLATION and writes nothing.
LONG ScalePackedYuv422Using(SCALER_PATH path, const UCHAR* source, IMAGE_SIZE sourceSize,
                            LONG sourceStep, IMAGE_RECT sourceRoi, UCHAR* destination,
                            LONG destinationStep, IMAGE_SIZE destinationSize, double xFactor,
                            double yFactor, LONG interpolation);
