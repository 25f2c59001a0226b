#include "probe/audio_quality.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace clipvane::probe {

namespace {

double RatioDb(double signal, double noise) {
  if (noise == 0) return signal == 0 ? 0 : std::numeric_limits<double>::infinity();
  if (signal == 0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / noise);
}

}  // namespace

ChannelQuality MeasureQuality(const int16_t* reference, const int16_t* decoded, std::size_t count,
                              std::size_t stride, std::size_t segmentSamples) {
  ChannelQuality q;
  double signal = 0, noise = 0, segmentSum = 0;
  for (std::size_t start = 0; start < count; start += segmentSamples) {
    const std::size_t end = std::min(count, start + segmentSamples);
    double s = 0, n = 0;
    for (std::size_t i = start; i < end; ++i) {
      const double x = reference[i * stride];
      const double e = x - double(decoded[i * stride]);
      s += x * x;
      n += e * e;
    }
    signal += s;
    noise += n;
    if (s == 0) continue;  // silent segment
    segmentSum += std::clamp(RatioDb(s, n), kSegmentFloorDb, kSegmentCeilingDb);
    ++q.segments;
  }
  q.snr = RatioDb(signal, noise);
  q.segmentalSnr = q.segments == 0 ? 0 : segmentSum / double(q.segments);
  return q;
}

}  // namespace clipvane::probe
