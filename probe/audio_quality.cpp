#include "probe/audio_quality.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

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

namespace clipvane::probe {

namespace {

// In-place radix-2 transform; `re` and `im` hold a power-of-two count.
void Transform(std::vector<double>& re, std::vector<double>& im) {
  const std::size_t n = re.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(re[i], re[j]), std::swap(im[i], im[j]);
  }
  const double pi = std::acos(-1.0);
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double angle = -2 * pi / double(len);
    for (std::size_t start = 0; start < n; start += len) {
      for (std::size_t k = 0; k < len / 2; ++k) {
        const double wr = std::cos(angle * double(k)), wi = std::sin(angle * double(k));
        const std::size_t a = start + k, b = a + len / 2;
        const double tr = re[b] * wr - im[b] * wi, ti = re[b] * wi + im[b] * wr;
        re[b] = re[a] - tr, im[b] = im[a] - ti;
        re[a] += tr, im[a] += ti;
      }
    }
  }
}

// Band magnitudes of one windowed, zero-padded segment: sqrt of the summed
// bin powers of each band; `firstBin[b]` .. `firstBin[b + 1]` are band b's.
std::vector<double> BandMagnitudes(const int16_t* samples, std::size_t stride, std::size_t length,
                                   const std::vector<double>& window, const std::vector<std::size_t>& firstBin,
                                   std::size_t transformSize) {
  std::vector<double> re(transformSize, 0.0), im(transformSize, 0.0);
  for (std::size_t i = 0; i < length; ++i) re[i] = double(samples[i * stride]) * window[i];
  Transform(re, im);
  std::vector<double> bands(firstBin.size() - 1, 0.0);
  for (std::size_t b = 0; b + 1 < firstBin.size(); ++b) {
    double power = 0;
    for (std::size_t k = firstBin[b]; k < firstBin[b + 1]; ++k) power += re[k] * re[k] + im[k] * im[k];
    bands[b] = std::sqrt(power);
  }
  return bands;
}

}  // namespace

double MeasureWeightedSegmentalSnr(const int16_t* reference, const int16_t* decoded, std::size_t count,
                                   std::size_t stride, std::size_t segmentSamples, uint32_t sampleRate) {
  if (segmentSamples == 0 || sampleRate == 0) return 0;
  std::size_t transformSize = 1;
  while (transformSize < segmentSamples) transformSize <<= 1;
  const double pi = std::acos(-1.0);
  std::vector<double> window(segmentSamples);
  for (std::size_t i = 0; i < segmentSamples; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2 * pi * double(i) / double(segmentSamples));
  }
  // Band b holds the bins from kWeightedLowestHz * r^b up to (not including)
  // kWeightedLowestHz * r^(b+1), r such that the last edge is half the rate.
  const double ratio = std::pow(sampleRate / 2.0 / kWeightedLowestHz, 1.0 / kWeightedBands);
  std::vector<std::size_t> firstBin;
  for (int b = 0; b <= kWeightedBands; ++b) {
    const double hz = kWeightedLowestHz * std::pow(ratio, b);
    const std::size_t bin = std::size_t(std::ceil(hz * double(transformSize) / sampleRate));
    firstBin.push_back(std::min(bin, transformSize / 2 + (b == kWeightedBands ? 1 : 0)));
  }
  double sum = 0;
  std::size_t segments = 0;
  for (std::size_t start = 0; start + segmentSamples <= count; start += segmentSamples) {
    bool silent = true;
    for (std::size_t i = start; i < start + segmentSamples && silent; ++i) silent = reference[i * stride] == 0;
    if (silent) continue;
    const std::vector<double> x =
        BandMagnitudes(reference + start * stride, stride, segmentSamples, window, firstBin, transformSize);
    const std::vector<double> y =
        BandMagnitudes(decoded + start * stride, stride, segmentSamples, window, firstBin, transformSize);
    double weighted = 0, weights = 0;
    for (std::size_t b = 0; b < x.size(); ++b) {
      if (firstBin[b] == firstBin[b + 1]) continue;  // a band narrower than one bin
      const double weight = std::pow(x[b], 0.2);
      const double snr = std::clamp(RatioDb(x[b] * x[b], (x[b] - y[b]) * (x[b] - y[b])), kSegmentFloorDb,
                                    kSegmentCeilingDb);
      weighted += weight * snr;
      weights += weight;
    }
    if (weights == 0) continue;  // all of the segment's energy below the lowest band
    sum += weighted / weights;
    ++segments;
  }
  return segments == 0 ? 0 : sum / double(segments);
}

}  // namespace clipvane::probe
