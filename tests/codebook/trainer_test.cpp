// The trainer against a plain reference written for clarity rather than speed:
// one scalar nearest-entry search, one sequential refinement, one thread. The
// optimised trainer (SIMD kernels, parallel search) must give the same image,
// byte for byte, and the same rewritten residual list.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "codebook/channel_codebook.h"
#include "codebook/nearest_entry.h"
#include "codebook/nearest_entry_search.h"
#include "codebook/trainer.h"
#include "codebook/vector_quantizer.h"
#include "codec/float_math.h"

namespace clipvane {
namespace {

constexpr float kLargestFloat = std::numeric_limits<float>::max();

// ---------------------------------------------------------------------------
// Reference trainer.

struct RefNearest {
  int index = 0;
  float distance = kLargestFloat;
};

template <int Dim>
RefNearest RefNearestEntry(const float* x, const std::vector<float>& entries) {
  RefNearest best;
  const int count = static_cast<int>(entries.size()) / Dim;
  for (int e = 0; e < count; ++e) {
    float distance = 0.0f;
    for (int k = 0; k < Dim; ++k) {
      const float d = x[k] - entries[e * Dim + k];
      distance += d * d;
    }
    if (best.distance > distance) best = {e, distance};
  }
  return best;
}

struct RefGenerator {
  uint32_t state = 0;
  int Next() {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 32767u);
  }
};

// `list` is flat: n elements of Dim floats.
template <int Dim>
float RefRefine(const std::vector<float>& list, std::vector<float>& entries, int maxPasses, float& progress,
                float weight) {
  const int n = static_cast<int>(list.size()) / Dim;
  const int count = static_cast<int>(entries.size()) / Dim;
  const float p0 = progress;
  float distortion = 0.0f;
  for (int pass = 0;; ++pass) {
    progress = p0 + static_cast<float>(pass) * weight / static_cast<float>(maxPasses);
    std::vector<float> sums(entries.size(), 0.0f);
    std::vector<int32_t> population(count, 0);
    const float previous = distortion;
    distortion = 0.0f;
    for (int r = 0; r < n; ++r) {
      const RefNearest nearest = RefNearestEntry<Dim>(&list[r * Dim], entries);
      distortion += nearest.distance;
      for (int k = 0; k < Dim; ++k) sums[nearest.index * Dim + k] += list[r * Dim + k];
      population[nearest.index] += 1;
    }
    distortion /= static_cast<float>(n);
    std::vector<std::pair<float, int>> pairs;
    for (int i = 0; i < count; ++i) pairs.push_back({static_cast<float>(population[i]), i});
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<float> fresh(entries.size());
    int next = count;
    for (int i = 0; i < count; ++i) {
      if (population[i] > 0) {
        const float r = 1.0f / static_cast<float>(population[i]);
        for (int k = 0; k < Dim; ++k) fresh[i * Dim + k] = sums[i * Dim + k] * r;
      } else {
        next -= 1;
        const int j = pairs[next].second;
        for (int k = 0; k < Dim; ++k) fresh[i * Dim + k] = entries[j * Dim + k] + 1e-7f;
      }
    }
    entries = fresh;
    if (pass > 0 && !(previous > distortion)) break;
    if (pass == maxPasses) break;
  }
  progress = p0 + weight;
  return distortion;
}

template <int Dim>
std::vector<float> RefTrain(const std::vector<float>& list, int count, float& progress, float weight) {
  const int n = static_cast<int>(list.size()) / Dim;
  RefGenerator generator;
  std::vector<float> best;
  float bestDistortion = 0.0f;
  for (int trial = 0; trial < 10; ++trial) {
    std::vector<float> candidate;
    for (int e = 0; e < count; ++e) {
      const int r1 = generator.Next();
      const int r2 = generator.Next();
      const int index = (r1 * 32767 + r2) % n;
      for (int k = 0; k < Dim; ++k) candidate.push_back(list[index * Dim + k]);
    }
    const float distortion = RefRefine<Dim>(list, candidate, 10, progress, weight / 20);
    if (trial == 0 || distortion < bestDistortion) {
      best = candidate;
      bestDistortion = distortion;
    }
  }
  RefRefine<Dim>(list, best, 100, progress, weight * 0.5f);
  return best;
}

int32_t RefRound(float x) { return static_cast<int32_t>(x > 0 ? x + 0.5f : x - 0.5f); }
int32_t RefClamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

struct RefResult {
  ChannelCodebook codebook;
  std::vector<ReflectionRecord> residuals;
  float progress;
};

RefResult RefTrainChannel(const AudioEncoderState& state) {
  RefResult out;
  ChannelCodebook& cb = out.codebook;
  cb = BuiltInCodebook();
  const float ln2 = 0.6931472f;

  if (!state.keyGainValues.empty()) {
    float s = 0.0f;
    for (float v : state.keyGainValues) s += FloatLog(v);
    cb.initialGain = RefRound(FloatExp(s / static_cast<float>(state.keyGainValues.size())));
  }
  float progress = 0.0f;
  const float tGain = static_cast<float>(state.gainLogRatios.size()) * 8;
  const float tSpectrum = static_cast<float>(state.deltaReflectionVectors.size()) * 8 * 3 * 64;
  const float total = tSpectrum + tGain;
  if (!state.gainLogRatios.empty()) {
    const std::vector<float> levels = RefTrain<1>(state.gainLogRatios, 8, progress, tGain / total);
    for (int i = 0; i < 8; ++i) {
      cb.gainRatio[i] = static_cast<int16_t>(RefClamp(RefRound(FloatExp(levels[i]) * 32768 * 0.25f), 1, 32767));
    }
  }
  if (!state.keyReflectionVectors.empty()) {
    for (int k = 0; k < 8; ++k) {
      float a = 0.0f;
      for (const ReflectionRecord& v : state.keyReflectionVectors) a += v[k];
      cb.keyBase[k] = RefRound(a / static_cast<float>(state.keyReflectionVectors.size()) * 32768);
    }
  }
  std::vector<float> x;
  for (const ReflectionRecord& v : state.deltaReflectionVectors) {
    for (int k = 0; k < 8; ++k) x.push_back(v[k] * 32768 * FloatExp(-k * 0.25f * ln2));
  }
  if (!x.empty()) {
    for (int s = 0; s < 3; ++s) {
      std::vector<float> e = RefTrain<8>(x, 64, progress, (tSpectrum / 3) / total);
      for (int i = 0; i < 64; ++i) {
        for (int k = 0; k < 8; ++k) {
          const int32_t q = RefClamp(RefRound(e[i * 8 + k] * FloatExp(k * 0.25f * ln2)), -32768, 32767);
          cb.spectrumCodewords[s][i][k] = static_cast<int16_t>(q);
          e[i * 8 + k] = static_cast<float>(q) * FloatExp(-k * 0.25f * ln2);
        }
      }
      for (size_t r = 0; r < x.size() / 8; ++r) {
        const int i = RefNearestEntry<8>(&x[r * 8], e).index;
        for (int k = 0; k < 8; ++k) x[r * 8 + k] -= e[i * 8 + k];
      }
    }
  }
  for (size_t r = 0; r < x.size() / 8; ++r) {
    ReflectionRecord record;
    for (int k = 0; k < 8; ++k) record[k] = x[r * 8 + k];
    out.residuals.push_back(record);
  }
  out.progress = total > 0 ? progress : 1.0f;
  return out;
}

// ---------------------------------------------------------------------------
// Training lists.

class ListMaker {
 public:
  explicit ListMaker(uint32_t seed) : engine_(seed) {}
  float Uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(engine_); }
  float Normal(float sigma) { return std::normal_distribution<float>(0.0f, sigma)(engine_); }
  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(engine_); }

 private:
  std::mt19937 engine_;
};

