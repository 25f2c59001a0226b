#pragma once
// Training of a channel's codebook from the lists the collection pass filled.
// Deterministic: the generator is re-seeded with 0 for every quantiser, so the
// same lists always give the same image, byte for byte.

#include <atomic>
#include <cstdint>
#include <vector>

#include "codec/encoder/audio_encoder.h"

namespace clipvane {

// Trains the image at the head of `state` (its decoder block's codebook) from
// its four training lists, reporting progress in state.trainingProgress.
// `stop`, when given and set, makes the trainer return early at the next pass
// boundary; the image is then incomplete and must not be used.
void TrainChannelCodebook(AudioEncoderState& state, const std::atomic<bool>* stop = nullptr);

}  // namespace clipvane
