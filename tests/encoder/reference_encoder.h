#pragma once
// A deliberately plain encoder written straight from the codec's definition:
// no tables, no vector lanes, every arcsine and logarithm computed where it is
// used. The production encoder must give the same packets and states.

#include <cstdint>

#include "codec/encoder/audio_encoder.h"

namespace clipvane::reference {

struct LagChoice {
  int lagCode;
  bool usable;
};

void AnalysisWindow(float* window);  // 224 values, from the formula
void QuantiseReflection(const ChannelCodebook& codebook, const int32_t* base, const float* reflection,
                        float limit, int* indices);
LagChoice SearchLongTermLag(const int32_t* residual, const int32_t* history);
int EncodeBlock(AudioEncoderState& state, const int16_t* samples, uint8_t* packet, bool keyBlock,
                bool collect, float quality);

}  // namespace clipvane::reference
