#pragma once
// The long movie the whole-conversion and player benchmarks run on: the sample
// speech looped over both channels (the right one half a second later), 22,050
// Hz stereo at 25 fps, with video frames of 1,500 to 2,600 bytes and a key
// frame every 12.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "avi/avi_reader.h"
#include "codebook/channel_codebook.h"
#include "converter/movie_converter.h"
#include "tests/e2e/test_avi_writer.h"

namespace clipvane::bench {

inline uint32_t LongMovieVideoBytes(int frame) { return 1500 + uint32_t(frame % 12) * 100; }

inline void WriteLongMovie(const std::string& file, int minutes) {
  avi::AviReader reader;
  reader.Open(std::string(CLIPVANE_TEST_DATA_DIR) + "/p01_ff_mpeg4_25fps_speech_mono22050.avi");
  std::vector<int16_t> speech;
  std::vector<uint8_t> chunk;
  for (int64_t position = 0; reader.ReadAudioChunk(position, chunk) != 0; position += int64_t(chunk.size() / 2)) {
    for (std::size_t i = 0; i + 1 < chunk.size(); i += 2) speech.push_back(int16_t(chunk[i] | chunk[i + 1] << 8));
  }
  testing::TestMovie movie;
  movie.channels = 2;
  movie.sampleRate = 22050;
  const int frames = minutes * 60 * 25;
  for (int i = 0; i < frames; ++i) {
    movie.frames.push_back(std::vector<uint8_t>(LongMovieVideoBytes(i), uint8_t(i)));
    movie.keyFrames.push_back(i % 12 == 0);
  }
  const std::size_t samples = std::size_t(minutes) * 60 * 22050;
  movie.samples.resize(samples * 2);
  for (std::size_t n = 0; n < samples; ++n) {
    movie.samples[2 * n] = speech[n % speech.size()];
    movie.samples[2 * n + 1] = speech[(n + 11025) % speech.size()];
  }
  testing::WriteTestMovie(file, movie);
}

// A side file of the built-in codebook for both channels, so that a
// conversion of the movie trains nothing.
inline void WriteBuiltInSideFile(const std::string& movie) {
  const CodebookImage image = ToImage(BuiltInCodebook());
  std::FILE* f = std::fopen(CodebookPathFor(movie).c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(image.data(), 1, image.size(), f);
  std::fwrite(image.data(), 1, image.size(), f);
  std::fclose(f);
}

// Runs `work` in a child process and waits for it, so that the memory it
// takes does not count in this process's peak.
template <typename Work>
void InChildProcess(Work work) {
  const pid_t child = fork();
  if (child == 0) {
    work();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace clipvane::bench
