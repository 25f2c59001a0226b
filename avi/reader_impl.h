#pragma once
// What the reader keeps besides the public index lists: the byte source that
// frame and audio reads go to, and the sorted key-frame numbers.

#include <cstdint>
#include <memory>
#include <vector>

#include "avi/avi_reader.h"
#include "avi/byte_source.h"

namespace clipvane::avi {

struct AviReader::Impl {
  std::unique_ptr<ByteSource> source;
  std::vector<int32_t> keyFrames;  // frame numbers, increasing
};

}  // namespace clipvane::avi
