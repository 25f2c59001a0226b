#include "codec/encoder/encoder_kernels.h"

#include "codec/cpu_features.h"
#include "codec/kernel_registry.h"

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

const KernelRegistry<EncoderKernels>& Registry() {
  static const KernelRegistry<EncoderKernels> registry{
      {&kPlainKernels, true},
#if defined(CLIPVANE_X86_KERNELS)
      {&kAvx2Kernels, ProcessorFeatures().avx2},
#endif
  };
  return registry;
}

}  // namespace

const EncoderKernels& PlainEncoderKernels() { return Registry().Plain(); }

const std::vector<const EncoderKernels*>& SupportedEncoderKernels() { return Registry().Supported(); }

const EncoderKernels* FastestEncoderKernels() { return &Registry().Fastest(); }

void UseEncoderKernels(AudioEncoderState& state, const EncoderKernels& kernels) { state.kernels = &kernels; }

}  // namespace clipvane
