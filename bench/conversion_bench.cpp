// Whole conversions of a long generated movie (10 minutes of 22,050 Hz stereo
// speech at 25 fps): with an existing side file, and the codebook phase
// (collection plus training of both channels). Peak memory is reported as the
// process's maximum resident size.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "avi/avi_reader.h"
#include "codebook/channel_codebook.h"
#include "converter/movie_converter.h"
#include "tests/e2e/test_avi_writer.h"

namespace {

namespace fs = std::filesystem;
using clipvane::CMovieConverter;

constexpr int kMinutes = 10;

// Loops the sample speech over both channels (the right channel half a second
// later). Written by a child process, so that the movie held in memory while it
// is written does not count in this process's peak.
void WriteLongMovie(const std::string& file) {
    clipvane::avi::AviReader reader;
    reader.Open(std::string(CLIPVANE_TEST_DATA_DIR) + "/p01_ff_mpeg4_25fps_speech_mono22050.avi");
    std::vector<int16_t> speech;
    std::vector<uint8_t> chunk;
    for (int64_t position = 0;; position += chunk.size() / 2) {
      if (reader.ReadAudioChunk(position, chunk) == 0) break;
      for (std::size_t i = 0; i + 1 < chunk.size(); i += 2) speech.push_back(int16_t(chunk[i] | chunk[i + 1] << 8));
    }
    clipvane::testing::TestMovie movie;
    movie.channels = 2;
    movie.sampleRate = 22050;
    const int frames = kMinutes * 60 * 25;
    for (int i = 0; i < frames; ++i) {
      movie.frames.push_back(std::vector<uint8_t>(1500 + (i % 12) * 100, uint8_t(i)));
      movie.keyFrames.push_back(i % 12 == 0);
    }
    const std::size_t samples = std::size_t(kMinutes) * 60 * 22050;
    movie.samples.resize(samples * 2);
    for (std::size_t n = 0; n < samples; ++n) {
      movie.samples[2 * n] = speech[n % speech.size()];
      movie.samples[2 * n + 1] = speech[(n + 11025) % speech.size()];
    }
    clipvane::testing::WriteTestMovie(file, movie);
}

const std::string& LongMovie() {
  static const std::string path = [] {
    fs::path dir = fs::temp_directory_path() / "clipvane_bench";
    fs::create_directories(dir);
    std::string file = (dir / "long.avi").string();
    pid_t child = fork();
    if (child == 0) {
      WriteLongMovie(file);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return file;
  }();
  return path;
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_maxrss) / 1024.0;
}

void BM_ConvertWithSideFile(benchmark::State& state) {
  const std::string& input = LongMovie();
  std::string side = clipvane::CodebookPathFor(input);
  {
    clipvane::CodebookImage image = clipvane::ToImage(clipvane::BuiltInCodebook());
    std::FILE* f = std::fopen(side.c_str(), "wb");
    std::fwrite(image.data(), 1, image.size(), f);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  }
  std::string output = input + ".qkds";
  for (auto _ : state) {
    CMovieConverter converter;
    converter.SetThreadCount(int(state.range(0)));
    if (converter.Open(input, output, "", 128.0f) != nullptr) state.SkipWithError("open failed");
    if (converter.DecideCodebookRebuild(false, true)) state.SkipWithError("side file not reused");
    converter.LoadCodebook();
    while (converter.ConvertStep()) {
    }
  }
  state.counters["audio_seconds"] = kMinutes * 60;
  state.counters["times_real_time"] =
      benchmark::Counter(kMinutes * 60.0 * double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["peak_MB"] = PeakMegabytes();
}
// The argument is the number of threads the converter may use.
BENCHMARK(BM_ConvertWithSideFile)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime()->Arg(1)->Arg(2);

// The codebook phase alone (range(1) = 0), or the whole first run: the
// codebook phase and then the conversion (range(1) = 1).
void BM_CodebookPhase(benchmark::State& state) {
  const std::string& input = LongMovie();
  std::string output = input + ".qkds";
  for (auto _ : state) {
    CMovieConverter converter;
    converter.SetThreadCount(int(state.range(0)));
    if (converter.Open(input, output, "", 128.0f) != nullptr) state.SkipWithError("open failed");
    converter.DecideCodebookRebuild(true, false);
    while (converter.CollectStep()) {
    }
    while (converter.BuildStep()) {
    }
    if (state.range(1) != 0) {
      converter.LoadCodebook();
      while (converter.ConvertStep()) {
      }
    }
  }
  state.counters["peak_MB"] = PeakMegabytes();
}
BENCHMARK(BM_CodebookPhase)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime()
    ->ArgNames({"threads", "whole_run"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 1})
    ->Args({2, 1});

}  // namespace

BENCHMARK_MAIN();
