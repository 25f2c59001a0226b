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

}  // namespace clipvane
