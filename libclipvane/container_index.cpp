#include "libclipvane/container_index.h"

#include <algorithm>
#include <cstring>

#include "clipvane.h"
#include "format/packet_format.h"

namespace clipvane::player {

namespace {

class Scan {
 public:
  Scan(ByteInput& input, ContainerIndex& index, std::vector<Finding>* findings)
      : input_(input), index_(index), findings_(findings) {}

  int Run();

 private:
  // Records a broken rule; returns true when the scan must stop.
  bool Fail(int code, bool fatal, std::string text) {
    if (fatal && status_ == 0) status_ = code;
    if (findings_ != nullptr) findings_->push_back(Finding{code, fatal, std::move(text)});
    return fatal && findings_ == nullptr;
  }
  bool CheckHeader();
  bool WalkRecords();
  bool ReadCodebooks();
  bool ReadSeekTable();

  ByteInput& input_;
  ContainerIndex& index_;
  std::vector<Finding>* findings_;
  int status_ = 0;
  bool recordsUsable_ = true;
};

bool Scan::CheckHeader() {
  const ContainerHeader& h = index_.header;
  const uint64_t size = index_.fileSize;
  bool stop = false;
  if (h.audioSampleRate != 0) {
    if (h.audioChannels == 0 || h.audioChannels > kMaxAudioChannels) {
      stop |= Fail(CLIPVANE_ERROR_HEADER, true, "audioChannels is " + std::to_string(h.audioChannels) +
                                                    "; audio needs 1 or 2 channels");
    } else if (h.codebookOffset < kContainerHeaderBytes || h.codebookOffset % kRecordAlignment != 0) {
      stop |= Fail(CLIPVANE_ERROR_HEADER, true,
                   "codebookOffset " + std::to_string(h.codebookOffset) + " is not a record boundary");
    } else if (uint64_t(h.codebookOffset) + CodebookBlockBytes(h.audioChannels) > h.seekTableOffset) {
      stop |= Fail(CLIPVANE_ERROR_HEADER, true, "the codebook block runs into the seek table");
    } else if (h.seekTableOffset - (uint64_t(h.codebookOffset) + CodebookBlockBytes(h.audioChannels)) > 3) {
      Fail(CLIPVANE_ERROR_HEADER, false, "more than 3 bytes between the codebook block and the seek table");
    }
  } else if (h.audioChannels != 0 || h.codebookOffset != 0) {
    stop |= Fail(CLIPVANE_ERROR_HEADER, true, "audioChannels or codebookOffset set without an audioSampleRate");
  }
  if (h.seekTableOffset < kContainerHeaderBytes || h.seekTableOffset % 4 != 0) {
    stop |= Fail(CLIPVANE_ERROR_HEADER, true,
                 "seekTableOffset " + std::to_string(h.seekTableOffset) + " is not a multiple of 4 after the header");
  }
  const uint64_t tableEnd = uint64_t(h.seekTableOffset) + uint64_t(h.seekEntryCount) * kSeekEntryBytes;
  if (tableEnd > size) {
    stop |= Fail(CLIPVANE_ERROR_HEADER, true, "the seek table ends at " + std::to_string(tableEnd) +
                                                  ", past the end of the file (" + std::to_string(size) + ")");
  } else if (tableEnd != size) {
    Fail(CLIPVANE_ERROR_HEADER, false, std::to_string(size - tableEnd) + " bytes follow the seek table");
  }
  if (stop || status_ != 0) return false;
  index_.recordsEnd = h.audioSampleRate != 0 ? h.codebookOffset : h.seekTableOffset;
  return true;
}

bool Scan::WalkRecords() {
  const ContainerHeader& h = index_.header;
  uint64_t at = kContainerHeaderBytes;
  while (at < index_.recordsEnd) {
    const std::string name = "record " + std::to_string(index_.recordOffsets.size()) + " at " + std::to_string(at);
    uint8_t head[kRecordHeaderBytes];
    if (at + kRecordHeaderBytes > index_.recordsEnd) {
      recordsUsable_ = false;
      return !Fail(CLIPVANE_ERROR_RECORDS, true, name + ": its two 16-bit fields run past the records");
    }
    if (!input_.ReadAt(at, head, sizeof head)) {
      recordsUsable_ = false;
      return !Fail(CLIPVANE_ERROR_IO, true, name + ": cannot be read");
    }
    const RecordHead record = ParseRecordHead(head);
    if (record.totalBytes % kRecordAlignment != 0) {
      recordsUsable_ = false;
      return !Fail(CLIPVANE_ERROR_RECORDS, true,
                   name + ": size " + std::to_string(record.totalBytes) + " is not a multiple of 4");
    }
    if (at + record.totalBytes > index_.recordsEnd) {
      recordsUsable_ = false;
      return !Fail(CLIPVANE_ERROR_RECORDS, true, name + ": runs past the end of the records");
    }
    const uint64_t packets = uint64_t(record.blockCount) * h.audioChannels;
    if (h.audioSampleRate == 0 && record.blockCount != 0) {
      if (Fail(CLIPVANE_ERROR_RECORDS, true, name + ": audio blocks in a file without audio")) return false;
    } else if (packets * kMinPacketBytes > record.totalBytes - kRecordHeaderBytes) {
      if (Fail(CLIPVANE_ERROR_RECORDS, true,
               name + ": " + std::to_string(record.blockCount) + " blocks cannot fit in the record")) {
        return false;
      }
    }
    index_.recordOffsets.push_back(uint32_t(at));
    if (record.totalBytes > index_.largestRecord) index_.largestRecord = record.totalBytes;
    at += record.totalBytes;
  }
  if (h.maxFrameRecordSize != index_.largestRecord) {
    Fail(CLIPVANE_ERROR_HEADER, false,
         "maxFrameRecordSize is " + std::to_string(h.maxFrameRecordSize) + ", the largest record has " +
             std::to_string(index_.largestRecord) + " bytes");
  }
  if (index_.recordOffsets.size() > h.frameCount) {
    Fail(CLIPVANE_ERROR_HEADER, false,
         std::to_string(index_.recordOffsets.size()) + " records, more than frameCount " + std::to_string(h.frameCount));
  }
  return true;
}

bool Scan::ReadCodebooks() {
  const ContainerHeader& h = index_.header;
  if (h.audioSampleRate == 0) return true;
  index_.codebooks.resize(CodebookBlockBytes(h.audioChannels));
  if (!input_.ReadAt(h.codebookOffset, index_.codebooks.data(), index_.codebooks.size())) {
    return !Fail(CLIPVANE_ERROR_IO, true, "the codebook block cannot be read");
  }
  const uint64_t blockEnd = uint64_t(h.codebookOffset) + index_.codebooks.size();
  uint8_t padding[4] = {};
  const std::size_t gap = std::size_t(h.seekTableOffset - blockEnd);
  if (gap <= 3 && input_.ReadAt(blockEnd, padding, gap)) {
    for (std::size_t i = 0; i < gap; ++i) {
      if (padding[i] != 0) {
        Fail(CLIPVANE_ERROR_HEADER, false, "non-zero padding before the seek table");
        break;
      }
    }
  }
  return true;
}

bool Scan::ReadSeekTable() {
  const ContainerHeader& h = index_.header;
  // The table's size was checked against the file, so this allocation is bounded by it.
  std::vector<uint8_t> table(std::size_t(h.seekEntryCount) * kSeekEntryBytes);
  if (!input_.ReadAt(h.seekTableOffset, table.data(), table.size())) {
    return !Fail(CLIPVANE_ERROR_IO, true, "the seek table cannot be read");
  }
  const std::size_t records = index_.recordOffsets.size();
  index_.seekTable.reserve(h.seekEntryCount);
  for (uint32_t i = 0; i < h.seekEntryCount; ++i) {
    const SeekEntry e = ParseSeekEntry(&table[std::size_t(i) * kSeekEntryBytes]);
    const std::string name = "seek entry " + std::to_string(i) + " (frame " + std::to_string(e.frame) + ")";
    if (!index_.seekTable.empty() && e.frame <= index_.seekTable.back().frame) {
      if (Fail(CLIPVANE_ERROR_SEEK_TABLE, true, name + ": frames are not in increasing order")) return false;
    }
    if (e.offset != 0 && recordsUsable_) {
      if (e.frame < records) {
        if (e.offset != index_.recordOffsets[e.frame]) {
          if (Fail(CLIPVANE_ERROR_SEEK_TABLE, true, name + ": offset " + std::to_string(e.offset) +
                                                        " is not where the frame's record starts")) {
            return false;
          }
        } else {
          index_.keyFrames.push_back(e.frame);
        }
      } else if (e.frame != records || e.offset != index_.recordsEnd) {
        // Only a key frame where the conversion stopped points past the last record.
        if (Fail(CLIPVANE_ERROR_SEEK_TABLE, true, name + ": points at a record the file does not have")) return false;
      }
    }
    index_.seekTable.push_back(e);
  }
  return true;
}

int Scan::Run() {
  index_ = ContainerIndex{};
  index_.fileSize = input_.Size();
  uint8_t bytes[kContainerHeaderBytes];
  if (index_.fileSize < kContainerHeaderBytes) {
    Fail(CLIPVANE_ERROR_NOT_CONTAINER, true, "the file is shorter than a container header");
    return status_;
  }
  if (!input_.ReadAt(0, bytes, sizeof bytes)) {
    Fail(CLIPVANE_ERROR_IO, true, "the header cannot be read");
    return status_;
  }
  index_.header = ParseHeader(bytes);
  if (std::memcmp(index_.header.magic, kContainerMagic, 4) != 0) {
    Fail(CLIPVANE_ERROR_NOT_CONTAINER, true, "the file does not begin with \"QKDS\"");
    return status_;
  }
  if (!CheckHeader()) return status_;
  if (!WalkRecords()) return status_;
  if (!ReadCodebooks()) return status_;
  ReadSeekTable();
  return status_;
}

}  // namespace

bool ContainerIndex::IsKeyFrame(uint32_t frame) const {
  return std::binary_search(keyFrames.begin(), keyFrames.end(), frame);
}

int ScanContainer(ByteInput& input, ContainerIndex& index, std::vector<Finding>* findings) {
  return Scan(input, index, findings).Run();
}

int64_t AudioBytesAfterVideo(const uint8_t* payload, uint32_t payloadBytes, uint32_t videoBytes, uint32_t packets) {
  if (videoBytes > payloadBytes) return -1;
  uint32_t at = videoBytes;
  for (uint32_t i = 0; i < packets; ++i) {
    if (payloadBytes - at < uint32_t(kPacketHeaderBytes)) return -1;
    const uint32_t size = uint32_t(AudioPacketSize(payload + at));
    if (payloadBytes - at < size) return -1;
    at += size;
  }
  if (payloadBytes - at > 3) return -1;
  for (uint32_t p = at; p < payloadBytes; ++p) {
    if (payload[p] != 0) return -1;
  }
  return int64_t(at - videoBytes);
}

}  // namespace clipvane::player
