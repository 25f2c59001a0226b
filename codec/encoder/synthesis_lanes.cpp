// The four packet-mode trials' synthesis, plain kernel: each lane through the
// decoder's own SynthesisFilter, sub-block by sub-block.

#include "codec/decoder_steps.h"
#include "codec/encoder/encoder_kernels.h"

namespace clipvane {

void SynthesisLanesPlain(const int32_t (*excitation)[kSynthesisLanes],
                         const int32_t (*subBlockFilterSets)[kFilterSetSize], int32_t (*memory)[kReflectionOrder],
                         int32_t (*synthesis)[kSynthesisLanes]) {
  for (int lane = 0; lane < kSynthesisLanes; ++lane) {
    int32_t line[kBlockSamples];
    for (int n = 0; n < kBlockSamples; ++n) line[n] = excitation[n][lane];
    for (int b = 0; b < kSubBlocks; ++b) {
      SynthesisFilter(line + b * kSubBlockSamples, kSubBlockSamples, subBlockFilterSets[b], memory[lane]);
    }
    for (int n = 0; n < kBlockSamples; ++n) synthesis[n][lane] = line[n];
  }
}

}  // namespace clipvane
