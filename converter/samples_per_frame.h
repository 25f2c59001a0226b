#pragma once
// How many audio samples go with each video frame: always a multiple of the
// codec block, with the rounding surplus of one frame taken back from the next
// ones.

#include <cstdint>

namespace clipvane {

class FrameAllotment {
 public:
  // x: audio samples per video frame; q: the block size (128).
  int32_t Next(float x, int32_t q);

 private:
  // 64-bit so that two passes over a very long movie cannot overflow them.
  int64_t framesHandled_ = 0;     // n
  int64_t samplesHandedOut_ = 0;  // T
};

}  // namespace clipvane
