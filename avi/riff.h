#pragma once
// The RIFF layer: chunk headers, list bodies and the AVI chunk ids that name a
// stream ("00dc", "01wb"). A chunk's declared size is only a claim: every
// walker clips it to the enclosing list and to the file before trusting it.

#include <cstdint>
#include <functional>

#include "avi/avi_reader.h"
#include "avi/byte_source.h"
#include "format/little_endian.h"

namespace clipvane::avi {

inline constexpr uint32_t kRiff = FourCC('R', 'I', 'F', 'F');
inline constexpr uint32_t kList = FourCC('L', 'I', 'S', 'T');
inline constexpr uint32_t kFormAvi = FourCC('A', 'V', 'I', ' ');
inline constexpr uint32_t kFormAvix = FourCC('A', 'V', 'I', 'X');
inline constexpr uint32_t kHdrl = FourCC('h', 'd', 'r', 'l');
inline constexpr uint32_t kStrl = FourCC('s', 't', 'r', 'l');
inline constexpr uint32_t kStrh = FourCC('s', 't', 'r', 'h');
inline constexpr uint32_t kStrf = FourCC('s', 't', 'r', 'f');
inline constexpr uint32_t kIndx = FourCC('i', 'n', 'd', 'x');
inline constexpr uint32_t kMovi = FourCC('m', 'o', 'v', 'i');
inline constexpr uint32_t kIdx1 = FourCC('i', 'd', 'x', '1');
inline constexpr uint32_t kVids = FourCC('v', 'i', 'd', 's');
inline constexpr uint32_t kAuds = FourCC('a', 'u', 'd', 's');

inline constexpr uint32_t kChunkHeaderBytes = 8;
inline constexpr uint32_t kListHeaderBytes = 12;
// Lists inside lists deeper than this are not followed: real movies nest
// 'rec ' in 'movi' in 'RIFF', nothing deeper.
inline constexpr int kMaxListDepth = 4;


struct ChunkHeader {
  uint64_t offset = 0;      // of the 8-byte header
  uint32_t id = 0;
  uint32_t size = 0;        // as declared
  uint32_t listType = 0;    // form of a 'RIFF' or 'LIST' chunk, else 0
  uint64_t dataOffset = 0;  // first byte after the header (after the form for lists)
  uint64_t dataEnd = 0;     // end of the data, clipped to the enclosing limit
  bool truncated = false;   // the declared data runs past the enclosing limit

  bool IsList() const { return id == kList || id == kRiff; }
  // Where the next sibling starts: after the data and its pad byte. Uses the
  // declared size, so it may lie past the limit.
  uint64_t NextOffset() const { return offset + kChunkHeaderBytes + size + (size & 1u); }
};

// Reads the chunk header at `offset`; false when the header does not fit below `limit`.
bool ReadChunkHeader(ByteSource& source, uint64_t offset, uint64_t limit, ChunkHeader* header);

// Calls `visit` for each chunk in [begin, end) in order. A visit returning
// false stops the walk. The walk stops at the first header that does not fit.
void WalkChunks(ByteSource& source, uint64_t begin, uint64_t end,
                const std::function<bool(const ChunkHeader&)>& visit);

// Stream chunk ids: two decimal digits then a two-letter kind.
int32_t StreamNumberOf(uint32_t chunkId);  // -1 when the id names no stream
inline uint32_t ChunkKindOf(uint32_t chunkId) { return chunkId >> 16; }
inline constexpr uint32_t kKindCompressedVideo = uint32_t('d') | uint32_t('c') << 8;
inline constexpr uint32_t kKindUncompressedVideo = uint32_t('d') | uint32_t('b') << 8;
inline constexpr uint32_t kKindAudio = uint32_t('w') | uint32_t('b') << 8;
inline bool IsVideoFrameKind(uint32_t kind) {
  return kind == kKindCompressedVideo || kind == kKindUncompressedVideo;
}

}  // namespace clipvane::avi
