#pragma once
// The top-level shape of an AVI file: the headers of the streams we use, the
// 'movi' lists of the first RIFF and of every 'AVIX' extension, and where the
// legacy 'idx1' index lies. Reading it touches only headers, never frame data.

#include <cstdint>
#include <vector>

#include "avi/avi_reader.h"
#include "avi/byte_source.h"

namespace clipvane::avi {

struct StreamInfo {
  int32_t number = -1;  // position of its 'strl' in the header list; -1 when absent
  StreamHeader header;
  std::vector<uint8_t> format;  // the 'strf' bytes
  bool hasIndx = false;         // an OpenDML 'indx' chunk belongs to the stream
  uint64_t indxOffset = 0;      // its data, clipped to the file
  uint64_t indxBytes = 0;
};

struct MoviList {
  uint64_t fourccOffset = 0;  // the 'movi' form: what relative 'idx1' offsets count from
  uint64_t begin = 0;         // first chunk
  uint64_t end = 0;           // clipped to the file
};

struct MovieLayout {
  StreamInfo video;  // the first 'vids' stream
  StreamInfo audio;  // the first 'auds' stream
  bool hasHeaderList = false;
  std::vector<MoviList> moviLists;
  bool hasIdx1 = false;
  uint64_t idx1Offset = 0;
  uint64_t idx1Bytes = 0;  // clipped to the file
};

// False when the source is not a RIFF 'AVI ' file.
bool ReadMovieLayout(ByteSource& source, MovieLayout* layout);

}  // namespace clipvane::avi
