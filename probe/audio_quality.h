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

// Frequency-weighted segmental SNR, in dB: closer to what a listener hears
// than the plain measure, since a loud low band no longer hides noise in the
// quiet bands above it. Each segment of the reference is Hann-windowed and
// split into kWeightedBands bands, spaced evenly on a log scale from
// kWeightedLowestHz to half the sample rate; a band's SNR compares the band
// magnitudes of reference and decoded, 10 log10(X^2 / (X - Y)^2), clamped as
// the segments are, and a segment's value is the mean of its bands weighted
// by X^0.2. Silent reference segments are left out, as in MeasureQuality.
inline constexpr int kWeightedBands = 25;
inline constexpr double kWeightedLowestHz = 100.0;
double MeasureWeightedSegmentalSnr(const int16_t* reference, const int16_t* decoded, std::size_t count,
                                   std::size_t stride, std::size_t segmentSamples, uint32_t sampleRate);

}  // namespace clipvane::probe
