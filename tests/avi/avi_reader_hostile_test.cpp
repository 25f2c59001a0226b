// Hostile input is normal input: files that are not movies, cut at every
// byte, with sizes and index offsets that lie, with index loops and absurdly
// deep lists. The reader must refuse or read what is really there, without
// crashing, hanging or allocating what the file could not hold.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avi/avi_reader.h"
#include "tests/avi/avi_test_writer.h"

namespace clipvane::avi {
namespace {

using test::BitmapFormat;
using test::BuildMovie;
using test::Bytes;
using test::Payload;
using test::TestChunk;
using test::TestIndex;
using test::TestMovie;

TestMovie SmallMovie() {
  TestMovie movie;
  movie.streams = {{"vids", "qks1", 25, 1, 4, 0, BitmapFormat(16, 16, "qks1")},
                   {"auds", "", 8000, 1, 0, 2, test::WaveFormat(1, 1, 8000, 16, 2, false)}};
  for (uint32_t i = 0; i < 4; ++i) {
    movie.chunks.push_back({"00dc", Payload(i, 5 + 3 * i), i % 2 == 0});
    movie.chunks.push_back({"01wb", Payload(20 + i, 8), true});
  }
  return movie;
}

size_t Find(const std::vector<uint8_t>& file, const std::string& tag, size_t from = 0) {
  const std::string text(file.begin(), file.end());
  const size_t at = text.find(tag, from);
  EXPECT_NE(at, std::string::npos) << tag;
  return at;
}

void PatchU32(std::vector<uint8_t>& file, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) file[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Calls every accessor the converter and the grabber use; checks that what
// the reader claims is consistent with the bytes it can deliver.
void ExerciseEverything(AviReader& reader, uint64_t fileSize) {
  std::vector<uint8_t> bytes;
  const int32_t frames = reader.IndexedFrameCount();
  EXPECT_LE(uint64_t(frames), fileSize / 8 + 1);
  for (int32_t f = -1; f <= frames; ++f) {
    uint32_t size = 0;
    const bool known = reader.FrameSize(f, &size);
    EXPECT_EQ(known, f >= 0 && f < frames);
    if (reader.ReadFrame(f, bytes)) {
      EXPECT_TRUE(known);
      EXPECT_EQ(bytes.size(), size);
    }
    const int32_t key = reader.FindKeyFrame(f);
    EXPECT_TRUE(key == -1 || (key >= f && key < frames));
  }
  (void)reader.AudioFormatTag();
  (void)reader.AudioChannels();
  (void)reader.AudioBitsPerSample();
  (void)reader.AudioSubFormatIsPcm();
  uint64_t total = 0;
  for (int64_t position = 0;;) {
    const uint32_t got = reader.ReadAudioChunk(position, bytes);
    if (got == 0) break;
    EXPECT_EQ(got % reader.AudioFrameBytes(), 0u);
    total += got;
    position += got / reader.AudioFrameBytes();
  }
  EXPECT_LE(total, reader.AudioBytes());
}

TEST(NotAMovie, OtherFilesAreRefused) {
  Bytes wave;
  const size_t riff = wave.BeginList("RIFF", "WAVE");
  wave.Chunk("fmt ", test::WaveFormat(1, 1, 8000, 16, 2, false));
  wave.Chunk("data", Payload(1, 64));
  wave.End(riff);
  Bytes noMovieList;
  const size_t riff2 = noMovieList.BeginList("RIFF", "AVI ");
  const size_t hdrl = noMovieList.BeginList("LIST", "hdrl");
  noMovieList.End(hdrl);
  noMovieList.End(riff2);
  const std::vector<std::vector<uint8_t>> files = {
      {}, {'R', 'I', 'F', 'F'}, wave.data, noMovieList.data, {0, 0, 0, 0x1C, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'}};
  for (const auto& file : files) {
    AviReader reader;
    EXPECT_FALSE(reader.OpenBuffer(file)) << file.size();
    EXPECT_FALSE(reader.HasVideo());
    EXPECT_EQ(reader.IndexedFrameCount(), 0);
    std::vector<uint8_t> out;
    EXPECT_FALSE(reader.ReadFrame(0, out));
    EXPECT_EQ(reader.ReadAudioChunk(0, out), 0u);
  }
}

TEST(Truncation, EveryPrefixOfAMovieIsSafeAndNeverInventsData) {
  const TestMovie movie = SmallMovie();
  for (const TestIndex index : {TestIndex::kIdx1Relative, TestIndex::kNone}) {
    TestMovie variant = movie;
    variant.index = index;
    const std::vector<uint8_t> full = BuildMovie(variant);
    for (size_t length = 0; length <= full.size(); ++length) {
      AviReader reader;
      if (!reader.OpenBuffer(std::vector<uint8_t>(full.begin(), full.begin() + long(length)))) continue;
      ExerciseEverything(reader, length);
      ASSERT_LE(reader.IndexedFrameCount(), 4);
      // Any frame that can be read is the frame the writer put there.
      std::vector<uint8_t> bytes;
      for (int32_t f = 0; f < reader.IndexedFrameCount(); ++f) {
        if (reader.ReadFrame(f, bytes)) {
          EXPECT_EQ(bytes, movie.chunks[size_t(2 * f)].payload) << length;
        }
      }
    }
  }
}

TEST(Truncation, CorruptingAnyByteIsSafe) {
  const std::vector<uint8_t> full = BuildMovie(SmallMovie());
  for (size_t at = 0; at < full.size(); ++at) {
    for (const uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x80)}) {
      std::vector<uint8_t> file = full;
      file[at] = value;
      AviReader reader;
      if (reader.OpenBuffer(file)) ExerciseEverything(reader, file.size());
    }
  }
}

TEST(LyingSizes, HugeChunkSizesAreClippedToTheFile) {
  std::vector<uint8_t> file = BuildMovie(SmallMovie());
  PatchU32(file, 4, 0xFFFFFFF0);                        // RIFF
  PatchU32(file, Find(file, "movi") - 4, 0xFFFFFFF0);  // movi list
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(file));
  EXPECT_EQ(reader.IndexedFrameCount(), 4);
  ExerciseEverything(reader, file.size());

  // A format chunk that claims more than the file holds is not taken.
  std::vector<uint8_t> badFormat = BuildMovie(SmallMovie());
  PatchU32(badFormat, Find(badFormat, "strf") + 4, 0x7FFFFFFF);
  AviReader second;
  if (second.OpenBuffer(badFormat)) {
    EXPECT_TRUE(second.VideoFormat().empty());
    ExerciseEverything(second, badFormat.size());
  }
}

TEST(LyingIndex, Idx1PointingOutsideTheFileFallsBackToTheScan) {
  const TestMovie movie = SmallMovie();
  std::vector<uint8_t> file = BuildMovie(movie);
  const size_t idx1 = Find(file, "idx1") + 8;
  for (size_t at = idx1; at + 16 <= file.size(); at += 16) PatchU32(file, at + 8, 0x7FFFFF00);
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(file));
  EXPECT_EQ(reader.VideoIndexSource(), IndexSource::kScan);
  ASSERT_EQ(reader.IndexedFrameCount(), 4);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(reader.ReadFrame(3, bytes));
  EXPECT_EQ(bytes, movie.chunks[6].payload);
}

TEST(LyingIndex, FrameRunningPastTheEndIsKnownButCannotBeRead) {
  std::vector<uint8_t> file = BuildMovie(SmallMovie());
  const size_t idx1 = Find(file, "idx1") + 8;
  PatchU32(file, idx1 + 2 * 16 + 12, 0x7FFFFFF0);  // frame 1's size
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(file));
  ASSERT_EQ(reader.IndexedFrameCount(), 4);
  uint32_t size = 0;
  ASSERT_TRUE(reader.FrameSize(1, &size));
  EXPECT_EQ(size, 0x7FFFFFF0u);
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(reader.ReadFrame(1, bytes));
  EXPECT_LT(bytes.capacity(), size_t(1) << 20);  // nothing was allocated for it
  EXPECT_TRUE(reader.ReadFrame(2, bytes));
}