// Clusters of deltas around a dozen centres, plus exact zero records as
// silence gives them, which leave duplicate elements and empty cells.
std::vector<ReflectionRecord> ClusteredDeltas(int n, uint32_t seed) {
  ListMaker maker(seed);
  std::vector<ReflectionRecord> centres(12);
  for (ReflectionRecord& c : centres) {
    for (int k = 0; k < 8; ++k) c[k] = maker.Uniform(-0.3f, 0.3f) / static_cast<float>(k + 1);
  }
  std::vector<ReflectionRecord> list(n);
  for (ReflectionRecord& r : list) {
    if (maker.Below(10) == 0) {
      r.fill(0.0f);
      continue;
    }
    const ReflectionRecord& c = centres[maker.Below(12)];
    for (int k = 0; k < 8; ++k) r[k] = c[k] + maker.Normal(0.02f);
  }
  return list;
}

// Deltas as the encoder appends them: coefficients drifting towards targets
// that change now and then, each minus the previous coefficient in Q15.
std::vector<ReflectionRecord> RealisticDeltas(int n, uint32_t seed) {
  ListMaker maker(seed);
  ReflectionRecord k{}, target{};
  std::vector<ReflectionRecord> list(n);
  for (int t = 0; t < n; ++t) {
    if (t % 40 == 0) {
      target[0] = maker.Uniform(-0.98f, 0.2f);
      for (int i = 1; i < 8; ++i) target[i] = maker.Uniform(-0.6f, 0.6f) / static_cast<float>(i);
    }
    for (int i = 0; i < 8; ++i) {
      const float previousQ15 = std::round(k[i] * 32768.0f) / 32768.0f;
      k[i] = std::clamp(0.7f * k[i] + 0.3f * target[i] + maker.Normal(0.05f), -0.999f, 0.999f);
      list[t][i] = k[i] - previousQ15;
    }
  }
  return list;
}

