#pragma once
// Nearest-entry search of the codebook trainer: squared distance accumulated in
// single precision in component order; only a strictly smaller distance
// replaces the best, so the lowest index wins a tie.

#include <cstdint>
#include <vector>

namespace clipvane {

struct NearestResult {
  int index;
  float distance;
};

// `entries` holds `count` entries of 8 floats each.
NearestResult NearestEntry(const float* vector, const float* entries, int count);
// Scalar form: one component per entry.
NearestResult NearestEntry(float value, const float* levels, int count);

// The batch searches of the trainer's refinement passes, as a kernel set: the
// plain set is always built and always correct; on x86 there are AVX2 and
// AVX-512 sets in files of their own. Every set gives every record exactly the
// index and distance that NearestEntry gives it.
struct NearestEntryKernels {
  const char* name;
  // `records` holds `recordCount` records of 8 floats; results go to
  // indices[0..recordCount-1] and distances[0..recordCount-1].
  void (*records)(const float* records, int recordCount, const float* entries, int entryCount, int* indices,
                  float* distances);
  // The scalar form.
  void (*levels)(const float* values, int valueCount, const float* levels, int levelCount, int* indices,
                 float* distances);
};

const NearestEntryKernels& PlainNearestEntryKernels();
// The plain set first, then every faster set this processor runs.
const std::vector<const NearestEntryKernels*>& SupportedNearestEntryKernels();
// The last of those, chosen once per process.
const NearestEntryKernels& FastestNearestEntryKernels();

}  // namespace clipvane
