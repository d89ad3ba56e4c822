// The scaler's vector passes: SSE2 (the baseline of every target processor, and the only vector
// state the target kernel saves for a driver), SSSE3, AVX2 and AVX-512 (host builds only: the
// target kernel does not save the wide registers). Each gives exactly the bytes of the reference
// passes; only the arithmetic is rearranged.
//
// Line buffers here hold the reference value + 32 (N = R + 32, R the reference line value), so
// that the vertical rounding term is paid once per source row:
//   reference  D = (Rup*(16384-f) + Rlo*f + 2^19) >> 20
//            = floor((Nup*16384 + (Nlo-Nup)*f) / 2^20)
//            = (Nup + floor((Nlo-Nup)*f / 16384)) >> 6     (floor(x/64) = floor(floor(x)/64))
// and floor(d*f/16384) = high half of (2d)*(2f), one 16-bit multiply, exact while f < 16384
// (f == 16384 is the lower line alone, taken as upper line with f = 0).
//
// Horizontal, SSE2: (a*wl + b*wr + 128 + 32*256) >> 8 with one 16-bit multiply-add per pair.
// Horizontal, SSSE3, AVX2 and AVX-512: R = 64a + ((b-a)*f + 128) >> 8, and the rounded shift is
// exactly the rounding high multiply of 64(b-a) by 2f:  (64(b-a)*2f + 2^14) >> 15. One byte
// shuffle gathers the (b, a) byte pairs of two destination elements from a 16-byte window (of
// eight from a 64-byte window with AVX-512); two multiply-adds of those pairs give 64a and
// 64(b-a). The full right weight (f = 16384, the last element) is taken as the pair (b, b) with
// f = 0, which keeps 2f within 16 bits.
//
// Called only inside the scaler's floating-point save/restore bracket.
#include "datapath/scaler_internal.h"

#if defined(__i386__) || defined(__x86_64__)

// GCC 12's AVX-512 intrinsic headers start their results from a self-initialised "undefined"
// value, which -Wmaybe-uninitialized reports at every inlined use; the value is never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#define SSE2_TARGET __attribute__((target("sse2")))
#define SSSE3_TARGET __attribute__((target("ssse3")))
#define AVX2_TARGET __attribute__((target("avx2")))

// Round-and-bias constant of the SSE2 horizontal pass: 128 + 32 * 256.
#define HORIZONTAL_BIAS 8320
#define BIAS_TIMES_64 32

// --- Column tables of the vector passes ---------------------------------------------------------

// SSE2: per destination element, its weight pair repeated for the four channels.
typedef struct _SSE2_COLUMN {
  SHORT Weights[8];  // left, right, left, right, ...
} SSE2_COLUMN;

static LONG Sse2ColumnBytes(const SCALER_PLAN* plan) {
  return plan->WrittenWidth * (LONG)sizeof(SSE2_COLUMN);
}

static void Sse2PrepareColumns(PSCALER_PLAN plan) {
  SSE2_COLUMN* columns = (SSE2_COLUMN*)plan->FastColumns;
  for (LONG k = 0; k < plan->WrittenWidth; k++) {
    for (LONG j = 0; j < SCALER_ELEMENT_BYTES; j++) {
      columns[k].Weights[2 * j] = (SHORT)plan->ColumnWeights[2 * k];
      columns[k].Weights[2 * j + 1] = (SHORT)plan->ColumnWeights[2 * k + 1];
    }
  }
  plan->FastColumnGroups = plan->WrittenWidth / 2;
}

// Shuffle passes: groups of two destination elements. Arrays, one after the other, each 32-byte
// aligned so that two groups load as one 256-bit value:
//   LONG  WindowOffset[groups]      byte offset of the 16-byte window (left element of the first)
//   UCHAR PairMask[groups][16]      per 16-bit lane: window byte of b, then of a
//   SHORT DoubleWeight[groups][8]   2 x right weight per 16-bit lane
typedef struct _SHUFFLE_COLUMNS {
  LONG* WindowOffset;
  UCHAR* PairMask;
  SHORT* DoubleWeight;
  SHORT* ElementWeight;  // 2 x right weight per element, for the AVX2 pass to spread itself
} SHUFFLE_COLUMNS;

static LONG RoundUp32(LONG bytes) { return (bytes + 31) & ~31; }

