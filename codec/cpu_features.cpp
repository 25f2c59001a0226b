#include "codec/cpu_features.h"

namespace clipvane {

namespace {

CpuFeatures ReadProcessorFeatures() {
  CpuFeatures features;
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
  // The compiler's run-time library asks the processor (and the operating
  // system, for the wider registers) once.
  __builtin_cpu_init();
  features.avx2 = __builtin_cpu_supports("avx2");
  features.avx512f = features.avx2 && __builtin_cpu_supports("avx512f");
#endif
  return features;
}

}  // namespace

const CpuFeatures& ProcessorFeatures() {
  static const CpuFeatures features = ReadProcessorFeatures();
  return features;
}

}  // namespace clipvane
