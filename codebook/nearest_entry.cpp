#include "codebook/nearest_entry.h"

#include <cstddef>
#include <limits>

#include "codebook/nearest_entry_kernels.h"
#include "codec/cpu_features.h"
#include "codec/kernel_registry.h"

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

// Entries handled side by side by the plain kernel: each lane is one entry
// with its own running distance, taken in component order, so the compiler
// may vectorise across lanes without changing any rounding.
constexpr int kLanes = 8;

}  // namespace

void NearestEntriesPlain(const float* records, int recordCount, const float* entries, int entryCount,
                         int* indices, float* distances) {
  // The entries component-major, padded to whole groups of eight lanes:
  // column k holds component k of every entry. Missing entries are NaN,
  // whose distances are never taken.
  const int groups = (entryCount + kLanes - 1) / kLanes;
  const int width = groups * kLanes;
  std::vector<float> columns(static_cast<std::size_t>(width) * kSearchDimension,
                             std::numeric_limits<float>::quiet_NaN());
  for (int e = 0; e < entryCount; ++e) {
    for (int k = 0; k < kSearchDimension; ++k) {
      columns[static_cast<std::size_t>(k) * width + e] = entries[e * kSearchDimension + k];
    }
  }
  std::vector<float> distance(width);
  float* acc = distance.data();
  for (int r = 0; r < recordCount; ++r) {
    const float* x = records + static_cast<std::size_t>(r) * kSearchDimension;
    // Every entry's distance, one component after another: each loop runs
    // over the entries, one per lane. 0 + d*d is d*d exactly (a square is
    // never -0), so the sum starts at the first square.
    {
      const float xk = x[0];
      const float* column = columns.data();
      for (int e = 0; e < width; ++e) {
        const float d = xk - column[e];
        acc[e] = d * d;
      }
    }
    for (int k = 1; k < kSearchDimension; ++k) {
      const float xk = x[k];
      const float* column = columns.data() + static_cast<std::size_t>(k) * width;
      for (int e = 0; e < width; ++e) {
        const float d = xk - column[e];
        acc[e] = acc[e] + d * d;
      }
    }
    // The least distance: each of eight lanes keeps the least of its entries
    // (8g + lane), taking only strictly smaller values, so NaN distances and
    // the starting kNoDistance itself are never taken, as in NearestEntry.
    float lanes[kLanes];
    for (int lane = 0; lane < kLanes; ++lane) lanes[lane] = kNoDistance;
    for (int g = 0; g < groups; ++g) {
      for (int lane = 0; lane < kLanes; ++lane) {
        const float a = acc[kLanes * g + lane];
        lanes[lane] = a < lanes[lane] ? a : lanes[lane];
      }
    }
    float least = kNoDistance;
    for (int lane = 0; lane < kLanes; ++lane) least = lanes[lane] < least ? lanes[lane] : least;
    // The first entry at that distance; with nothing taken, entry 0.
    int index = 0;
    if (least < kNoDistance) {
      index = width;
      for (int e = 0; e < width; ++e) {
        const int candidate = acc[e] == least ? e : width;
        index = candidate < index ? candidate : index;
      }
    }
    indices[r] = index;
    distances[r] = least;
  }
}

void NearestLevelsPlain(const float* values, int valueCount, const float* levels, int levelCount, int* indices,
                        float* distances) {
  for (int r = 0; r < valueCount; ++r) {
    const NearestResult result = NearestEntry(values[r], levels, levelCount);
    indices[r] = result.index;
    distances[r] = result.distance;
  }
}

}  // namespace detail

namespace {

constexpr NearestEntryKernels kPlainKernels = {"plain", detail::NearestEntriesPlain, detail::NearestLevelsPlain};
#if defined(CLIPVANE_X86_KERNELS)
constexpr NearestEntryKernels kAvx2Kernels = {"avx2", detail::NearestEntriesAvx2, detail::NearestLevelsAvx2};
constexpr NearestEntryKernels kAvx512Kernels = {"avx512", detail::NearestEntriesAvx512, detail::NearestLevelsAvx2};
#endif

const KernelRegistry<NearestEntryKernels>& Registry() {
  static const KernelRegistry<NearestEntryKernels> registry{
      {&kPlainKernels, true},
#if defined(CLIPVANE_X86_KERNELS)
      {&kAvx2Kernels, ProcessorFeatures().avx2},
      {&kAvx512Kernels, ProcessorFeatures().avx512f},
#endif
  };
  return registry;
}

}  // namespace

const NearestEntryKernels& PlainNearestEntryKernels() { return Registry().Plain(); }

const std::vector<const NearestEntryKernels*>& SupportedNearestEntryKernels() { return Registry().Supported(); }

const NearestEntryKernels& FastestNearestEntryKernels() { return Registry().Fastest(); }

}  // namespace clipvane
