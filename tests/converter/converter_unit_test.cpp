#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "converter/container.h"
#include "converter/movie_converter.h"
#include "converter/samples_per_frame.h"
#include "tests/e2e/test_avi_writer.h"

namespace clipvane {
namespace {

std::vector<int32_t> Allot(FrameAllotment& allotment, float x, int frames) {
  std::vector<int32_t> result;
  for (int i = 0; i < frames; ++i) result.push_back(allotment.Next(x, 128));
  return result;
}

TEST(FrameAllotment, TakesBackTheRoundingSurplus) {
  FrameAllotment allotment;
  // 22050 Hz at 25 fps: 882 samples per frame.
  EXPECT_EQ(Allot(allotment, 882.0f, 12),
            (std::vector<int32_t>{896, 896, 896, 896, 896, 896, 896, 896, 896, 768, 896, 896}));
}

TEST(FrameAllotment, ConversionContinuesTheCollectionSequence) {
  FrameAllotment allotment;
  Allot(allotment, 882.0f, 10);  // a collection pass of 10 frames
  EXPECT_EQ(Allot(allotment, 882.0f, 12),
            (std::vector<int32_t>{896, 896, 896, 896, 896, 896, 896, 896, 768, 896, 896, 896}));
}

TEST(FrameAllotment, ExactMultiplesStayConstantAndTotalsTrackTheRate) {
  FrameAllotment exact;
  for (int32_t m : Allot(exact, 1280.0f, 50)) EXPECT_EQ(m, 1280);

  // Over many frames the running total never falls behind the rate and never
  // runs ahead by a block or more.
  FrameAllotment allotment;
  const float x = 1471.46997f;
  int64_t total = 0;
  for (int n = 1; n <= 5000; ++n) {
    int32_t m = allotment.Next(x, 128);
    ASSERT_EQ(m % 128, 0);
    total += m;
    ASSERT_GE(double(total), double(n) * x - 1.0);
    ASSERT_LT(double(total), double(n) * x + 128.0);
  }
}

TEST(FrameAllotment, SmallRatesGiveEmptyFrames) {
  FrameAllotment allotment;
  // 100 samples per frame: some frames get no block at all.
  std::vector<int32_t> m = Allot(allotment, 100.0f, 8);
  EXPECT_EQ(m, (std::vector<int32_t>{128, 128, 128, 128, 0, 128, 128, 128}));
}

TEST(ContainerHeader, FrameRateRoundsHalfAwayFromZero) {
  EXPECT_EQ(FrameRate16x16(25, 1), 1638400u);
  EXPECT_EQ(FrameRate16x16(30000, 1001), 1964116u);
  EXPECT_EQ(FrameRate16x16(15, 1), 983040u);
  EXPECT_EQ(FrameRate16x16(1, 3), 21845u);  // 21845.33 rounds down
  EXPECT_EQ(FrameRate16x16(1, 131072), 1u);  // exactly 0.5 rounds up
}

TEST(ContainerHeader, SerializesLittleEndianFieldByField) {
  ContainerHeader h;
  h.frameCount = 0x01020304;
  h.width = -2;
  h.seekEntryCount = 7;
  uint8_t bytes[kContainerHeaderBytes];
  SerializeHeader(h, bytes);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "QKDS");
  EXPECT_EQ(bytes[4], 0x04);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(bytes[8], 0xFE);
  EXPECT_EQ(bytes[11], 0xFF);
  EXPECT_EQ(bytes[44], 7);
  ContainerHeader back = ParseHeader(bytes);
  EXPECT_EQ(back.frameCount, h.frameCount);
  EXPECT_EQ(back.width, -2);
  EXPECT_EQ(back.seekEntryCount, 7u);
}

TEST(FrameRecordBuilder, DropsFourBytesPadsAndPutsSizesInFront) {
  std::vector<uint8_t> frame(1000);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i);
  std::vector<uint8_t> packets(34, 0xAB);  // a 14-byte and a 20-byte packet
  FrameRecordBuilder record;
  record.Begin(frame.data(), frame.size());
  record.AppendAudio(packets.data(), packets.size());
  ASSERT_EQ(record.Complete(2), 1036u);
  const uint8_t* r = record.Data();
  EXPECT_EQ(LoadLE16(r), 1034);
  EXPECT_EQ(LoadLE16(r + 2), 2);
  EXPECT_EQ(r[4], 4);  // the frame's fifth byte
  EXPECT_EQ(r[4 + 995], uint8_t(999));
  EXPECT_EQ(r[4 + 996], 0xAB);
  EXPECT_EQ(r[1034], 0);
  EXPECT_EQ(r[1035], 0);
}