static void LocateShuffleColumns(const SCALER_PLAN* plan, SHUFFLE_COLUMNS* columns) {
  LONG groups = plan->WrittenWidth / 2;
  PUCHAR base = (PUCHAR)plan->FastColumns;
  columns->WindowOffset = (LONG*)base;
  base += RoundUp32(groups * (LONG)sizeof(LONG));
  columns->PairMask = base;
  base += RoundUp32(16 * groups);
  columns->DoubleWeight = (SHORT*)base;
  base += RoundUp32(16 * groups);
  columns->ElementWeight = (SHORT*)base;
}

static LONG ShuffleColumnBytes(const SCALER_PLAN* plan) {
  LONG groups = plan->WrittenWidth / 2;
  // Never zero, so that a one-element destination still gets its (empty) block.
  return RoundUp32(groups * (LONG)sizeof(LONG)) + 2 * RoundUp32(16 * groups) + 4 * groups + 32;
}

// Mask bytes and doubled weight of one element whose left element lies `shift` elements into
// the window.
static void ShuffleElement(const SCALER_PLAN* plan, LONG k, LONG shift, UCHAR* mask,
                           SHORT* doubleWeight) {
  ULONG right = plan->ColumnWeights[2 * k + 1];
  LONG leftByte = SCALER_ELEMENT_BYTES * shift;
  LONG rightByte = leftByte + SCALER_ELEMENT_BYTES;
  if (right >= SCALER_WEIGHT_ONE) {
    leftByte = rightByte;
    right = 0;
  }
  for (LONG j = 0; j < SCALER_ELEMENT_BYTES; j++) {
    mask[2 * j] = (UCHAR)(rightByte + j);
    mask[2 * j + 1] = (UCHAR)(leftByte + j);
    doubleWeight[j] = (SHORT)(2 * right);
  }
}

// The leading groups whose window lies inside the source row and holds both elements' pairs;
// the rest of the row (a ragged end, or a strong reduction) goes through the scalar form.
// Groups from `firstGroup` on (the AVX-512 pass covers the ones before with its blocks).
static void ShufflePrepareColumnsFrom(PSCALER_PLAN plan, LONG firstGroup) {
  SHUFFLE_COLUMNS columns;
  LocateShuffleColumns(plan, &columns);
  LONG groups = plan->WrittenWidth / 2;
  LONG eligible = firstGroup;
  for (LONG g = firstGroup; g < groups; g++) {
    LONG first = plan->ColumnOffsets[2 * g] / SCALER_ELEMENT_BYTES;
    LONG second = plan->ColumnOffsets[2 * g + 1] / SCALER_ELEMENT_BYTES;
    LONG shift = second - first;
    if (shift < 0 || shift > 2 || first + 3 > plan->LastColumn) {
      break;
    }
    columns.WindowOffset[g] = plan->ColumnOffsets[2 * g];
    ShuffleElement(plan, 2 * g, 0, columns.PairMask + 16 * g, columns.DoubleWeight + 8 * g);
    ShuffleElement(plan, 2 * g + 1, shift, columns.PairMask + 16 * g + 8,
                   columns.DoubleWeight + 8 * g + 4);
    columns.ElementWeight[2 * g] = columns.DoubleWeight[8 * g];
    columns.ElementWeight[2 * g + 1] = columns.DoubleWeight[8 * g + 4];
    eligible = g + 1;
  }
  plan->FastColumnGroups = eligible;
}

static void ShufflePrepareColumns(PSCALER_PLAN plan) { ShufflePrepareColumnsFrom(plan, 0); }

// --- SSE2 ---------------------------------------------------------------------------------------

SSE2_TARGET static void Sse2Horizontal(const SCALER_PLAN* plan, const UCHAR* row, USHORT* line) {
  const SSE2_COLUMN* columns = (const SSE2_COLUMN*)plan->FastColumns;
  const LONG* offsets = plan->ColumnOffsets;
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi32(HORIZONTAL_BIAS);
  LONG pairs = plan->FastColumnGroups;
  for (LONG p = 0; p < pairs; p++) {
    LONG k = 2 * p;
    __m128i first = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i*)(row + offsets[k])), zero);
    __m128i second =
        _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i*)(row + offsets[k + 1])), zero);
    // (a0 a1 a2 a3 b0 b1 b2 b3) -> (a0 b0 a1 b1 a2 b2 a3 b3)
    first = _mm_unpacklo_epi16(first, _mm_srli_si128(first, 8));
    second = _mm_unpacklo_epi16(second, _mm_srli_si128(second, 8));
    __m128i sumFirst = _mm_madd_epi16(first, _mm_load_si128((const __m128i*)columns[k].Weights));
    __m128i sumSecond =
        _mm_madd_epi16(second, _mm_load_si128((const __m128i*)columns[k + 1].Weights));
    sumFirst = _mm_srai_epi32(_mm_add_epi32(sumFirst, bias), 8);
    sumSecond = _mm_srai_epi32(_mm_add_epi32(sumSecond, bias), 8);
    _mm_store_si128((__m128i*)(line + SCALER_ELEMENT_BYTES * k),
                    _mm_packs_epi32(sumFirst, sumSecond));
  }
  ScalerHorizontalElementsBiased(plan, row, line, 2 * pairs, plan->WrittenWidth);
}

