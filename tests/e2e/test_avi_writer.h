#pragma once
// A small AVI writer for tests and benchmarks: one 'qks1' video stream and an
// optional 16-bit PCM audio stream, interleaved frame by frame, with an idx1
// index. Enough to build the movies the corpus lacks (dropped frames, huge
// frames, first frame not a key frame, long movies).

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace clipvane::testing {

struct TestMovie {
  uint32_t rate = 25;
  uint32_t scale = 1;
  int32_t width = 160;
  int32_t height = 120;
  uint32_t handler = 0x31736b71;  // "qks1"
  // Video frames: their bytes and whether each is a key frame.
  std::vector<std::vector<uint8_t>> frames;
  std::vector<bool> keyFrames;
  // Audio: 0 channels for none.
  uint16_t channels = 0;
  uint32_t sampleRate = 22050;
  // Interleaved samples; split into one chunk per video frame.
  std::vector<int16_t> samples;
  // Store the format as WAVE_FORMAT_EXTENSIBLE with a PCM sub-format.
  bool extensible = false;
  // The video length the stream header announces; -1: the number of frames.
  int64_t announcedFrames = -1;
};

class ByteSink {
 public:
  explicit ByteSink(std::FILE* file) : file_(file) {}
  void U8(uint8_t v) { Bytes(&v, 1); }
  void U16(uint16_t v) { uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)}; Bytes(b, 2); }
  void U32(uint32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    Bytes(b, 4);
  }
  void Tag(const char* t) { Bytes(reinterpret_cast<const uint8_t*>(t), 4); }
  void Bytes(const uint8_t* p, std::size_t n) {
    if (n) std::fwrite(p, 1, n, file_);
    position_ += n;
  }
  uint64_t Position() const { return position_; }
  void PatchU32(uint64_t at, uint32_t v) {
    long here = std::ftell(file_);
    std::fseek(file_, long(at), SEEK_SET);
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    std::fwrite(b, 1, 4, file_);
    std::fseek(file_, here, SEEK_SET);
  }

 private:
  std::FILE* file_;
  uint64_t position_ = 0;
};

// Writes `movie` to `path`. `audioForFrame(i)` gives how many sample frames of
// audio go into the chunk after video frame i (default: an even split).
inline bool WriteTestMovie(const std::string& path, const TestMovie& movie) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  ByteSink out(file);
  const bool audio = movie.channels > 0;
  const std::size_t frames = movie.frames.size();
  const std::size_t sampleFrames = audio ? movie.samples.size() / movie.channels : 0;

  out.Tag("RIFF");
  uint64_t riffSize = out.Position();
  out.U32(0);
  out.Tag("AVI ");

  out.Tag("LIST");
  uint64_t hdrlSize = out.Position();
  out.U32(0);
  out.Tag("hdrl");
  out.Tag("avih");
  out.U32(56);
  out.U32(uint32_t(1000000.0 * movie.scale / movie.rate));
  out.U32(0);
  out.U32(0);
  out.U32(0x10);  // has index
  out.U32(uint32_t(frames));
  out.U32(0);
  out.U32(audio ? 2 : 1);
  out.U32(0);
  out.U32(uint32_t(movie.width));
  out.U32(uint32_t(movie.height));
  for (int i = 0; i < 4; ++i) out.U32(0);

  // Video stream list.
  out.Tag("LIST");
  out.U32(4 + 8 + 56 + 8 + 40);
  out.Tag("strl");
  out.Tag("strh");
  out.U32(56);
  out.Tag("vids");
  out.U32(movie.handler);
  out.U32(0);
  out.U16(0);
  out.U16(0);
  out.U32(0);
  out.U32(movie.scale);
  out.U32(movie.rate);
  out.U32(0);
  out.U32(movie.announcedFrames >= 0 ? uint32_t(movie.announcedFrames) : uint32_t(frames));
  out.U32(0);
  out.U32(0xFFFFFFFF);
  out.U32(0);
  for (int i = 0; i < 4; ++i) out.U16(0);
  out.Tag("strf");
  out.U32(40);
  out.U32(40);
  out.U32(uint32_t(movie.width));
  out.U32(uint32_t(movie.height));
  out.U16(1);
  out.U16(24);
  out.U32(movie.handler);
  out.U32(uint32_t(movie.width * movie.height * 3));
  for (int i = 0; i < 4; ++i) out.U32(0);

  if (audio) {
    const uint32_t formatBytes = movie.extensible ? 40 : 16;
    out.Tag("LIST");
    out.U32(4 + 8 + 56 + 8 + formatBytes);
    out.Tag("strl");
    out.Tag("strh");
    out.U32(56);
    out.Tag("auds");
    out.U32(1);
    out.U32(0);
    out.U16(0);
    out.U16(0);
    out.U32(0);
    out.U32(1);
    out.U32(movie.sampleRate);
    out.U32(0);
    out.U32(uint32_t(sampleFrames));
    out.U32(0);
    out.U32(0xFFFFFFFF);
    out.U32(uint32_t(movie.channels) * 2);
    for (int i = 0; i < 4; ++i) out.U16(0);
    out.Tag("strf");
    out.U32(formatBytes);
    out.U16(movie.extensible ? 0xFFFE : 1);
    out.U16(movie.channels);
    out.U32(movie.sampleRate);
    out.U32(movie.sampleRate * movie.channels * 2);
    out.U16(uint16_t(movie.channels * 2));
    out.U16(16);
    if (movie.extensible) {
      static const uint8_t kPcmSubFormat[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
      out.U16(22);
      out.U16(16);
      out.U32(movie.channels == 1 ? 0x4 : 0x3);
      out.Bytes(kPcmSubFormat, 16);
    }
  }
  out.PatchU32(hdrlSize, uint32_t(out.Position() - hdrlSize - 4));

  struct IndexEntry {
    const char* tag;
    uint32_t flags;
    uint32_t offset;
    uint32_t size;
  };
  std::vector<IndexEntry> index;
  out.Tag("LIST");
  uint64_t moviSize = out.Position();
  out.U32(0);
  uint64_t moviStart = out.Position();
  out.Tag("movi");
  std::size_t sampleCursor = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const std::vector<uint8_t>& frame = movie.frames[i];
    index.push_back({"00dc", movie.keyFrames[i] ? 0x10u : 0u, uint32_t(out.Position() - moviStart), uint32_t(frame.size())});
    out.Tag("00dc");
    out.U32(uint32_t(frame.size()));
    out.Bytes(frame.data(), frame.size());
    if (frame.size() % 2) out.U8(0);
    if (audio) {
      std::size_t end = (i + 1 == frames) ? sampleFrames : (i + 1) * sampleFrames / frames;
      if (end > sampleCursor) {
        uint32_t bytes = uint32_t((end - sampleCursor) * movie.channels * 2);
        index.push_back({"01wb", 0x10u, uint32_t(out.Position() - moviStart), bytes});
        out.Tag("01wb");
        out.U32(bytes);
        for (std::size_t s = sampleCursor * movie.channels; s < end * movie.channels; ++s) {
          out.U16(uint16_t(movie.samples[s]));
        }
        sampleCursor = end;
      }
    }
  }
  out.PatchU32(moviSize, uint32_t(out.Position() - moviSize - 4));
  out.Tag("idx1");
  out.U32(uint32_t(index.size() * 16));
  for (const IndexEntry& e : index) {
    out.Tag(e.tag);
    out.U32(e.flags);
    out.U32(e.offset);
    out.U32(e.size);
  }
  out.PatchU32(riffSize, uint32_t(out.Position() - 8));
  return std::fclose(file) == 0;
}

}  // namespace clipvane::testing
