// The scaler's call sequence (validation, plan, scratch, rows) and its scalar reference passes.
// The vector passes live beside it and are checked byte for byte against these.
#include "datapath/scaler_internal.h"

#define SCALER_POOL_TAG 0x206D6457  // "Wdm "

// --- Aligned scratch ----------------------------------------------------------------------------
// The block's own address sits in the pointer-sized slot just below the aligned address.

#define SCRATCH_ALIGNMENT 32

PVOID AllocateAlignedScratch(LONG bytes) {
  if (bytes <= 0) {
    return NULL;
  }
  SIZE_T request = (SIZE_T)bytes + SCRATCH_ALIGNMENT + sizeof(PVOID);
  PUCHAR block = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, request, SCALER_POOL_TAG);
  if (block == NULL) {
    return NULL;
  }
  ULONG_PTR aligned = ((ULONG_PTR)block + sizeof(PVOID) + SCRATCH_ALIGNMENT - 1) &
                      ~(ULONG_PTR)(SCRATCH_ALIGNMENT - 1);
  ((PVOID*)aligned)[-1] = block;
  return (PVOID)aligned;
}

void FreeAlignedScratch(PVOID scratch) {
  if (scratch == NULL) {
    return;
  }
  ExFreePoolWithTag(((PVOID*)scratch)[-1], SCALER_POOL_TAG);
}

// --- Plan ---------------------------------------------------------------------------------------

// Written extent along one axis: trunc(scaled + epsilon), at least 1, at most the destination.
SCALER_FP_TARGET static LONG WrittenExtent(double scaled, LONG destinationExtent) {
  double limit = scaled + POSITION_EPSILON;
  if (limit >= (double)destinationExtent) {
    return destinationExtent;
  }
  LONG extent = (LONG)limit;
  return extent < 1 ? 1 : extent;
}

SCALER_FP_TARGET LONG ScalerPlanLayout(PSCALER_PLAN plan, const UCHAR* source,
                                       IMAGE_SIZE sourceSize, LONG sourceStep,
                                       IMAGE_RECT sourceRoi, UCHAR* destination,
                                       LONG destinationStep, IMAGE_SIZE destinationSize,
                                       double xFactor, double yFactor, LONG interpolation) {
  if (source == NULL || destination == NULL) {
    return SCALE_ERR_NULL_POINTER;
  }
  // A source must be two elements wide for the horizontal pass to have a right neighbour inside
  // it, and its byte offsets must fit the 32-bit offset tables.
  if (sourceSize.Width < 2 || sourceSize.Height <= 0 ||
      sourceSize.Width > MAXLONG / SCALER_ELEMENT_BYTES) {
    return SCALE_ERR_SIZE;
  }
  if (sourceStep <= 0 || destinationStep <= 0) {
    return SCALE_ERR_STEP;
  }
  if ((LONGLONG)sourceSize.Height * sourceStep > MAXLONG) {
    return SCALE_ERR_SIZE;
  }
  if (sourceRoi.X < 0 || sourceRoi.Y < 0 || sourceRoi.Width <= 0 || sourceRoi.Height <= 0) {
    return SCALE_ERR_SIZE;
  }
  if (sourceRoi.X >= sourceSize.Width || sourceRoi.Y >= sourceSize.Height) {
    return SCALE_WARN_NO_OVERLAP;
  }
  if (destinationSize.Width <= 0 || destinationSize.Height <= 0) {
    return SCALE_ERR_SIZE;
  }
  if (!(xFactor > 0.0) || !(yFactor > 0.0)) {
    return SCALE_ERR_FACTOR;
  }
  if (interpolation != SCALE_INTERP_LINEAR) {
    return SCALE_ERR_INTERPOLATION;
  }

  IMAGE_RECT region = sourceRoi;
  if ((LONGLONG)region.X + region.Width > sourceSize.Width) {
    region.Width = sourceSize.Width - region.X;
  }
  if ((LONGLONG)region.Y + region.Height > sourceSize.Height) {
    region.Height = sourceSize.Height - region.Y;
  }

  double scaledWidth = (double)region.Width * xFactor;
  double scaledHeight = (double)region.Height * yFactor;

  plan->Source = source + (LONG_PTR)region.Y * sourceStep + (LONG_PTR)region.X * SCALER_ELEMENT_BYTES;
  plan->SourceStep = sourceStep;
  plan->Destination = destination;
  plan->DestinationStep = destinationStep;
  plan->Region = region;
  plan->LastColumn = sourceSize.Width - region.X - 1;
  plan->LastRow = sourceSize.Height - region.Y - 1;
  plan->WrittenWidth = WrittenExtent(scaledWidth, destinationSize.Width);
  plan->WrittenHeight = WrittenExtent(scaledHeight, destinationSize.Height);
  plan->StepX = scaledWidth > 1.0 ? (double)(region.Width - 1) / (scaledWidth - 1.0) : 0.0;
  plan->StepY = scaledHeight > 1.0 ? (double)(region.Height - 1) / (scaledHeight - 1.0) : 0.0;
  return SCALE_OK;
}

