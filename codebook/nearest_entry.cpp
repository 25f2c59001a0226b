#include "codebook/nearest_entry.h"

#include "codebook/nearest_entry_kernels.h"

namespace clipvane {

using detail::kNoDistance;
using detail::kSearchDimension;

NearestResult NearestEntry(const float* vector, const float* entries, int count) {
  NearestResult best{0, kNoDistance};
  for (int e = 0; e < count; ++e) {
    const float* entry = entries + e * kSearchDimension;
    float distance = 0.0f;
    for (int k = 0; k < kSearchDimension; ++k) {
      const float d = vector[k] - entry[k];
      distance = distance + d * d;
    }
    if (best.distance > distance) {
      best.index = e;
      best.distance = distance;
    }
  }
  return best;
}

NearestResult NearestEntry(float value, const float* levels, int count) {
  NearestResult best{0, kNoDistance};
  for (int e = 0; e < count; ++e) {
    const float d = value - levels[e];
    const float distance = d * d;
    if (best.distance > distance) {
      best.index = e;
      best.distance = distance;
    }
  }
  return best;
}

namespace detail {
namespace {

// Records handled side by side by the portable kernel. Each lane is one record
// with its own running distance, so the compiler may vectorise across lanes
// without changing any rounding.
constexpr int kLanes = 8;

}  // namespace

void NearestEntriesPortable(const float* records, int recordCount, const float* entries, int entryCount,
                            int* indices, float* distances) {
  int r = 0;
  for (; r + kLanes <= recordCount; r += kLanes) {
    float x[kSearchDimension][kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
      for (int k = 0; k < kSearchDimension; ++k) x[k][lane] = records[(r + lane) * kSearchDimension + k];
    }
    float best[kLanes];
    int bestIndex[kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
      best[lane] = kNoDistance;
      bestIndex[lane] = 0;
    }
    for (int e = 0; e < entryCount; ++e) {
      const float* entry = entries + e * kSearchDimension;
      float acc[kLanes];
      // 0 + d*d is d*d exactly (a square is never -0), so the sum starts at
      // the first square.
      for (int lane = 0; lane < kLanes; ++lane) {
        const float d = x[0][lane] - entry[0];
        acc[lane] = d * d;
      }
      for (int k = 1; k < kSearchDimension; ++k) {
        for (int lane = 0; lane < kLanes; ++lane) {
          const float d = x[k][lane] - entry[k];
          acc[lane] = acc[lane] + d * d;
        }
      }
      // Written as selects so the compiler can keep the lanes in vectors.
      for (int lane = 0; lane < kLanes; ++lane) {
        const bool take = best[lane] > acc[lane];
        best[lane] = take ? acc[lane] : best[lane];
        bestIndex[lane] = take ? e : bestIndex[lane];
      }
    }
    for (int lane = 0; lane < kLanes; ++lane) {
      indices[r + lane] = bestIndex[lane];
      distances[r + lane] = best[lane];
    }
  }
  for (; r < recordCount; ++r) {
    const NearestResult result = NearestEntry(records + r * kSearchDimension, entries, entryCount);
    indices[r] = result.index;
    distances[r] = result.distance;
  }
}

void NearestLevelsPortable(const float* values, int valueCount, const float* levels, int levelCount,
                           int* indices, float* distances) {
  for (int r = 0; r < valueCount; ++r) {
    const NearestResult result = NearestEntry(values[r], levels, levelCount);
    indices[r] = result.index;
    distances[r] = result.distance;
  }
}

}  // namespace detail

bool Avx2SearchAvailable() {
#if defined(CLIPVANE_HAVE_AVX2_KERNEL)
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
#else
  return false;
#endif
}

bool Avx512SearchAvailable() {
#if defined(CLIPVANE_HAVE_AVX2_KERNEL)
  static const bool available = __builtin_cpu_supports("avx512f") && Avx2SearchAvailable();
  return available;
#else
  return false;
#endif
}

#if defined(CLIPVANE_HAVE_AVX2_KERNEL)
namespace {

bool UseAvx512(SearchKernel kernel) {
  return (kernel == SearchKernel::kAuto || kernel == SearchKernel::kAvx512) && Avx512SearchAvailable();
}

bool UseAvx2(SearchKernel kernel) {
  return (kernel == SearchKernel::kAuto || kernel == SearchKernel::kAvx2 || kernel == SearchKernel::kAvx512) &&
         Avx2SearchAvailable();
}

}  // namespace
#endif

void NearestEntries(const float* records, int recordCount, const float* entries, int entryCount, int* indices,
                    float* distances, SearchKernel kernel) {
#if defined(CLIPVANE_HAVE_AVX2_KERNEL)
  if (UseAvx512(kernel)) {
    detail::NearestEntriesAvx512(records, recordCount, entries, entryCount, indices, distances);
    return;
  }
  if (UseAvx2(kernel)) {
    detail::NearestEntriesAvx2(records, recordCount, entries, entryCount, indices, distances);
    return;
  }
#endif
  if (kernel == SearchKernel::kScalar) {
    for (int r = 0; r < recordCount; ++r) {
      const NearestResult result = NearestEntry(records + r * kSearchDimension, entries, entryCount);
      indices[r] = result.index;
      distances[r] = result.distance;
    }
    return;
  }
  detail::NearestEntriesPortable(records, recordCount, entries, entryCount, indices, distances);
}

void NearestLevels(const float* values, int valueCount, const float* levels, int levelCount, int* indices,
                   float* distances, SearchKernel kernel) {
#if defined(CLIPVANE_HAVE_AVX2_KERNEL)
  if (UseAvx2(kernel)) {
    detail::NearestLevelsAvx2(values, valueCount, levels, levelCount, indices, distances);
    return;
  }
#endif
  (void)kernel;  // the portable scalar-form kernel is the plain search
  detail::NearestLevelsPortable(values, valueCount, levels, levelCount, indices, distances);
}

}  // namespace clipvane