void FillState(AudioEncoderState& state, int deltas, int keys, uint32_t seed, bool realistic) {
  ListMaker maker(seed + 1000);
  state.deltaReflectionVectors = realistic ? RealisticDeltas(deltas, seed) : ClusteredDeltas(deltas, seed);
  state.gainLogRatios.clear();
  for (int i = 0; i < deltas; ++i) {
    state.gainLogRatios.push_back(maker.Below(20) == 0 ? maker.Uniform(-3.0f, 3.0f) : maker.Normal(0.5f));
  }
  state.keyReflectionVectors.clear();
  state.keyGainValues.clear();
  for (int i = 0; i < keys; ++i) {
    ReflectionRecord r;
    for (int k = 0; k < 8; ++k) r[k] = maker.Uniform(-0.95f, 0.95f) / static_cast<float>(k + 1);
    state.keyReflectionVectors.push_back(r);
    state.keyGainValues.push_back(4.0f * FloatExp(maker.Uniform(0.0f, 7.0f)));
  }
}

CodebookImage Image(const AudioEncoderState& state) { return ToImage(state.decoder.codebook); }

void ExpectSameAsReference(const AudioEncoderState& original, const std::vector<TrainerOptions>& variants) {
  const RefResult reference = RefTrainChannel(original);
  for (const TrainerOptions& options : variants) {
    SCOPED_TRACE(::testing::Message() << options.threads << " threads, kernels "
                                      << (options.kernels != nullptr ? options.kernels->name : "fastest"));
    AudioEncoderState state;
    state.keyReflectionVectors = original.keyReflectionVectors;
    state.deltaReflectionVectors = original.deltaReflectionVectors;
    state.keyGainValues = original.keyGainValues;
    state.gainLogRatios = original.gainLogRatios;
    TrainChannelCodebook(state, nullptr, options);
    EXPECT_EQ(Image(state), ToImage(reference.codebook));
    ASSERT_EQ(state.deltaReflectionVectors.size(), reference.residuals.size());
    EXPECT_TRUE(std::equal(state.deltaReflectionVectors.begin(), state.deltaReflectionVectors.end(),
                           reference.residuals.begin()));
    EXPECT_EQ(state.trainingProgress.Load(), reference.progress);
    EXPECT_NEAR(state.trainingProgress.Load(), 1.0f, 1e-5f);
  }
}

