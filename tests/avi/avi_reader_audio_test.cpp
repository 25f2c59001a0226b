// The audio side: the wave format fields in their short and long forms, and
// the convenient reads that hand the stream out one stored chunk at a time.

#include <gtest/gtest.h>

#include <vector>

#include "avi/avi_reader.h"
#include "tests/avi/avi_test_writer.h"

namespace clipvane::avi {
namespace {

using test::BitmapFormat;
using test::BuildMovie;
using test::Payload;
using test::TestChunk;
using test::TestMovie;
using test::TestStream;

TestMovie MovieWithAudio(std::vector<uint8_t> format, const std::vector<size_t>& chunkSizes) {
  TestMovie movie;
  movie.streams = {{"vids", "qks1", 25, 1, 1, 0, BitmapFormat(16, 16, "qks1")},
                   {"auds", "", 44100, 1, 0, 4, std::move(format)}};
  movie.chunks.push_back({"00dc", Payload(1, 10), true});
  for (size_t i = 0; i < chunkSizes.size(); ++i) {
    movie.chunks.push_back({"01wb", Payload(uint32_t(40 + i), chunkSizes[i]), true});
  }
  return movie;
}

std::vector<uint8_t> StreamBytes(const TestMovie& movie) {
  std::vector<uint8_t> all;
  for (const TestChunk& c : movie.chunks) {
    if (c.id == "01wb") all.insert(all.end(), c.payload.begin(), c.payload.end());
  }
  return all;
}

TEST(AudioFormat, PlainWaveFormatWithoutCbSize) {
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(BuildMovie(MovieWithAudio(test::WaveFormat(1, 2, 44100, 16, 4, false), {8}))));
  EXPECT_EQ(reader.AudioFormat().size(), 16u);
  EXPECT_EQ(reader.AudioFormatTag(), 1);
  EXPECT_EQ(reader.AudioChannels(), 2);
  EXPECT_EQ(reader.AudioBitsPerSample(), 16);
  EXPECT_EQ(reader.AudioBlockAlign(), 4);
  EXPECT_EQ(reader.AudioFrameBytes(), 4u);
  EXPECT_FALSE(reader.AudioSubFormatIsPcm());
}

TEST(AudioFormat, ExtensibleFormatTellsPcmFromOtherSubFormats) {
  AviReader pcm;
  ASSERT_TRUE(pcm.OpenBuffer(BuildMovie(MovieWithAudio(test::ExtensibleFormat(2, 44100, 16, 1), {8}))));
  EXPECT_EQ(pcm.AudioFormatTag(), 0xFFFE);
  EXPECT_TRUE(pcm.AudioSubFormatIsPcm());
  EXPECT_EQ(pcm.AudioBitsPerSample(), 16);

  AviReader floating;
  ASSERT_TRUE(floating.OpenBuffer(BuildMovie(MovieWithAudio(test::ExtensibleFormat(2, 44100, 32, 3), {8}))));
  EXPECT_FALSE(floating.AudioSubFormatIsPcm());

  // Cut before the GUID: the sub-format cannot be PCM.
  std::vector<uint8_t> cut = test::ExtensibleFormat(2, 44100, 16, 1);
  cut.resize(30);
  AviReader shortExtensible;
  ASSERT_TRUE(shortExtensible.OpenBuffer(BuildMovie(MovieWithAudio(cut, {8}))));
  EXPECT_FALSE(shortExtensible.AudioSubFormatIsPcm());
}

TEST(AudioFormat, FieldsMissingFromATooShortFormatReadAsZero) {
  std::vector<uint8_t> format = test::WaveFormat(1, 2, 44100, 16, 4, false);
  format.resize(13);  // ends inside nBlockAlign
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(BuildMovie(MovieWithAudio(format, {8}))));
  EXPECT_EQ(reader.AudioFormatTag(), 1);
  EXPECT_EQ(reader.AudioChannels(), 2);
  EXPECT_EQ(reader.AudioBlockAlign(), 0);
  EXPECT_EQ(reader.AudioBitsPerSample(), 0);
  // Nothing tells the sample size: positions count bytes, never divide by 0.
  EXPECT_EQ(reader.AudioFrameBytes(), 1u);
  std::vector<uint8_t> out;
  EXPECT_EQ(reader.ReadAudioChunk(3, out), 5u);
}

