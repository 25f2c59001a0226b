#pragma once
// A deliberately plain decoder written straight from the codec's description:
// a bit-at-a-time reader over the packet bytes, pulses read one by one in
// stream order, a memory that shifts every sample and a step-up recursion with
// a copy per order. Wrapping is done through 64-bit products truncated to 32
// bits, a different route from the library's. The optimised decoder must
// match it bit for bit.

#include <algorithm>
#include <cstdint>

#include "codec/audio_decoder.h"

namespace clipvane::reference {

inline int32_t Wrap(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))); }

class BitCursor {
 public:
  explicit BitCursor(const uint8_t* packet, int sizeBytes) : packet_(packet), size_(sizeBytes) {}
  // Bit b of the stream is bit (15 - b % 16) of little-endian word b / 16.
  uint32_t Read(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i, ++position_) {
      const int word = position_ / 16;
      uint32_t bit = 0;
      if (word * 2 + 1 < size_) {
        const uint32_t w = packet_[2 * word] | (packet_[2 * word + 1] << 8);
        bit = (w >> (15 - position_ % 16)) & 1u;
      }
      value = (value << 1) | bit;
    }
    return value;
  }

 private:
  const uint8_t* packet_;
  int size_;
  int position_ = 0;
};

inline void StepUp(const int32_t* k, int32_t* c) {
  int32_t a[9] = {};
  a[1] = k[0];
  for (int m = 2; m <= 8; ++m) {
    int32_t previous[9];
    std::copy(a, a + 9, previous);
    for (int i = 1; i <= m - 1; ++i) a[i] = Wrap(int64_t{previous[i]} + (Wrap(int64_t{k[m - 1]} * previous[m - i]) >> 15));
    a[m] = k[m - 1];
  }
  for (int i = 1; i <= 8; ++i) c[i - 1] = Wrap(-int64_t{a[i] >> 1});
}

inline int32_t Weight(int m) { return std::min({m + 1, 8, 128 - m}); }

inline int Decode(AudioDecoderState& s, const uint8_t* packet, int16_t* out) {
  BitCursor bits(packet, 20);
  const int lag = static_cast<int>(bits.Read(7));
  const int gainIndex = static_cast<int>(bits.Read(3));
  const int i0 = static_cast<int>(bits.Read(6));
  const int phase = static_cast<int>(bits.Read(2));
  const int mode = static_cast<int>(bits.Read(2));
  const int i1 = static_cast<int>(bits.Read(6));
  const int i2 = static_cast<int>(bits.Read(6));
  static const int kPulses[4] = {42, 40, 32, 24};
  static const int kBits[4] = {3, 2, 2, 2};
  static const int kSpacing[4] = {3, 3, 4, 5};
  static const int kBytes[4] = {20, 14, 12, 10};
  const bool key = lag == 127;

  if (key) {
    s.gainState = s.codebook.initialGain;
    for (auto& y : s.synthesisMemory) y = 0;
  }
  const int32_t gain = Wrap(int64_t{s.codebook.gainRatio[gainIndex]} * s.gainState) >> 13;
  int32_t x[128];
  for (int m = 0; m < 128; ++m) {
    if (lag >= 126) {
      x[m] = 0;
    } else {
      const int32_t h = s.excitationHistory[127 - lag + m];
      x[m] = Weight(m) == 8 ? h >> 1 : Wrap(int64_t{h} * Weight(m)) >> 4;
    }
  }
  const int b = kBits[mode];
  auto level = [&](uint32_t v) { return Wrap(int64_t{2 * static_cast<int>(v) + 1 - (1 << b)} * gain); };
  int pulseValue[42] = {};
  if (mode == 0) {
    for (int group = 0; group < 8; ++group) {
      for (int i = 0; i < 5; ++i) pulseValue[5 * group + i] = static_cast<int>(bits.Read(3));
      const int spare = static_cast<int>(bits.Read(1));
      if (group < 3) pulseValue[40] |= spare << (2 - group);
      else if (group < 6) pulseValue[41] |= spare << (5 - group);
    }
  } else {
    for (int i = 0; i < kPulses[mode]; ++i) pulseValue[i] = static_cast<int>(bits.Read(b));
  }
  for (int i = 0; i < kPulses[mode]; ++i) {
    int32_t& at = x[phase + kSpacing[mode] * i];
    at = Wrap(int64_t{at} + level(static_cast<uint32_t>(pulseValue[i])));
  }
  s.gainState = gain;
  for (int i = 0; i < 128; ++i) {
    s.excitationHistory[i] = s.excitationHistory[i + 128];
    s.excitationHistory[i + 128] = x[i];
  }

  const int32_t* base = key ? s.codebook.keyBase : s.previousReflection;
  int32_t r[8];
  for (int j = 0; j < 8; ++j) {
    r[j] = Wrap(int64_t{base[j]} + s.codebook.spectrumCodewords[0][i0][j] + s.codebook.spectrumCodewords[1][i1][j] +
                s.codebook.spectrumCodewords[2][i2][j]);
  }
  int32_t n[9];
  n[0] = 16384;
  StepUp(r, n + 1);
  int32_t sets[4][9];
  for (int i = 0; i < 9; ++i) {
    if (key) {
      sets[0][i] = sets[1][i] = sets[2][i] = sets[3][i] = n[i];
    } else {
      const int32_t p = s.previousFilterSet[i];
      sets[1][i] = Wrap(int64_t{p} + n[i]) >> 1;
      sets[0][i] = Wrap(int64_t{p} + sets[1][i]) >> 1;
      sets[2][i] = Wrap(int64_t{n[i]} + sets[1][i]) >> 1;
      sets[3][i] = n[i];
    }
  }
  std::copy(r, r + 8, s.previousReflection);
  std::copy(n, n + 9, s.previousFilterSet);
  for (int k = 0; k < 4; ++k) std::copy(sets[k], sets[k] + 9, s.subBlockFilterSets[k]);

  for (int m = 0; m < 128; ++m) {
    const int32_t* c = sets[m / 32];
    int64_t sum = int64_t{x[m]} * 16384;
    for (int i = 1; i <= 8; ++i) sum += Wrap(int64_t{c[i]} * s.synthesisMemory[i - 1]);
    const int32_t y = Wrap(sum) >> 14;
    for (int i = 7; i > 0; --i) s.synthesisMemory[i] = s.synthesisMemory[i - 1];
    s.synthesisMemory[0] = y;
    x[m] = y;
  }
  std::copy(x, x + 128, s.workBuffer);
  for (int m = 0; m < 128; ++m) out[m] = static_cast<int16_t>(std::clamp(x[m], -32768, 32767));
  return kBytes[mode];
}

}  // namespace clipvane::reference