SCALER_FP_TARGET void ScalerBuildAxis(double step, LONG count, LONG lastIndex, LONG* index,
                                      USHORT* weight) {
  double position = 0.0;
  for (LONG k = 0; k < count; k++) {
    LONG i = (LONG)(position + POSITION_EPSILON);
    // ">=" rather than "==": a position can never truncate past the last index, but if
    // rounding ever carried it there the read must still stay inside the source.
    if (i >= lastIndex) {
      index[k] = lastIndex - 1;
      weight[k] = SCALER_WEIGHT_ONE;
    } else {
      index[k] = i;
      weight[k] = (USHORT)(LONG)((position - (double)i) * SCALER_WEIGHT_ONE + POSITION_EPSILON);
    }
    position += step;
  }
}

SCALER_FP_TARGET void ScalerBuildTables(PSCALER_PLAN plan) {
  // Indexes and right weights first, then spread in place (from the end, so nothing is
  // overwritten before it is read) into offsets and weight pairs.
  ScalerBuildAxis(plan->StepX, plan->WrittenWidth, plan->LastColumn, plan->ColumnOffsets,
                  plan->ColumnWeights);
  for (LONG k = plan->WrittenWidth - 1; k >= 0; k--) {
    USHORT right = plan->ColumnWeights[k];
    plan->ColumnWeights[2 * k] = (USHORT)(SCALER_WEIGHT_ONE - right);
    plan->ColumnWeights[2 * k + 1] = right;
    plan->ColumnOffsets[k] *= SCALER_ELEMENT_BYTES;
  }
  ScalerBuildAxis(plan->StepY, plan->WrittenHeight, plan->LastRow, plan->RowOffsets,
                  plan->RowWeights);
  for (LONG k = 0; k < plan->WrittenHeight; k++) {
    plan->RowOffsets[k] *= plan->SourceStep;
  }
}

// --- Reference passes ---------------------------------------------------------------------------

void ScalerHorizontalReference(const SCALER_PLAN* plan, const UCHAR* row, USHORT* line) {
  for (LONG k = 0; k < plan->WrittenWidth; k++) {
    const UCHAR* left = row + plan->ColumnOffsets[k];
    ULONG leftWeight = plan->ColumnWeights[2 * k];
    ULONG rightWeight = plan->ColumnWeights[2 * k + 1];
    for (LONG j = 0; j < SCALER_ELEMENT_BYTES; j++) {
      line[SCALER_ELEMENT_BYTES * k + j] =
          (USHORT)((left[j] * leftWeight + left[j + SCALER_ELEMENT_BYTES] * rightWeight + 128) >>
                   8);
    }
  }
}

void ScalerVerticalReference(const SCALER_PLAN* plan, const USHORT* upper, const USHORT* lower,
                             ULONG weight, UCHAR* out) {
  LONG bytes = SCALER_ELEMENT_BYTES * plan->WrittenWidth;
  ULONG upperWeight = SCALER_WEIGHT_ONE - weight;
  for (LONG n = 0; n < bytes; n++) {
    out[n] = (UCHAR)((upper[n] * upperWeight + lower[n] * weight + 524288) >> 20);
  }
}

// Vector-unit line buffers hold the reference value + 32; these serve the ragged ends.
void ScalerHorizontalElementsBiased(const SCALER_PLAN* plan, const UCHAR* row, USHORT* line,
                                    LONG firstElement, LONG endElement) {
  for (LONG k = firstElement; k < endElement; k++) {
    const UCHAR* left = row + plan->ColumnOffsets[k];
    ULONG leftWeight = plan->ColumnWeights[2 * k];
    ULONG rightWeight = plan->ColumnWeights[2 * k + 1];
    for (LONG j = 0; j < SCALER_ELEMENT_BYTES; j++) {
      line[SCALER_ELEMENT_BYTES * k + j] = (USHORT)(
          (left[j] * leftWeight + left[j + SCALER_ELEMENT_BYTES] * rightWeight + 128 + 8192) >> 8);
    }
  }
}

void ScalerVerticalBytesBiased(const USHORT* upper, const USHORT* lower, ULONG weight,
                               UCHAR* out, LONG firstByte, LONG endByte) {
  ULONG upperWeight = SCALER_WEIGHT_ONE - weight;
  for (LONG n = firstByte; n < endByte; n++) {
    out[n] = (UCHAR)((upper[n] * upperWeight + lower[n] * weight) >> 20);
  }
}

