#pragma once
// A tiny AVI writer for tests: builds the movies that the sample files do not
// cover (OpenDML, 'rec ' lists, no index, odd layouts) byte by byte, so each
// test knows exactly what the reader must find.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace clipvane::avi::test {

class Bytes {
 public:
  std::vector<uint8_t> data;

  size_t Size() const { return data.size(); }
  void U8(uint8_t v) { data.push_back(v); }
  void U16(uint16_t v) {
    U8(uint8_t(v));
    U8(uint8_t(v >> 8));
  }
  void U32(uint32_t v) {
    U16(uint16_t(v));
    U16(uint16_t(v >> 16));
  }
  void U64(uint64_t v) {
    U32(uint32_t(v));
    U32(uint32_t(v >> 32));
  }
  void Tag(const std::string& four) {
    for (size_t i = 0; i < 4; ++i) U8(i < four.size() ? uint8_t(four[i]) : uint8_t(' '));
  }
  void Raw(const std::vector<uint8_t>& bytes) { data.insert(data.end(), bytes.begin(), bytes.end()); }
  // Opens a chunk; returns the position of its size field for End().
  size_t Begin(const std::string& id) {
    Tag(id);
    const size_t at = Size();
    U32(0);
    return at;
  }
  size_t BeginList(const std::string& id, const std::string& type) {
    const size_t at = Begin(id);
    Tag(type);
    return at;
  }
  // Closes a chunk: patches its size and adds the pad byte after odd data.
  void End(size_t at) {
    const uint32_t size = uint32_t(Size() - at - 4);
    PatchU32(at, size);
    if (size & 1) U8(0);
  }
  void Chunk(const std::string& id, const std::vector<uint8_t>& payload) {
    const size_t at = Begin(id);
    Raw(payload);
    End(at);
  }
  void PatchU32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) data[at + size_t(i)] = uint8_t(v >> (8 * i));
  }
  void PatchU64(size_t at, uint64_t v) {
    PatchU32(at, uint32_t(v));
    PatchU32(at + 4, uint32_t(v >> 32));
  }
};

inline std::vector<uint8_t> BitmapFormat(int32_t width, int32_t height, const std::string& compression) {
  Bytes b;
  b.U32(40);
  b.U32(uint32_t(width));
  b.U32(uint32_t(height));
  b.U16(1);
  b.U16(24);
  b.Tag(compression);
  b.U32(uint32_t(width * height * 3));
  b.U32(0);
  b.U32(0);
  b.U32(0);
  b.U32(0);
  return b.data;
}

// WAVEFORMAT (16 bytes) or WAVEFORMATEX with cbSize 0 (18 bytes).
inline std::vector<uint8_t> WaveFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                                       uint16_t blockAlign, bool withCbSize) {
  Bytes b;
  b.U16(tag);
  b.U16(channels);
  b.U32(rate);
  b.U32(rate * blockAlign);
  b.U16(blockAlign);
  b.U16(bits);
  if (withCbSize) b.U16(0);
  return b.data;
}

