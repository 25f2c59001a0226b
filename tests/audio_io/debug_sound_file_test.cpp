#include "audio_io/debug_sound_file.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace clipvane {
namespace {

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  int c;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(uint8_t(c));
  std::fclose(f);
  return bytes;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
uint32_t Le16(const std::vector<uint8_t>& b, size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8; }
std::string Tag(const std::vector<uint8_t>& b, size_t at) { return std::string(b.begin() + at, b.begin() + at + 4); }

class DebugSoundFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("clipvane_debug_sound_" + std::to_string(std::random_device()()));
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directories(dir));
    dir_ = dir.string();
    path_ = dir_ + "/decoded.wav";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string dir_;
  std::string path_;
};

void ExpectFixedFields(const std::vector<uint8_t>& b) {
  ASSERT_GE(b.size(), 44u);
  EXPECT_EQ(Tag(b, 0), "RIFF");
  EXPECT_EQ(Tag(b, 8), "WAVE");
  EXPECT_EQ(Tag(b, 12), "fmt ");
  EXPECT_EQ(Le32(b, 16), 16u);
  EXPECT_EQ(Le16(b, 20), 1u);
  EXPECT_EQ(Tag(b, 36), "data");
}

TEST_F(DebugSoundFileTest, MonoHeaderAtOpeningHasZeroSizes) {
  DebugSoundFile sound;
  ASSERT_TRUE(sound.Create(path_, 22050, 1, 16));
  EXPECT_TRUE(sound.IsOpen());
  sound.Close();
  EXPECT_FALSE(sound.IsOpen());

  const std::vector<uint8_t> b = ReadWholeFile(path_);
  ASSERT_EQ(b.size(), 44u);
  ExpectFixedFields(b);
  EXPECT_EQ(Le16(b, 22), 1u);
  EXPECT_EQ(Le32(b, 24), 22050u);
  EXPECT_EQ(Le32(b, 28), 44100u);  // 22050 samples x 1 channel x 2 bytes
  EXPECT_EQ(Le16(b, 32), 2u);
  EXPECT_EQ(Le16(b, 34), 16u);
  EXPECT_EQ(Le32(b, 4), 0u);
  EXPECT_EQ(Le32(b, 40), 0u);
}

TEST_F(DebugSoundFileTest, StereoHeaderDoublesRateAndAlignment) {
  DebugSoundFile sound;
  ASSERT_TRUE(sound.Create(path_, 22050, 2, 16));
  ASSERT_TRUE(sound.Complete());
  const std::vector<uint8_t> b = ReadWholeFile(path_);
  ASSERT_EQ(b.size(), 44u);
  ExpectFixedFields(b);
  EXPECT_EQ(Le16(b, 22), 2u);
  EXPECT_EQ(Le32(b, 24), 22050u);
  EXPECT_EQ(Le32(b, 28), 88200u);
  EXPECT_EQ(Le16(b, 32), 4u);
  EXPECT_EQ(Le16(b, 34), 16u);
  EXPECT_EQ(Le32(b, 4), 36u);  // an empty completed file
  EXPECT_EQ(Le32(b, 40), 0u);
}

