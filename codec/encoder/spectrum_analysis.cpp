// Spectral analysis: an order-8 linear prediction of the windowed block,
// its reflection coefficients quantised by the codebook's three stages, and
// the residual of the quantised, sub-block interpolated analysis filter.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec/decoder_steps.h"
#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/encoder_steps.h"
#include "codec/fixed_point.h"
#include "codec/float_math.h"

namespace clipvane {

namespace {

constexpr float kNoiseFloor = 10.0f;
constexpr float kWhiteNoiseCorrection = 1.008f;
// exp(-0.5 (2 pi 0.01 k)^2), k = 1..8, as tabled to six decimals.
constexpr float kLagWindow[kReflectionOrder] = {0.998028f, 0.992135f, 0.982392f, 0.968911f,
                                                0.951850f, 0.931405f, 0.907808f, 0.881323f};

// asin of every Q15 coefficient n / 32768, n = -32768..32768. A candidate's
// running coefficient is always such a value, so the search looks its arcsine
// up instead of computing it; the entries are the same float FloatAsin gives.
constexpr int kAsinTableHalf = 32768;
struct AsinTable {
  float value[2 * kAsinTableHalf + 1];
  AsinTable() {
    for (int n = -kAsinTableHalf; n <= kAsinTableHalf; ++n) {
      value[n + kAsinTableHalf] = FloatAsin(static_cast<float>(n) * kQ15ToFloat);
    }
  }
};

const float* AsinOfQ15() {
  static const AsinTable table;
  return table.value;
}

// The arcsine of each component of the unquantised vector, recomputed only
// when the stage's running sum changes its float value.
struct TargetArcsine {
  float u[kReflectionOrder];
  float asinU[kReflectionOrder];
  bool valid[kReflectionOrder] = {};

