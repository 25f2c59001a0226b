#pragma once
// Movies and small helpers shared by the end-to-end tests.

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "avi/avi_reader.h"
#include "tests/e2e/test_avi_writer.h"

namespace clipvane::testing {

inline constexpr const char* kMono = "p01_ff_mpeg4_25fps_speech_mono22050.avi";      // 100 frames
inline constexpr const char* kStereo = "p02_ff_mpeg4_2997fps_chord_stereo44100.avi";  // 150 frames
inline constexpr const char* kSilent = "p05_ff_mpeg4_12fps_noaudio.avi";

inline TestMovie MakeMovie(int frames, uint16_t channels, uint32_t sampleRate = 22050) {
  TestMovie movie;
  movie.channels = channels;
  movie.sampleRate = sampleRate;
  for (int i = 0; i < frames; ++i) {
    std::vector<uint8_t> frame(40 + std::size_t(i % 7) * 13);
    for (std::size_t b = 0; b < frame.size(); ++b) frame[b] = uint8_t(i * 31 + int(b));
    movie.frames.push_back(frame);
    movie.keyFrames.push_back(i % 10 == 0);
  }
  std::size_t sampleFrames = std::size_t(frames) * sampleRate / 25;
  uint32_t seed = 1;
  for (std::size_t n = 0; n < sampleFrames; ++n) {
    for (uint16_t c = 0; c < channels; ++c) {
      seed = seed * 1664525u + 1013904223u;
      double tone = 6000.0 * std::sin(double(n) * (0.03 + 0.02 * c)) + 2000.0 * std::sin(double(n) * 0.21);
      movie.samples.push_back(int16_t(tone + double(int32_t(seed >> 20) - 2048)));
    }
  }
  return movie;
}

inline std::vector<uint32_t> PayloadsOf(const TestMovie& movie, std::size_t count) {
  std::vector<uint32_t> sizes;
  for (std::size_t i = 0; i < count && i < movie.frames.size(); ++i) {
    sizes.push_back(movie.frames[i].size() > 4 ? uint32_t(movie.frames[i].size() - 4) : 0);
  }
  return sizes;
}

inline std::vector<uint32_t> PayloadsOf(const std::string& avi) {
  avi::AviReader reader;
  std::vector<uint32_t> sizes;
  if (!reader.Open(avi)) return sizes;
  for (int32_t i = 0; i < reader.IndexedFrameCount(); ++i) {
    uint32_t bytes = 0;
    reader.FrameSize(i, &bytes);
    sizes.push_back(bytes > 4 ? bytes - 4 : 0);
  }
  return sizes;
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline void MakeOlder(const std::string& path, std::chrono::seconds by) {
  std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - by);
}

}  // namespace clipvane::testing
