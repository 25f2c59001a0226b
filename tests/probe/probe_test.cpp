// clipvane-probe: its quality measure, and how it behaves as a command.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "probe/audio_quality.h"
#include "tests/libclipvane/run_program.h"

namespace clipvane::probe {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct QualityCase {
  const char* name;
  std::vector<int16_t> reference;  // two segments of 4 samples, stride 1
  std::vector<int16_t> decoded;
  double snr;
  double segmentalSnr;
  std::size_t segments;
};

TEST(MeasureQuality, Cases) {
  const QualityCase cases[] = {
      // Each segment's SNR is clamped to 35 dB before the mean.
      {"identical", {100, -200, 300, 50, 7, 7, 7, 7}, {100, -200, 300, 50, 7, 7, 7, 7}, kInf, 35.0, 2},
      // Noise equal to the signal: 0 dB.
      {"silence decoded", {100, -200, 300, 50, 7, 7, 7, 7}, {0, 0, 0, 0, 0, 0, 0, 0}, 0.0, 0.0, 2},
      // Half the amplitude: the noise has a quarter of the power, 10 log10 4 dB.
      {"half amplitude", {100, -200, 300, 50, 8, 8, 8, 8}, {50, -100, 150, 25, 4, 4, 4, 4}, 6.020599913, 6.020599913,
       2},
      // A silent reference segment is left out of the mean but its noise counts overall.
      {"silent segment skipped", {0, 0, 0, 0, 10, 10, 10, 10}, {10, 10, 10, 10, 10, 10, 10, 10}, 0.0, 35.0, 1},
      // -20 dB in each segment is clamped to -10 for the mean.
      {"clamped below", {10, 10, 10, 10, -10, -10, -10, -10}, {-90, -90, -90, -90, 90, 90, 90, 90}, -20.0, -10.0, 2},
      // 10 dB in one segment (noise a tenth) and clamped 35 in the other: mean 22.5.
      {"segments averaged", {30, 30, 30, 30, 20, 20, 20, 20}, {12, 24, 30, 30, 20, 20, 20, 20}, 11.59700843, 22.5, 2},
      // Nothing but silence: no segment counts.
      {"all silent", {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, 0.0, 0.0, 0},
  };
  for (const QualityCase& c : cases) {
    const ChannelQuality q = MeasureQuality(c.reference.data(), c.decoded.data(), c.reference.size(), 1, 4);
    if (std::isinf(c.snr)) {
      EXPECT_EQ(q.snr, c.snr) << c.name;
    } else {
      EXPECT_NEAR(q.snr, c.snr, 1e-7) << c.name;
    }
    EXPECT_NEAR(q.segmentalSnr, c.segmentalSnr, 1e-6) << c.name;
    EXPECT_EQ(q.segments, c.segments) << c.name;
  }
}

TEST(MeasureQuality, TakesOneChannelOfInterleavedSamples) {
  // Channel 0 decoded exactly, channel 1 not at all.
  const std::vector<int16_t> reference = {100, 100, -100, -100, 50, 50, 20, 20};
  const std::vector<int16_t> decoded = {100, 0, -100, 0, 50, 0, 20, 0};
  EXPECT_EQ(MeasureQuality(reference.data(), decoded.data(), 4, 2, 2).snr, kInf);
  EXPECT_NEAR(MeasureQuality(reference.data() + 1, decoded.data() + 1, 4, 2, 2).snr, 0.0, 1e-12);
}

TEST(MeasureWeightedSegmentalSnr, Cases) {
  // Two 160-sample segments at 8 kHz of two tones and a ripple, in even
  // values so that halving is exact: every band's SNR is then the same.
  std::vector<int16_t> tone(320);
  for (std::size_t i = 0; i < tone.size(); ++i) {
    tone[i] = int16_t(2 * std::lround(1500 * std::sin(0.3 * double(i)) + 250 * std::sin(2.9 * double(i)) + double(i % 7)));
  }
  auto scaled = [&](double factor) {
    std::vector<int16_t> out(tone.size());
    for (std::size_t i = 0; i < tone.size(); ++i) out[i] = int16_t(std::lround(tone[i] * factor));
    return out;
  };
  std::vector<int16_t> firstSilent = tone;
  std::fill(firstSilent.begin(), firstSilent.begin() + 160, int16_t(0));
  const struct {
    const char* name;
    std::vector<int16_t> reference, decoded;
    double weighted, tolerance;
  } cases[] = {
      {"identical: every band at the ceiling", tone, tone, 35.0, 1e-12},
      {"silence decoded: 0 dB in every band", tone, scaled(0.0), 0.0, 1e-12},
      {"half amplitude: 10 log10 4 in every band", tone, scaled(0.5), 6.020599913, 1e-6},
      {"double amplitude: noise equal to the signal", tone, scaled(2.0), 0.0, 1e-9},
      // The silent first segment is left out; the second is decoded exactly.
      {"silent segment skipped", firstSilent, firstSilent, 35.0, 1e-12},
      {"all silent", std::vector<int16_t>(320, 0), std::vector<int16_t>(320, 5), 0.0, 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(MeasureWeightedSegmentalSnr(c.reference.data(), c.decoded.data(), c.reference.size(), 1, 160, 8000),
                c.weighted, c.tolerance)
        << c.name;
  }
}

TEST(ProbeCommand, HelpUsageAndErrors) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("clipvane_probe_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const struct {
    std::vector<std::string> args;
    int status;
    const char* inOut;  // expected in standard output
    const char* inErr;  // expected in standard error
  } cases[] = {
      {{"--help"}, 0, "Usage: clipvane-probe", ""},
      {{"info", "--help"}, 0, "Usage: clipvane-probe", ""},
      {{}, 1, "", "Usage: clipvane-probe"},
      {{"play", "x"}, 1, "", "unknown command 'play'"},
      {{"info"}, 1, "", "info needs one FILE"},
      {{"info", "missing.qkds"}, 1, "", "missing.qkds: the file cannot be opened"},
      {{"info", "x", "--bogus"}, 1, "", "unknown option --bogus"},
      {{"decode", "x.qkds", "-o"}, 1, "", "-o needs a value"},
      {{"decode", "x.qkds", "-o", "x.wav"}, 1, "", "decode needs --input movie.avi"},
      {{"frames", "x.qkds", "-o", "d", "--range", "5-2"}, 1, "", "cannot be opened"},
      {{"codebook", "--builtin", "--json"}, 0, "\"initialGain\": 571", ""},
      {{"codebook", "missing.cbk"}, 1, "", "missing.cbk: cannot be opened"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {CLIPVANE_PROBE_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto r = testing::RunProgram(argv, dir);
    const std::string what = c.args.empty() ? "(no arguments)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(r.status, c.status) << what;
    EXPECT_NE(r.out.find(c.inOut), std::string::npos) << what << ": " << r.out;
    EXPECT_NE(r.err.find(c.inErr), std::string::npos) << what << ": " << r.err;
    if (c.status == 0) {
      EXPECT_TRUE(r.err.empty()) << what;
    } else {
      EXPECT_TRUE(r.out.empty()) << what << ": errors go to standard error";
    }
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace clipvane::probe
