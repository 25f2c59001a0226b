#include "codec/encoder/encoder_kernels.h"

#include "codec/cpu_features.h"

namespace clipvane {

namespace {

constexpr EncoderKernels kPlainKernels = {
    "plain",          FilterWindowCorrelatePlain, SearchReflectionStagePlain, SearchLongTermLagPlain,
    LowPassPlain,     SynthesisLanesPlain,        WeightingLanesPlain,
};

#if defined(CLIPVANE_X86_KERNELS)
constexpr EncoderKernels kAvx2Kernels = {
    "avx2",      FilterWindowCorrelateAvx2, SearchReflectionStageAvx2, SearchLongTermLagAvx2,
    LowPassAvx2, SynthesisLanesAvx2,        WeightingLanesAvx2,
};
#endif

std::vector<const EncoderKernels*> ListSupportedKernels() {
  std::vector<const EncoderKernels*> sets = {&kPlainKernels};
#if defined(CLIPVANE_X86_KERNELS)
  if (ProcessorFeatures().avx2) sets.push_back(&kAvx2Kernels);
#endif
  return sets;
}

}  // namespace

const EncoderKernels& PlainEncoderKernels() { return kPlainKernels; }

const std::vector<const EncoderKernels*>& SupportedEncoderKernels() {
  static const std::vector<const EncoderKernels*> sets = ListSupportedKernels();
  return sets;
}

const EncoderKernels* FastestEncoderKernels() {
  static const EncoderKernels* const fastest = SupportedEncoderKernels().back();
  return fastest;
}

void UseEncoderKernels(AudioEncoderState& state, const EncoderKernels& kernels) { state.kernels = &kernels; }

}  // namespace clipvane