TEST(LyingIndex, SuperIndexLoopsAndRepeatsAreReadOnce) {
  std::vector<test::TestChunk> frames;
  for (uint32_t i = 0; i < 5; ++i) frames.push_back({"00dc", Payload(i, 6), i == 0});
  std::vector<uint8_t> file = test::BuildOpenDmlMovie(frames, 3, 0).Flatten();
  const size_t indx = Find(file, "indx");
  const size_t entries = indx + 8 + 24;
  // Both entries now name the same standard index, and a third entry that
  // did not exist before points back at the super index itself.
  for (int i = 0; i < 4; ++i) file[entries + 16 + size_t(i)] = file[entries + size_t(i)];
  PatchU32(file, indx + 8 + 4, 3);
  PatchU32(file, indx + 4, 24 + 3 * 16);  // grow the chunk over the next bytes
  AviReader reader;
  if (reader.OpenBuffer(file)) {
    EXPECT_LE(reader.IndexedFrameCount(), 5);
    ExerciseEverything(reader, file.size());
  }
}

TEST(LyingIndex, StandardIndexClaimingMillionsOfEntriesReadsOnlyWhatIsThere) {
  std::vector<test::TestChunk> frames;
  for (uint32_t i = 0; i < 5; ++i) frames.push_back({"00dc", Payload(i, 6), true});
  std::vector<uint8_t> file = test::BuildOpenDmlMovie(frames, 3, 0).Flatten();
  const size_t ix = Find(file, "ix00");
  PatchU32(file, ix + 8 + 4, 50000000);  // nEntriesInUse
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(file));
  EXPECT_EQ(reader.VideoIndexSource(), IndexSource::kOpenDml);
  EXPECT_EQ(reader.IndexedFrameCount(), 5);
}

TEST(DeepLists, NestingIsBoundedAndDoesNotExhaustTheStack) {
  Bytes b;
  const size_t riff = b.BeginList("RIFF", "AVI ");
  const size_t hdrl = b.BeginList("LIST", "hdrl");
  const size_t strl = b.BeginList("LIST", "strl");
  test::WriteStreamHeader(b, {"vids", "qks1", 25, 1, 1, 0, {}});
  b.Chunk("strf", BitmapFormat(16, 16, "qks1"));
  b.End(strl);
  b.End(hdrl);
  const size_t movi = b.BeginList("LIST", "movi");
  b.Chunk("00dc", Payload(1, 4));  // reachable
  std::vector<size_t> open;
  for (int depth = 0; depth < 100000; ++depth) open.push_back(b.BeginList("LIST", "rec "));
  b.Chunk("00dc", Payload(2, 4));  // far too deep to be movie data
  while (!open.empty()) {
    b.End(open.back());
    open.pop_back();
  }
  b.End(movi);
  b.End(riff);
  AviReader reader;
  ASSERT_TRUE(reader.OpenBuffer(b.data));
  EXPECT_EQ(reader.IndexedFrameCount(), 1);
}

}  // namespace
}  // namespace clipvane::avi
