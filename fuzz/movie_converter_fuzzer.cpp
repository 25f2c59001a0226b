// libFuzzer target for the whole conversion: the input is written as a movie
// into a private directory and converted the way the driver does it (open,
// codebook decision, collection, training, codebook loading, conversion,
// destruction). Afterwards the directory must hold only what a finished run
// may leave: the output, which must then be a valid container, the side file
// and the debug sound; an unfinished run must leave nothing of its own.
// Failed checks trap, so the fuzzer reports them like crashes.
//
// Work is bounded per input: inputs larger than kMaxInputBytes are skipped,
// and a run whose audio would cost more than kSampleBudget samples per pass,
// or that would take more than kMaxSteps steps, is cancelled (the converter
// is destroyed mid-run, as the driver does on a key press).
//
// The low bits of the input size choose the variant: bit 0 adds a debug sound
// file, bit 1 puts a side file made of the input's bytes next to the movie and
// keeps it, so that codebook images from disk are fuzzed too.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "avi/avi_reader.h"
#include "codebook/channel_codebook.h"
#include "converter/movie_converter.h"
#include "fuzz/private_directory.h"
#include "tests/e2e/container_checker.h"

namespace {

constexpr size_t kMaxInputBytes = 32 * 1024;
constexpr int kMaxSteps = 250;
constexpr double kSampleBudget = 40000.0;  // samples per channel per pass (32 KB hold 16k)
constexpr float kQuality = 128.0f;

// What the run said when it refused the input or failed, for the report of a failed check.
std::string g_message;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "movie_converter_fuzzer: %s (the run said: %s)\n", what, g_message.c_str());
    __builtin_trap();
  }
}

std::string PathOf(const char* name) { return clipvane::fuzz::PrivateDirectoryPath() + "/" + name; }

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// The steps one pass may take: every frame costs its share of audio in every
// channel, and a movie announcing a huge audio rate or a tiny frame rate
// costs a lot per frame.
int StepLimit(const clipvane::CMovieConverter& converter) {
  const uint32_t rate = converter.AudioSampleRate();
  if (rate == 0) return kMaxSteps;
  const double framesPerSecond = double(converter.Header().frameRate) / 65536.0;
  if (!(framesPerSecond > 0.0)) return 0;
  const double samplesPerFrame = double(rate) / framesPerSecond + 2 * clipvane::kBlockSamples;
  const double steps = kSampleBudget / samplesPerFrame;
  return steps < kMaxSteps ? int(steps) : kMaxSteps;
}

enum class Outcome { kRefused, kCancelled, kFailed, kFinished };

Outcome Convert(bool debugSound, bool keepSideFile) {
  g_message.clear();
  auto converter = std::make_unique<clipvane::CMovieConverter>();
  if (const std::string* message = converter->Open(PathOf("movie.avi"), PathOf("movie.out"),
                                                    debugSound ? PathOf("sound.wav") : std::string(), kQuality)) {
    g_message = *message;
    return Outcome::kRefused;
  }
  const int limit = StepLimit(*converter);
  int steps = 0;
  if (converter->AudioSampleRate() != 0) {
    if (converter->DecideCodebookRebuild(false, keepSideFile)) {
      for (;; ++steps) {
        if (steps == limit) return Outcome::kCancelled;
        if (!converter->CollectStep()) break;
      }
      while (converter->BuildStep()) {
      }
    }
    if (!converter->LoadCodebook()) return Outcome::kFailed;
  }
  for (steps = 0;; ++steps) {
    if (steps == limit) return Outcome::kCancelled;
    if (!converter->ConvertStep()) break;
  }
  g_message = converter->Failure();
  return converter->Failed() ? Outcome::kFailed : Outcome::kFinished;
}

// What each output record's video payload holds: the frame's bytes after its
// first four.
std::vector<uint32_t> VideoPayloads(const uint8_t* data, size_t size) {
  std::vector<uint32_t> payloads;
  clipvane::avi::AviReader reader;
  if (!reader.OpenBuffer(std::vector<uint8_t>(data, data + size))) return payloads;
  for (int32_t frame = 0; frame < reader.IndexedFrameCount(); ++frame) {
    uint32_t bytes = 0;
    reader.FrameSize(frame, &bytes);
    payloads.push_back(bytes > 4 ? bytes - 4 : 0);
  }
  return payloads;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  clipvane::fuzz::CreatePrivateDirectory("movie_converter_fuzzer");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInputBytes) return -1;
  const bool debugSound = (size & 1) != 0;
  const bool keepSideFile = (size & 2) != 0;
  clipvane::fuzz::EmptyPrivateDirectory();
  Check(WriteFile(PathOf("movie.avi"), data, size), "cannot write the input");
  if (keepSideFile) {
    // Short, one image or two: whatever the input's bytes make of them.
    std::vector<uint8_t> side;
    const size_t wanted = size % (2 * clipvane::kCodebookImageBytes + 1);
    for (size_t i = 0; size != 0 && i < wanted; ++i) side.push_back(data[(i * 7) % size]);
    Check(WriteFile(PathOf("movie.cbk"), side.data(), side.size()), "cannot write the side file");
  }

  const Outcome outcome = Convert(debugSound, keepSideFile);

  // Nothing but these names may remain, and the output and the debug sound
  // only after a finished run.
  for (const std::string& name : clipvane::fuzz::PrivateDirectoryEntries()) {
    const bool finished = outcome == Outcome::kFinished;
    const bool expected = name == "movie.avi" || name == "movie.cbk" ||
                          ((name == "movie.out" || name == "sound.wav") && finished);
    if (!expected) std::fprintf(stderr, "movie_converter_fuzzer: left behind: %s\n", name.c_str());
    Check(expected, "a file was left behind");
  }
  struct stat side;
  if (!keepSideFile && stat(PathOf("movie.cbk").c_str(), &side) == 0) {
    // A side file this run wrote holds a whole image for each channel.
    const uint64_t images = uint64_t(side.st_size) / clipvane::kCodebookImageBytes;
    Check(uint64_t(side.st_size) % clipvane::kCodebookImageBytes == 0 && images >= 1 && images <= 2,
          "the side file is not whole");
  }
  if (outcome == Outcome::kFinished) {
    Check(Exists(PathOf("movie.out")), "a finished run left no output");
    clipvane::testing::CheckedContainer container;
    const std::string problem =
        clipvane::testing::CheckContainer(PathOf("movie.out"), VideoPayloads(data, size), container);
    if (!problem.empty()) std::fprintf(stderr, "movie_converter_fuzzer: invalid output: %s\n", problem.c_str());
    Check(problem.empty(), "the output is not a valid container");
  }
  clipvane::fuzz::EmptyPrivateDirectory();
  return 0;
}
