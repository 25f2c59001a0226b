#include "tests/encoder/test_audio.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace clipvane::testing {

std::vector<int16_t> LoadChannel(const std::string& file, int channels, int channel) {
  std::ifstream in(std::string(CLIPVANE_TEST_DATA_DIR) + "/encoder/" + file, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> out;
  const std::size_t frame = 2 * static_cast<std::size_t>(channels);
  for (std::size_t at = 2 * static_cast<std::size_t>(channel); at + 1 < bytes.size(); at += frame) {
    out.push_back(static_cast<int16_t>(bytes[at] | (bytes[at + 1] << 8)));
  }
  return out;
}

std::vector<int16_t> Noise(std::size_t count, uint32_t seed, int amplitude) {
  std::vector<int16_t> out(count);
  uint32_t s = seed;
  for (auto& v : out) {
    s = s * 1664525u + 1013904223u;
    const int32_t r = static_cast<int32_t>(s >> 16) - 32768;  // -32768..32767
    v = static_cast<int16_t>(static_cast<int64_t>(r) * amplitude / 32768);
  }
  return out;
}

std::vector<NamedSignal> AllSignals() {
  std::vector<NamedSignal> out;
  out.push_back({"speech", LoadChannel("speech_mono22050.pcm", 1, 0)});
  out.push_back({"chord-left", LoadChannel("chord_stereo44100.pcm", 2, 0)});
  out.push_back({"chord-right", LoadChannel("chord_stereo44100.pcm", 2, 1)});
  out.push_back({"speech-noise", LoadChannel("speech_noise_stereo48000.pcm", 2, 0)});
  out.push_back({"silence", std::vector<int16_t>(128 * 60, 0)});
  out.push_back({"full-scale-noise", Noise(128 * 300, 7, 32768)});
  // Square wave at the rails: the largest steps the DC filter can see.
  std::vector<int16_t> square(128 * 100);
  for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 37) % 2 ? 32767 : -32768;
  out.push_back({"full-scale-square", square});
  return out;
}

std::vector<int16_t> BlockWindow(const std::vector<int16_t>& signal, std::size_t block) {
  std::vector<int16_t> out(256, 0);
  for (std::size_t i = 0; i < 256; ++i) {
    const std::size_t at = block * 128 + i;
    if (at < signal.size()) out[i] = signal[at];
  }
  return out;
}

bool IsKeyBlock(std::size_t block, uint32_t seed) {
  // Intervals cycle through 1, 2, 3, 7, 25 and 60 blocks, shifted by the seed.
  static const int kIntervals[] = {1, 2, 3, 7, 25, 60};
  std::size_t next = seed % 5;  // the first key block may come late
  for (int i = 0; next <= block; i = (i + 1) % 6) {
    if (next == block) return true;
    next += static_cast<std::size_t>(kIntervals[i]);
  }
  return false;
}

namespace {

template <typename T, std::size_t N>
bool SameBits(const T (&a)[N], const T (&b)[N]) {
  return std::memcmp(a, b, sizeof(a)) == 0;
}

template <typename T>
bool SameList(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

}  // namespace

std::string StateDifference(const AudioEncoderState& a, const AudioEncoderState& b) {
  std::string diff;
  const AudioDecoderState& x = a.decoder;
  const AudioDecoderState& y = b.decoder;
  if (!SameBits(x.excitationHistory, y.excitationHistory)) diff += " history";
  if (!SameBits(x.previousFilterSet, y.previousFilterSet)) diff += " filterSet";
  if (!SameBits(x.previousReflection, y.previousReflection)) diff += " reflection";
  if (x.gainState != y.gainState) diff += " gain";
  if (!SameBits(x.synthesisMemory, y.synthesisMemory)) diff += " synthesisMemory";
  if (!SameBits(a.analysisMemory, b.analysisMemory)) diff += " analysisMemory";
  if (a.highPassInput != b.highPassInput || a.highPassOutput != b.highPassOutput) diff += " highPass";
  if (a.blocksSinceKey != b.blocksSinceKey) diff += " blocksSinceKey";
  if (!SameBits(a.errorWeightingMemory, b.errorWeightingMemory)) diff += " errorWeighting";
  if (!SameBits(a.speechWeightingMemory, b.speechWeightingMemory)) diff += " speechWeighting";
  if (!SameList(a.keyReflectionVectors, b.keyReflectionVectors)) diff += " keyReflectionVectors";
  if (!SameList(a.deltaReflectionVectors, b.deltaReflectionVectors)) diff += " deltaReflectionVectors";
  if (!SameList(a.keyGainValues, b.keyGainValues)) diff += " keyGainValues";
  if (!SameList(a.gainLogRatios, b.gainLogRatios)) diff += " gainLogRatios";
  return diff;
}

}  // namespace clipvane::testing
