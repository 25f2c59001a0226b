#pragma once
// The output container: a 48-byte header, one frame record per video frame,
// the codebook block (with audio), 0-3 zero bytes and the seek table. Every
// multi-byte field is little-endian; records start at multiples of 4. The
// converter writes and the player library reads through these definitions.

#include <cstddef>
#include <cstdint>

#include "format/codebook_image.h"
#include "format/little_endian.h"

namespace clipvane {

inline constexpr std::size_t kContainerHeaderBytes = 48;
inline constexpr uint8_t kContainerMagic[4] = {'Q', 'K', 'D', 'S'};
inline constexpr std::size_t kSeekEntryBytes = 8;

// Frame record: recordSize (16 bits, the bytes after itself), blockCount (16
// bits), then the video payload, the audio packets and 0-3 zero bytes.
inline constexpr std::size_t kRecordSizeOffset = 0;
inline constexpr std::size_t kRecordBlockCountOffset = 2;
inline constexpr std::size_t kRecordHeaderBytes = 4;
inline constexpr std::size_t kRecordAlignment = 4;
// A record's size field is 16 bits and counts the bytes after itself, so no
// record can be larger than this and still be walked by a player.
inline constexpr uint32_t kMaxFrameRecordBytes = 65535 + 2;
// Every offset in the container is 32 bits.
inline constexpr uint64_t kMaxContainerBytes = 0xFFFFFFFFull;
// The converter codes at most two channels.
inline constexpr uint32_t kMaxAudioChannels = 2;

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

inline void SerializeSeekEntry(const SeekEntry& entry, uint8_t* out) {
  StoreLE32(out, entry.frame);
  StoreLE32(out + 4, entry.offset);
}
inline SeekEntry ParseSeekEntry(const uint8_t* in) { return SeekEntry{LoadLE32(in), LoadLE32(in + 4)}; }

// The two 16-bit fields at the head of a frame record.
struct RecordHead {
  uint32_t totalBytes = 0;  // recordSize + 2: the whole record
  uint32_t blockCount = 0;
};
inline RecordHead ParseRecordHead(const uint8_t* in) {
  return RecordHead{uint32_t(LoadLE16(in + kRecordSizeOffset)) + 2u, LoadLE16(in + kRecordBlockCountOffset)};
}
inline void SerializeRecordHead(uint16_t recordSize, uint16_t blockCount, uint8_t* out) {
  StoreLE16(out + kRecordSizeOffset, recordSize);
  StoreLE16(out + kRecordBlockCountOffset, blockCount);
}

// Size of the codebook block: one image per channel, channel 0 first.
inline constexpr uint64_t CodebookBlockBytes(uint32_t channels) { return uint64_t(channels) * kCodebookImageBytes; }

}  // namespace clipvane
