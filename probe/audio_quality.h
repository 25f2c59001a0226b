#pragma once
// Signal-to-noise measures of decoded audio against the input it came from.

#include <cstddef>
#include <cstdint>

namespace clipvane::probe {

struct ChannelQuality {
  double snr = 0;           // dB over the whole signal
  double segmentalSnr = 0;  // dB, mean over the segments that are not silent
  std::size_t segments = 0; // segments counted in the mean
};

// Segments of this many milliseconds; each segment's SNR is clamped to the
// range below before the mean, and segments whose reference is silent (every
// sample 0) are left out.
inline constexpr int kSegmentMilliseconds = 20;
inline constexpr double kSegmentFloorDb = -10.0;
inline constexpr double kSegmentCeilingDb = 35.0;

// Compares `count` samples of one channel, taking every `stride`-th value of
// both interleaved arrays. A signal without noise gives an SNR of +infinity;
// a silent reference with noise gives -infinity.
ChannelQuality MeasureQuality(const int16_t* reference, const int16_t* decoded, std::size_t count,
                              std::size_t stride, std::size_t segmentSamples);

}  // namespace clipvane::probe
