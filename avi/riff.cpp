#include "avi/riff.h"

namespace clipvane::avi {

bool ReadChunkHeader(ByteSource& source, uint64_t offset, uint64_t limit, ChunkHeader* header) {
  if (offset > limit || limit - offset < kChunkHeaderBytes) return false;
  uint8_t bytes[kListHeaderBytes];
  if (!source.ReadAt(offset, bytes, kChunkHeaderBytes)) return false;
  ChunkHeader h;
  h.offset = offset;
  h.id = LoadLE32(bytes);
  h.size = LoadLE32(bytes + 4);
  h.dataOffset = offset + kChunkHeaderBytes;
  const uint64_t declaredEnd = h.dataOffset + h.size;
  if (h.IsList()) {
    // A list too short to hold its form, or whose form is cut off, is kept as
    // an opaque chunk so that no walker descends into it.
    if (h.size >= 4 && limit - h.dataOffset >= 4 &&
        source.ReadAt(h.dataOffset, bytes + kChunkHeaderBytes, 4)) {
      h.listType = LoadLE32(bytes + kChunkHeaderBytes);
      h.dataOffset += 4;
    } else {
      h.id = 0;
    }
  }
  h.truncated = declaredEnd > limit;
  h.dataEnd = h.truncated ? limit : declaredEnd;
  *header = h;
  return true;
}

void WalkChunks(ByteSource& source, uint64_t begin, uint64_t end,
                const std::function<bool(const ChunkHeader&)>& visit) {
  uint64_t offset = begin;
  ChunkHeader header;
  while (ReadChunkHeader(source, offset, end, &header)) {
    if (!visit(header)) return;
    // Every step moves forward by at least the 8-byte header.
    offset = header.NextOffset();
  }
}

int32_t StreamNumberOf(uint32_t chunkId) {
  const uint32_t tens = (chunkId & 0xFFu) - '0';
  const uint32_t ones = ((chunkId >> 8) & 0xFFu) - '0';
  if (tens > 9 || ones > 9) return -1;
  return int32_t(tens * 10 + ones);
}

}  // namespace clipvane::avi