  void Update(const float* target, const float* acc) {
    for (int j = 0; j < kReflectionOrder; ++j) {
      const float rem = target[j] - acc[j];
      const float u_j = (rem + acc[j]) * kQ15ToFloat;
      // Compared bit for bit: a NaN target must still yield a NaN arcsine.
      if (!valid[j] || std::memcmp(&u_j, &u[j], sizeof(float)) != 0) {
        u[j] = u_j;
        asinU[j] = FloatAsin(u_j);
        valid[j] = true;
      }
    }
  }
};

void PrepareTargets(const int32_t* base, const float* reflection, float* target, float* acc) {
  for (int j = 0; j < kReflectionOrder; ++j) {
    target[j] = reflection[j] * 32768.0f;
    acc[j] = static_cast<float>(base[j]);
  }
}

}  // namespace

// One stage's search over its 64 entries in order, arcsines of the candidates
// from the table.
int SearchReflectionStagePlain(const ReflectionStageSearch& search) {
  const int16_t(*entries)[kReflectionOrder] = search.entries;
  const float* acc = search.acc;
  const float* asinU = search.asinU;
  const float* asinQ = search.asinOfQ15;
  const float limit = search.limit;
  float best = kLargestFloat;
  int bestEntry = 0;
  for (int e = 0; e < kStageEntries; ++e) {
    const int16_t* v = entries[e];
    float err = 0.0f;
    for (int j = 0; j < kReflectionOrder; ++j) {
      // acc holds whole numbers, so the sum is a whole number and q is that
      // number over 32768; within the limit its magnitude is below 32768.
      const float sum = static_cast<float>(v[j]) + acc[j];
      const float q = sum * kQ15ToFloat;
      if (q > limit || q < -limit) {
        err = kRejectedError;
        break;
      }
      const float d = asinU[j] - asinQ[static_cast<int>(sum)];
      err = err + kStageWeight[j] * (d * d);
    }
    if (err < best) {
      best = err;
      bestEntry = e;
    }
  }
  return bestEntry;
}

const float kAnalysisWindow[kAnalysisSamples] = {
    0.080000f, 0.080181f, 0.080724f, 0.081628f, 0.082892f, 0.084517f, 0.086499f, 0.088839f, 0.091533f,
    0.094580f, 0.097978f, 0.101723f, 0.105814f, 0.110246f, 0.115015f, 0.120120f, 0.125554f, 0.131315f,
    0.137397f, 0.143796f, 0.150507f, 0.157524f, 0.164842f, 0.172455f, 0.180358f, 0.188543f, 0.197005f,
    0.205736f, 0.214731f, 0.223981f, 0.233481f, 0.243221f, 0.253195f, 0.263394f, 0.273811f, 0.284438f,
    0.295265f, 0.306285f, 0.317489f, 0.328868f, 0.340413f, 0.352116f, 0.363966f, 0.375954f, 0.388072f,
    0.400309f, 0.412656f, 0.425103f, 0.437640f, 0.450258f, 0.462947f, 0.475696f, 0.488496f, 0.501337f,
    0.514208f, 0.527099f, 0.540000f, 0.552901f, 0.565792f, 0.578663f, 0.591504f, 0.604304f, 0.617053f,
    0.629742f, 0.642360f, 0.654897f, 0.667344f, 0.679691f, 0.691928f, 0.704046f, 0.716034f, 0.727884f,
    0.739587f, 0.751132f, 0.762511f, 0.773715f, 0.784735f, 0.795562f, 0.806189f, 0.816606f, 0.826805f,
    0.836779f, 0.846519f, 0.856019f, 0.865269f, 0.874264f, 0.882995f, 0.891457f, 0.899642f, 0.907545f,
    0.915158f, 0.922476f, 0.929493f, 0.936204f, 0.942603f, 0.948685f, 0.954446f, 0.959880f, 0.964985f,
    0.969755f, 0.974186f, 0.978277f, 0.982022f, 0.985420f, 0.988467f, 0.991161f, 0.993501f, 0.995483f,
    0.997108f, 0.998372f, 0.999276f, 0.999819f, 1.000000f,
    // the falling half mirrors the rising one: w[112 + m] = w[112 - m]
    0.999819f, 0.999276f, 0.998372f, 0.997108f, 0.995483f, 0.993501f, 0.991161f, 0.988467f, 0.985420f,
    0.982022f, 0.978277f, 0.974186f, 0.969755f, 0.964985f, 0.959880f, 0.954446f, 0.948685f, 0.942603f,
    0.936204f, 0.929493f, 0.922476f, 0.915158f, 0.907545f, 0.899642f, 0.891457f, 0.882995f, 0.874264f,
    0.865269f, 0.856019f, 0.846519f, 0.836779f, 0.826805f, 0.816606f, 0.806189f, 0.795562f, 0.784735f,
    0.773715f, 0.762511f, 0.751132f, 0.739587f, 0.727884f, 0.716034f, 0.704046f, 0.691928f, 0.679691f,
    0.667344f, 0.654897f, 0.642360f, 0.629742f, 0.617053f, 0.604304f, 0.591504f, 0.578663f, 0.565792f,
    0.552901f, 0.540000f, 0.527099f, 0.514208f, 0.501337f, 0.488496f, 0.475696f, 0.462947f, 0.450258f,
    0.437640f, 0.425103f, 0.412656f, 0.400309f, 0.388072f, 0.375954f, 0.363966f, 0.352116f, 0.340413f,
    0.328868f, 0.317489f, 0.306285f, 0.295265f, 0.284438f, 0.273811f, 0.263394f, 0.253195f, 0.243221f,
    0.233481f, 0.223981f, 0.214731f, 0.205736f, 0.197005f, 0.188543f, 0.180358f, 0.172455f, 0.164842f,
    0.157524f, 0.150507f, 0.143796f, 0.137397f, 0.131315f, 0.125554f, 0.120120f, 0.115015f, 0.110246f,
    0.105814f, 0.101723f, 0.097978f, 0.094580f, 0.091533f, 0.088839f, 0.086499f, 0.084517f, 0.082892f,
    0.081628f, 0.080724f, 0.080181f};

void ConditionAutocorrelation(float* correlation) {
  // A fixed noise floor keeps the recursion's divisor positive even in
  // silence; the 0.8 % correction and the lag window keep the filter tame.
  float r0 = correlation[0] + kNoiseFloor;
  r0 = r0 * kWhiteNoiseCorrection;
  correlation[0] = r0;
  for (int k = 1; k <= kReflectionOrder; ++k) correlation[k] = correlation[k] * kLagWindow[k - 1];
}

void LevinsonDurbin(const float* correlation, float* filter) {
  float a[kReflectionOrder + 1] = {};
  float error = correlation[0];
  for (int m = 1; m <= kReflectionOrder; ++m) {
    float numerator = correlation[m];
    for (int i = 1; i < m; ++i) numerator = numerator + a[i] * correlation[m - i];
    const float k = -numerator / error;
    float previous[kReflectionOrder + 1];
    std::memcpy(previous, a, sizeof(a));
    for (int i = 1; i < m; ++i) a[i] = previous[i] + k * previous[m - i];
    a[m] = k;
    error = error * (1.0f - k * k);
  }
  a[0] = 1.0f;
  std::memcpy(filter, a, sizeof(a));
}

void FilterToReflection(const float* filter, float* reflection) {
  float a[kReflectionOrder + 1];
  std::memcpy(a, filter, sizeof(a));
  for (int m = kReflectionOrder; m >= 1; --m) {
    const float k = a[m];
    reflection[m - 1] = k;
    const float denominator = 1.0f - k * k;
    float order[kReflectionOrder + 1];
    std::memcpy(order, a, sizeof(a));
    for (int i = 1; i < m; ++i) a[i] = (order[i] - k * order[m - i]) / denominator;
  }
}

void QuantiseReflectionDirect(const ChannelCodebook& codebook, const int32_t* base, const float* reflection,
                              float limit, int* indices) {
  float target[kReflectionOrder];
  float acc[kReflectionOrder];
  PrepareTargets(base, reflection, target, acc);
  for (int stage = 0; stage < kSpectrumStages; ++stage) {
    float best = kLargestFloat;
    int bestEntry = 0;
    for (int e = 0; e < kStageEntries; ++e) {
      const int16_t* v = codebook.spectrumCodewords[stage][e];
      float err = 0.0f;
      for (int j = 0; j < kReflectionOrder; ++j) {
        const float q = (static_cast<float>(v[j]) + acc[j]) * kQ15ToFloat;
        if (q > limit || q < -limit) {
          err = kRejectedError;
          break;
        }
        const float u = ((target[j] - acc[j]) + acc[j]) * kQ15ToFloat;
        const float d = FloatAsin(u) - FloatAsin(q);
        err = err + kStageWeight[j] * (d * d);
      }
      if (err < best) {
        best = err;
        bestEntry = e;
      }
    }
    indices[stage] = bestEntry;
    const int16_t* chosen = codebook.spectrumCodewords[stage][bestEntry];
    for (int j = 0; j < kReflectionOrder; ++j) acc[j] = acc[j] + static_cast<float>(chosen[j]);
  }
}

void QuantiseReflection(const AudioEncoderState& state, const int32_t* base, const float* reflection, float limit,
                        int* indices) {
  const ChannelCodebook& codebook = state.decoder.codebook;
  // The table covers every coefficient in [-1, 1]; a wider limit (never used
  // by the encoder) would let a candidate reach beyond it.
  if (!(limit < 1.0f)) {
    QuantiseReflectionDirect(codebook, base, reflection, limit, indices);
    return;
  }
  const float* asinQ = AsinOfQ15() + kAsinTableHalf;
  float target[kReflectionOrder];
  float acc[kReflectionOrder];
  PrepareTargets(base, reflection, target, acc);
  TargetArcsine targetArcsine;
  for (int stage = 0; stage < kSpectrumStages; ++stage) {
    targetArcsine.Update(target, acc);
    const ReflectionStageSearch search{codebook.spectrumCodewords[stage],
                                       &state.codebookTables.transposedStages[stage][0][0],
                                       acc,
                                       targetArcsine.u,
                                       targetArcsine.asinU,
                                       limit,
                                       asinQ};
    const int bestEntry = state.kernels->searchReflectionStage(search);
    indices[stage] = bestEntry;
    const int16_t* chosen = codebook.spectrumCodewords[stage][bestEntry];
    for (int j = 0; j < kReflectionOrder; ++j) acc[j] = acc[j] + static_cast<float>(chosen[j]);
  }
}

namespace {

// Every entry's error at one stage, as SearchReflectionStagePlain scores them.
void StageErrors(const ReflectionStageSearch& search, float* errors) {
  for (int e = 0; e < kStageEntries; ++e) {
    const int16_t* v = search.entries[e];
    float err = 0.0f;
    for (int j = 0; j < kReflectionOrder; ++j) {
      const float sum = static_cast<float>(v[j]) + search.acc[j];
      const float q = sum * kQ15ToFloat;
      if (q > search.limit || q < -search.limit) {
        err = kRejectedError;
        break;
      }
      const float d = search.asinU[j] - search.asinOfQ15[static_cast<int>(sum)];
      err = err + kStageWeight[j] * (d * d);
    }
    errors[e] = err;
  }
}

struct SpectrumPath {
  int indices[kSpectrumStages];
  float acc[kReflectionOrder];
  float error;
};

}  // namespace

int QuantiseReflectionPaths(const AudioEncoderState& state, const int32_t* base, const float* reflection, float limit,
                            int paths, int (*indices)[kSpectrumStages]) {
  const ChannelCodebook& codebook = state.decoder.codebook;
  if (!(limit < 1.0f) || paths < 1) {
    QuantiseReflection(state, base, reflection, limit, indices[0]);
    return 1;
  }
  const float* asinQ = AsinOfQ15() + kAsinTableHalf;
  float target[kReflectionOrder];
  SpectrumPath kept[kMaxSpectrumPaths];
  PrepareTargets(base, reflection, target, kept[0].acc);
  int keptCount = 1;
  // Shared by the paths: it recomputes an arcsine only where a path's
  // unquantised coefficient differs from the one before.
  TargetArcsine targetArcsine;
  for (int stage = 0; stage < kSpectrumStages; ++stage) {
    SpectrumPath next[kMaxSpectrumPaths];
    int nextCount = 0;
    for (int p = 0; p < keptCount; ++p) {
      targetArcsine.Update(target, kept[p].acc);
      const ReflectionStageSearch search{codebook.spectrumCodewords[stage],
                                         &state.codebookTables.transposedStages[stage][0][0],
                                         kept[p].acc,
                                         targetArcsine.u,
                                         targetArcsine.asinU,
                                         limit,
                                         asinQ};
      float errors[kStageEntries];
      StageErrors(search, errors);
      // Insertion into the best `paths` by error; on a tie the earlier path
      // and entry stay ahead.
      for (int e = 0; e < kStageEntries; ++e) {
        int at = nextCount;
        while (at > 0 && errors[e] < next[at - 1].error) --at;
        if (at >= paths) continue;
        const int last = nextCount < paths ? nextCount : paths - 1;
        for (int k = last; k > at; --k) next[k] = next[k - 1];
        SpectrumPath& path = next[at];
        path = kept[p];
        path.indices[stage] = e;
        path.error = errors[e];
        for (int j = 0; j < kReflectionOrder; ++j) {
          path.acc[j] = kept[p].acc[j] + static_cast<float>(codebook.spectrumCodewords[stage][e][j]);
        }
        if (nextCount < paths) ++nextCount;
      }
    }
    std::copy(next, next + nextCount, kept);
    keptCount = nextCount;
  }
  for (int p = 0; p < keptCount; ++p) std::copy(kept[p].indices, kept[p].indices + kSpectrumStages, indices[p]);
  return keptCount;
}

void PredictSpectrum(float* correlation, float* predictionFilter, float* reflection) {
  ConditionAutocorrelation(correlation);
  LevinsonDurbin(correlation, predictionFilter);
  FilterToReflection(predictionFilter, reflection);
}

void AnalyseSpectrum(AudioEncoderState& state, float* correlation, const int32_t* samples, bool keyBlock,
                     bool collect, float limit, SpectrumAnalysis& out) {
  float reflection[kReflectionOrder];
  PredictSpectrum(correlation, out.predictionFilter, reflection);

  AudioDecoderState& local = state.decoder;
  const int32_t* base = keyBlock ? local.codebook.keyBase : local.previousReflection;
  if (collect) {
    ReflectionRecord record;
    for (int j = 0; j < kReflectionOrder; ++j) {
      record[j] = keyBlock ? reflection[j] : reflection[j] - static_cast<float>(base[j]) * kQ15ToFloat;
    }
    (keyBlock ? state.keyReflectionVectors : state.deltaReflectionVectors).push_back(record);
  }

  if (collect || state.settings.effort == 0) {
    QuantiseReflection(state, base, reflection, limit, out.spectrumIndex);
  } else {
    int paths[kMaxSpectrumPaths][kSpectrumStages];
    QuantiseReflectionPaths(state, base, reflection, limit, kMaxSpectrumPaths, paths);
    std::copy(paths[0], paths[0] + kSpectrumStages, out.spectrumIndex);
  }
  ApplySpectrum(state, samples, keyBlock, out);
}

void ApplySpectrum(AudioEncoderState& state, const int32_t* samples, bool keyBlock, SpectrumAnalysis& out) {
  DecodeSpectrum(state.decoder, out.spectrumIndex[0], out.spectrumIndex[1], out.spectrumIndex[2],
                 out.subBlockFilterSets, keyBlock);

  // The analysis filter is the synthesis filter's inverse (up to its rounding
  // term); its memory runs on across sub-blocks and blocks, like the decoder's.
  // It only looks back at inputs, so the samples are laid out after the
  // memory and every output is formed independently; the wrapping sums do
  // not depend on their order.
  uint32_t line[kReflectionOrder + kBlockSamples];
  for (int i = 0; i < kReflectionOrder; ++i) {
    line[i] = static_cast<uint32_t>(state.analysisMemory[kReflectionOrder - 1 - i]);
  }
  for (int n = 0; n < kBlockSamples; ++n) line[kReflectionOrder + n] = static_cast<uint32_t>(samples[n]);
  for (int b = 0; b < kSubBlocks; ++b) {
    uint32_t c[kReflectionOrder];
    for (int i = 0; i < kReflectionOrder; ++i) c[i] = static_cast<uint32_t>(out.subBlockFilterSets[b][i + 1]);
    for (int n = b * kSubBlockSamples; n < (b + 1) * kSubBlockSamples; ++n) {
      const uint32_t* past = line + n;  // past[8 - i] is the input i samples back
      uint32_t sum = past[kReflectionOrder] * 16384u + 8192u;
      for (int i = 1; i <= kReflectionOrder; ++i) sum -= c[i - 1] * past[kReflectionOrder - i];
      out.residual[n] = static_cast<int32_t>(sum) >> 14;
    }
  }
  for (int i = 0; i < kReflectionOrder; ++i) {
    state.analysisMemory[i] = static_cast<int32_t>(line[kReflectionOrder + kBlockSamples - 1 - i]);
  }
}

}  // namespace clipvane
