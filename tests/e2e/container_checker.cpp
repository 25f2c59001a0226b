#include "tests/e2e/container_checker.h"

#include <cstdio>
#include <cstring>

#include "codec/audio_decoder.h"
#include "codebook/channel_codebook.h"
#include "platform/files.h"

namespace clipvane::testing {

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* f = platform::OpenFile(path, "rb");
  if (f == nullptr) return bytes;
  uint8_t buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  return bytes;
}

std::string CheckContainer(const std::string& path, const std::vector<uint32_t>& videoPayloadBytes,
                           CheckedContainer& out) {
  std::vector<uint8_t> file = ReadWholeFile(path);
  out = CheckedContainer{};
  out.fileSize = file.size();
  if (file.size() < kContainerHeaderBytes) return "file shorter than the header";
  ContainerHeader& h = out.header;
  h = ParseHeader(file.data());
  if (std::memcmp(h.magic, "QKDS", 4) != 0) return "bad magic";
  if (h.seekTableOffset % 4 != 0) return "seek table not aligned";
  if (uint64_t(h.seekTableOffset) + 8ull * h.seekEntryCount != file.size()) return "seek table does not end the file";
  const uint64_t recordsEnd = h.audioSampleRate != 0 ? h.codebookOffset : h.seekTableOffset;
  if (h.audioSampleRate == 0 && (h.codebookOffset != 0 || h.audioChannels != 0)) return "audio fields without audio";
  if (h.audioSampleRate != 0) {
    if (h.audioChannels < 1 || h.audioChannels > 2) return "bad channel count";
    if (uint64_t(h.codebookOffset) + uint64_t(h.audioChannels) * kCodebookImageBytes != h.seekTableOffset) {
      return "codebook block is not followed directly by the seek table";
    }
    out.codebookBlock.assign(file.begin() + h.codebookOffset, file.begin() + h.seekTableOffset);
  }

  uint64_t offset = kContainerHeaderBytes;
  uint32_t largest = 0;
  while (offset < recordsEnd) {
    if (offset % 4 != 0) return "record at " + std::to_string(offset) + " not aligned";
    if (offset + 4 > recordsEnd) return "record header runs past the records";
    CheckedRecord record;
    record.offset = offset;
    uint32_t size = LoadLE16(&file[offset]) + 2u;
    record.blockCount = LoadLE16(&file[offset + 2]);
    if (size % 4 != 0) return "record size not a multiple of 4";
    if (offset + size > recordsEnd) return "record runs past the records";
    std::size_t index = out.records.size();
    if (index >= videoPayloadBytes.size()) return "more records than frames";
    uint64_t video = videoPayloadBytes[index];
    if (4 + video > size) return "record " + std::to_string(index) + " shorter than its video";
    record.video.assign(file.begin() + offset + 4, file.begin() + offset + 4 + video);
    uint64_t audioStart = offset + 4 + video;
    uint64_t cursor = audioStart;
    for (uint32_t b = 0; b < record.blockCount; ++b) {
      for (uint32_t c = 0; c < h.audioChannels; ++c) {
        if (cursor + 4 > offset + size) return "packet header past the record";
        cursor += uint64_t(AudioPacketSize(&file[cursor]));
      }
    }
    uint64_t end = offset + size;
    if (cursor > end || end - cursor > 3) return "packets do not fill record " + std::to_string(index);
    for (uint64_t p = cursor; p < end; ++p) {
      if (file[p] != 0) return "non-zero padding in record " + std::to_string(index);
    }
    if (h.audioSampleRate == 0 && record.blockCount != 0) return "blocks without audio";
    record.audio.assign(file.begin() + audioStart, file.begin() + cursor);
    largest = std::max(largest, size);
    out.records.push_back(std::move(record));
    offset = end;
  }
  if (offset != recordsEnd) return "records do not end where the codebook or seek table starts";
  if (h.maxFrameRecordSize != largest) return "maxFrameRecordSize is not the largest record";

  for (uint32_t i = 0; i < h.seekEntryCount; ++i) {
    SeekEntry e{LoadLE32(&file[h.seekTableOffset + 8 * i]), LoadLE32(&file[h.seekTableOffset + 8 * i + 4])};
    if (i > 0 && e.frame <= out.seekTable.back().frame) return "seek table not in increasing frame order";
    if (e.frame < out.records.size()) {
      if (e.offset != out.records[e.frame].offset) return "seek entry " + std::to_string(i) + " misses its record";
    } else if (e.frame == out.records.size() && e.offset != 0) {
      // A key frame where the conversion stopped points where its record would have started.
      if (e.offset != recordsEnd) return "seek entry at the stop points elsewhere";
    } else if (e.offset != 0) {
      return "seek entry for an unreached frame has an offset";
    }
    out.seekTable.push_back(e);
  }
  return "";
}

}  // namespace clipvane::testing
