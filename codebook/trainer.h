#pragma once
// Training of a channel's codebook from the lists the collection pass filled.
// Deterministic: the generator is re-seeded with 0 for every quantiser, so the
// same lists always give the same image, byte for byte.

#include <atomic>
#include <cstdint>
#include <vector>

#include "codebook/nearest_entry.h"
#include "codec/encoder/audio_encoder.h"

namespace clipvane {

// How the trainer may use the machine. The image does not depend on these.
struct TrainerOptions {
  int threads = 0;                              // nearest-entry search threads; 0: one per processor
  const NearestEntryKernels* kernels = nullptr;  // null: the fastest set this processor runs
};

// Trains the image at the head of `state` (its decoder block's codebook) from
// its four training lists, reporting progress in state.trainingProgress.
// `stop`, when given and set, makes the trainer return early at the next pass
// boundary; the image is then incomplete and must not be used.
//
// A list that is empty leaves the fields it would train at the built-in
// codebook's values (no key blocks: keyBase and initialGain; no non-key blocks:
// gainRatio and spectrumCodewords). Trained gain ratios are at least 1 in Q13,
// since a ratio of 0 would silence the channel until its next key block.
void TrainChannelCodebook(AudioEncoderState& state, const std::atomic<bool>* stop = nullptr);
void TrainChannelCodebook(AudioEncoderState& state, const std::atomic<bool>* stop, const TrainerOptions& options);

}  // namespace clipvane
