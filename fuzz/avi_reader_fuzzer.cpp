// libFuzzer target for the AVI reader: opens the input as a movie and uses
// everything the converter and the audio grabber use, to the last frame and
// the last audio byte. The same bytes are also opened from a file, which must
// give the same index and the same data as the buffer. Inconsistent answers
// trap, so the fuzzer reports them like crashes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "avi/avi_reader.h"
#include "fuzz/private_directory.h"

namespace {

// A hostile index may list the same large region many times; reading all of
// it is legitimate but slow, so one input reads at most this much.
constexpr uint64_t kReadBudgetBytes = uint64_t(64) << 20;

std::string g_moviePath;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// A running FNV-1a digest of everything the reader answers.
class Digest {
 public:
  void Add(const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) value_ = (value_ ^ p[i]) * 0x100000001b3ull;
  }
  void Add(uint64_t v) { Add(&v, sizeof v); }
  void Add(const std::vector<uint8_t>& bytes) {
    Add(bytes.size());
    Add(bytes.data(), bytes.size());
  }
  uint64_t Value() const { return value_; }

 private:
  uint64_t value_ = 0xcbf29ce484222325ull;
};

void AddHeader(Digest& digest, const clipvane::avi::StreamHeader& h) {
  for (const uint32_t field : {h.fccType, h.fccHandler, h.flags, h.scale, h.rate, h.start, h.length,
                               h.suggestedBufferSize, h.sampleSize}) {
    digest.Add(field);
  }
}

void AddChunks(Digest& digest, const std::vector<clipvane::avi::ChunkRef>& chunks) {
  digest.Add(chunks.size());
  for (const clipvane::avi::ChunkRef& c : chunks) {
    digest.Add(c.offset);
    digest.Add(uint64_t(c.size) << 1 | uint64_t(c.key));
  }
}

// Reads everything from an opened reader; returns the digest of what it said.
uint64_t Exercise(clipvane::avi::AviReader& reader, size_t size) {
  Digest digest;
  AddHeader(digest, reader.VideoHeader());
  AddHeader(digest, reader.AudioHeader());
  digest.Add(reader.VideoFormat());
  digest.Add(reader.AudioFormat());
  digest.Add(uint64_t(reader.AudioFormatTag()) << 48 | uint64_t(reader.AudioChannels()) << 32 |
             uint64_t(reader.AudioBitsPerSample()) << 16 | reader.AudioBlockAlign());
  digest.Add(uint64_t(reader.AudioSubFormatIsPcm()) << 16 | uint64_t(reader.VideoIndexSource()) << 8 |
             uint64_t(reader.AudioIndexSource()));
  AddChunks(digest, reader.VideoChunks());
  AddChunks(digest, reader.AudioChunks());

  uint64_t budget = kReadBudgetBytes;
  const int32_t frames = reader.IndexedFrameCount();
  Check(frames >= 0 && uint64_t(frames) <= size / 8 + 1);
  Check(size_t(frames) == reader.VideoChunks().size());
  std::vector<uint8_t> bytes;
  int32_t previousKey = -1;
  for (int32_t key = reader.FindKeyFrame(0); key >= 0; key = reader.FindKeyFrame(key + 1)) {
    Check(key > previousKey && key < frames && reader.VideoChunks()[size_t(key)].key);
    previousKey = key;
  }
  for (int32_t frame = -1; frame <= frames; ++frame) {
    uint32_t frameBytes = 0;
    const bool known = reader.FrameSize(frame, &frameBytes);
    Check(known == (frame >= 0 && frame < frames));
    const bool inFile = reader.FrameInFile(frame);
    Check(!inFile || known);
    if (known && frameBytes > budget) continue;
    const bool read = reader.ReadFrame(frame, bytes);
    Check(read == inFile);
    if (read) {
      Check(bytes.size() == frameBytes);
      budget -= frameBytes;
      digest.Add(bytes);
    }
  }

  const uint32_t frameBytes = reader.AudioFrameBytes();
  Check(frameBytes != 0);
  uint64_t total = 0;
  for (int64_t position = 0; budget > 0;) {
    const uint32_t expected = reader.AudioChunkBytesAt(position);
    const uint32_t got = reader.ReadAudioChunk(position, bytes);
    if (got == 0) break;
    Check(got == expected && got == bytes.size() && got % frameBytes == 0);
    digest.Add(bytes);
    total += got;
    budget -= got < budget ? got : budget;
    position += got / frameBytes;
  }
  Check(total <= reader.AudioBytes());
  std::vector<uint8_t> none;
  Check(reader.ReadAudioChunk(-1, none) == 0);
  return digest.Value();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  clipvane::fuzz::CreatePrivateDirectory("avi_reader_fuzzer");
  g_moviePath = clipvane::fuzz::PrivateDirectoryPath() + "/movie.avi";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  clipvane::avi::AviReader reader;
  const bool opened = reader.OpenBuffer(std::vector<uint8_t>(data, data + size));
  if (!opened) Check(!reader.HasVideo() && !reader.HasAudio() && reader.IndexedFrameCount() == 0);
  const uint64_t fromBuffer = opened ? Exercise(reader, size) : 0;

  std::FILE* file = std::fopen(g_moviePath.c_str(), "wb");
  Check(file != nullptr);
  Check(size == 0 || std::fwrite(data, 1, size, file) == size);
  Check(std::fclose(file) == 0);
  clipvane::avi::AviReader fromFile;
  Check(fromFile.Open(g_moviePath) == opened);
  if (opened) Check(Exercise(fromFile, size) == fromBuffer);
  return 0;
}