// Sixteen output bytes from sixteen entries of each line.
SSE2_TARGET static inline __m128i Sse2Blend16(const USHORT* upper, const USHORT* lower,
                                              __m128i weight) {
  __m128i up0 = _mm_load_si128((const __m128i*)upper);
  __m128i up1 = _mm_load_si128((const __m128i*)(upper + 8));
  __m128i low0 = _mm_load_si128((const __m128i*)lower);
  __m128i low1 = _mm_load_si128((const __m128i*)(lower + 8));
  __m128i d0 = _mm_sub_epi16(low0, up0);
  __m128i d1 = _mm_sub_epi16(low1, up1);
  d0 = _mm_mulhi_epi16(_mm_add_epi16(d0, d0), weight);
  d1 = _mm_mulhi_epi16(_mm_add_epi16(d1, d1), weight);
  __m128i out0 = _mm_srli_epi16(_mm_add_epi16(up0, d0), 6);
  __m128i out1 = _mm_srli_epi16(_mm_add_epi16(up1, d1), 6);
  return _mm_packus_epi16(out0, out1);
}

// The full lower weight is the lower line alone.
static inline void NormaliseWeight(const USHORT** upper, const USHORT* lower, ULONG* weight) {
  if (*weight >= SCALER_WEIGHT_ONE) {
    *upper = lower;
    *weight = 0;
  }
}

SSE2_TARGET static void Sse2Vertical(const SCALER_PLAN* plan, const USHORT* upper,
                                     const USHORT* lower, ULONG weight, UCHAR* out) {
  NormaliseWeight(&upper, lower, &weight);
  LONG bytes = SCALER_ELEMENT_BYTES * plan->WrittenWidth;
  __m128i weight2 = _mm_set1_epi16((SHORT)(2 * weight));
  LONG n = 0;
  for (; n + 16 <= bytes; n += 16) {
    _mm_storeu_si128((__m128i*)(out + n), Sse2Blend16(upper + n, lower + n, weight2));
  }
  ScalerVerticalBytesBiased(upper, lower, weight, out, n, bytes);
}

SSE2_TARGET static void Sse2VerticalPair(const SCALER_PLAN* plan, const USHORT* upper,
                                         const USHORT* lower, ULONG firstWeight,
                                         ULONG secondWeight, UCHAR* firstOut, UCHAR* secondOut) {
  if (firstWeight >= SCALER_WEIGHT_ONE || secondWeight >= SCALER_WEIGHT_ONE) {
    Sse2Vertical(plan, upper, lower, firstWeight, firstOut);
    Sse2Vertical(plan, upper, lower, secondWeight, secondOut);
    return;
  }
  LONG bytes = SCALER_ELEMENT_BYTES * plan->WrittenWidth;
  __m128i weightA = _mm_set1_epi16((SHORT)(2 * firstWeight));
  __m128i weightB = _mm_set1_epi16((SHORT)(2 * secondWeight));
  LONG n = 0;
  for (; n + 16 <= bytes; n += 16) {
    __m128i up0 = _mm_load_si128((const __m128i*)(upper + n));
    __m128i up1 = _mm_load_si128((const __m128i*)(upper + n + 8));
    __m128i d0 = _mm_sub_epi16(_mm_load_si128((const __m128i*)(lower + n)), up0);
    __m128i d1 = _mm_sub_epi16(_mm_load_si128((const __m128i*)(lower + n + 8)), up1);
    d0 = _mm_add_epi16(d0, d0);
    d1 = _mm_add_epi16(d1, d1);
    __m128i a0 = _mm_srli_epi16(_mm_add_epi16(up0, _mm_mulhi_epi16(d0, weightA)), 6);
    __m128i a1 = _mm_srli_epi16(_mm_add_epi16(up1, _mm_mulhi_epi16(d1, weightA)), 6);
    __m128i b0 = _mm_srli_epi16(_mm_add_epi16(up0, _mm_mulhi_epi16(d0, weightB)), 6);
    __m128i b1 = _mm_srli_epi16(_mm_add_epi16(up1, _mm_mulhi_epi16(d1, weightB)), 6);
    _mm_storeu_si128((__m128i*)(firstOut + n), _mm_packus_epi16(a0, a1));
    _mm_storeu_si128((__m128i*)(secondOut + n), _mm_packus_epi16(b0, b1));
  }
  ScalerVerticalBytesBiased(upper, lower, firstWeight, firstOut, n, bytes);
  ScalerVerticalBytesBiased(upper, lower, secondWeight, secondOut, n, bytes);
}

