// Movie layouts that muxers produce, built with the test writer: both idx1
// offset conventions, uncompressed-video chunks, 'rec ' lists, odd sizes,
// movies without an index, unusual stream orders and OpenDML movies up to
// and past 4 GiB.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "avi/avi_reader.h"
#include "tests/avi/avi_test_writer.h"

namespace clipvane::avi {
namespace {

using test::BitmapFormat;
using test::BuildMovie;
using test::Payload;
using test::TestChunk;
using test::TestIndex;
using test::TestMovie;
using test::TestStream;
using test::WaveFormat;

TestStream VideoStream(uint32_t length) { return {"vids", "qks1", 25, 1, length, 0, BitmapFormat(32, 16, "qks1")}; }
TestStream MonoAudio(uint32_t rate) { return {"auds", "", rate, 1, 0, 2, WaveFormat(1, 1, rate, 16, 2, false)}; }

std::vector<int32_t> KeyFrames(const AviReader& reader) {
  std::vector<int32_t> keys;
  for (int32_t k = reader.FindKeyFrame(0); k >= 0; k = reader.FindKeyFrame(k + 1)) keys.push_back(k);
  return keys;
}

// Frames of sizes 10, 7, 0 (a dropped frame), 12 and 5, key frames 0 and 3,
// with a chunk of audio after each.
TestMovie InterleavedMovie(const std::string& videoKind) {
  TestMovie movie;
  movie.streams = {VideoStream(5), MonoAudio(8000)};
  const size_t sizes[] = {10, 7, 0, 12, 5};
  for (size_t i = 0; i < 5; ++i) {
    movie.chunks.push_back({"00" + videoKind, Payload(uint32_t(i), sizes[i]), i == 0 || i == 3});
    movie.chunks.push_back({"01wb", Payload(uint32_t(100 + i), 6), true});
  }
  return movie;
}

void ExpectFramesMatch(AviReader& reader, const TestMovie& movie, const std::string& videoId) {
  std::vector<const TestChunk*> frames;
  for (const TestChunk& c : movie.chunks) {
    if (c.id == videoId) frames.push_back(&c);
  }
  ASSERT_EQ(reader.IndexedFrameCount(), int32_t(frames.size()));
  std::vector<uint8_t> bytes;
  for (size_t f = 0; f < frames.size(); ++f) {
    uint32_t size = 0;
    ASSERT_TRUE(reader.FrameSize(int32_t(f), &size));
    EXPECT_EQ(size, frames[f]->payload.size());
    ASSERT_TRUE(reader.ReadFrame(int32_t(f), bytes));
    EXPECT_EQ(bytes, frames[f]->payload) << "frame " << f;
  }
}

std::vector<uint8_t> AudioOf(const TestMovie& movie, const std::string& id) {
  std::vector<uint8_t> all;
  for (const TestChunk& c : movie.chunks) {
    if (c.id == id) all.insert(all.end(), c.payload.begin(), c.payload.end());
  }
  return all;
}

std::vector<uint8_t> ReadAllAudio(AviReader& reader) {
  std::vector<uint8_t> all, piece;
  for (int64_t position = 0;;) {
    const uint32_t bytes = reader.ReadAudioChunk(position, piece);
    if (bytes == 0) break;
    all.insert(all.end(), piece.begin(), piece.end());
    position += bytes / reader.AudioFrameBytes();
  }
  return all;
}

TEST(Idx1, RelativeAndAbsoluteOffsetsGiveTheSameFrames) {
  for (const TestIndex index : {TestIndex::kIdx1Relative, TestIndex::kIdx1Absolute}) {
    TestMovie movie = InterleavedMovie("dc");
    movie.index = index;
    AviReader reader;
    ASSERT_TRUE(reader.OpenBuffer(BuildMovie(movie)));
    EXPECT_EQ(reader.VideoIndexSource(),
              index == TestIndex::kIdx1Relative ? IndexSource::kIdx1Relative : IndexSource::kIdx1Absolute);
    ExpectFramesMatch(reader, movie, "00dc");
    // The empty frame stays a frame of its own: frame numbers keep their timing.
    uint32_t size = 99;
    ASSERT_TRUE(reader.FrameSize(2, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(KeyFrames(reader), (std::vector<int32_t>{0, 3}));
    EXPECT_EQ(reader.FindKeyFrame(1), 3);
    EXPECT_EQ(reader.FindKeyFrame(3), 3);
    EXPECT_EQ(reader.FindKeyFrame(4), -1);
    EXPECT_EQ(reader.AudioBytes(), 30u);
    EXPECT_EQ(ReadAllAudio(reader), AudioOf(movie, "01wb"));
  }
}

TEST(Idx1, UncompressedVideoChunksCountAsFramesButPaletteChangesDoNot) {
  TestMovie movie = InterleavedMovie("db");
  movie.chunks.insert(movie.chunks.begin() + 3, TestChunk{"00pc", Payload(7, 8), false});
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(BuildMovie(movie)));
  ExpectFramesMatch(reader, movie, "00db");
}

TEST(NoIndex, ScanFindsChunksInRecListsPastJunkAndPadBytes) {
  TestMovie movie = InterleavedMovie("dc");
  movie.index = TestIndex::kNone;
  movie.chunksPerRecList = 3;  // groups that straddle frame and audio chunks
  movie.junkInMovi = true;     // odd-sized, so it is padded too
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(BuildMovie(movie)));
  EXPECT_EQ(reader.VideoIndexSource(), IndexSource::kScan);
  EXPECT_EQ(reader.AudioIndexSource(), IndexSource::kScan);
  ExpectFramesMatch(reader, movie, "00dc");
  EXPECT_EQ(ReadAllAudio(reader), AudioOf(movie, "01wb"));
  // Without an index only the first frame is known to be decodable on its own.
  EXPECT_EQ(KeyFrames(reader), std::vector<int32_t>{0});
}

TEST(NoIndex, FirstKeyFrameIsTheFirstFrameWithData) {
  TestMovie movie;
  movie.streams = {VideoStream(3)};
  movie.index = TestIndex::kNone;
  movie.chunks = {{"00dc", {}, false}, {"00dc", Payload(1, 9), false}, {"00dc", Payload(2, 9), false}};
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(BuildMovie(movie)));
  EXPECT_EQ(reader.IndexedFrameCount(), 3);
  EXPECT_EQ(KeyFrames(reader), std::vector<int32_t>{1});
}

TEST(StreamOrder, AudioListedBeforeVideo) {
  TestMovie movie;
  movie.streams = {MonoAudio(11025), VideoStream(3)};
  for (uint32_t i = 0; i < 3; ++i) {
    movie.chunks.push_back({"00wb", Payload(50 + i, 4), true});
    movie.chunks.push_back({"01dc", Payload(i, 20 + i), i == 0});
  }
  for (const TestIndex index : {TestIndex::kIdx1Relative, TestIndex::kNone}) {
    movie.index = index;
    AviReader reader;
    ASSERT_TRUE(reader.OpenBuffer(BuildMovie(movie)));
    EXPECT_EQ(reader.AudioHeader().rate, 11025u);
    EXPECT_EQ(reader.VideoHeader().length, 3u);
    ExpectFramesMatch(reader, movie, "01dc");
    EXPECT_EQ(ReadAllAudio(reader), AudioOf(movie, "00wb"));
  }
}

TEST(StreamOrder, OnlyTheFirstOfTwoAudioStreamsIsUsed) {
  TestMovie movie;
  movie.streams = {VideoStream(2), MonoAudio(8000),
                   {"auds", "", 44100, 1, 0, 4, WaveFormat(1, 2, 44100, 16, 4, true)}};
  for (uint32_t i = 0; i < 2; ++i) {
    movie.chunks.push_back({"00dc", Payload(i, 11), true});
    movie.chunks.push_back({"02wb", Payload(70 + i, 16), true});
    movie.chunks.push_back({"01wb", Payload(90 + i, 8), true});
  }
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(BuildMovie(movie)));
  EXPECT_EQ(reader.AudioChannels(), 1);
  EXPECT_EQ(reader.AudioHeader().rate, 8000u);
  EXPECT_EQ(reader.AudioBytes(), 16u);
  EXPECT_EQ(ReadAllAudio(reader), AudioOf(movie, "01wb"));
}

