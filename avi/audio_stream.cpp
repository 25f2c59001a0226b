// The audio side of the reader: the fields of the wave format and the
// "convenient" reads that hand out the stream one stored chunk at a time.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "avi/avi_reader.h"
#include "avi/reader_impl.h"
#include "avi/riff.h"

namespace clipvane::avi {
namespace {

// WAVEFORMATEX field offsets; plain PCM is often stored as the 16-byte
// WAVEFORMAT without cbSize, so each field is read only when present.
constexpr size_t kFormatTagAt = 0;
constexpr size_t kChannelsAt = 2;
constexpr size_t kBlockAlignAt = 12;
constexpr size_t kBitsPerSampleAt = 14;
constexpr size_t kSubFormatAt = 24;  // WAVE_FORMAT_EXTENSIBLE's GUID
constexpr uint16_t kFormatExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM as stored: 00000001-0000-0010-8000-00aa00389b71.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t FormatField(const std::vector<uint8_t>& format, size_t at) {
  return format.size() >= at + 2 ? LoadLE16(format.data() + at) : 0;
}

}  // namespace

uint16_t AviReader::AudioFormatTag() const { return FormatField(audioFormat_, kFormatTagAt); }
uint16_t AviReader::AudioChannels() const { return FormatField(audioFormat_, kChannelsAt); }
uint16_t AviReader::AudioBitsPerSample() const { return FormatField(audioFormat_, kBitsPerSampleAt); }
uint16_t AviReader::AudioBlockAlign() const { return FormatField(audioFormat_, kBlockAlignAt); }

bool AviReader::AudioSubFormatIsPcm() const {
  if (AudioFormatTag() != kFormatExtensible || audioFormat_.size() < kSubFormatAt + sizeof kPcmSubFormat) {
    return false;
  }
  return std::memcmp(audioFormat_.data() + kSubFormatAt, kPcmSubFormat, sizeof kPcmSubFormat) == 0;
}

uint32_t AviReader::AudioFrameBytes() const {
  const uint32_t blockAlign = AudioBlockAlign();
  if (blockAlign != 0) return blockAlign;
  const uint32_t fromBits = (uint32_t(AudioChannels()) * AudioBitsPerSample() + 7) / 8;
  // A format that describes no sample size at all still needs a unit to
  // count positions in; single bytes keep every position meaningful.
  return fromBits != 0 ? fromBits : 1;
}

// The bytes a convenient read at `position` returns, and where they start in
// the stream: from the sample frame to the end of its chunk, cut to whole
// frames; when less than one frame is left in the chunk, the frame that
// straddles the boundary.
uint64_t AviReader::AudioPieceRange(int64_t position, uint64_t* start) const {
  const uint64_t frameBytes = AudioFrameBytes();
  if (position < 0 || audioChunks_.empty() || uint64_t(position) >= audioBytes_ / frameBytes) return 0;
  *start = uint64_t(position) * frameBytes;
  const auto next = std::upper_bound(audioChunkStart_.begin(), audioChunkStart_.end(), *start);
  const size_t chunk = size_t(next - audioChunkStart_.begin()) - 1;
  const uint64_t chunkEnd = audioChunkStart_[chunk] + audioChunks_[chunk].size;
  const uint64_t whole = (chunkEnd - *start) / frameBytes * frameBytes;
  return whole != 0 ? whole : frameBytes;
}

uint32_t AviReader::AudioChunkBytesAt(int64_t position) const {
  uint64_t start = 0;
  return uint32_t(AudioPieceRange(position, &start));
}

uint32_t AviReader::ReadAudioChunk(int64_t position, std::vector<uint8_t>& out) {
  out.clear();
  uint64_t start = 0;
  const uint64_t bytes = AudioPieceRange(position, &start);
  if (bytes == 0 || !impl_->source) return 0;
  ByteSource& source = *impl_->source;
  const size_t firstChunk =
      size_t(std::upper_bound(audioChunkStart_.begin(), audioChunkStart_.end(), start) - audioChunkStart_.begin()) - 1;
  // The range may cover the tail of one chunk and the head of the next. It is
  // walked twice: first to check every piece against the file, so nothing is
  // allocated for bytes that are not there, then to read.
  const auto forEachPiece = [&](auto&& piece) {
    uint64_t streamPos = start;
    uint64_t filled = 0;
    for (size_t chunk = firstChunk; filled < bytes; ++chunk) {
      if (chunk >= audioChunks_.size()) return false;
      const ChunkRef& ref = audioChunks_[chunk];
      const uint64_t within = streamPos - audioChunkStart_[chunk];
      const uint64_t take = std::min<uint64_t>(bytes - filled, ref.size - within);
      if (ref.offset > UINT64_MAX - within || !piece(ref.offset + within, take, filled)) return false;
      streamPos += take;
      filled += take;
    }
    return true;
  };
  if (!forEachPiece([&](uint64_t offset, uint64_t take, uint64_t) { return source.Holds(offset, take); })) {
    return 0;
  }
  out.resize(size_t(bytes));
  if (!forEachPiece([&](uint64_t offset, uint64_t take, uint64_t filled) {
        return source.ReadAt(offset, out.data() + filled, size_t(take));
      })) {
    out.clear();
    return 0;
  }
  return uint32_t(bytes);
}

}  // namespace clipvane::avi
