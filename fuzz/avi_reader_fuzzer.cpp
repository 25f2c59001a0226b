// libFuzzer target for the AVI reader: opens the input as a movie and uses
// everything the converter and the audio grabber use, to the last frame and
// the last audio byte. Inconsistent answers trap, so the fuzzer reports them
// like crashes.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "avi/avi_reader.h"

namespace {

// A hostile index may list the same large region many times; reading all of
// it is legitimate but slow, so one input reads at most this much.
constexpr uint64_t kReadBudgetBytes = uint64_t(64) << 20;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  clipvane::avi::AviReader reader;
  if (!reader.OpenBuffer(std::vector<uint8_t>(data, data + size))) {
    Check(!reader.HasVideo() && !reader.HasAudio() && reader.IndexedFrameCount() == 0);
    return 0;
  }
  (void)reader.VideoHeader();
  (void)reader.VideoFormat();
  (void)reader.AudioHeader();
  (void)reader.AudioFormat();
  (void)reader.AudioFormatTag();
  (void)reader.AudioChannels();
  (void)reader.AudioBitsPerSample();
  (void)reader.AudioBlockAlign();
  (void)reader.AudioSubFormatIsPcm();
  (void)reader.VideoIndexSource();
  (void)reader.AudioIndexSource();

  uint64_t budget = kReadBudgetBytes;
  const int32_t frames = reader.IndexedFrameCount();
  Check(frames >= 0 && uint64_t(frames) <= size / 8 + 1);
  std::vector<uint8_t> bytes;
  int32_t previousKey = -1;
  for (int32_t key = reader.FindKeyFrame(0); key >= 0; key = reader.FindKeyFrame(key + 1)) {
    Check(key > previousKey && key < frames);
    previousKey = key;
  }
  for (int32_t frame = -1; frame <= frames; ++frame) {
    uint32_t frameBytes = 0;
    const bool known = reader.FrameSize(frame, &frameBytes);
    Check(known == (frame >= 0 && frame < frames));
    if (known && frameBytes > budget) continue;
    if (reader.ReadFrame(frame, bytes)) {
      Check(known && bytes.size() == frameBytes);
      budget -= frameBytes;
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
    total += got;
    budget -= got < budget ? got : budget;
    position += got / frameBytes;
  }
  Check(total <= reader.AudioBytes());
  std::vector<uint8_t> none;
  Check(reader.ReadAudioChunk(-1, none) == 0);
  return 0;
}
