#include "avi/movie_layout.h"

#include "avi/riff.h"

namespace clipvane::avi {
namespace {

// Enough of 'strh' for every field we keep; the trailing frame rectangle is not used.
constexpr uint32_t kStreamHeaderBytes = 48;

StreamHeader ParseStreamHeader(const uint8_t* p) {
  StreamHeader h;
  h.fccType = LoadLE32(p + 0);
  h.fccHandler = LoadLE32(p + 4);
  h.flags = LoadLE32(p + 8);
  h.scale = LoadLE32(p + 20);
  h.rate = LoadLE32(p + 24);
  h.start = LoadLE32(p + 28);
  h.length = LoadLE32(p + 32);
  h.suggestedBufferSize = LoadLE32(p + 36);
  h.sampleSize = LoadLE32(p + 44);
  return h;
}

StreamInfo ParseStreamList(ByteSource& source, const ChunkHeader& list) {
  StreamInfo info;
  bool haveHeader = false;
  bool haveFormat = false;
  WalkChunks(source, list.dataOffset, list.dataEnd, [&](const ChunkHeader& chunk) {
    const uint64_t present = chunk.dataEnd - chunk.dataOffset;
    if (chunk.id == kStrh && !haveHeader) {
      // A short stream header leaves the missing fields at zero.
      uint8_t bytes[kStreamHeaderBytes] = {};
      const size_t take = present < kStreamHeaderBytes ? size_t(present) : kStreamHeaderBytes;
      if (source.ReadAt(chunk.dataOffset, bytes, take)) {
        info.header = ParseStreamHeader(bytes);
        haveHeader = true;
      }
    } else if (chunk.id == kStrf && !haveFormat && !chunk.truncated) {
      // The size was checked against the file by the walk, so this allocation
      // is never larger than the file itself.
      info.format.resize(size_t(present));
      if (source.ReadAt(chunk.dataOffset, info.format.data(), info.format.size())) {
        haveFormat = true;
      } else {
        info.format.clear();
      }
    } else if (chunk.id == kIndx && !info.hasIndx) {
      info.hasIndx = true;
      info.indxOffset = chunk.dataOffset;
      info.indxBytes = present;
    }
    return true;
  });
  return info;
}

void ParseHeaderList(ByteSource& source, const ChunkHeader& hdrl, MovieLayout* layout) {
  int32_t streamNumber = 0;
  WalkChunks(source, hdrl.dataOffset, hdrl.dataEnd, [&](const ChunkHeader& chunk) {
    if (chunk.id != kList || chunk.listType != kStrl) return true;
    StreamInfo info = ParseStreamList(source, chunk);
    info.number = streamNumber++;
    if (info.header.fccType == kVids && layout->video.number < 0) {
      layout->video = std::move(info);
    } else if (info.header.fccType == kAuds && layout->audio.number < 0) {
      layout->audio = std::move(info);
    }
    return true;
  });
}

void AddMoviList(const ChunkHeader& chunk, MovieLayout* layout) {
  MoviList movi;
  movi.fourccOffset = chunk.dataOffset - 4;
  movi.begin = chunk.dataOffset;
  movi.end = chunk.dataEnd;
  layout->moviLists.push_back(movi);
}

}  // namespace

bool ReadMovieLayout(ByteSource& source, MovieLayout* layout) {
  *layout = MovieLayout();
  const uint64_t fileEnd = source.Size();
  ChunkHeader riff;
  if (!ReadChunkHeader(source, 0, fileEnd, &riff) || riff.id != kRiff || riff.listType != kFormAvi) {
    return false;
  }
  WalkChunks(source, riff.dataOffset, riff.dataEnd, [&](const ChunkHeader& chunk) {
    if (chunk.id == kList && chunk.listType == kHdrl && !layout->hasHeaderList) {
      layout->hasHeaderList = true;
      ParseHeaderList(source, chunk, layout);
    } else if (chunk.id == kList && chunk.listType == kMovi) {
      AddMoviList(chunk, layout);
    } else if (chunk.id == kIdx1 && !layout->hasIdx1) {
      layout->hasIdx1 = true;
      layout->idx1Offset = chunk.dataOffset;
      layout->idx1Bytes = chunk.dataEnd - chunk.dataOffset;
    }
    return true;
  });
  // OpenDML continues the movie in further 'RIFF AVIX' chunks, each with its
  // own 'movi' list; they follow the first RIFF back to back.
  WalkChunks(source, riff.NextOffset(), fileEnd, [&](const ChunkHeader& extension) {
    if (extension.id != kRiff || extension.listType != kFormAvix) return false;
    WalkChunks(source, extension.dataOffset, extension.dataEnd, [&](const ChunkHeader& chunk) {
      if (chunk.id == kList && chunk.listType == kMovi) AddMoviList(chunk, layout);
      return true;
    });
    return true;
  });
  return true;
}

}  // namespace clipvane::avi
