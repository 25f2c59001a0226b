// The player's side on a long generated movie (10 minutes of 22,050 Hz stereo
// speech at 25 fps, converted once): decoding every record through the C
// interface, opening the container, and clipvane-probe verify with and
// without the input movie.

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/long_movie.h"
#include "clipvane.h"
#include "codebook/channel_codebook.h"
#include "converter/movie_converter.h"
#include "probe/probe.h"
#include "tests/libclipvane/synthetic_container.h"

namespace {

namespace fs = std::filesystem;

constexpr int kMinutes = 10;
constexpr int kFrames = kMinutes * 60 * 25;

struct LongContainer {
  std::string movie, container;
  std::vector<uint32_t> videoSizes;  // the input frames minus their first 4 bytes
};

// Written and converted once, by a child process, with the built-in codebook
// as side file so that no training runs.
const LongContainer& Long() {
  static const LongContainer c = [] {
    LongContainer l;
    const fs::path dir = fs::temp_directory_path() / "clipvane_player_bench";
    fs::create_directories(dir);
    l.movie = (dir / "long.avi").string();
    l.container = (dir / "long.qkds").string();
    for (int i = 0; i < kFrames; ++i) l.videoSizes.push_back(clipvane::bench::LongMovieVideoBytes(i) - 4);
    clipvane::bench::InChildProcess([&l] {
      clipvane::bench::WriteLongMovie(l.movie, kMinutes);
      clipvane::bench::WriteBuiltInSideFile(l.movie);
      clipvane::CMovieConverter converter;
      if (converter.Open(l.movie, l.container, "", 128.0f) != nullptr) return;
      converter.DecideCodebookRebuild(false, true);
      converter.LoadCodebook();
      while (converter.ConvertStep()) {
      }
    });
    return l;
  }();
  return c;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::vector<uint8_t> bytes(fs::file_size(path));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr || std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
  if (f != nullptr) std::fclose(f);
  return bytes;
}

void BM_DecodeThroughCInterface(benchmark::State& state) {
  const LongContainer& l = Long();
  const std::vector<uint8_t> bytes = ReadAll(l.container);
  clipvane::testing::MemoryFile memory{&bytes};
  clipvane_container* c = nullptr;
  if (clipvane_open_io(&clipvane::testing::kMemoryIo, &memory, &c) != CLIPVANE_OK) return state.SkipWithError("open failed");
  clipvane_decoder* d = nullptr;
  clipvane_decoder_create(c, &d);
  std::vector<int16_t> samples(std::size_t(CLIPVANE_MAX_RECORD_BYTES / CLIPVANE_MIN_PACKET_BYTES) * 128);
  int64_t blocks = 0;
  for (auto _ : state) {
    clipvane_rewind(c, 0);
    clipvane_record r;
    while (clipvane_next_record(c, &r) == 1) {
      if (clipvane_decode_record(d, &r, l.videoSizes[r.frame], samples.data(), samples.size()) < 0) {
        return state.SkipWithError("decode failed");
      }
      blocks += int64_t(r.blockCount) * 2;
    }
  }
  state.counters["blocks_per_s"] = benchmark::Counter(double(blocks), benchmark::Counter::kIsRate);
  clipvane_decoder_destroy(d);
  clipvane_close(c);
}
BENCHMARK(BM_DecodeThroughCInterface)->Unit(benchmark::kMillisecond);

void BM_OpenContainer(benchmark::State& state) {
  const LongContainer& l = Long();
  for (auto _ : state) {
    clipvane_container* c = nullptr;
    if (clipvane_open_file(l.container.c_str(), &c) != CLIPVANE_OK) return state.SkipWithError("open failed");
    clipvane_close(c);
  }
}
BENCHMARK(BM_OpenContainer)->Unit(benchmark::kMillisecond);

void BM_ProbeVerify(benchmark::State& state) {
  const LongContainer& l = Long();
  std::vector<std::string> args = {"verify", l.container};
  if (state.range(0) != 0) args.insert(args.end(), {"--input", l.movie});
  for (auto _ : state) {
    if (clipvane::probe::RunProbe(args) != 0) return state.SkipWithError("verify failed");
  }
  state.SetLabel(state.range(0) != 0 ? "with --input" : "container only");
}
BENCHMARK(BM_ProbeVerify)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
