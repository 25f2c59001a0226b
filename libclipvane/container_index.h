#pragma once
// The player library's reading of a container: where every record lies, the
// seek table and the codebooks, each size and offset checked against the file.
// The C interface (clipvane.h) and clipvane-probe are both built on this.

#include <cstdint>
#include <string>
#include <vector>

#include "format/container_format.h"

namespace clipvane::player {

// Random access to the container's bytes.
class ByteInput {
 public:
  virtual ~ByteInput() = default;
  virtual uint64_t Size() const = 0;
  // Reads `count` bytes at `offset`; false unless all of them were read.
  virtual bool ReadAt(uint64_t offset, void* buffer, std::size_t count) = 0;
};

// One broken rule. A fatal one makes the file unreadable for a player; the
// others are departures from what the converter writes that a reader can
// live with (clipvane-probe verify reports them all).
struct Finding {
  int code = 0;  // a CLIPVANE_ERROR_* value
  bool fatal = true;
  std::string text;
};

struct ContainerIndex {
  ContainerHeader header;
  uint64_t fileSize = 0;
  uint64_t recordsEnd = 0;               // where the codebook block (or the seek table) starts
  // One offset per record, in frame order: 4 bytes of index per record of at
  // least 4 bytes, so the index never outgrows the file.
  std::vector<uint32_t> recordOffsets;
  std::vector<uint32_t> keyFrames;  // records the seek table points at, increasing
  std::vector<SeekEntry> seekTable;
  std::vector<uint8_t> codebooks;  // audioChannels images, channel 0 first
  uint32_t largestRecord = 0;

  uint32_t RecordBytes(std::size_t frame) const {
    const uint64_t end = frame + 1 < recordOffsets.size() ? recordOffsets[frame + 1] : recordsEnd;
    return uint32_t(end - recordOffsets[frame]);
  }
  bool IsKeyFrame(uint32_t frame) const;
};

// Reads and checks the container. Without `findings` it stops at the first
// fatal rule and returns its code; with them it goes on as far as it safely
// can, records every broken rule, and returns the first fatal code (or 0).
int ScanContainer(ByteInput& input, ContainerIndex& index, std::vector<Finding>* findings);

// The bytes of `packets` audio packets that start `videoBytes` into a record's
// payload, when they fill the payload up to 0..3 zero bytes; -1 otherwise.
// Reads nothing outside payload[0 .. payloadBytes).
int64_t AudioBytesAfterVideo(const uint8_t* payload, uint32_t payloadBytes, uint32_t videoBytes, uint32_t packets);

}  // namespace clipvane::player

namespace clipvane::player {

// A file read with positioned reads; Open fails when the file cannot be opened.
class FileInput final : public ByteInput {
 public:
  ~FileInput() override;
  bool Open(const std::string& path);
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, std::size_t count) override;

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;  // the file's HANDLE
#else
  int fd_ = -1;
#endif
  uint64_t size_ = 0;
};

// Bytes in memory (the caller keeps them alive).
class MemoryInput final : public ByteInput {
 public:
  MemoryInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, std::size_t count) override;

 private:
  const uint8_t* data_;
  std::size_t size_;
};

}  // namespace clipvane::player