// --- Rows ---------------------------------------------------------------------------------------
// Two line buffers hold the horizontally interpolated upper and lower source rows of the current
// destination row. While the scale goes up consecutive destination rows share or advance their
// upper row by one, so each source row is interpolated horizontally once: the old lower line
// becomes the upper one and only the new lower row is computed.

void ScalerRunRows(const SCALER_PLAN* plan, const SCALER_PASSES* passes) {
  const UCHAR* region = plan->Source;
  LONG_PTR step = plan->SourceStep;
  USHORT* upper = plan->Lines[1];
  USHORT* lower = plan->Lines[0];
  passes->Horizontal(plan, region, lower);
  LONG lastUpper = plan->RowOffsets[0] / plan->SourceStep - 1;

  for (LONG k = 0; k < plan->WrittenHeight; k++) {
    LONG u = plan->RowOffsets[k] / plan->SourceStep;
    if (u > lastUpper) {
      USHORT* previousUpper = upper;
      USHORT* previousLower = lower;
      passes->Horizontal(plan, region + (LONG_PTR)(u + 1) * step, previousUpper);
      lower = previousUpper;
      if (u > lastUpper + 1) {
        passes->Horizontal(plan, region + (LONG_PTR)u * step, previousLower);
      }
      upper = previousLower;
      lastUpper = u;
    }
    UCHAR* out = plan->Destination + (LONG_PTR)k * plan->DestinationStep;
    if (passes->VerticalPair != NULL && k + 1 < plan->WrittenHeight &&
        plan->RowOffsets[k + 1] == plan->RowOffsets[k]) {
      passes->VerticalPair(plan, upper, lower, plan->RowWeights[k], plan->RowWeights[k + 1], out,
                           out + plan->DestinationStep);
      k++;
      continue;
    }
    passes->Vertical(plan, upper, lower, plan->RowWeights[k], out);
  }
}

// --- The call -----------------------------------------------------------------------------------

static const SCALER_PASSES ReferencePasses = {ScalerHorizontalReference, ScalerVerticalReference,
                                              NULL, NULL, NULL};

void ScalerReleasePlan(PSCALER_PLAN plan) {
  FreeAlignedScratch(plan->RowOffsets);
  FreeAlignedScratch(plan->ColumnOffsets);
  FreeAlignedScratch(plan->RowWeights);
  FreeAlignedScratch(plan->ColumnWeights);
  FreeAlignedScratch(plan->Lines[0]);
  FreeAlignedScratch(plan->Lines[1]);
  FreeAlignedScratch(plan->FastColumns);
}

// Sizes are bounded by LONG: WrittenWidth <= destination width, so 4 x width + 16 entries of
// two bytes can exceed it; such a request is refused as out of memory.
static BOOLEAN ScratchBytes(LONGLONG bytes, LONG* result) {
  if (bytes <= 0 || bytes > MAXLONG) {
    return FALSE;
  }
  *result = (LONG)bytes;
  return TRUE;
}

static LONG AllocatePlanScratch(PSCALER_PLAN plan, const SCALER_PASSES* passes) {
  LONGLONG width = plan->WrittenWidth;
  LONGLONG height = plan->WrittenHeight;
  LONG rowOffsetBytes, columnOffsetBytes, rowWeightBytes, columnWeightBytes, lineBytes;
  if (!ScratchBytes(height * (LONGLONG)sizeof(LONG), &rowOffsetBytes) ||
      !ScratchBytes(width * (LONGLONG)sizeof(LONG), &columnOffsetBytes) ||
      !ScratchBytes(height * (LONGLONG)sizeof(USHORT), &rowWeightBytes) ||
      !ScratchBytes(width * 2 * (LONGLONG)sizeof(USHORT), &columnWeightBytes) ||
      !ScratchBytes((SCALER_ELEMENT_BYTES * width + SCALER_LINE_PAD) * (LONGLONG)sizeof(USHORT),
                    &lineBytes)) {
    return SCALE_ERR_NO_MEMORY;
  }
  plan->RowOffsets = (LONG*)AllocateAlignedScratch(rowOffsetBytes);
  plan->ColumnOffsets = (LONG*)AllocateAlignedScratch(columnOffsetBytes);
  plan->RowWeights = (USHORT*)AllocateAlignedScratch(rowWeightBytes);
  plan->ColumnWeights = (USHORT*)AllocateAlignedScratch(columnWeightBytes);
  plan->Lines[0] = (USHORT*)AllocateAlignedScratch(lineBytes);
  plan->Lines[1] = (USHORT*)AllocateAlignedScratch(lineBytes);
  if (plan->RowOffsets == NULL || plan->ColumnOffsets == NULL || plan->RowWeights == NULL ||
      plan->ColumnWeights == NULL || plan->Lines[0] == NULL || plan->Lines[1] == NULL) {
    return SCALE_ERR_NO_MEMORY;
  }
  if (passes->FastColumnBytes != NULL) {
    plan->FastColumns = AllocateAlignedScratch(passes->FastColumnBytes(plan));
    if (plan->FastColumns == NULL) {
      return SCALE_ERR_NO_MEMORY;
    }
  }
  return SCALE_OK;
}