// Seven frames, key frames 0 and 4: four in the first RIFF, three in a
// RIFF AVIX. The odd-sized frames exercise the pad bytes.
std::vector<TestChunk> OpenDmlFrames() {
  std::vector<TestChunk> frames;
  for (uint32_t i = 0; i < 7; ++i) frames.push_back({"00dc", Payload(i, 9 + 2 * i), i == 0 || i == 4});
  return frames;
}

TEST(OpenDml, SuperIndexCoversEveryRiffAndItsBit31MarksNonKeyFrames) {
  const std::vector<TestChunk> frames = OpenDmlFrames();
  const test::MoviePieces movie = test::BuildOpenDmlMovie(frames, 4, 0);
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(movie.Flatten()));
  // idx1 lists only the four frames of the first RIFF; the OpenDML index wins.
  EXPECT_EQ(reader.VideoIndexSource(), IndexSource::kOpenDml);
  EXPECT_EQ(reader.VideoHeader().length, 7u);
  ASSERT_EQ(reader.IndexedFrameCount(), 7);
  EXPECT_EQ(KeyFrames(reader), (std::vector<int32_t>{0, 4}));
  std::vector<uint8_t> bytes;
  for (int32_t f = 0; f < 7; ++f) {
    ASSERT_TRUE(reader.ReadFrame(f, bytes));
    EXPECT_EQ(bytes, frames[size_t(f)].payload) << f;
  }
}