// --- SSSE3 --------------------------------------------------------------------------------------

// Multiply-add coefficients of the (b, a) byte pairs: 64(b - a), and 64a.
#define DIFFERENCE_COEFFICIENTS 0xC040  // bytes 64, -64
#define LEFT_COEFFICIENTS 0x4000        // bytes 0, 64

// Eight line entries (two destination elements) from one window.
SSSE3_TARGET static inline __m128i Ssse3Group(const UCHAR* row, const SHUFFLE_COLUMNS* columns,
                                              LONG g) {
  __m128i window = _mm_loadu_si128((const __m128i*)(row + columns->WindowOffset[g]));
  __m128i pairs =
      _mm_shuffle_epi8(window, _mm_load_si128((const __m128i*)(columns->PairMask + 16 * g)));
  __m128i difference = _mm_maddubs_epi16(pairs, _mm_set1_epi16((SHORT)DIFFERENCE_COEFFICIENTS));
  __m128i left = _mm_maddubs_epi16(pairs, _mm_set1_epi16((SHORT)LEFT_COEFFICIENTS));
  __m128i fraction = _mm_mulhrs_epi16(
      difference, _mm_load_si128((const __m128i*)(columns->DoubleWeight + 8 * g)));
  return _mm_add_epi16(_mm_add_epi16(left, fraction), _mm_set1_epi16(BIAS_TIMES_64));
}

SSSE3_TARGET static void Ssse3Horizontal(const SCALER_PLAN* plan, const UCHAR* row,
                                         USHORT* line) {
  SHUFFLE_COLUMNS columns;
  LocateShuffleColumns(plan, &columns);
  LONG groups = plan->FastColumnGroups;
  for (LONG g = 0; g < groups; g++) {
    _mm_store_si128((__m128i*)(line + 8 * g), Ssse3Group(row, &columns, g));
  }
  ScalerHorizontalElementsBiased(plan, row, line, 2 * groups, plan->WrittenWidth);
}

// --- AVX2 ---------------------------------------------------------------------------------------

AVX2_TARGET static void Avx2Horizontal(const SCALER_PLAN* plan, const UCHAR* row, USHORT* line) {
  SHUFFLE_COLUMNS columns;
  LocateShuffleColumns(plan, &columns);
  LONG groups = plan->FastColumnGroups;
  const __m256i bias = _mm256_set1_epi16(BIAS_TIMES_64);
  const __m256i differenceCoefficients = _mm256_set1_epi16((SHORT)DIFFERENCE_COEFFICIENTS);
  const __m256i leftCoefficients = _mm256_set1_epi16((SHORT)LEFT_COEFFICIENTS);
  // The four weights of two groups, spread over their lanes: element e of the pair of groups
  // owns words 4e..4e+3, and its weight is bytes 2e, 2e+1 of the broadcast value.
  const __m256i spread = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 2, 3,  //
                                          4, 5, 4, 5, 4, 5, 4, 5, 6, 7, 6, 7, 6, 7, 6, 7);
  LONG g = 0;
  for (; g + 2 <= groups; g += 2) {
    __m256i window = _mm256_inserti128_si256(
        _mm256_castsi128_si256(
            _mm_loadu_si128((const __m128i*)(row + columns.WindowOffset[g]))),
        _mm_loadu_si128((const __m128i*)(row + columns.WindowOffset[g + 1])), 1);
    __m256i pairs = _mm256_shuffle_epi8(
        window, _mm256_load_si256((const __m256i*)(columns.PairMask + 16 * g)));
    __m256i difference = _mm256_maddubs_epi16(pairs, differenceCoefficients);
    __m256i left = _mm256_maddubs_epi16(pairs, leftCoefficients);
    __m256i weights = _mm256_shuffle_epi8(
        _mm256_broadcastq_epi64(_mm_loadl_epi64((const __m128i*)(columns.ElementWeight + 2 * g))), spread);
    __m256i fraction = _mm256_mulhrs_epi16(difference, weights);
    _mm256_store_si256((__m256i*)(line + 8 * g),
                       _mm256_add_epi16(_mm256_add_epi16(left, fraction), bias));
  }
  for (; g < groups; g++) {
    _mm_store_si128((__m128i*)(line + 8 * g), Ssse3Group(row, &columns, g));
  }
  ScalerHorizontalElementsBiased(plan, row, line, 2 * groups, plan->WrittenWidth);
}