TEST_F(DebugSoundFileTest, CompletedFileCarriesSizesAndLittleEndianSamples) {
  constexpr int kChannels = 2;
  constexpr int kBlocks = 5;
  constexpr int kBlockSamples = 128;
  DebugSoundFile sound;
  ASSERT_TRUE(sound.Create(path_, 44100, kChannels, 16));
  std::vector<int16_t> written;
  for (int block = 0; block < kBlocks; ++block) {
    std::vector<int16_t> frame(kChannels * kBlockSamples);
    for (size_t i = 0; i < frame.size(); ++i) {
      // Extremes and sign changes, so a byte-order or sign slip shows.
      frame[i] = int16_t((block * 7919 + int(i) * 257) % 65536 - 32768);
    }
    frame[0] = -32768;
    frame[1] = 32767;
    frame[2] = -1;
    ASSERT_TRUE(sound.WriteSamples(int32_t(frame.size() * 2), frame.data()));
    written.insert(written.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(sound.Complete());
  EXPECT_FALSE(sound.IsOpen());

  const std::vector<uint8_t> b = ReadWholeFile(path_);
  const uint32_t dataBytes = kBlocks * kChannels * 256;
  ASSERT_EQ(b.size(), 44u + dataBytes);
  ExpectFixedFields(b);
  EXPECT_EQ(Le32(b, 40), dataBytes);
  EXPECT_EQ(Le32(b, 4), dataBytes + 36);
  for (size_t i = 0; i < written.size(); ++i) {
    const int16_t onDisk = int16_t(uint16_t(b[44 + 2 * i] | b[45 + 2 * i] << 8));
    ASSERT_EQ(onDisk, written[i]) << "sample " << i;
  }
}

TEST_F(DebugSoundFileTest, LargeWritesArriveWhole) {
  // More than any internal staging buffer, and an odd number of samples.
  std::vector<int16_t> samples(10001);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(int(i) * 37 - 20000);
  DebugSoundFile sound;
  ASSERT_TRUE(sound.Create(path_, 8000, 1, 16));
  ASSERT_TRUE(sound.WriteSamples(int32_t(samples.size() * 2), samples.data()));
  ASSERT_TRUE(sound.Complete());
  const std::vector<uint8_t> b = ReadWholeFile(path_);
  ASSERT_EQ(b.size(), 44u + samples.size() * 2);
  EXPECT_EQ(Le32(b, 40), samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(int16_t(uint16_t(b[44 + 2 * i] | b[45 + 2 * i] << 8)), samples[i]) << i;
  }
}

TEST_F(DebugSoundFileTest, StopsBeforeItsSizesWouldOverflow) {
  // The sizes are 32 bits; a file that reaches its limit keeps what fits and
  // still completes with exact sizes.
  std::vector<int16_t> block(256, 7);
  DebugSoundFile sound(1000);
  ASSERT_TRUE(sound.Create(path_, 8000, 1, 16));
  ASSERT_TRUE(sound.WriteSamples(512, block.data()));
  EXPECT_FALSE(sound.WriteSamples(512, block.data()));
  ASSERT_TRUE(sound.WriteSamples(488, block.data()));  // exactly up to the limit
  EXPECT_FALSE(sound.WriteSamples(2, block.data()));
  ASSERT_TRUE(sound.Complete());
  const std::vector<uint8_t> b = ReadWholeFile(path_);
  ASSERT_EQ(b.size(), 44u + 1000u);
  EXPECT_EQ(Le32(b, 4), 1036u);
  EXPECT_EQ(Le32(b, 40), 1000u);
}

TEST_F(DebugSoundFileTest, CloseLeavesTheHeaderOfTheOpening) {
  DebugSoundFile sound;
  ASSERT_TRUE(sound.Create(path_, 22050, 1, 16));
  const std::vector<int16_t> block(128, 1000);
  ASSERT_TRUE(sound.WriteSamples(256, block.data()));
  ASSERT_TRUE(sound.WriteSamples(256, block.data()));
  sound.Close();
  const std::vector<uint8_t> b = ReadWholeFile(path_);
  ASSERT_EQ(b.size(), 44u + 512u);
  EXPECT_EQ(Le32(b, 4), 0u);
  EXPECT_EQ(Le32(b, 40), 0u);
  EXPECT_EQ(Le32(b, 24), 22050u);
}

TEST_F(DebugSoundFileTest, DestructionClosesWithoutCompleting) {
  {
    DebugSoundFile sound;
    ASSERT_TRUE(sound.Create(path_, 22050, 1, 16));
    const std::vector<int16_t> block(128, -5);
    ASSERT_TRUE(sound.WriteSamples(256, block.data()));
  }
  const std::vector<uint8_t> b = ReadWholeFile(path_);
  ASSERT_EQ(b.size(), 44u + 256u);
  EXPECT_EQ(Le32(b, 40), 0u);
}

TEST_F(DebugSoundFileTest, WithoutAFileWritesFailAndCompleteSucceeds) {
  DebugSoundFile sound;
  EXPECT_FALSE(sound.Create(dir_ + "/no/such/dir/out.wav", 22050, 1, 16));
  EXPECT_FALSE(sound.IsOpen());
  const int16_t sample = 7;
  EXPECT_FALSE(sound.WriteSamples(2, &sample));
  EXPECT_TRUE(sound.Complete());
  sound.Close();  // harmless
}

TEST_F(DebugSoundFileTest, CreateReplacesAnExistingFileAndRestartsTheCount) {
  {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> junk(1000, 0xAB);
    std::fwrite(junk.data(), 1, junk.size(), f);
    std::fclose(f);
  }
  DebugSoundFile sound;
  const std::vector<int16_t> block(128, 3);
  ASSERT_TRUE(sound.Create(path_, 22050, 1, 16));
  ASSERT_TRUE(sound.WriteSamples(256, block.data()));
  ASSERT_TRUE(sound.Complete());
  // A second file with the same writer counts only its own samples.
  ASSERT_TRUE(sound.Create(path_, 22050, 1, 16));
  ASSERT_TRUE(sound.WriteSamples(256, block.data()));
  ASSERT_TRUE(sound.WriteSamples(256, block.data()));
  ASSERT_TRUE(sound.Complete());
  const std::vector<uint8_t> b = ReadWholeFile(path_);
  ASSERT_EQ(b.size(), 44u + 512u);
  EXPECT_EQ(Le32(b, 40), 512u);
  EXPECT_EQ(Le32(b, 4), 548u);
}

TEST_F(DebugSoundFileTest, ShortWriteClosesAndForgetsTheFile) {
  // /dev/full accepts the open and refuses every byte once the buffer is flushed.
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  DebugSoundFile sound;
  // The 44 header bytes sit in the stream's buffer, so creation succeeds.
  ASSERT_TRUE(sound.Create("/dev/full", 22050, 1, 16));
  std::vector<int16_t> lots(1 << 16, 1);
  bool failed = false;
  for (int i = 0; i < 8 && !failed; ++i) failed = !sound.WriteSamples(int32_t(lots.size() * 2), lots.data());
  EXPECT_TRUE(failed);
  EXPECT_FALSE(sound.IsOpen());
  EXPECT_TRUE(sound.Complete()) << "nothing left to complete";
}

}  // namespace
}  // namespace clipvane
