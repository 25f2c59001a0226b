#pragma once
// Nearest-entry search of the codebook trainer: squared distance accumulated in
// single precision in component order; only a strictly smaller distance
// replaces the best, so the lowest index wins a tie.

#include <cstdint>

namespace clipvane {

struct NearestResult {
  int index;
  float distance;
};

// `entries` holds `count` entries of 8 floats each.
NearestResult NearestEntry(const float* vector, const float* entries, int count);
// Scalar form: one component per entry.
NearestResult NearestEntry(float value, const float* levels, int count);

// Batch forms used by the trainer's refinement passes. Every record gets
// exactly the index and distance that NearestEntry gives it: a fast kernel may
// work on several records at once, but each lane still accumulates its own
// distance in component order and keeps the first of equal distances.
enum class SearchKernel {
  kAuto,      // the fastest kernel this processor runs
  kScalar,    // one record after another through NearestEntry: the plain search
  kPortable,  // plain C++ over 8 records at a time, every processor
  kAvx2,      // 8 records per instruction; falls back to kPortable without AVX2
  kAvx512,    // 16 records per instruction; falls back to kAvx2, then kPortable
};

// True when this build carries the AVX2 kernel and the processor runs it.
bool Avx2SearchAvailable();
// The same for the AVX-512 kernel.
bool Avx512SearchAvailable();

// `records` holds `recordCount` records of 8 floats; results go to
// indices[0..recordCount-1] and distances[0..recordCount-1].
void NearestEntries(const float* records, int recordCount, const float* entries, int entryCount,
                    int* indices, float* distances, SearchKernel kernel = SearchKernel::kAuto);
// Scalar form of the batch search.
void NearestLevels(const float* values, int valueCount, const float* levels, int levelCount, int* indices,
                   float* distances, SearchKernel kernel = SearchKernel::kAuto);

}  // namespace clipvane
