#pragma once
// The three ways to find a stream's chunks, in the order we trust them:
// OpenDML indexes (the only ones that cover every RIFF of a large movie), the
// legacy 'idx1' (first RIFF only, offsets relative to 'movi' or absolute),
// and, when neither helps, a walk over the 'movi' lists themselves.

#include <cstdint>
#include <vector>

#include "avi/avi_reader.h"
#include "avi/byte_source.h"
#include "avi/movie_layout.h"

namespace clipvane::avi {

// Appends at most `maxChunks` chunks in total to the output lists. Every
// index entry describes a chunk with an 8-byte header somewhere in the file,
// so the caller passes a limit derived from the file size: a hostile index
// can never make the lists larger than the file could really hold.

// Chunks of `stream` from its OpenDML super index (or a standard index found
// in its place). False when the stream has no usable OpenDML index.
bool ReadOpenDmlIndex(ByteSource& source, const StreamInfo& stream, uint64_t maxChunks,
                      std::vector<ChunkRef>* chunks);

// Chunks of the video and audio streams listed in 'idx1'. False when there is
// no 'idx1' or its offsets lead to no matching chunk either way they are read.
bool ReadIdx1Index(ByteSource& source, const MovieLayout& layout, uint64_t maxChunks,
                   std::vector<ChunkRef>* video, std::vector<ChunkRef>* audio, bool* absolute);

// Chunks of both streams found by walking the 'movi' lists, up to the first
// chunk that the file cuts short (a cut audio chunk keeps the bytes present).
// No chunk is marked as a key frame.
void ScanMoviLists(ByteSource& source, const MovieLayout& layout, uint64_t maxChunks,
                   std::vector<ChunkRef>* video, std::vector<ChunkRef>* audio);

}  // namespace clipvane::avi