TEST(FrameRecordBuilder, ShortFramesHaveNoPayloadAndAlignedOnesNoPadding) {
  FrameRecordBuilder record;
  const uint8_t tiny[3] = {1, 2, 3};
  record.Begin(tiny, 3);
  EXPECT_EQ(record.Complete(0), 4u);
  EXPECT_EQ(LoadLE16(record.Data()), 2);

  record.Begin(nullptr, 0);
  EXPECT_EQ(record.Complete(0), 4u);

  std::vector<uint8_t> frame(12, 9);
  record.Begin(frame.data(), frame.size());
  EXPECT_EQ(record.Complete(0), 12u);  // 8 payload bytes need no padding
}

TEST(CodebookPath, ReplacesOnlyTheFileNamesExtension) {
  EXPECT_EQ(CodebookPathFor("movie.avi"), "movie.cbk");
  EXPECT_EQ(CodebookPathFor("a.b.avi"), "a.b.cbk");
  EXPECT_EQ(CodebookPathFor("clip"), "clip.cbk");
  EXPECT_EQ(CodebookPathFor("/films/v1.2/clip"), "/films/v1.2/clip.cbk");
  EXPECT_EQ(CodebookPathFor("/films/v1.2/clip.AVI"), "/films/v1.2/clip.cbk");
}

}  // namespace
}  // namespace clipvane