// WAVE_FORMAT_EXTENSIBLE whose sub-format GUID carries `subTag` in its first
// two bytes, followed by the standard base GUID.
inline std::vector<uint8_t> ExtensibleFormat(uint16_t channels, uint32_t rate, uint16_t bits, uint16_t subTag) {
  Bytes b;
  b.Raw(WaveFormat(0xFFFE, channels, rate, bits, uint16_t(channels * bits / 8), false));
  b.U16(22);
  b.U16(bits);
  b.U32(channels == 2 ? 3u : 4u);
  b.U16(subTag);
  b.Raw({0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
  return b.data;
}

struct TestStream {
  std::string type;  // "vids" or "auds"
  std::string handler;
  uint32_t rate = 0;
  uint32_t scale = 1;
  uint32_t length = 0;
  uint32_t sampleSize = 0;
  std::vector<uint8_t> format;
};

struct TestChunk {
  std::string id;  // e.g. "00dc", "01wb"
  std::vector<uint8_t> payload;
  bool key = false;
};

enum class TestIndex { kNone, kIdx1Relative, kIdx1Absolute };

struct TestMovie {
  std::vector<TestStream> streams;
  std::vector<TestChunk> chunks;
  TestIndex index = TestIndex::kIdx1Relative;
  size_t chunksPerRecList = 0;  // 0: no 'rec ' lists
  bool junkInMovi = false;
};

// Deterministic bytes that differ from frame to frame.
inline std::vector<uint8_t> Payload(uint32_t seed, size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return bytes;
}

inline void WriteStreamHeader(Bytes& b, const TestStream& s) {
  const size_t strh = b.Begin("strh");
  b.Tag(s.type);
  if (s.handler.empty()) {
    b.U32(0);
  } else {
    b.Tag(s.handler);
  }
  b.U32(0);  // flags
  b.U32(0);  // priority, language
  b.U32(0);  // initial frames
  b.U32(s.scale);
  b.U32(s.rate);
  b.U32(0);  // start
  b.U32(s.length);
  b.U32(0);           // suggested buffer size
  b.U32(0xFFFFFFFF);  // quality
  b.U32(s.sampleSize);
  b.U64(0);  // frame rectangle
  b.End(strh);
}

inline void WriteMainHeader(Bytes& b, size_t streams) {
  const size_t avih = b.Begin("avih");
  for (int i = 0; i < 14; ++i) b.U32(i == 6 ? uint32_t(streams) : 0u);
  b.End(avih);
}

inline std::vector<uint8_t> BuildMovie(const TestMovie& movie) {
  Bytes b;
  const size_t riff = b.BeginList("RIFF", "AVI ");
  const size_t hdrl = b.BeginList("LIST", "hdrl");
  WriteMainHeader(b, movie.streams.size());
  for (const TestStream& s : movie.streams) {
    const size_t strl = b.BeginList("LIST", "strl");
    WriteStreamHeader(b, s);
    b.Chunk("strf", s.format);
    b.End(strl);
  }
  b.End(hdrl);
  const size_t movi = b.BeginList("LIST", "movi");
  const size_t moviForm = movi + 4;
  if (movie.junkInMovi) b.Chunk("JUNK", std::vector<uint8_t>(13, 0));
  std::vector<size_t> headers;
  size_t rec = 0;
  for (size_t i = 0; i < movie.chunks.size(); ++i) {
    if (movie.chunksPerRecList != 0 && i % movie.chunksPerRecList == 0) rec = b.BeginList("LIST", "rec ");
    headers.push_back(b.Size());
    b.Chunk(movie.chunks[i].id, movie.chunks[i].payload);
    if (movie.chunksPerRecList != 0 &&
        (i % movie.chunksPerRecList == movie.chunksPerRecList - 1 || i + 1 == movie.chunks.size())) {
      b.End(rec);
    }
  }
  b.End(movi);
  if (movie.index != TestIndex::kNone) {
    const size_t idx1 = b.Begin("idx1");
    for (size_t i = 0; i < movie.chunks.size(); ++i) {
      b.Tag(movie.chunks[i].id);
      b.U32(movie.chunks[i].key ? 0x10u : 0u);
      b.U32(uint32_t(movie.index == TestIndex::kIdx1Absolute ? headers[i] : headers[i] - moviForm));
      b.U32(uint32_t(movie.chunks[i].payload.size()));
    }
    b.End(idx1);
  }
  b.End(riff);
  return b.data;
}

// An OpenDML movie of video frames only: the first `framesInFirstRiff`
// frames sit in the first RIFF (also listed by its 'idx1'), the rest in a
// 'RIFF AVIX'. Both parts carry an 'ix00' standard index that the 'indx'
// super index names. With `gapBytes` > 0 an extra 'RIFF AVIX' whose 'movi'
// holds one JUNK chunk of that size sits in between; its bytes are not
// materialised: the movie is returned as pieces placed at file offsets.
struct MoviePieces {
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pieces;
  uint64_t size = 0;
  std::vector<uint64_t> frameOffsets;  // absolute data offsets, for checks

  std::vector<uint8_t> Flatten() const {
    std::vector<uint8_t> all(size_t(size), 0);
    for (const auto& [offset, bytes] : pieces) std::memcpy(all.data() + offset, bytes.data(), bytes.size());
    return all;
  }
};

inline void WriteStandardIndex(Bytes& b, const std::vector<size_t>& dataOffsets, uint64_t base,
                               uint64_t pieceOffset, const std::vector<TestChunk>& frames, size_t first) {
  const size_t ix = b.Begin("ix00");
  b.U16(2);
  b.U8(0);
  b.U8(1);  // index of chunks
  b.U32(uint32_t(dataOffsets.size()));
  b.Tag("00dc");
  b.U64(base);
  b.U32(0);
  for (size_t i = 0; i < dataOffsets.size(); ++i) {
    const TestChunk& frame = frames[first + i];
    b.U32(uint32_t(pieceOffset + dataOffsets[i] - base));
    b.U32(uint32_t(frame.payload.size()) | (frame.key ? 0u : 0x80000000u));
  }
  b.End(ix);
}

inline MoviePieces BuildOpenDmlMovie(const std::vector<TestChunk>& frames, size_t framesInFirstRiff,
                                     uint64_t gapBytes) {
  MoviePieces result;
  constexpr int kSuperEntries = 2;
  // First RIFF: headers, the first frames, their ix00 and idx1.
  Bytes a;
  const size_t riff = a.BeginList("RIFF", "AVI ");
  const size_t hdrl = a.BeginList("LIST", "hdrl");
  WriteMainHeader(a, 1);
  const size_t strl = a.BeginList("LIST", "strl");
  TestStream video{"vids", "qks1", 25, 1, uint32_t(frames.size()), 0, BitmapFormat(32, 16, "qks1")};
  WriteStreamHeader(a, video);
  a.Chunk("strf", video.format);
  const size_t indx = a.Begin("indx");
  a.U16(4);
  a.U8(0);
  a.U8(0);  // index of indexes
  a.U32(kSuperEntries);
  a.Tag("00dc");
  a.U32(0);
  a.U32(0);
  a.U32(0);
  const size_t superEntries = a.Size();
  for (int i = 0; i < kSuperEntries; ++i) {
    a.U64(0);
    a.U32(0);
    a.U32(0);
  }
  a.End(indx);
  a.End(strl);
  const size_t odml = a.BeginList("LIST", "odml");
  a.Chunk("dmlh", {uint8_t(frames.size()), 0, 0, 0});
  a.End(odml);
  a.End(hdrl);
  const size_t movi = a.BeginList("LIST", "movi");
  std::vector<size_t> firstData;
  for (size_t i = 0; i < framesInFirstRiff; ++i) {
    a.Chunk(frames[i].id, frames[i].payload);
    firstData.push_back(a.Size() - frames[i].payload.size() - (frames[i].payload.size() & 1));
    result.frameOffsets.push_back(firstData.back());
  }
  const uint64_t firstIx = a.Size();
  WriteStandardIndex(a, firstData, 0, 0, frames, 0);
  a.End(movi);
  const size_t idx1 = a.Begin("idx1");
  for (size_t i = 0; i < framesInFirstRiff; ++i) {
    a.Tag(frames[i].id);
    a.U32(frames[i].key ? 0x10u : 0u);
    a.U32(uint32_t(firstData[i] - 8 - (movi + 4)));
    a.U32(uint32_t(frames[i].payload.size()));
  }
  a.End(idx1);
  a.End(riff);
  uint64_t next = a.Size();
  // Optional gap: a RIFF AVIX whose movi is one big JUNK chunk.
  if (gapBytes != 0) {
    Bytes g;
    g.Tag("RIFF");
    g.U32(uint32_t(4 + 12 + 8 + gapBytes));
    g.Tag("AVIX");
    g.Tag("LIST");
    g.U32(uint32_t(4 + 8 + gapBytes));
    g.Tag("movi");
    g.Tag("JUNK");
    g.U32(uint32_t(gapBytes));
    result.pieces.emplace_back(next, g.data);
    next += g.Size() + gapBytes + (gapBytes & 1);
  }
  // Last RIFF AVIX: the remaining frames and their ix00, offsets from a 64-bit base.
  Bytes c;
  const size_t riffX = c.BeginList("RIFF", "AVIX");
  const size_t moviX = c.BeginList("LIST", "movi");
  std::vector<size_t> lastData;
  for (size_t i = framesInFirstRiff; i < frames.size(); ++i) {
    c.Chunk(frames[i].id, frames[i].payload);
    lastData.push_back(c.Size() - frames[i].payload.size() - (frames[i].payload.size() & 1));
    result.frameOffsets.push_back(next + lastData.back());
  }
  const uint64_t lastIx = next + c.Size();
  WriteStandardIndex(c, lastData, next + moviX, next, frames, framesInFirstRiff);
  c.End(moviX);
  c.End(riffX);
  // The super index names both standard indexes.
  a.PatchU64(superEntries, firstIx);
  a.PatchU32(superEntries + 8, uint32_t(8 + 24 + 8 * firstData.size()));
  a.PatchU32(superEntries + 12, uint32_t(firstData.size()));
  a.PatchU64(superEntries + 16, lastIx);
  a.PatchU32(superEntries + 24, uint32_t(8 + 24 + 8 * lastData.size()));
  a.PatchU32(superEntries + 28, uint32_t(lastData.size()));
  result.pieces.emplace(result.pieces.begin(), 0, a.data);
  result.pieces.emplace_back(next, c.data);
  result.size = next + c.Size();
  return result;
}

// One RIFF without 'idx1' holding a video and an audio stream, each frame
// followed by one audio chunk. The video's 'indx' is a super index naming two
// 'ix00' standard indexes inside 'movi' (the second with a 64-bit base); the
// audio's 'indx' is itself a standard index, as some writers store short
// movies. `frames` and `audioChunks` have the same length.
inline std::vector<uint8_t> BuildOpenDmlMovieWithAudio(const std::vector<TestChunk>& frames, const TestStream& audio,
                                                       const std::vector<std::vector<uint8_t>>& audioChunks) {
  Bytes b;
  const size_t riff = b.BeginList("RIFF", "AVI ");
  const size_t hdrl = b.BeginList("LIST", "hdrl");
  WriteMainHeader(b, 2);
  const size_t videoList = b.BeginList("LIST", "strl");
  const TestStream video{"vids", "qks1", 25, 1, uint32_t(frames.size()), 0, BitmapFormat(16, 8, "qks1")};
  WriteStreamHeader(b, video);
  b.Chunk("strf", video.format);
  const size_t indx = b.Begin("indx");
  b.U16(4);
  b.U8(0);
  b.U8(0);  // index of indexes
  b.U32(2);
  b.Tag("00dc");
  b.U32(0);
  b.U32(0);
  b.U32(0);
  const size_t superEntries = b.Size();
  for (int i = 0; i < 2; ++i) {
    b.U64(0);
    b.U32(0);
    b.U32(0);
  }
  b.End(indx);
  b.End(videoList);
  const size_t audioList = b.BeginList("LIST", "strl");
  WriteStreamHeader(b, audio);
  b.Chunk("strf", audio.format);
  const size_t audioIndx = b.Begin("indx");
  b.U16(2);
  b.U8(0);
  b.U8(1);  // index of chunks
  b.U32(uint32_t(audioChunks.size()));
  b.Tag("01wb");
  const size_t audioBase = b.Size();
  b.U64(0);
  b.U32(0);
  const size_t audioEntries = b.Size();
  for (size_t i = 0; i < audioChunks.size(); ++i) b.U64(0);
  b.End(audioIndx);
  b.End(audioList);
  b.End(hdrl);
  const size_t movi = b.BeginList("LIST", "movi");
  std::vector<size_t> videoData, audioData;
  for (size_t i = 0; i < frames.size(); ++i) {
    b.Chunk(frames[i].id, frames[i].payload);
    videoData.push_back(b.Size() - frames[i].payload.size() - (frames[i].payload.size() & 1));
    b.Chunk("01wb", audioChunks[i]);
    audioData.push_back(b.Size() - audioChunks[i].size() - (audioChunks[i].size() & 1));
  }
  const size_t half = frames.size() / 2;
  const std::vector<size_t> first(videoData.begin(), videoData.begin() + std::ptrdiff_t(half));
  const std::vector<size_t> second(videoData.begin() + std::ptrdiff_t(half), videoData.end());
  const uint64_t firstIx = b.Size();
  WriteStandardIndex(b, first, 0, 0, frames, 0);
  const uint64_t secondIx = b.Size();
  WriteStandardIndex(b, second, movi, 0, frames, half);
  b.End(movi);
  b.End(riff);
  b.PatchU64(superEntries, firstIx);
  b.PatchU32(superEntries + 8, uint32_t(8 + 24 + 8 * first.size()));
  b.PatchU32(superEntries + 12, uint32_t(first.size()));
  b.PatchU64(superEntries + 16, secondIx);
  b.PatchU32(superEntries + 24, uint32_t(8 + 24 + 8 * second.size()));
  b.PatchU32(superEntries + 28, uint32_t(second.size()));
  b.PatchU64(audioBase, movi);
  for (size_t i = 0; i < audioChunks.size(); ++i) {
    b.PatchU32(audioEntries + 8 * i, uint32_t(audioData[i] - movi));
    b.PatchU32(audioEntries + 8 * i + 4, uint32_t(audioChunks[i].size()));
  }
  return b.data;
}

}  // namespace clipvane::avi::test
