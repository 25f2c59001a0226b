#pragma once
// Builds small containers in memory for the reader's tests: real packets from
// the codec's packet writer, the built-in codebook, and a seek table. Each
// test then breaks one rule at a time.

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "clipvane.h"
#include "codebook/channel_codebook.h"
#include "codec/audio_packet.h"
#include "format/container_format.h"

namespace clipvane::testing {

struct SyntheticFrame {
  uint32_t videoBytes = 0;
  uint32_t blocks = 0;
  bool key = false;
};

struct SyntheticContainer {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> recordOffsets;
  std::vector<uint32_t> videoBytes;
  ContainerHeader header;
};

inline SyntheticContainer BuildContainer(const std::vector<SyntheticFrame>& frames, uint32_t channels,
                                         uint32_t seed = 1) {
  std::mt19937 rng(seed);
  SyntheticContainer c;
  c.bytes.resize(kContainerHeaderBytes);
  std::vector<SeekEntry> seek;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    const uint32_t at = uint32_t(c.bytes.size());
    c.recordOffsets.push_back(at);
    c.videoBytes.push_back(frames[f].videoBytes);
    if (frames[f].key) seek.push_back(SeekEntry{uint32_t(f), at});
    std::vector<uint8_t> body;
    for (uint32_t i = 0; i < frames[f].videoBytes; ++i) body.push_back(uint8_t(rng()));
    for (uint32_t b = 0; b < frames[f].blocks; ++b) {
      for (uint32_t ch = 0; ch < channels; ++ch) {
        AudioPacketFields fields;
        fields.lagCode = frames[f].key && b == 0 ? kLagCodeKey : b < 3 ? kLagCodeNone : int(rng() % 127);
        fields.gainIndex = int(rng() % 8);
        for (int& s : fields.spectrumIndex) s = int(rng() % 64);
        fields.gridPhase = int(rng() % 3);
        fields.packetMode = int(rng() % 4);
        for (auto& p : fields.pulses) p = uint8_t(rng() % (fields.packetMode == 0 ? 8 : 4));
        uint8_t packet[kMaxPacketBytes];
        const int size = WriteAudioPacket(fields, packet);
        body.insert(body.end(), packet, packet + size);
      }
    }
    while (body.size() % 4 != 0) body.push_back(0);
    uint8_t head[kRecordHeaderBytes];
    SerializeRecordHead(uint16_t(body.size() + 2), uint16_t(frames[f].blocks), head);
    c.bytes.insert(c.bytes.end(), head, head + kRecordHeaderBytes);
    c.bytes.insert(c.bytes.end(), body.begin(), body.end());
    c.header.maxFrameRecordSize = std::max<uint32_t>(c.header.maxFrameRecordSize, uint32_t(body.size() + 4));
  }
  c.header.frameCount = uint32_t(frames.size());
  c.header.width = 64;
  c.header.height = 48;
  c.header.frameRate = 25 << 16;
  if (channels > 0) {
    c.header.audioSampleRate = 8000;
    c.header.audioChannels = channels;
    c.header.codebookOffset = uint32_t(c.bytes.size());
    const CodebookImage image = ToImage(BuiltInCodebook());
    for (uint32_t ch = 0; ch < channels; ++ch) c.bytes.insert(c.bytes.end(), image.begin(), image.end());
  }
  c.header.seekTableOffset = uint32_t(c.bytes.size());
  c.header.seekEntryCount = uint32_t(seek.size());
  for (const SeekEntry& e : seek) {
    uint8_t entry[kSeekEntryBytes];
    SerializeSeekEntry(e, entry);
    c.bytes.insert(c.bytes.end(), entry, entry + kSeekEntryBytes);
  }
  SerializeHeader(c.header, c.bytes.data());
  return c;
}

// Callbacks over bytes in memory.
struct MemoryFile {
  const std::vector<uint8_t>* bytes = nullptr;
  int64_t position = 0;

  static int64_t Read(void* user, void* buffer, size_t size) {
    auto* f = static_cast<MemoryFile*>(user);
    const int64_t total = int64_t(f->bytes->size());
    const int64_t n = std::max<int64_t>(0, std::min<int64_t>(int64_t(size), total - f->position));
    if (n > 0) std::copy_n(f->bytes->data() + f->position, n, static_cast<uint8_t*>(buffer));
    f->position += n;
    return n;
  }
  static int64_t Seek(void* user, int64_t offset, int whence) {
    auto* f = static_cast<MemoryFile*>(user);
    const int64_t base = whence == CLIPVANE_SEEK_SET ? 0 : whence == CLIPVANE_SEEK_CUR ? f->position
                                                                                        : int64_t(f->bytes->size());
    if (base + offset < 0) return -1;
    f->position = base + offset;
    return f->position;
  }
};

inline constexpr clipvane_io kMemoryIo = {MemoryFile::Read, MemoryFile::Seek};

}  // namespace clipvane::testing
