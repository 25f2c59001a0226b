#pragma once
// The k-means quantisers behind the codebook trainer: a refinement that moves
// every entry to the mean of the elements nearest to it, and the trainers that
// pick ten random starts, refine each briefly, and refine the best one long.
// Everything is single precision in list order, so the results do not depend
// on how the nearest-entry search is shared out.

#include <atomic>
#include <cstdint>
#include <vector>

#include "codebook/nearest_entry_search.h"
#include "codec/encoder/audio_encoder.h"

namespace clipvane {

// The training generator: a linear congruential generator whose outputs are
// bits 16..30 of the new state. Every quantiser starts its own at state 0, so
// its picks do not depend on what ran before it or on which thread runs it.
class TrainingRandom {
 public:
  explicit TrainingRandom(uint32_t seed = 0) : state_(seed) {}
  int Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 32767u);
  }

 private:
  uint32_t state_;
};

// What the quantisers share within one training: the search (and its helper
// threads), the stop flag, and scratch storage for the per-pass results.
struct QuantizerContext {
  explicit QuantizerContext(NearestEntrySearch& s, const std::atomic<bool>* stopFlag = nullptr)
      : search(s), stop(stopFlag) {}
  bool Stopped() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }

  NearestEntrySearch& search;
  const std::atomic<bool>* stop;
  std::vector<int> indices;
  std::vector<float> distances;
};

// Refines `entries` in place for at most maxPasses + 1 passes, stopping early
// once the mean distortion no longer falls strictly. Moves `progress` from its
// value at the call to that value + weight and returns the mean distortion of
// the last pass (measured with the entries as they were before its update).
// The list must not be empty. When the context's stop flag is seen at a pass
// boundary the call returns at once, leaving `progress` where it was.
float RefineCodebook(const std::vector<ReflectionRecord>& list, std::vector<ReflectionRecord>& entries,
                     int maxPasses, ProgressValue& progress, float weight, QuantizerContext& context);
float RefineCodebook(const std::vector<float>& list, std::vector<float>& levels, int maxPasses,
                     ProgressValue& progress, float weight, QuantizerContext& context);

// Trains `entryCount` entries from a non-empty list, advancing `progress` by
// exactly `weight` (ten trials of weight / 20, then the long refinement of
// weight / 2).
std::vector<ReflectionRecord> TrainVectorQuantizer(const std::vector<ReflectionRecord>& list, int entryCount,
                                                   ProgressValue& progress, float weight,
                                                   QuantizerContext& context);
std::vector<float> TrainScalarQuantizer(const std::vector<float>& list, int entryCount, ProgressValue& progress,
                                        float weight, QuantizerContext& context);

}  // namespace clipvane
