#pragma once
// The audio encoder: 128 samples (plus 128 look-ahead) of one channel into one
// packet, by analysis by synthesis. The encoder carries its own copy of the
// decoder's state and updates it exactly as the decoder will.

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "codec/audio_decoder.h"

namespace clipvane {

using ReflectionRecord = std::array<float, kReflectionOrder>;

// The encoder's kernel set (codec/encoder/encoder_kernels.h). A state runs the
// fastest set this processor runs, chosen once per process, unless told
// otherwise.
struct EncoderKernels;
const EncoderKernels* FastestEncoderKernels();

// Tables the searches derive from the installed codebook, built once by
// ResetEncoderState rather than per block.
struct EncoderCodebookTables {
  // spectrumCodewords as floats, component-major: one load gives a component
  // of consecutive entries.
  float transposedStages[kSpectrumStages][kReflectionOrder][kStageEntries];
  float gainRatioLog[kGainLevels];  // ln(gainRatio / 8192)
};

// A float that one thread writes and another reads for a progress display.
// Relaxed atomics: a stale value only affects the printed percentage.
class ProgressValue {
 public:
  ProgressValue() = default;
  ProgressValue(const ProgressValue& other) : value_(other.Load()) {}
  ProgressValue& operator=(const ProgressValue& other) {
    Store(other.Load());
    return *this;
  }
  float Load() const { return value_.load(std::memory_order_relaxed); }
  void Store(float v) { value_.store(v, std::memory_order_relaxed); }

 private:
  std::atomic<float> value_{0.0f};
};

// How a run encodes, the same for every block of every channel: set once per
// run, before the first block.
inline constexpr int kMaxEffort = 2;
struct EncoderSettings {
  // The packet-mode choice's price of one byte against the normalised error:
  // 1 / quality.
  float rateWeight = 1.0f / 128.0f;
  // 0: the open-loop excitation (pulses from the low-passed residual's
  // largest value). 1: pulses, grid phase and gain index chosen by the error
  // of the block the decoder will synthesise, and the 8 best paths through
  // the spectrum's stages. 2: also the long-term predictor and the spectrum
  // (among the 4 best paths) chosen by that error. Every effort writes
  // packets the same decoder plays; collecting training data always runs
  // effort 0, so the codebooks do not depend on it.
  int effort = 0;
};
// The settings for a quality (above 0) and an effort (0..kMaxEffort).
EncoderSettings MakeEncoderSettings(float quality, int effort);

struct AudioEncoderState {
  AudioDecoderState decoder{};  // the encoder's local decoder, laid out as the player's; zero-filled
  int32_t analysisMemory[kReflectionOrder] = {};  // last 8 inputs of the analysis filter, most recent first
  int32_t highPassInput = 0;
  int32_t highPassOutput = 0;
  int32_t blocksSinceKey = 0;
  float errorWeightingMemory[kReflectionOrder] = {};   // the weighting filter's, of the chosen error
  float speechWeightingMemory[kReflectionOrder] = {};  // the weighting filter's, of the input
  EncoderSettings settings;
  // Training lists, filled only in collect mode.
  std::vector<ReflectionRecord> keyReflectionVectors;
  std::vector<ReflectionRecord> deltaReflectionVectors;
  std::vector<float> keyGainValues;
  std::vector<float> gainLogRatios;
  ProgressValue trainingProgress;
  // Derived from the codebook above; rebuilt whenever ResetEncoderState installs one.
  EncoderCodebookTables codebookTables{};
  const EncoderKernels* kernels = FastestEncoderKernels();
};

// Installs a codebook to encode with (the tables derived from it are built
// here; the trainer leaves its result in decoder.codebook, which goes through
// here before the channel encodes again) and clears the analysis, high-pass, history and weighting
// memories and the training lists. Leaves blocksSinceKey, the previous filter
// set and reflection vector, the gain state and the synthesis memory: the next
// key block sets them.
void ResetEncoderState(AudioEncoderState& state, const ChannelCodebook& codebook);

// Encodes samples[0..127] (samples[128..255] are look-ahead) into `packet`
// (room for 20 bytes) with the state's settings and returns the packet size in
// bytes. With `collect` the block's training data is appended to the state's
// lists, and the block is encoded at effort 0 whatever the settings say.
int EncodeAudioBlock(AudioEncoderState& state, const int16_t* samples, uint8_t* packet, bool keyBlock,
                     bool collect);

}  // namespace clipvane