// ---------------------------------------------------------------------------
// NearestEntry.

TEST(NearestEntry, TiesGoToTheLowestIndex) {
  const float x[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  // Entries 1 and 3 are both at distance 1; entry 0 at 4; entry 2 at 2.
  const float entries[4 * 8] = {-1, 0, 0, 0, 0, 0, 0, 0,  //
                                0,  0, 0, 0, 0, 0, 0, 0,  //
                                1,  1, 1, 0, 0, 0, 0, 0,  //
                                2,  0, 0, 0, 0, 0, 0, 0};
  const NearestResult r = NearestEntry(x, entries, 4);
  EXPECT_EQ(r.index, 1);
  EXPECT_EQ(r.distance, 1.0f);

  const float levels[4] = {5.0f, 1.0f, 3.0f, 1.0f};
  const NearestResult s = NearestEntry(2.0f, levels, 4);
  EXPECT_EQ(s.index, 1);  // levels 1, 3 and 1 all lie at distance 1
  EXPECT_EQ(s.distance, 1.0f);
}

TEST(NearestEntry, AllEqualEntriesGiveIndexZero) {
  std::vector<float> entries(64 * 8, 0.25f);
  ListMaker maker(7);
  for (int trial = 0; trial < 20; ++trial) {
    float x[8];
    for (float& v : x) v = maker.Uniform(-2.0f, 2.0f);
    EXPECT_EQ(NearestEntry(x, entries.data(), 64).index, 0);
    EXPECT_EQ(NearestEntry(x[0], entries.data(), 64).index, 0);
  }
}

TEST(NearestEntry, DistanceIsTheSquaredDistance) {
  const float x[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const float entry[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(NearestEntry(x, entry, 1).distance, 204.0f);  // 1 + 4 + ... + 64
  EXPECT_EQ(NearestEntry(-1.5f, entry, 1).distance, 2.25f);
}

TEST(NearestEntry, NaNDistancesAreNeverTaken) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float levels[3] = {nan, 4.0f, nan};
  EXPECT_EQ(NearestEntry(3.0f, levels, 3).index, 1);
  const NearestResult none = NearestEntry(nan, levels, 3);
  EXPECT_EQ(none.index, 0);
  EXPECT_EQ(none.distance, kLargestFloat);
}

// Coarse integer-valued data makes many exact ties, which a kernel that
// compared the wrong way or lost the first-index rule would get wrong.
void ExpectBatchMatchesScalar(const std::vector<float>& records, const std::vector<float>& entries, int dim,
                              const NearestEntryKernels& kernels) {
  const int n = static_cast<int>(records.size()) / dim;
  const int count = static_cast<int>(entries.size()) / dim;
  std::vector<int> indices(n, -1);
  std::vector<float> distances(n, -1.0f);
  if (dim == 8) {
    kernels.records(records.data(), n, entries.data(), count, indices.data(), distances.data());
  } else {
    kernels.levels(records.data(), n, entries.data(), count, indices.data(), distances.data());
  }
  for (int r = 0; r < n; ++r) {
    const NearestResult expected = dim == 8 ? NearestEntry(&records[r * 8], entries.data(), count)
                                            : NearestEntry(records[r], entries.data(), count);
    ASSERT_EQ(indices[r], expected.index) << kernels.name << ": record " << r << " of " << n << ", " << count
                                          << " entries";
    ASSERT_EQ(std::memcmp(&distances[r], &expected.distance, sizeof(float)), 0) << kernels.name << ": record " << r;
  }
}

TEST(NearestEntries, EveryKernelMatchesTheScalarSearch) {
  ListMaker maker(11);
  for (const int dim : {8, 1}) {
    for (const int count : {1, 7, 8, 9, 64}) {
      for (const int n : {0, 1, 7, 8, 9, 16, 17, 203}) {
        std::vector<float> records(n * dim), entries(count * dim), fine(n * dim);
        for (float& v : records) v = static_cast<float>(maker.Below(5) - 2);
        for (float& v : entries) v = static_cast<float>(maker.Below(5) - 2);
        for (float& v : fine) v = maker.Uniform(-3e4f, 3e4f);
        for (const NearestEntryKernels* kernels : SupportedNearestEntryKernels()) {
          ExpectBatchMatchesScalar(records, entries, dim, *kernels);
          ExpectBatchMatchesScalar(fine, entries, dim, *kernels);
        }
      }
    }
  }
}

TEST(NearestEntries, ParallelSearchMatchesForAnyThreadCount) {
  ListMaker maker(12);
  const int n = 10007;  // above the parallel threshold, not a multiple of 8
  std::vector<float> records(n * 8), entries(64 * 8);
  for (float& v : records) v = static_cast<float>(maker.Below(7) - 3);
  for (float& v : entries) v = static_cast<float>(maker.Below(7) - 3);
  std::vector<int> expectedIndex(n);
  std::vector<float> expectedDistance(n);
  for (int r = 0; r < n; ++r) {
    const NearestResult e = NearestEntry(&records[r * 8], entries.data(), 64);
    expectedIndex[r] = e.index;
    expectedDistance[r] = e.distance;
  }
  for (const NearestEntryKernels* kernels : SupportedNearestEntryKernels()) {
    for (const int threads : {1, 2, 3}) {
      NearestEntrySearch search(threads, *kernels);
      std::vector<int> indices(n, -1);
      std::vector<float> distances(n);
      for (int repeat = 0; repeat < 2; ++repeat) {
        search.SearchRecords(records.data(), n, entries.data(), 64, indices.data(), distances.data());
        EXPECT_EQ(indices, expectedIndex) << kernels->name << ", " << threads << " threads";
        EXPECT_EQ(distances, expectedDistance) << kernels->name << ", " << threads << " threads";
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Generator and refinement.

TEST(TrainingRandom, IsTheClassicLinearCongruentialGenerator) {
  // Seeded with 1 this generator gives the well-known 41, 18467, 6334, 26500.
  TrainingRandom seededWithOne(1);
  EXPECT_EQ(seededWithOne.Next(), 41);
  EXPECT_EQ(seededWithOne.Next(), 18467);
  EXPECT_EQ(seededWithOne.Next(), 6334);
  EXPECT_EQ(seededWithOne.Next(), 26500);
  TrainingRandom seededWithZero;
  EXPECT_EQ(seededWithZero.Next(), 2531011 >> 16);
}

class RefineTest : public ::testing::Test {
 protected:
  NearestEntrySearch search{1, FastestNearestEntryKernels()};
  QuantizerContext context{search};
  ProgressValue progress;
};

TEST_F(RefineTest, EmptyCellsCopyTheMostPopulatedCellsFirst) {
  // Populations 2, 2, 1, 0, 0: the first empty cell (3) copies the higher
  // index of the two most populated cells (1), the second (4) copies cell 0.
  const std::vector<float> list = {0.25f, 0.25f, 0.5f, 0.5f, 0.75f};
  std::vector<float> levels = {0.25f, 0.5f, 0.75f, 40.0f, 50.0f};
  progress.Store(0.5f);
  const float distortion = RefineCodebook(list, levels, 0, progress, 0.25f, context);  // one pass
  EXPECT_EQ(distortion, 0.0f);
  EXPECT_EQ(levels[0], 0.25f);
  EXPECT_EQ(levels[1], 0.5f);
  EXPECT_EQ(levels[2], 0.75f);
  EXPECT_EQ(levels[3], 0.5f + 1e-7f);
  EXPECT_EQ(levels[4], 0.25f + 1e-7f);
  EXPECT_NE(levels[3], 0.5f);  // the offset is visible at this magnitude
  EXPECT_EQ(progress.Load(), 0.75f);
}

TEST_F(RefineTest, RepairedCopiesOfLargeEntriesAreExact) {
  // Two distinct records, four entries: cells 2 and 3 are empty after the
  // first pass. Every component exceeds 2 in magnitude, so the +1e-7 of the
  // repair is lost and the copies are exact twins.
  ReflectionRecord a, b;
  for (int k = 0; k < 8; ++k) {
    a[k] = 3.0f + static_cast<float>(k);
    b[k] = -5.0f - static_cast<float>(k);
  }
  const std::vector<ReflectionRecord> list = {a, a, a, b, b};
  ReflectionRecord far;
  far.fill(1000.0f);
  std::vector<ReflectionRecord> entries = {a, b, far, far};
  RefineCodebook(list, entries, 0, progress, 1.0f, context);
  EXPECT_EQ(entries[0], a);
  EXPECT_EQ(entries[1], b);
  EXPECT_EQ(entries[2], a);  // most populated first
  EXPECT_EQ(entries[3], b);

  // The twins tie; the lower index takes every record, the other is empty
  // again and is repaired again, and refinement ends on the flat distortion.
  std::vector<ReflectionRecord> again = entries;
  const float distortion = RefineCodebook(list, again, 100, progress, 1.0f, context);
  EXPECT_EQ(distortion, 0.0f);
  EXPECT_EQ(again, entries);
}

TEST_F(RefineTest, MatchesReferenceOnFewDistinctElements) {
  // Fewer distinct elements than entries: cells stay empty pass after pass.
  std::vector<float> list;
  for (int i = 0; i < 300; ++i) list.push_back(static_cast<float>(i % 5) * 0.125f);
  std::vector<float> levels = TrainScalarQuantizer(list, 8, progress, 1.0f, context);
  float refProgress = 0.0f;
  const std::vector<float> expected = RefTrain<1>(list, 8, refProgress, 1.0f);
  EXPECT_EQ(levels, expected);
  EXPECT_EQ(progress.Load(), refProgress);
}

TEST_F(RefineTest, VectorQuantizerMatchesReference) {
  const std::vector<ReflectionRecord> list = ClusteredDeltas(1500, 5);
  std::vector<float> flat;
  for (const ReflectionRecord& r : list) flat.insert(flat.end(), r.begin(), r.end());
  const std::vector<ReflectionRecord> entries = TrainVectorQuantizer(list, 64, progress, 0.5f, context);
  float refProgress = 0.0f;
  const std::vector<float> expected = RefTrain<8>(flat, 64, refProgress, 0.5f);
  ASSERT_EQ(entries.size(), 64u);
  for (int e = 0; e < 64; ++e) {
    for (int k = 0; k < 8; ++k) ASSERT_EQ(entries[e][k], expected[e * 8 + k]) << e << "," << k;
  }
  EXPECT_EQ(progress.Load(), refProgress);
  EXPECT_NEAR(progress.Load(), 0.5f, 1e-6f);
}

// ---------------------------------------------------------------------------
// Whole channel.

TEST(TrainChannelCodebook, MatchesReferenceOnClusteredLists) {
  AudioEncoderState state;
  FillState(state, 2500, 120, 21, false);
  ExpectSameAsReference(state, {TrainerOptions{}});
}

TEST(TrainChannelCodebook, MatchesReferenceOnRealisticListsWithEveryKernelAndThreadCount) {
  AudioEncoderState state;
  FillState(state, 5003, 400, 22, true);  // large enough for the parallel search
  std::vector<TrainerOptions> variants = {TrainerOptions{2, nullptr}};
  for (const NearestEntryKernels* kernels : SupportedNearestEntryKernels()) {
    variants.push_back(TrainerOptions{1, kernels});
    variants.push_back(TrainerOptions{3, kernels});
  }
  ExpectSameAsReference(state, variants);
}

TEST(TrainChannelCodebook, SameListsGiveTheSameImage) {
  AudioEncoderState first, second;
  FillState(first, 3000, 50, 23, true);
  FillState(second, 3000, 50, 23, true);
  second.decoder.codebook = BuiltInCodebook();  // what was installed before must not matter
  TrainChannelCodebook(first);
  TrainChannelCodebook(second, nullptr, TrainerOptions{1, &PlainNearestEntryKernels()});
  EXPECT_EQ(Image(first), Image(second));
  EXPECT_NE(Image(first), ToImage(BuiltInCodebook()));
}

TEST(TrainChannelCodebook, KnownMeansAndLevels) {
  AudioEncoderState state;
  // Key gains 4 and 16: geometric mean 8. Key vectors with exact means.
  state.keyGainValues = {4.0f, 16.0f};
  ReflectionRecord a{}, b{};
  for (int k = 0; k < 8; ++k) {
    a[k] = 0.5f;
    b[k] = -0.25f * static_cast<float>(k % 3);
  }
  state.keyReflectionVectors = {a, b};
  // Eight distinct gain levels, each repeated: the quantiser must find them
  // all, in some order.
  const float ratios[8] = {0.25f, 0.5f, 0.75f, 1.0f, 1.25f, 1.5f, 2.0f, 3.0f};
  for (int i = 0; i < 400; ++i) state.gainLogRatios.push_back(FloatLog(ratios[i % 8]));
  state.deltaReflectionVectors = ClusteredDeltas(400, 3);
  TrainChannelCodebook(state);
  const ChannelCodebook& cb = state.decoder.codebook;
  EXPECT_EQ(cb.initialGain, 8);
  for (int k = 0; k < 8; ++k) {
    const double mean = (0.5 - 0.25 * (k % 3)) / 2;
    EXPECT_EQ(cb.keyBase[k], static_cast<int32_t>(std::lround(mean * 32768))) << k;
  }
  std::vector<int> gains(cb.gainRatio, cb.gainRatio + 8);
  std::sort(gains.begin(), gains.end());
  EXPECT_EQ(gains, (std::vector<int>{2048, 4096, 6144, 8192, 10240, 12288, 16384, 24576}));
}

TEST(TrainChannelCodebook, ExtremeGainLevelsClamp) {
  // ln(0.5/8192) is about -9.704 and ln(32767.5/8192) about 1.386: beyond
  // them the ratio would round to 0 or overflow 16 bits. Eight distinct
  // levels, each repeated, so every one gets its own entry.
  const float levels[8] = {-12.0f, -9.9f, -9.69f, -9.0f, 0.0f, 1.3f, 1.5f, 2.0f};
  AudioEncoderState state;
  for (int i = 0; i < 160; ++i) state.gainLogRatios.push_back(levels[(i * 3) % 8]);
  TrainChannelCodebook(state);
  std::vector<int> gains(state.decoder.codebook.gainRatio, state.decoder.codebook.gainRatio + 8);
  std::sort(gains.begin(), gains.end());
  // -12 and -9.9 would round to 0 and are held at 1; -9.69 (0.507) and -9.0
  // (1.01) round to 1; 1.3 gives 30058.9; 1.5 and 2.0 clamp.
  EXPECT_EQ(gains, (std::vector<int>{1, 1, 1, 1, 8192, 30059, 32767, 32767}));
}

TEST(TrainChannelCodebook, EmptyListsKeepBuiltInValues) {
  const ChannelCodebook& builtIn = BuiltInCodebook();
  {
    AudioEncoderState onlyKeys;  // no non-key blocks: gain ratios and stages stay
    std::memset(&onlyKeys.decoder.codebook, 0, sizeof(ChannelCodebook));
    onlyKeys.keyGainValues = {100.0f};
    onlyKeys.keyReflectionVectors = {ReflectionRecord{0.5f, 0, 0, 0, 0, 0, 0, -0.5f}};
    TrainChannelCodebook(onlyKeys);
    const ChannelCodebook& cb = onlyKeys.decoder.codebook;
    EXPECT_EQ(cb.initialGain, 100);
    EXPECT_EQ(cb.keyBase[0], 16384);
    EXPECT_EQ(cb.keyBase[7], -16384);
    EXPECT_EQ(std::memcmp(cb.gainRatio, builtIn.gainRatio, sizeof(cb.gainRatio)), 0);
    EXPECT_EQ(std::memcmp(cb.spectrumCodewords, builtIn.spectrumCodewords, sizeof(cb.spectrumCodewords)), 0);
    EXPECT_EQ(onlyKeys.trainingProgress.Load(), 1.0f);
  }
  {
    AudioEncoderState noKeys;  // no key blocks: key base and initial gain stay
    std::memset(&noKeys.decoder.codebook, 0, sizeof(ChannelCodebook));
    noKeys.deltaReflectionVectors = ClusteredDeltas(300, 9);
    noKeys.gainLogRatios.assign(300, 0.0f);
    TrainChannelCodebook(noKeys);
    const ChannelCodebook& cb = noKeys.decoder.codebook;
    EXPECT_EQ(cb.initialGain, builtIn.initialGain);
    EXPECT_EQ(std::memcmp(cb.keyBase, builtIn.keyBase, sizeof(cb.keyBase)), 0);
    EXPECT_EQ(cb.gainRatio[0], 8192);
    EXPECT_NEAR(noKeys.trainingProgress.Load(), 1.0f, 1e-5f);
  }
  {
    AudioEncoderState nothing;
    TrainChannelCodebook(nothing);
    EXPECT_EQ(Image(nothing), ToImage(builtIn));
    EXPECT_EQ(nothing.trainingProgress.Load(), 1.0f);
  }
}

TEST(TrainChannelCodebook, ProgressRisesToOne) {
  AudioEncoderState state;
  FillState(state, 6000, 40, 31, true);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    TrainChannelCodebook(state);
    done = true;
  });
  std::vector<float> seen;
  while (!done) {
    seen.push_back(state.trainingProgress.Load());
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  worker.join();
  seen.push_back(state.trainingProgress.Load());
  ASSERT_GT(seen.size(), 2u);
  for (size_t i = 1; i < seen.size(); ++i) {
    // A pass's share is computed afresh from the quantiser's start, so the
    // value may wobble by a rounding step, never by more.
    EXPECT_GE(seen[i], seen[i - 1] - 1e-6f) << i;
  }
  EXPECT_GE(seen.front(), 0.0f);
  EXPECT_NEAR(seen.back(), 1.0f, 1e-5f);
}

TEST(TrainChannelCodebook, StopFlagEndsTrainingEarly) {
  {
    AudioEncoderState state;
    FillState(state, 1000, 10, 41, false);
    std::atomic<bool> stop{true};
    TrainChannelCodebook(state, &stop);
    EXPECT_LT(state.trainingProgress.Load(), 0.01f);
  }
  {
    AudioEncoderState state;
    FillState(state, 60000, 100, 42, true);
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::chrono::steady_clock::time_point stoppedAt;
    std::thread worker([&] {
      TrainChannelCodebook(state, &stop);
      done = true;
    });
    while (state.trainingProgress.Load() < 0.2f && !done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stoppedAt = std::chrono::steady_clock::now();
    stop = true;
    worker.join();
    const auto waited = std::chrono::steady_clock::now() - stoppedAt;
    EXPECT_LT(state.trainingProgress.Load(), 0.9f) << "training ran on after the stop";
    // One refinement pass at most: far below a second even with sanitizers.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 2000);
  }
}

}  // namespace
}  // namespace clipvane
