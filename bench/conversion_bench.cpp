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

#include "bench/long_movie.h"
#include "codebook/channel_codebook.h"
#include "converter/movie_converter.h"

namespace {

namespace fs = std::filesystem;
using clipvane::CMovieConverter;

constexpr int kMinutes = 10;

const std::string& LongMovie() {
  static const std::string path = [] {
    fs::path dir = fs::temp_directory_path() / "clipvane_bench";
    fs::create_directories(dir);
    std::string file = (dir / "long.avi").string();
    clipvane::bench::InChildProcess([&file] { clipvane::bench::WriteLongMovie(file, kMinutes); });
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
  clipvane::bench::WriteBuiltInSideFile(input);
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