AVX2_TARGET static void Avx2Vertical(const SCALER_PLAN* plan, const USHORT* upper,
                                     const USHORT* lower, ULONG weight, UCHAR* out) {
  NormaliseWeight(&upper, lower, &weight);
  LONG bytes = SCALER_ELEMENT_BYTES * plan->WrittenWidth;
  __m256i weight2 = _mm256_set1_epi16((SHORT)(2 * weight));
  LONG n = 0;
  for (; n + 32 <= bytes; n += 32) {
    __m256i up0 = _mm256_load_si256((const __m256i*)(upper + n));
    __m256i up1 = _mm256_load_si256((const __m256i*)(upper + n + 16));
    __m256i d0 = _mm256_sub_epi16(_mm256_load_si256((const __m256i*)(lower + n)), up0);
    __m256i d1 = _mm256_sub_epi16(_mm256_load_si256((const __m256i*)(lower + n + 16)), up1);
    d0 = _mm256_mulhi_epi16(_mm256_add_epi16(d0, d0), weight2);
    d1 = _mm256_mulhi_epi16(_mm256_add_epi16(d1, d1), weight2);
    __m256i out0 = _mm256_srli_epi16(_mm256_add_epi16(up0, d0), 6);
    __m256i out1 = _mm256_srli_epi16(_mm256_add_epi16(up1, d1), 6);
    // The pack works per 128-bit half; the permute puts the four quarters back in order.
    __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(out0, out1), 0xD8);
    _mm256_storeu_si256((__m256i*)(out + n), packed);
  }
  if (n + 16 <= bytes) {
    _mm_storeu_si128((__m128i*)(out + n),
                     Sse2Blend16(upper + n, lower + n, _mm_set1_epi16((SHORT)(2 * weight))));
    n += 16;
  }
  ScalerVerticalBytesBiased(upper, lower, weight, out, n, bytes);
}

AVX2_TARGET static void Avx2VerticalPair(const SCALER_PLAN* plan, const USHORT* upper,
                                         const USHORT* lower, ULONG firstWeight,
                                         ULONG secondWeight, UCHAR* firstOut, UCHAR* secondOut) {
  if (firstWeight >= SCALER_WEIGHT_ONE || secondWeight >= SCALER_WEIGHT_ONE) {
    Avx2Vertical(plan, upper, lower, firstWeight, firstOut);
    Avx2Vertical(plan, upper, lower, secondWeight, secondOut);
    return;
  }
  LONG bytes = SCALER_ELEMENT_BYTES * plan->WrittenWidth;
  __m256i weightA = _mm256_set1_epi16((SHORT)(2 * firstWeight));
  __m256i weightB = _mm256_set1_epi16((SHORT)(2 * secondWeight));
  LONG n = 0;
  for (; n + 32 <= bytes; n += 32) {
    __m256i up0 = _mm256_load_si256((const __m256i*)(upper + n));
    __m256i up1 = _mm256_load_si256((const __m256i*)(upper + n + 16));
    __m256i d0 = _mm256_sub_epi16(_mm256_load_si256((const __m256i*)(lower + n)), up0);
    __m256i d1 = _mm256_sub_epi16(_mm256_load_si256((const __m256i*)(lower + n + 16)), up1);
    d0 = _mm256_add_epi16(d0, d0);
    d1 = _mm256_add_epi16(d1, d1);
    __m256i a0 = _mm256_srli_epi16(_mm256_add_epi16(up0, _mm256_mulhi_epi16(d0, weightA)), 6);
    __m256i a1 = _mm256_srli_epi16(_mm256_add_epi16(up1, _mm256_mulhi_epi16(d1, weightA)), 6);
    __m256i b0 = _mm256_srli_epi16(_mm256_add_epi16(up0, _mm256_mulhi_epi16(d0, weightB)), 6);
    __m256i b1 = _mm256_srli_epi16(_mm256_add_epi16(up1, _mm256_mulhi_epi16(d1, weightB)), 6);
    _mm256_storeu_si256((__m256i*)(firstOut + n),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(a0, a1), 0xD8));
    _mm256_storeu_si256((__m256i*)(secondOut + n),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(b0, b1), 0xD8));
  }
  if (n + 16 <= bytes) {
    _mm_storeu_si128((__m128i*)(firstOut + n),
                     Sse2Blend16(upper + n, lower + n, _mm_set1_epi16((SHORT)(2 * firstWeight))));
    _mm_storeu_si128((__m128i*)(secondOut + n),
                     Sse2Blend16(upper + n, lower + n, _mm_set1_epi16((SHORT)(2 * secondWeight))));
    n += 16;
  }
  ScalerVerticalBytesBiased(upper, lower, firstWeight, firstOut, n, bytes);
  ScalerVerticalBytesBiased(upper, lower, secondWeight, secondOut, n, bytes);
}