TEST(OpenDml, WithoutUsableIndexesTheScanWalksEveryRiff) {
  const std::vector<TestChunk> frames = OpenDmlFrames();
  std::vector<uint8_t> file = test::BuildOpenDmlMovie(frames, 4, 0).Flatten();
  // Spoil the 'indx' type and every 'idx1' id so neither index can be used.
  const std::string text(file.begin(), file.end());
  const size_t indx = text.find("indx");
  ASSERT_NE(indx, std::string::npos);
  file[indx + 8 + 3] = 7;
  const size_t idx1 = text.find("idx1");
  const size_t idx1End = idx1 + 8 + (file[idx1 + 4] | file[idx1 + 5] << 8);
  for (size_t at = idx1 + 8; at + 16 <= idx1End; at += 16) file[at] = 'x';
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(std::move(file)));
  EXPECT_EQ(reader.VideoIndexSource(), IndexSource::kScan);
  ASSERT_EQ(reader.IndexedFrameCount(), 7);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(reader.ReadFrame(6, bytes));
  EXPECT_EQ(bytes, frames[6].payload);
}

TEST(OpenDml, AudioIndxThatIsAStandardIndexNextToAVideoSuperIndex) {
  const std::vector<TestChunk> frames = OpenDmlFrames();
  std::vector<std::vector<uint8_t>> audioChunks;
  std::vector<uint8_t> allAudio;
  for (uint32_t i = 0; i < frames.size(); ++i) {
    audioChunks.push_back(Payload(60 + i, 12 + 4 * i));
    allAudio.insert(allAudio.end(), audioChunks.back().begin(), audioChunks.back().end());
  }
  const TestStream stereo{"auds", "", 11025, 1, 0, 4, WaveFormat(1, 2, 11025, 16, 4, true)};
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(test::BuildOpenDmlMovieWithAudio(frames, stereo, audioChunks)));
  EXPECT_EQ(reader.VideoIndexSource(), IndexSource::kOpenDml);
  EXPECT_EQ(reader.AudioIndexSource(), IndexSource::kOpenDml);
  ASSERT_EQ(reader.IndexedFrameCount(), 7);
  EXPECT_EQ(KeyFrames(reader), (std::vector<int32_t>{0, 4}));
  std::vector<uint8_t> bytes;
  for (int32_t f = 0; f < 7; ++f) {
    ASSERT_TRUE(reader.ReadFrame(f, bytes));
    EXPECT_EQ(bytes, frames[size_t(f)].payload) << f;
  }
  EXPECT_EQ(reader.AudioBytes(), allAudio.size());
  EXPECT_EQ(ReadAllAudio(reader), allAudio);
}

TEST(OpenDml, MovieLargerThan4GiB) {
  // A sparse file: only the headers, the frames and the indexes are written;
  // a JUNK chunk of almost 4 GiB in between costs no disk space.
  const std::vector<TestChunk> frames = OpenDmlFrames();
  const uint64_t gap = 0xFFFFFFFFull - 25;  // even, and as large as a RIFF allows
  const test::MoviePieces movie = test::BuildOpenDmlMovie(frames, 4, gap);
  ASSERT_GT(movie.size, 0x100000000ull);
  ASSERT_GT(movie.frameOffsets[4], 0x100000000ull);
  const std::string path =
      (std::filesystem::temp_directory_path() / ("clipvane_avi_large_" + std::to_string(::getpid()) + ".avi"))
          .string();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  for (const auto& [offset, bytes] : movie.pieces) {
    ASSERT_EQ(fseeko(file, off_t(offset), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  }
  std::fclose(file);
  ASSERT_EQ(std::filesystem::file_size(path), movie.size);

  AviReader reader;
  const bool opened = reader.Open(path);
  std::vector<uint8_t> bytes;
  std::vector<std::vector<uint8_t>> read;
  for (int32_t f = 0; opened && f < reader.IndexedFrameCount(); ++f) {
    read.push_back(reader.ReadFrame(f, bytes) ? bytes : std::vector<uint8_t>{});
  }
  const IndexSource source = reader.VideoIndexSource();
  const std::vector<int32_t> keys = KeyFrames(reader);
  std::vector<ChunkRef> chunks = reader.VideoChunks();
  reader.Close();
  std::filesystem::remove(path);

  ASSERT_TRUE(opened);
  EXPECT_EQ(source, IndexSource::kOpenDml);
  ASSERT_EQ(read.size(), 7u);
  for (size_t f = 0; f < 7; ++f) {
    EXPECT_EQ(chunks[f].offset, movie.frameOffsets[f]) << f;
    EXPECT_EQ(read[f], frames[f].payload) << f;
  }
  EXPECT_EQ(keys, (std::vector<int32_t>{0, 4}));
}

}  // namespace
}  // namespace clipvane::avi