TEST(AudioFormat, ZeroBlockAlignFallsBackToChannelsTimesSampleBytes) {
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(BuildMovie(MovieWithAudio(test::WaveFormat(1, 2, 44100, 16, 0, true), {16}))));
  EXPECT_EQ(reader.AudioFrameBytes(), 4u);
  std::vector<uint8_t> out;
  EXPECT_EQ(reader.ReadAudioChunk(1, out), 12u);
}

// Stereo 16-bit (4-byte sample frames) in chunks of 8, 6, 10 and 6 bytes:
// 30 bytes, so 7 whole frames and a 2-byte tail. Chunk 1 ends half-way
// through frame 3, which therefore takes 2 bytes from chunk 2.
class ConvenientRead : public ::testing::Test {
 protected:
  void SetUp() override {
    movie_ = MovieWithAudio(test::WaveFormat(1, 2, 44100, 16, 4, false), {8, 6, 10, 6});
    stream_ = StreamBytes(movie_);
    ASSERT_TRUE(reader_.OpenBuffer(BuildMovie(movie_)));
  }
  std::vector<uint8_t> Slice(size_t begin, size_t bytes) const {
    return {stream_.begin() + long(begin), stream_.begin() + long(begin + bytes)};
  }
  TestMovie movie_;
  std::vector<uint8_t> stream_;
  AviReader reader_;
};

TEST_F(ConvenientRead, ReturnsTheRestOfTheChunkInWholeFrames) {
  EXPECT_EQ(reader_.AudioBytes(), 30u);
  struct Expect {
    int64_t position;
    size_t begin, bytes;
  };
  const Expect expected[] = {
      {0, 0, 8},    // all of chunk 0
      {1, 4, 4},    // the second half of chunk 0
      {2, 8, 4},    // chunk 1 holds one whole frame and half of the next
      {3, 12, 4},   // the frame that straddles chunks 1 and 2
      {4, 16, 8},   // the rest of chunk 2
      {6, 24, 4},   // chunk 3 holds one whole frame; its 2-byte tail is dropped
  };
  std::vector<uint8_t> out;
  for (const Expect& e : expected) {
    EXPECT_EQ(reader_.AudioChunkBytesAt(e.position), e.bytes) << e.position;
    ASSERT_EQ(reader_.ReadAudioChunk(e.position, out), e.bytes) << e.position;
    EXPECT_EQ(out, Slice(e.begin, e.bytes)) << e.position;
  }
}

TEST_F(ConvenientRead, NothingBeforeTheStartOrAfterTheLastWholeFrame) {
  std::vector<uint8_t> out{1, 2, 3};
  for (const int64_t position : {int64_t(-1), int64_t(7), int64_t(8), int64_t(1) << 62, INT64_MAX}) {
    EXPECT_EQ(reader_.AudioChunkBytesAt(position), 0u) << position;
    EXPECT_EQ(reader_.ReadAudioChunk(position, out), 0u) << position;
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(ConvenientRead, ReadingOnFromEachResultDeliversTheStreamOnce) {
  std::vector<uint8_t> all, out;
  int reads = 0;
  for (int64_t position = 0;; ++reads) {
    const uint32_t bytes = reader_.ReadAudioChunk(position, out);
    if (bytes == 0) break;
    all.insert(all.end(), out.begin(), out.end());
    position += bytes / 4;
  }
  EXPECT_EQ(all, Slice(0, 28));
  EXPECT_EQ(reads, 5);  // 8, 4, 4 (straddling), 8, 4
}

TEST(ConvenientReadGaps, EmptyAudioChunksAreSkipped) {
  TestMovie movie = MovieWithAudio(test::WaveFormat(1, 1, 8000, 16, 2, false), {0, 4, 0, 0, 6, 0});
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(BuildMovie(movie)));
  EXPECT_EQ(reader.AudioChunks().size(), 2u);
  std::vector<uint8_t> out;
  ASSERT_EQ(reader.ReadAudioChunk(2, out), 6u);
  const std::vector<uint8_t> stream = StreamBytes(movie);
  EXPECT_EQ(out, std::vector<uint8_t>(stream.begin() + 4, stream.end()));
  EXPECT_EQ(reader.ReadAudioChunk(5, out), 0u);
}

}  // namespace
}  // namespace clipvane::avi