// --- AVX-512 -------------------------------------------------------------------------------------
// Blocks of eight destination elements gathered by one byte permute from a 64-byte window; the
// shuffle groups of the SSSE3 form serve what is left of the row. The column block holds the
// shuffle tables first, then:
//   LONG  BlockOffset[blocks]       byte offset of the window (left element of the first)
//   UCHAR BlockShift[blocks][8]     byte offset of each element's left element in the window
//   SHORT BlockWeight[blocks][8]    2 x right weight per element
// Both per-element rows are spread over the element's lanes as they are used, which keeps the
// tables small enough that the pass is not held up by loading them.
#define AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#define BLOCK_ELEMENTS 8
#define WINDOW_ELEMENTS 16

typedef struct _BLOCK_COLUMNS {
  LONG* Offset;
  UCHAR* Shift;
  SHORT* Weight;
  LONG Blocks;  // leading blocks whose window lies inside the source row
} BLOCK_COLUMNS;

static void LocateBlockColumns(const SCALER_PLAN* plan, BLOCK_COLUMNS* blocks) {
  LONG count = plan->WrittenWidth / BLOCK_ELEMENTS;
  PUCHAR base = (PUCHAR)plan->FastColumns + RoundUp32(ShuffleColumnBytes(plan));
  blocks->Blocks = *(LONG*)base;
  base += 32;
  blocks->Offset = (LONG*)base;
  base += RoundUp32(count * (LONG)sizeof(LONG));
  blocks->Shift = base;
  base += RoundUp32(8 * count);
  blocks->Weight = (SHORT*)base;
}

static LONG BlockColumnBytes(const SCALER_PLAN* plan) {
  LONG count = plan->WrittenWidth / BLOCK_ELEMENTS;
  return RoundUp32(ShuffleColumnBytes(plan)) + 32 + RoundUp32(count * (LONG)sizeof(LONG)) +
         RoundUp32(8 * count) + 16 * count;
}

static void BlockPrepareColumns(PSCALER_PLAN plan) {
  BLOCK_COLUMNS blocks;
  LocateBlockColumns(plan, &blocks);
  LONG count = plan->WrittenWidth / BLOCK_ELEMENTS;
  LONG eligible = 0;
  for (LONG b = 0; b < count; b++) {
    LONG first = plan->ColumnOffsets[BLOCK_ELEMENTS * b] / SCALER_ELEMENT_BYTES;
    LONG last = plan->ColumnOffsets[BLOCK_ELEMENTS * b + BLOCK_ELEMENTS - 1] /
                SCALER_ELEMENT_BYTES;
    if (first + WINDOW_ELEMENTS - 1 > plan->LastColumn || last - first + 1 >= WINDOW_ELEMENTS ||
        last < first) {
      break;
    }
    // A block holding the last element (full right weight) is left to the shuffle groups.
    if (plan->ColumnWeights[2 * (BLOCK_ELEMENTS * b + BLOCK_ELEMENTS - 1) + 1] >=
        SCALER_WEIGHT_ONE) {
      break;
    }
    blocks.Offset[b] = plan->ColumnOffsets[BLOCK_ELEMENTS * b];
    for (LONG e = 0; e < BLOCK_ELEMENTS; e++) {
      LONG k = BLOCK_ELEMENTS * b + e;
      blocks.Shift[8 * b + e] =
          (UCHAR)(plan->ColumnOffsets[k] - plan->ColumnOffsets[BLOCK_ELEMENTS * b]);
      blocks.Weight[8 * b + e] = (SHORT)(2 * plan->ColumnWeights[2 * k + 1]);
    }
    eligible = b + 1;
  }
  *(LONG*)((PUCHAR)plan->FastColumns + RoundUp32(ShuffleColumnBytes(plan))) = eligible;
  ShufflePrepareColumnsFrom(plan, eligible * (BLOCK_ELEMENTS / 2));
}

