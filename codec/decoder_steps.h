#pragma once
// The decoder's integer steps. The encoder calls these rather than re-writing
// them, so its local decoder cannot drift from the player's.

#include <cstdint>

#include "codec/audio_decoder.h"

namespace clipvane {

// Long-term prediction (synthesis shape) of lag code `lagCode` (0..125):
// out[m] = (history[127 - lagCode + m] * w(m)) >> 4, w(m) = min(m + 1, 8, 128 - m).
void LongTermPrediction(const int32_t* history, int lagCode, int32_t* out);

// Builds the quantised reflection vector from the three stage indices, turns it
// into a filter set and writes the four sub-block filter sets (interpolated
// from the previous set unless `keyBlock`). Updates the state's previous filter
// set and previous reflection vector.
void DecodeSpectrum(AudioDecoderState& state, int index0, int index1, int index2,
                    int32_t (*subBlockFilterSets)[kFilterSetSize], bool keyBlock);

// Step-up recursion: Q15 reflection coefficients k[0..7] to Q14 filter
// coefficients c[0..7] (c_i = -(a_i >> 1)).
void ReflectionToFilter(const int32_t* reflection, int32_t* coefficients);

// All-pole synthesis over `count` samples in place (the codec uses 32):
// y = (x * 16384 + sum c_i * mem_i) >> 14; `filterSet` is 16384 followed by
// c_1..c_8, `memory` holds the last 8 outputs, most recent first.
void SynthesisFilter(int32_t* samples, int count, const int32_t* filterSet, int32_t* memory);

}  // namespace clipvane
