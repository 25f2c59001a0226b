#include "codebook/trainer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "codebook/channel_codebook.h"
#include "codebook/vector_quantizer.h"
#include "codec/float_math.h"

namespace clipvane {
namespace {

constexpr float kLn2 = 0.693147182f;  // ln 2 rounded to single precision
constexpr float kQ15 = 32768.0f;

// rnd: halves away from zero (0.5 added or taken in single precision), then
// truncation. Values outside the 32-bit range saturate and NaN gives 0, so a
// wild training element can never make the conversion undefined.
int32_t RoundHalfAway(float x) {
  const float y = x > 0.0f ? x + 0.5f : x - 0.5f;
  if (std::isnan(y)) return 0;
  if (y >= 2147483648.0f) return INT32_MAX;
  if (y < -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(y);
}

int16_t Clamp16(int32_t value) { return static_cast<int16_t>(std::clamp<int32_t>(value, -32768, 32767)); }

// The spectral trainer measures distances with component k weighted by
// 2^(-k/4) (squared: 2^(-k/2)), so the first coefficients, which matter most
// to the spectrum, dominate.
float DomainWeight(int k) { return FloatExp(static_cast<float>(-k) * 0.25f * kLn2); }
float DomainUnweight(int k) { return FloatExp(static_cast<float>(k) * 0.25f * kLn2); }

void TrainInitialGain(const std::vector<float>& keyGains, ChannelCodebook& codebook) {
  // Geometric mean: key gains span decades, so the typical level is a mean of
  // logarithms.
  float sum = 0.0f;
  for (const float gain : keyGains) sum = sum + FloatLog(gain);
  const float mean = sum / static_cast<float>(keyGains.size());
  codebook.initialGain = RoundHalfAway(FloatExp(mean));
}

void TrainKeyBase(const std::vector<ReflectionRecord>& keyVectors, ChannelCodebook& codebook) {
  const float count = static_cast<float>(keyVectors.size());
  for (int k = 0; k < kReflectionOrder; ++k) {
    float sum = 0.0f;
    for (const ReflectionRecord& record : keyVectors) sum = sum + record[k];
    codebook.keyBase[k] = RoundHalfAway(sum / count * kQ15);
  }
}

void StoreGainRatios(const std::vector<float>& levels, ChannelCodebook& codebook) {
  for (int i = 0; i < kGainLevels; ++i) {
    const int32_t ratio = RoundHalfAway(FloatExp(levels[i]) * kQ15 * 0.25f);
    // Never 0: a zero ratio would leave the gain state at 0 until the next key block.
    codebook.gainRatio[i] = Clamp16(std::max<int32_t>(ratio, 1));
  }
}

// Three residual stages: each stage is trained on what the stages before it
// left over, and its quantised entries (not the float ones) are subtracted, as
// the encoder will subtract them.
void TrainSpectrum(std::vector<ReflectionRecord>& deltas, ProgressValue& progress, float stageWeight,
                   QuantizerContext& context, ChannelCodebook& codebook) {
  float weight[kReflectionOrder];
  float unweight[kReflectionOrder];
  for (int k = 0; k < kReflectionOrder; ++k) {
    weight[k] = DomainWeight(k);
    unweight[k] = DomainUnweight(k);
  }
  for (ReflectionRecord& record : deltas) {
    for (int k = 0; k < kReflectionOrder; ++k) record[k] = record[k] * kQ15 * weight[k];
  }

  const int count = static_cast<int>(deltas.size());
  for (int stage = 0; stage < kSpectrumStages; ++stage) {
    if (context.Stopped()) return;
    std::vector<ReflectionRecord> entries =
        TrainVectorQuantizer(deltas, kStageEntries, progress, stageWeight, context);
    if (context.Stopped()) return;
    for (int e = 0; e < kStageEntries; ++e) {
      for (int k = 0; k < kReflectionOrder; ++k) {
        const int16_t q = Clamp16(RoundHalfAway(entries[e][k] * unweight[k]));
        codebook.spectrumCodewords[stage][e][k] = q;
        entries[e][k] = static_cast<float>(q) * weight[k];
      }
    }
    context.indices.resize(count);
    context.distances.resize(count);
    context.search.SearchRecords(deltas[0].data(), count, entries[0].data(), kStageEntries,
                                 context.indices.data(), context.distances.data());
    for (int r = 0; r < count; ++r) {
      const ReflectionRecord& nearest = entries[context.indices[r]];
      for (int k = 0; k < kReflectionOrder; ++k) deltas[r][k] = deltas[r][k] - nearest[k];
    }
  }
}

}  // namespace

void TrainChannelCodebook(AudioEncoderState& state, const std::atomic<bool>* stop) {
  TrainChannelCodebook(state, stop, TrainerOptions{});
}

void TrainChannelCodebook(AudioEncoderState& state, const std::atomic<bool>* stop, const TrainerOptions& options) {
  ChannelCodebook& codebook = state.decoder.codebook;
  const ChannelCodebook& builtIn = BuiltInCodebook();

  if (!state.keyGainValues.empty()) {
    TrainInitialGain(state.keyGainValues, codebook);
  } else {
    codebook.initialGain = builtIn.initialGain;
  }

  ProgressValue& progress = state.trainingProgress;
  progress.Store(0.0f);
  // Progress is shared out by the work each quantiser does: 8 per gain value,
  // 8 components x 64 entries per record for each of the three stages.
  const float gainWork = static_cast<float>(state.gainLogRatios.size()) * 8.0f;
  const float spectrumWork = static_cast<float>(state.deltaReflectionVectors.size()) * 8.0f * 3.0f * 64.0f;
  const float totalWork = spectrumWork + gainWork;

  NearestEntrySearch search(options.threads,
                            options.kernels != nullptr ? *options.kernels : FastestNearestEntryKernels());
  QuantizerContext context(search, stop);

  if (!state.gainLogRatios.empty()) {
    const std::vector<float> levels =
        TrainScalarQuantizer(state.gainLogRatios, kGainLevels, progress, gainWork / totalWork, context);
    if (context.Stopped()) return;
    StoreGainRatios(levels, codebook);
  } else {
    std::copy(std::begin(builtIn.gainRatio), std::end(builtIn.gainRatio), codebook.gainRatio);
  }

  if (!state.keyReflectionVectors.empty()) {
    TrainKeyBase(state.keyReflectionVectors, codebook);
  } else {
    std::copy(std::begin(builtIn.keyBase), std::end(builtIn.keyBase), codebook.keyBase);
  }

  if (!state.deltaReflectionVectors.empty()) {
    TrainSpectrum(state.deltaReflectionVectors, progress, spectrumWork / 3.0f / totalWork, context, codebook);
    if (context.Stopped()) return;
  } else {
    std::memcpy(codebook.spectrumCodewords, builtIn.spectrumCodewords, sizeof(codebook.spectrumCodewords));
  }

  // With nothing to train no quantiser advanced the progress; the channel is
  // done all the same.
  if (!(totalWork > 0.0f)) progress.Store(1.0f);
}

}  // namespace clipvane
