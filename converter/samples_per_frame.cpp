#include "converter/samples_per_frame.h"

#include <cmath>

namespace clipvane {

int32_t FrameAllotment::Next(float x, int32_t q) {
  float d = float(double(framesHandled_ + 1) * double(x) - double(samplesHandedOut_));
  int32_t a = int32_t(std::ceil(d));
  int32_t b = int32_t(std::ceil(float(a) / float(q)));
  int32_t result = b * q;
  if (result < 0) result = 0;
  framesHandled_ += 1;
  samplesHandedOut_ += result;
  return result;
}

}  // namespace clipvane
