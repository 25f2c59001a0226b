#pragma once
// The output container: a 48-byte header, one frame record per video frame,
// the codebook block (with audio), 0-3 zero bytes and the seek table. Every
// multi-byte field is little-endian; records start at multiples of 4.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/little_endian.h"

namespace clipvane {

inline constexpr std::size_t kContainerHeaderBytes = 48;
inline constexpr std::size_t kSeekEntryBytes = 8;
// A record's size field is 16 bits and counts the bytes after itself, so no
// record can be larger than this and still be walked by a player.
inline constexpr uint32_t kMaxFrameRecordBytes = 65535 + 2;
// Every offset in the container is 32 bits.
inline constexpr uint64_t kMaxContainerBytes = 0xFFFFFFFFull;

struct ContainerHeader {
  uint8_t magic[4] = {'Q', 'K', 'D', 'S'};
  uint32_t frameCount = 0;  // as announced by the input, not the records written
  int32_t width = 0;
  int32_t height = 0;
  uint32_t frameRate = 0;  // frames per second, unsigned 16.16
  uint32_t videoCodecData = 0;
  uint32_t audioSampleRate = 0;  // 0: no audio
  uint32_t audioChannels = 0;
  uint32_t maxFrameRecordSize = 0;
  uint32_t codebookOffset = 0;
  uint32_t seekTableOffset = 0;
  uint32_t seekEntryCount = 0;
};

struct SeekEntry {
  uint32_t frame = 0;
  uint32_t offset = 0;  // 0 for a key frame the conversion did not reach
};

void SerializeHeader(const ContainerHeader& header, uint8_t* out);
ContainerHeader ParseHeader(const uint8_t* in);

// The 16.16 frame rate: rate * 65536 / scale in extended precision, rounded
// half away from zero.
uint32_t FrameRate16x16(uint32_t rate, uint32_t scale);

// Builds one frame record in a reusable buffer: video payload, audio packets,
// padding to a multiple of 4, then the block count and the record size in
// front.
class FrameRecordBuilder {
 public:
  // Starts a record. The first 4 bytes of every frame are not copied.
  void Begin(const uint8_t* frame, std::size_t frameBytes);
  void AppendAudio(const uint8_t* bytes, std::size_t count);
  // Pads and fills in the two 16-bit fields. Returns the record's total size.
  std::size_t Complete(uint16_t blockCount);
  const uint8_t* Data() const { return buffer_.data(); }
  std::size_t Size() const { return buffer_.size(); }

 private:
  std::vector<uint8_t> buffer_;
};

}  // namespace clipvane