AVX512_TARGET static void Avx512Horizontal(const SCALER_PLAN* plan, const UCHAR* row,
                                           USHORT* line) {
  BLOCK_COLUMNS blocks;
  LocateBlockColumns(plan, &blocks);
  const __m512i bias = _mm512_set1_epi16(BIAS_TIMES_64);
  const __m512i differenceCoefficients = _mm512_set1_epi16((SHORT)DIFFERENCE_COEFFICIENTS);
  const __m512i leftCoefficients = _mm512_set1_epi16((SHORT)LEFT_COEFFICIENTS);
  // Byte n of the pair mask belongs to element n / 8; within an element the pattern is (b, a)
  // per channel: 4 + j, j.
  __m512i byElement, pairPattern;
  {
    alignas(64) UCHAR element[64];
    alignas(64) UCHAR pattern[64];
    for (LONG n = 0; n < 64; n++) {
      element[n] = (UCHAR)(n / 8);
      LONG j = (n % 8) / 2;
      pattern[n] = (UCHAR)(n % 2 == 0 ? SCALER_ELEMENT_BYTES + j : j);
    }
    byElement = _mm512_load_si512((const void*)element);
    pairPattern = _mm512_load_si512((const void*)pattern);
  }
  // Word w of a block's weights belongs to element w / 4.
  const __m512i spread = _mm512_set_epi16(7, 7, 7, 7, 6, 6, 6, 6, 5, 5, 5, 5, 4, 4, 4, 4, 3, 3, 3,
                                          3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
  for (LONG b = 0; b < blocks.Blocks; b++) {
    __m512i window = _mm512_loadu_si512((const void*)(row + blocks.Offset[b]));
    __m512i shifts = _mm512_permutexvar_epi8(
        byElement, _mm512_castsi128_si512(_mm_loadl_epi64((const __m128i*)(blocks.Shift + 8 * b))));
    __m512i pairs = _mm512_permutexvar_epi8(_mm512_add_epi8(shifts, pairPattern), window);
    __m512i difference = _mm512_maddubs_epi16(pairs, differenceCoefficients);
    __m512i left = _mm512_maddubs_epi16(pairs, leftCoefficients);
    __m512i weights = _mm512_permutexvar_epi16(
        spread, _mm512_castsi128_si512(_mm_loadu_si128((const __m128i*)(blocks.Weight + 8 * b))));
    __m512i fraction = _mm512_mulhrs_epi16(difference, weights);
    _mm512_storeu_si512((void*)(line + 32 * b),
                        _mm512_add_epi16(_mm512_add_epi16(left, fraction), bias));
  }
  SHUFFLE_COLUMNS columns;
  LocateShuffleColumns(plan, &columns);
  LONG g = blocks.Blocks * (BLOCK_ELEMENTS / 2);
  for (; g < plan->FastColumnGroups; g++) {
    _mm_store_si128((__m128i*)(line + 8 * g), Ssse3Group(row, &columns, g));
  }
  ScalerHorizontalElementsBiased(plan, row, line, 2 * g, plan->WrittenWidth);
}

// Sixty-four output bytes of one row from 64 entries of each line (d2 = 2 x (lower - upper)).
AVX512_TARGET static inline __m512i Avx512Blend64(__m512i up0, __m512i up1, __m512i d0,
                                                  __m512i d1, __m512i weight) {
  __m512i out0 = _mm512_srli_epi16(_mm512_add_epi16(up0, _mm512_mulhi_epi16(d0, weight)), 6);
  __m512i out1 = _mm512_srli_epi16(_mm512_add_epi16(up1, _mm512_mulhi_epi16(d1, weight)), 6);
  // The pack works per 128-bit quarter; the permute puts the eight halves back in order.
  return _mm512_permutexvar_epi64(_mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0),
                                  _mm512_packus_epi16(out0, out1));
}

