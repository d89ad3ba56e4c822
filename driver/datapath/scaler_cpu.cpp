// The processor features the scaler's vector passes depend on, asked of the processor itself.
// This is the one routine of the driver that is host-specific: on the target platform the
// kernel answers the same question (ExIsProcessorFeaturePresent), and only this file changes.
#include "datapath/scaler_internal.h"

ULONG ScalerQueryProcessorFeatures(void) {
  ULONG features = 0;
#if defined(__i386__) || defined(__x86_64__)
  if (__builtin_cpu_supports("sse2")) {
    features |= SCALER_CPU_SSE2;
  }
  if (__builtin_cpu_supports("ssse3")) {
    features |= SCALER_CPU_SSSE3;
  }
  // Also answers whether the operating system saves the wide registers.
  if (__builtin_cpu_supports("avx2")) {
    features |= SCALER_CPU_AVX2;
  }
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi")) {
    features |= SCALER_CPU_AVX512;
  }
#endif
  return features;
}
