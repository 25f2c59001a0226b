#pragma once
// The writer's side of the output container; the layout itself is in
// format/container_format.h.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/container_format.h"

namespace clipvane {

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
