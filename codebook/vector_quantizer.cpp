#include "codebook/vector_quantizer.h"

#include <algorithm>
#include <utility>

namespace clipvane {
namespace {

static_assert(sizeof(ReflectionRecord) == kReflectionOrder * sizeof(float),
              "a list of reflection records must be a plain array of floats");

constexpr int kTrials = 10;
constexpr int kTrialPasses = 10;
constexpr int kFinalPasses = 100;
// Added to a copied entry so that a repaired empty cell is not the exact twin
// of the cell it copies (unless the components are too large to notice it).
constexpr float kRepairOffset = 1e-7f;

template <int Dim>
void Search(QuantizerContext& context, const float* list, int count, const float* entries, int entryCount) {
  if constexpr (Dim == 1) {
    context.search.SearchLevels(list, count, entries, entryCount, context.indices.data(),
                                context.distances.data());
  } else {
    context.search.SearchRecords(list, count, entries, entryCount, context.indices.data(),
                                 context.distances.data());
  }
}

template <int Dim>
float Refine(const float* list, int count, float* entries, int entryCount, int maxPasses, ProgressValue& progress,
             float weight, QuantizerContext& context) {
  const float startProgress = progress.Load();
  std::vector<float> sums(static_cast<size_t>(entryCount) * Dim);
  std::vector<float> updated(static_cast<size_t>(entryCount) * Dim);
  std::vector<int32_t> population(entryCount);
  std::vector<std::pair<float, int>> byPopulation(entryCount);
  context.indices.resize(count);
  context.distances.resize(count);

  float distortion = 0.0f;
  for (int pass = 0;; ++pass) {
    if (context.Stopped()) return distortion;
    progress.Store(startProgress + static_cast<float>(pass) * weight / static_cast<float>(maxPasses));

    std::fill(sums.begin(), sums.end(), 0.0f);
    std::fill(population.begin(), population.end(), 0);
    const float previousDistortion = distortion;
    distortion = 0.0f;

    // The search may run in parallel; the sums and the distortion are then
    // taken in list order, which fixes their rounding.
    Search<Dim>(context, list, count, entries, entryCount);
    const int* nearest = context.indices.data();
    const float* distance = context.distances.data();
    for (int r = 0; r < count; ++r) {
      const int i = nearest[r];
      distortion = distortion + distance[r];
      float* sum = &sums[static_cast<size_t>(i) * Dim];
      const float* x = list + static_cast<size_t>(r) * Dim;
      for (int k = 0; k < Dim; ++k) sum[k] = sum[k] + x[k];
      ++population[i];
    }
    distortion = distortion / static_cast<float>(count);

    for (int i = 0; i < entryCount; ++i) byPopulation[i] = {static_cast<float>(population[i]), i};
    std::sort(byPopulation.begin(), byPopulation.end());

    // An empty cell takes a copy of the most populated cell not yet copied,
    // so the busiest cells are split first.
    int next = entryCount;
    for (int i = 0; i < entryCount; ++i) {
      float* target = &updated[static_cast<size_t>(i) * Dim];
      if (population[i] > 0) {
        const float reciprocal = 1.0f / static_cast<float>(population[i]);
        const float* sum = &sums[static_cast<size_t>(i) * Dim];
        for (int k = 0; k < Dim; ++k) target[k] = sum[k] * reciprocal;
      } else {
        --next;
        const float* source = entries + static_cast<size_t>(byPopulation[next].second) * Dim;
        for (int k = 0; k < Dim; ++k) target[k] = source[k] + kRepairOffset;
      }
    }
    std::copy(updated.begin(), updated.end(), entries);

    if (pass > 0 && !(previousDistortion > distortion)) break;
    if (pass == maxPasses) break;
  }
  progress.Store(startProgress + weight);
  return distortion;
}

template <int Dim>
std::vector<float> Train(const float* list, int count, int entryCount, ProgressValue& progress, float weight,
                         QuantizerContext& context) {
  TrainingRandom random;
  const size_t size = static_cast<size_t>(entryCount) * Dim;
  std::vector<float> candidate(size);
  std::vector<float> best(size);
  float bestDistortion = 0.0f;
  for (int trial = 0; trial < kTrials; ++trial) {
    for (int e = 0; e < entryCount; ++e) {
      const int r1 = random.Next();
      const int r2 = random.Next();
      const int pick = (r1 * 32767 + r2) % count;
      std::copy_n(list + static_cast<size_t>(pick) * Dim, Dim, &candidate[static_cast<size_t>(e) * Dim]);
    }
    const float distortion =
        Refine<Dim>(list, count, candidate.data(), entryCount, kTrialPasses, progress, weight / 20.0f, context);
    if (context.Stopped()) return best;
    if (trial == 0 || distortion < bestDistortion) {
      best = candidate;
      bestDistortion = distortion;
    }
  }
  Refine<Dim>(list, count, best.data(), entryCount, kFinalPasses, progress, weight * 0.5f, context);
  return best;
}

const float* Floats(const std::vector<ReflectionRecord>& list) { return list.empty() ? nullptr : list[0].data(); }
float* Floats(std::vector<ReflectionRecord>& list) { return list.empty() ? nullptr : list[0].data(); }

}  // namespace

float RefineCodebook(const std::vector<ReflectionRecord>& list, std::vector<ReflectionRecord>& entries,
                     int maxPasses, ProgressValue& progress, float weight, QuantizerContext& context) {
  return Refine<kReflectionOrder>(Floats(list), static_cast<int>(list.size()), Floats(entries),
                                  static_cast<int>(entries.size()), maxPasses, progress, weight, context);
}

float RefineCodebook(const std::vector<float>& list, std::vector<float>& levels, int maxPasses,
                     ProgressValue& progress, float weight, QuantizerContext& context) {
  return Refine<1>(list.data(), static_cast<int>(list.size()), levels.data(), static_cast<int>(levels.size()),
                   maxPasses, progress, weight, context);
}

std::vector<ReflectionRecord> TrainVectorQuantizer(const std::vector<ReflectionRecord>& list, int entryCount,
                                                   ProgressValue& progress, float weight,
                                                   QuantizerContext& context) {
  const std::vector<float> flat = Train<kReflectionOrder>(Floats(list), static_cast<int>(list.size()), entryCount,
                                                          progress, weight, context);
  std::vector<ReflectionRecord> entries(entryCount);
  for (int e = 0; e < entryCount; ++e) {
    std::copy_n(&flat[static_cast<size_t>(e) * kReflectionOrder], kReflectionOrder, entries[e].begin());
  }
  return entries;
}

std::vector<float> TrainScalarQuantizer(const std::vector<float>& list, int entryCount, ProgressValue& progress,
                                        float weight, QuantizerContext& context) {
  return Train<1>(list.data(), static_cast<int>(list.size()), entryCount, progress, weight, context);
}

}  // namespace clipvane
