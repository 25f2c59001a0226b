#include "avi/index_builder.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "avi/riff.h"

namespace clipvane::avi {
namespace {

constexpr uint32_t kIdx1EntryBytes = 16;
constexpr uint32_t kIdx1KeyFrameFlag = 0x10;  // AVIIF_KEYFRAME
constexpr uint32_t kOpenDmlHeaderBytes = 24;  // common to super and standard indexes
constexpr uint8_t kIndexOfIndexes = 0;
constexpr uint8_t kIndexOfChunks = 1;
constexpr uint32_t kNonKeyFrameBit = 0x80000000u;  // in a standard index entry's size
constexpr size_t kEntriesPerRead = 4096;

uint64_t AddClamped(uint64_t base, uint64_t offset) {
  // An offset that wraps lands nowhere; reads of it fail later.
  return offset > std::numeric_limits<uint64_t>::max() - base
             ? std::numeric_limits<uint64_t>::max()
             : base + offset;
}

// Entries of a standard index ('ix##', or an 'indx' that is one) whose data
// starts at `offset` and holds `bytes` bytes.
void ReadStandardIndex(ByteSource& source, uint64_t offset, uint64_t bytes, uint64_t maxChunks,
                       std::vector<ChunkRef>* chunks) {
  uint8_t header[kOpenDmlHeaderBytes];
  if (bytes < kOpenDmlHeaderBytes || !source.ReadAt(offset, header, sizeof header)) return;
  const uint32_t longsPerEntry = LoadLE16(header);
  const uint8_t indexType = header[3];
  if (indexType != kIndexOfChunks || longsPerEntry < 2) return;
  const uint32_t stride = longsPerEntry * 4;
  const uint64_t base = LoadLE64(header + 12);
  const uint64_t entries = std::min<uint64_t>(LoadLE32(header + 4), (bytes - kOpenDmlHeaderBytes) / stride);
  std::vector<uint8_t> block;
  for (uint64_t done = 0; done < entries && chunks->size() < maxChunks;) {
    const uint64_t count = std::min<uint64_t>(entries - done, kEntriesPerRead);
    block.resize(size_t(count * stride));
    if (!source.ReadAt(offset + kOpenDmlHeaderBytes + done * stride, block.data(), block.size())) return;
    for (uint64_t i = 0; i < count && chunks->size() < maxChunks; ++i) {
      const uint8_t* entry = block.data() + i * stride;
      const uint32_t size = LoadLE32(entry + 4);
      ChunkRef ref;
      ref.offset = AddClamped(base, LoadLE32(entry));
      ref.size = size & ~kNonKeyFrameBit;
      ref.key = (size & kNonKeyFrameBit) == 0;
      chunks->push_back(ref);
    }
    done += count;
  }
}

// Reads 4 bytes at `offset` and tells whether they are `chunkId`.
bool ChunkIdAt(ByteSource& source, uint64_t offset, uint32_t chunkId) {
  uint8_t bytes[4];
  return source.ReadAt(offset, bytes, sizeof bytes) && LoadLE32(bytes) == chunkId;
}

bool ScanList(ByteSource& source, uint64_t begin, uint64_t end, int depth, const MovieLayout& layout,
              uint64_t maxChunks, std::vector<ChunkRef>* video, std::vector<ChunkRef>* audio) {
  bool keepGoing = true;
  WalkChunks(source, begin, end, [&](const ChunkHeader& chunk) {
    if (chunk.IsList()) {
      // 'rec ' groups interleaved chunks; anything nested deeper is not movie data.
      if (chunk.id == kList && depth + 1 < kMaxListDepth) {
        keepGoing = ScanList(source, chunk.dataOffset, chunk.dataEnd, depth + 1, layout, maxChunks,
                             video, audio);
      }
      return keepGoing;
    }
    const int32_t stream = StreamNumberOf(chunk.id);
    const uint32_t kind = ChunkKindOf(chunk.id);
    ChunkRef ref;
    ref.offset = chunk.dataOffset;
    ref.size = uint32_t(chunk.dataEnd - chunk.dataOffset);
    // A cut video frame cannot be decoded and is dropped; the samples of a
    // cut audio chunk that made it into the file are still good.
    if (stream >= 0 && stream == layout.video.number && IsVideoFrameKind(kind) && !chunk.truncated) {
      video->push_back(ref);
    } else if (stream >= 0 && stream == layout.audio.number && kind == kKindAudio) {
      audio->push_back(ref);
    }
    // When the list ends inside this chunk, whatever follows is not there.
    if (chunk.truncated || video->size() + audio->size() >= maxChunks) keepGoing = false;
    return keepGoing;
  });
  return keepGoing;
}

}  // namespace

bool ReadOpenDmlIndex(ByteSource& source, const StreamInfo& stream, uint64_t maxChunks,
                      std::vector<ChunkRef>* chunks) {
  chunks->clear();
  if (!stream.hasIndx || stream.indxBytes < kOpenDmlHeaderBytes) return false;
  uint8_t header[kOpenDmlHeaderBytes];
  if (!source.ReadAt(stream.indxOffset, header, sizeof header)) return false;
  const uint32_t longsPerEntry = LoadLE16(header);
  const uint8_t indexType = header[3];
  if (indexType == kIndexOfChunks) {
    ReadStandardIndex(source, stream.indxOffset, stream.indxBytes, maxChunks, chunks);
    return !chunks->empty();
  }
  if (indexType != kIndexOfIndexes || longsPerEntry < 4) return false;
  const uint32_t stride = longsPerEntry * 4;
  const uint64_t entries =
      std::min<uint64_t>(LoadLE32(header + 4), (stream.indxBytes - kOpenDmlHeaderBytes) / stride);
  // A super index that names the same standard index twice (or loops back to
  // one already read) would repeat frames; each one is read once.
  std::unordered_set<uint64_t> visited;
  for (uint64_t i = 0; i < entries && chunks->size() < maxChunks; ++i) {
    uint8_t entry[16];
    if (!source.ReadAt(stream.indxOffset + kOpenDmlHeaderBytes + i * stride, entry, sizeof entry)) break;
    const uint64_t indexOffset = LoadLE64(entry);
    if (!visited.insert(indexOffset).second) continue;
    ChunkHeader indexChunk;
    if (!ReadChunkHeader(source, indexOffset, source.Size(), &indexChunk) || indexChunk.IsList()) continue;
    ReadStandardIndex(source, indexChunk.dataOffset, indexChunk.dataEnd - indexChunk.dataOffset, maxChunks,
                      chunks);
  }
  return !chunks->empty();
}

bool ReadIdx1Index(ByteSource& source, const MovieLayout& layout, uint64_t maxChunks,
                   std::vector<ChunkRef>* video, std::vector<ChunkRef>* audio, bool* absolute) {
  video->clear();
  audio->clear();
  if (!layout.hasIdx1 || layout.moviLists.empty()) return false;
  const uint64_t moviBase = layout.moviLists.front().fourccOffset;
  const uint64_t entries = layout.idx1Bytes / kIdx1EntryBytes;
  bool baseKnown = false;
  uint64_t base = 0;
  std::vector<uint8_t> block;
  for (uint64_t done = 0; done < entries;) {
    const uint64_t count = std::min<uint64_t>(entries - done, kEntriesPerRead);
    block.resize(size_t(count * kIdx1EntryBytes));
    if (!source.ReadAt(layout.idx1Offset + done * kIdx1EntryBytes, block.data(), block.size())) break;
    for (uint64_t i = 0; i < count; ++i) {
      const uint8_t* entry = block.data() + i * kIdx1EntryBytes;
      const uint32_t chunkId = LoadLE32(entry);
      const int32_t stream = StreamNumberOf(chunkId);
      const uint32_t kind = ChunkKindOf(chunkId);
      const bool isVideo = stream >= 0 && stream == layout.video.number && IsVideoFrameKind(kind);
      const bool isAudio = stream >= 0 && stream == layout.audio.number && kind == kKindAudio;
      if (!isVideo && !isAudio) continue;
      const uint32_t offset = LoadLE32(entry + 8);
      if (!baseKnown) {
        // Muxers disagree on what the offsets count from: most from the 'movi'
        // form, some from the start of the file, a few from just after 'movi'.
        // The first entry of ours decides: its chunk id must be found there.
        const uint64_t candidates[] = {moviBase, 0, moviBase + 4};
        for (const uint64_t candidate : candidates) {
          if (ChunkIdAt(source, candidate + offset, chunkId)) {
            base = candidate;
            baseKnown = true;
            break;
          }
        }
        if (!baseKnown) return false;
        *absolute = base == 0;
      }
      ChunkRef ref;
      ref.offset = base + offset + kChunkHeaderBytes;
      ref.size = LoadLE32(entry + 12);
      ref.key = (LoadLE32(entry + 4) & kIdx1KeyFrameFlag) != 0;
      (isVideo ? video : audio)->push_back(ref);
      if (video->size() + audio->size() >= maxChunks) return true;
    }
    done += count;
  }
  return baseKnown;
}

void ScanMoviLists(ByteSource& source, const MovieLayout& layout, uint64_t maxChunks,
                   std::vector<ChunkRef>* video, std::vector<ChunkRef>* audio) {
  video->clear();
  audio->clear();
  for (const MoviList& movi : layout.moviLists) {
    if (!ScanList(source, movi.begin, movi.end, 1, layout, maxChunks, video, audio)) break;
  }
}

}  // namespace clipvane::avi