AVX512_TARGET static void Avx512Vertical(const SCALER_PLAN* plan, const USHORT* upper,
                                         const USHORT* lower, ULONG weight, UCHAR* out) {
  NormaliseWeight(&upper, lower, &weight);
  LONG bytes = SCALER_ELEMENT_BYTES * plan->WrittenWidth;
  __m512i weight2 = _mm512_set1_epi16((SHORT)(2 * weight));
  LONG n = 0;
  for (; n + 64 <= bytes; n += 64) {
    __m512i up0 = _mm512_loadu_si512((const void*)(upper + n));
    __m512i up1 = _mm512_loadu_si512((const void*)(upper + n + 32));
    __m512i d0 = _mm512_sub_epi16(_mm512_loadu_si512((const void*)(lower + n)), up0);
    __m512i d1 = _mm512_sub_epi16(_mm512_loadu_si512((const void*)(lower + n + 32)), up1);
    d0 = _mm512_add_epi16(d0, d0);
    d1 = _mm512_add_epi16(d1, d1);
    _mm512_storeu_si512((void*)(out + n), Avx512Blend64(up0, up1, d0, d1, weight2));
  }
  for (; n + 16 <= bytes; n += 16) {
    _mm_storeu_si128((__m128i*)(out + n),
                     Sse2Blend16(upper + n, lower + n, _mm_set1_epi16((SHORT)(2 * weight))));
  }
  ScalerVerticalBytesBiased(upper, lower, weight, out, n, bytes);
}

AVX512_TARGET static void Avx512VerticalPair(const SCALER_PLAN* plan, const USHORT* upper,
                                             const USHORT* lower, ULONG firstWeight,
                                             ULONG secondWeight, UCHAR* firstOut,
                                             UCHAR* secondOut) {
  if (firstWeight >= SCALER_WEIGHT_ONE || secondWeight >= SCALER_WEIGHT_ONE) {
    Avx512Vertical(plan, upper, lower, firstWeight, firstOut);
    Avx512Vertical(plan, upper, lower, secondWeight, secondOut);
    return;
  }
  LONG bytes = SCALER_ELEMENT_BYTES * plan->WrittenWidth;
  __m512i weightA = _mm512_set1_epi16((SHORT)(2 * firstWeight));
  __m512i weightB = _mm512_set1_epi16((SHORT)(2 * secondWeight));
  LONG n = 0;
  for (; n + 64 <= bytes; n += 64) {
    __m512i up0 = _mm512_loadu_si512((const void*)(upper + n));
    __m512i up1 = _mm512_loadu_si512((const void*)(upper + n + 32));
    __m512i d0 = _mm512_sub_epi16(_mm512_loadu_si512((const void*)(lower + n)), up0);
    __m512i d1 = _mm512_sub_epi16(_mm512_loadu_si512((const void*)(lower + n + 32)), up1);
    d0 = _mm512_add_epi16(d0, d0);
    d1 = _mm512_add_epi16(d1, d1);
    _mm512_storeu_si512((void*)(firstOut + n), Avx512Blend64(up0, up1, d0, d1, weightA));
    _mm512_storeu_si512((void*)(secondOut + n), Avx512Blend64(up0, up1, d0, d1, weightB));
  }
  for (; n + 16 <= bytes; n += 16) {
    _mm_storeu_si128((__m128i*)(firstOut + n),
                     Sse2Blend16(upper + n, lower + n, _mm_set1_epi16((SHORT)(2 * firstWeight))));
    _mm_storeu_si128((__m128i*)(secondOut + n),
                     Sse2Blend16(upper + n, lower + n, _mm_set1_epi16((SHORT)(2 * secondWeight))));
  }
  ScalerVerticalBytesBiased(upper, lower, firstWeight, firstOut, n, bytes);
  ScalerVerticalBytesBiased(upper, lower, secondWeight, secondOut, n, bytes);
}

static const SCALER_PASSES Sse2Passes = {Sse2Horizontal, Sse2Vertical, Sse2PrepareColumns,
                                         Sse2ColumnBytes, Sse2VerticalPair};
static const SCALER_PASSES Ssse3Passes = {Ssse3Horizontal, Sse2Vertical, ShufflePrepareColumns,
                                          ShuffleColumnBytes, Sse2VerticalPair};
static const SCALER_PASSES Avx2Passes = {Avx2Horizontal, Avx2Vertical, ShufflePrepareColumns,
                                         ShuffleColumnBytes, Avx2VerticalPair};
static const SCALER_PASSES Avx512Passes = {Avx512Horizontal, Avx512Vertical, BlockPrepareColumns,
                                           BlockColumnBytes, Avx512VerticalPair};

const SCALER_PASSES* ScalerVectorPasses(SCALER_PATH path) {
  switch (path) {
    case ScalerPathSse2:
      return &Sse2Passes;
    case ScalerPathSsse3:
      return &Ssse3Passes;
    case ScalerPathAvx2:
      return &Avx2Passes;
    case ScalerPathAvx512:
      return &Avx512Passes;
    default:
      return NULL;
  }
}

#else

const SCALER_PASSES* ScalerVectorPasses(SCALER_PATH path) { return NULL; }

#endif