SCALER_FP_TARGET LONG ScalerPreparePlan(PSCALER_PLAN plan, const SCALER_PASSES* passes) {
  LONG result = AllocatePlanScratch(plan, passes);
  if (result != SCALE_OK) {
    return result;
  }
  ScalerBuildTables(plan);
  if (passes->PrepareColumns != NULL) {
    passes->PrepareColumns(plan);
  }
  return SCALE_OK;
}

const SCALER_PASSES* ScalerPassesOf(SCALER_PATH path) {
  if (path == ScalerPathScalar) {
    return &ReferencePasses;
  }
  return ScalerPathAvailable(path) ? ScalerVectorPasses(path) : NULL;
}

LONG ScalePackedYuv422Using(SCALER_PATH path, const UCHAR* source, IMAGE_SIZE sourceSize,
                            LONG sourceStep, IMAGE_RECT sourceRoi, UCHAR* destination,
                            LONG destinationStep, IMAGE_SIZE destinationSize, double xFactor,
                            double yFactor, LONG interpolation) {
  const SCALER_PASSES* passes = &ReferencePasses;
  if (path != ScalerPathScalar) {
    if (!ScalerPathAvailable(path)) {
      return SCALE_ERR_INTERPOLATION;
    }
    passes = ScalerVectorPasses(path);
  }

  // Floating point (the factors, positions and weights) and the vector registers of the passes
  // are used only inside this save/restore pair, as kernel code must.
  KFLOATING_SAVE floatSave;
  if (!NT_SUCCESS(KeSaveFloatingPointState(&floatSave))) {
    return SCALE_ERR_NO_MEMORY;
  }

  SCALER_PLAN plan;
  RtlZeroMemory(&plan, sizeof(plan));
  LONG result = ScalerPlanLayout(&plan, source, sourceSize, sourceStep, sourceRoi, destination,
                                 destinationStep, destinationSize, xFactor, yFactor,
                                 interpolation);
  if (result == SCALE_OK) {
    result = ScalerPreparePlan(&plan, passes);
  }
  if (result == SCALE_OK) {
    ScalerRunRows(&plan, passes);
  }
  ScalerReleasePlan(&plan);
  KeRestoreFloatingPointState(&floatSave);
  return result;
}

LONG ScalePackedYuv422(const UCHAR* source, IMAGE_SIZE sourceSize, LONG sourceStep,
                       IMAGE_RECT sourceRoi, UCHAR* destination, LONG destinationStep,
                       IMAGE_SIZE destinationSize, double xFactor, double yFactor,
                       LONG interpolation) {
  return ScalePackedYuv422Using(ScalerFastestPath(), source, sourceSize, sourceStep, sourceRoi,
                                destination, destinationStep, destinationSize, xFactor, yFactor,
                                interpolation);
}

// --- Paths --------------------------------------------------------------------------------------

BOOLEAN ScalerPathAvailable(SCALER_PATH path) {
  if (path == ScalerPathScalar) {
    return TRUE;
  }
  if (path >= ScalerPathCount || ScalerVectorPasses(path) == NULL) {
    return FALSE;
  }
  ULONG features = ScalerQueryProcessorFeatures();
  switch (path) {
    case ScalerPathSse2:
      return (features & SCALER_CPU_SSE2) != 0;
    case ScalerPathSsse3:
      return (features & SCALER_CPU_SSSE3) != 0;
    case ScalerPathAvx2:
      return (features & SCALER_CPU_AVX2) != 0;
    case ScalerPathAvx512:
      return (features & SCALER_CPU_AVX512) != 0;
    default:
      return FALSE;
  }
}

SCALER_PATH ScalerFastestPath(void) {
  for (LONG path = ScalerPathCount - 1; path > ScalerPathScalar; path--) {
    if (ScalerPathAvailable((SCALER_PATH)path)) {
      return (SCALER_PATH)path;
    }
  }
  return ScalerPathScalar;
}

const char* ScalerPathName(SCALER_PATH path) {
  switch (path) {
    case ScalerPathScalar:
      return "scalar";
    case ScalerPathSse2:
      return "sse2";
    case ScalerPathSsse3:
      return "ssse3";
    case ScalerPathAvx2:
      return "avx2";
    case ScalerPathAvx512:
      return "avx512";
    default:
      return "unknown";
  }
}
