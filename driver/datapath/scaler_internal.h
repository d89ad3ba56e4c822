// The scaler's inside, shared by the reference passes, the vector passes, their tests and the
// benchmark: the plan of one call (clipped region, written size, tables, line buffers) and the
// table and pass routines. Not for the rest of the driver, which calls ScalePackedYuv422 only.
//
// Line buffer units. The reference passes keep a horizontally interpolated row in 1/64 of a
// sample value (0 to 16320). The vector passes keep the same value plus 32 (the vertical pass's
// rounding term folded in once per source row instead of once per destination byte); a line
// buffer is only ever read by the kind of pass that wrote it.
#pragma once

#include <wdm.h>

#include "datapath/scaler.h"

// The double nearest 1e-07, added before every truncation of a position or weight.
#define POSITION_EPSILON 1e-7
// Fixed point of the weights: 14 fractional bits.
#define SCALER_WEIGHT_ONE 16384
#define SCALER_WEIGHT_SHIFT 14
// Guard entries after each line buffer.
#define SCALER_LINE_PAD 16
#ifndef MAXLONG
#define MAXLONG 0x7FFFFFFF
#endif

// Bytes per element.
#define SCALER_ELEMENT_BYTES 4

// The table building and the vector passes are compiled for SSE2 arithmetic, so that the 32-bit
// build computes every position in IEEE double precision exactly as the 64-bit build does
// (x87 extended precision would round differently).
#if defined(__i386__) || defined(__x86_64__)
#define SCALER_FP_TARGET __attribute__((target("sse2,fpmath=sse")))
#else
#define SCALER_FP_TARGET
#endif

typedef struct _SCALER_PLAN {
  // Arguments, the region clipped to the source.
  const UCHAR* Source;     // first byte of the region
  LONG SourceStep;
  UCHAR* Destination;
  LONG DestinationStep;
  IMAGE_RECT Region;       // clipped
  LONG LastColumn;         // source width - region X - 1: the source's last element, region-relative
  LONG LastRow;            // source height - region Y - 1
  LONG WrittenWidth;       // elements
  LONG WrittenHeight;      // rows
  double StepX;
  double StepY;

  // The six scratch blocks.
  LONG* RowOffsets;        // upper source row x source step, per destination row
  LONG* ColumnOffsets;     // 4 x left source element, per destination element
  USHORT* RowWeights;      // weight of the lower row, per destination row
  USHORT* ColumnWeights;   // left weight, right weight, per destination element
  USHORT* Lines[2];        // 4 x WrittenWidth + SCALER_LINE_PAD entries each

  // Vector passes: their own expanded form of the column tables (one more scratch block).
  PVOID FastColumns;
  LONG FastColumnGroups;   // groups of two elements the vector horizontal pass handles
} SCALER_PLAN, *PSCALER_PLAN;

// Validation in the documented order, clipping, written size and steps. Floating point: call
// between KeSaveFloatingPointState and KeRestoreFloatingPointState. Returns SCALE_OK or the
// result code of the first failing check; fills Region, LastColumn, LastRow, WrittenWidth,
// WrittenHeight, StepX and StepY.
LONG ScalerPlanLayout(PSCALER_PLAN plan, const UCHAR* source, IMAGE_SIZE sourceSize,
                      LONG sourceStep, IMAGE_RECT sourceRoi, UCHAR* destination,
                      LONG destinationStep, IMAGE_SIZE destinationSize, double xFactor,
                      double yFactor, LONG interpolation);

// Indexes and weights along one axis, corner-aligned: positions accumulate `step` by repeated
// double addition from 0. index[k] is the left (upper) source index, weight[k] the right (lower)
// weight; an index that lands on `lastIndex` moves one back with the full weight on the right.
// Floating point, as above.
void ScalerBuildAxis(double step, LONG count, LONG lastIndex, LONG* index, USHORT* weight);

// Fills the four tables of the plan from its layout. Floating point, as above.
void ScalerBuildTables(PSCALER_PLAN plan);

// One horizontal pass of region row `row` (a pointer to its first region byte) into `line`.
typedef void (*PSCALER_HORIZONTAL_PASS)(const SCALER_PLAN* plan, const UCHAR* row, USHORT* line);
// One vertical pass of two lines into destination row `out` with lower-row weight `weight`.
typedef void (*PSCALER_VERTICAL_PASS)(const SCALER_PLAN* plan, const USHORT* upper,
                                      const USHORT* lower, ULONG weight, UCHAR* out);

typedef struct _SCALER_PASSES {
  PSCALER_HORIZONTAL_PASS Horizontal;
  PSCALER_VERTICAL_PASS Vertical;
  // Builds FastColumns from the column tables (NULL for the reference passes); its size in
  // bytes comes from FastColumnBytes.
  void (*PrepareColumns)(PSCALER_PLAN plan);
  LONG (*FastColumnBytes)(const SCALER_PLAN* plan);
  // Two destination rows of the same pair of lines (an upscale puts several rows between two
  // source rows): the lines are read once for both. NULL: row by row.
  void (*VerticalPair)(const SCALER_PLAN* plan, const USHORT* upper, const USHORT* lower,
                       ULONG firstWeight, ULONG secondWeight, UCHAR* firstOut, UCHAR* secondOut);
} SCALER_PASSES;

// The reference passes.
void ScalerHorizontalReference(const SCALER_PLAN* plan, const UCHAR* row, USHORT* line);
void ScalerVerticalReference(const SCALER_PLAN* plan, const USHORT* upper, const USHORT* lower,
                             ULONG weight, UCHAR* out);

// The passes of each vector path, or NULL when the build has none for it.
const SCALER_PASSES* ScalerVectorPasses(SCALER_PATH path);

// The passes of a path, or NULL when this processor does not offer it.
const SCALER_PASSES* ScalerPassesOf(SCALER_PATH path);

// After ScalerPlanLayout: obtains the scratch blocks (the six tables and line buffers, and the
// vector passes' column block) and fills the tables. SCALE_ERR_NO_MEMORY when a block cannot be
// obtained; ScalerReleasePlan then gives back whatever was obtained (and is always safe on a
// zero-filled plan). Floating point, as above.
LONG ScalerPreparePlan(PSCALER_PLAN plan, const SCALER_PASSES* passes);
void ScalerReleasePlan(PSCALER_PLAN plan);

// Runs the rows of a planned call with the given passes (line management included).
void ScalerRunRows(const SCALER_PLAN* plan, const SCALER_PASSES* passes);

// Scalar pieces the vector passes use for their ragged ends (lines in the vector units).
void ScalerHorizontalElementsBiased(const SCALER_PLAN* plan, const UCHAR* row, USHORT* line,
                                    LONG firstElement, LONG endElement);
void ScalerVerticalBytesBiased(const USHORT* upper, const USHORT* lower, ULONG weight,
                               UCHAR* out, LONG firstByte, LONG endByte);

// Processor features the vector passes need. On the host these come from the CPUID
// instruction; on the target the platform answers (ExIsProcessorFeaturePresent), and a port to
// it replaces only this routine.
#define SCALER_CPU_SSE2 0x1
#define SCALER_CPU_SSSE3 0x2
#define SCALER_CPU_AVX2 0x4
#define SCALER_CPU_AVX512 0x8  // AVX-512 F, BW and VBMI
ULONG ScalerQueryProcessorFeatures(void);