namespace clipvane {
namespace {

std::string DataFile(const char* name) { return std::string(CLIPVANE_TEST_DATA_DIR) + "/" + name; }

// An output that would pass the container's 32-bit offsets ends the run with
// an error, and destruction removes what was written.
TEST(ContainerLimit, AnOutputPastTheOffsetsReachIsRefusedAndRemoved) {
  std::string output = ::testing::TempDir() + "/limit.qkds";
  const char* input = "p05_ff_mpeg4_12fps_noaudio.avi";
  {
    CMovieConverter converter;
    ASSERT_EQ(converter.Open(DataFile(input), output, "", 128.0f), nullptr);
    converter.SetContainerLimitForTesting(20000);
    int steps = 0;
    while (converter.ConvertStep()) ++steps;
    EXPECT_TRUE(converter.Failed());
    EXPECT_GT(steps, 0);
    EXPECT_NE(converter.Failure().find("Error: frame " + std::to_string(steps) + " would take the output past 4 GiB"),
              std::string::npos)
        << converter.Failure();
  }
  EXPECT_FALSE(std::filesystem::exists(output));

  // Exactly at the limit still fits: the final file may end on its last addressable byte.
  uint64_t fullSize = 0;
  {
    CMovieConverter converter;
    ASSERT_EQ(converter.Open(DataFile(input), output, "", 128.0f), nullptr);
    while (converter.ConvertStep()) {
    }
    ASSERT_FALSE(converter.Failed());
    fullSize = std::filesystem::file_size(output);
  }
  {
    CMovieConverter converter;
    ASSERT_EQ(converter.Open(DataFile(input), output, "", 128.0f), nullptr);
    converter.SetContainerLimitForTesting(fullSize);
    while (converter.ConvertStep()) {
    }
    EXPECT_FALSE(converter.Failed());
  }
  EXPECT_EQ(std::filesystem::file_size(output), fullSize);
  std::filesystem::remove(output);
}


// A scratch copy of a sample movie, so that its side file lands in a folder of
// the test's own.
std::string ScratchCopy(const char* name, const std::string& as) {
  const std::string folder = ::testing::TempDir() + "/converter_unit_" + as;
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/" + as + ".avi";
  std::filesystem::copy_file(DataFile(name), path, std::filesystem::copy_options::overwrite_existing);
  return path;
}

TEST(CodebookPhase, CollectionKeepsNoMoreSilenceThanTheFileJustifies) {
  // 60 frames at 25 per second, but audio for only the first 10: 8820
  // samples, 69 blocks' worth, against about 414 blocks of timeline.
  testing::TestMovie movie;
  movie.channels = 1;
  for (int i = 0; i < 60; ++i) {
    movie.frames.push_back(std::vector<uint8_t>(40, uint8_t(i)));
    movie.keyFrames.push_back(i % 10 == 0);
  }
  for (int n = 0; n < 8820; ++n) movie.samples.push_back(int16_t((n * 37) % 4000 - 2000));
  const std::string folder = ::testing::TempDir() + "/converter_unit_tail";
  std::filesystem::create_directories(folder);
  const std::string input = folder + "/tail.avi";
  ASSERT_TRUE(testing::WriteTestMovie(input, movie));
  for (uint64_t tail : {uint64_t(1) << 20, uint64_t(0)}) {
    CMovieConverter converter;
    ASSERT_EQ(converter.Open(input, input + ".qkds", "", 128.0f), nullptr);
    converter.SetSilentTailForTesting(tail);
    ASSERT_TRUE(converter.DecideCodebookRebuild(true, false));
    int frames = 0;
    while (converter.CollectStep()) ++frames;
    EXPECT_EQ(frames, 60);  // every frame still takes its place in the allotment
    if (tail != 0) {
      EXPECT_GE(converter.CollectedBlocks(), 410u);
    } else {
      // Collection stops within one frame (7 blocks) of the audio held.
      EXPECT_GE(converter.CollectedBlocks(), 69u);
      EXPECT_LE(converter.CollectedBlocks(), 69u + 7u);
    }
  }
}

TEST(CodebookPhase, AFailedTrainingWritesNoSideFileAndLeavesNoOutput) {
  const std::string input = ScratchCopy("p02_ff_mpeg4_2997fps_chord_stereo44100.avi", "failing");
  const std::string output = input + ".qkds";
  {
    CMovieConverter converter;
    ASSERT_EQ(converter.Open(input, output, "", 128.0f), nullptr);
    ASSERT_TRUE(converter.DecideCodebookRebuild(true, false));
    while (converter.CollectStep()) {
    }
    int trained = 0;
    converter.SetTrainingForTesting([&trained](AudioEncoderState&) {
      // The second channel runs out of memory half-way.
      if (++trained == 2) throw std::bad_alloc();
    });
    while (converter.BuildStep()) {
    }
    EXPECT_EQ(trained, 2);
    ASSERT_TRUE(converter.Failed());
    EXPECT_EQ(converter.Failure(), "Error: the codebook of " + input + " could not be trained (out of memory)\n");
    EXPECT_FALSE(converter.BuildStep());
    EXPECT_FALSE(converter.ConvertStep());
  }
  EXPECT_FALSE(std::filesystem::exists(CodebookPathFor(input)));
  EXPECT_FALSE(std::filesystem::exists(CodebookPathFor(input) + ".part"));
  EXPECT_FALSE(std::filesystem::exists(output));
  EXPECT_FALSE(std::filesystem::exists(output + ".part"));
}

// A tone, 20 frames at 25 fps, with `sampleRate` samples per second.
testing::TestMovie ToneMovie(uint32_t sampleRate) {
  testing::TestMovie movie;
  movie.width = 16;
  movie.height = 8;
  for (int i = 0; i < 20; ++i) {
    movie.frames.push_back(std::vector<uint8_t>(24, uint8_t(i)));
    movie.keyFrames.push_back(i % 5 == 0);
  }
  movie.channels = 1;
  movie.sampleRate = sampleRate;
  for (uint32_t i = 0; i < sampleRate * 20 / 25; ++i) movie.samples.push_back(int16_t(i % 64 < 32 ? 2000 : -2000));
  return movie;
}

// Trains, converts and returns the output's bytes, as the driver does.
std::vector<uint8_t> ConvertWithTraining(const std::string& input, const std::string& output) {
  {
    CMovieConverter converter;
    EXPECT_EQ(converter.Open(input, output, "", 128.0f), nullptr);
    EXPECT_TRUE(converter.DecideCodebookRebuild(true, false));
    while (converter.CollectStep()) {
    }
    while (converter.BuildStep()) {
    }
    EXPECT_TRUE(converter.LoadCodebook());
    while (converter.ConvertStep()) {
    }
    EXPECT_FALSE(converter.Failed());
  }
  std::ifstream file(output, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The per-frame audio allotment carries over from the collection pass to the
// conversion pass of one converter, never from one converter to the next: a
// movie converts to the same bytes whatever was converted before it in the
// same process (882 and 1470.6 samples per frame give different sequences).
TEST(FrameAllotment, EachConverterStartsItsOwnSequence) {
  const std::string dir = ::testing::TempDir();
  const std::string first = dir + "/allot_a.avi", other = dir + "/allot_b.avi", output = dir + "/allot.qkds";
  ASSERT_TRUE(testing::WriteTestMovie(first, ToneMovie(22050)));
  ASSERT_TRUE(testing::WriteTestMovie(other, ToneMovie(36765)));
  const std::vector<uint8_t> alone = ConvertWithTraining(first, output);
  ASSERT_GT(alone.size(), kContainerHeaderBytes);
  ConvertWithTraining(other, output);
  EXPECT_EQ(ConvertWithTraining(first, output), alone);
  for (const std::string& path : {first, other, output, CodebookPathFor(first), CodebookPathFor(other)}) {
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace clipvane
