#include "audio_io/audio_grabber.h"

#include <algorithm>

#include "avi/avi_reader.h"

namespace clipvane {

namespace {

constexpr int32_t kMaxChannels = 2;
constexpr uint32_t kBytesPerSample = 2;

// Samples are little-endian in the file whatever the host is.
inline int16_t sampleAt(const uint8_t* bytes) {
  return int16_t(uint16_t(bytes[0] | uint16_t(bytes[1]) << 8));
}

}  // namespace

CAviAudioGrabber::CAviAudioGrabber(avi::AviReader& reader, int32_t channels)
    : reader_(reader), channelCount_(std::clamp<int32_t>(channels, 1, kMaxChannels)) {}

const int16_t* CAviAudioGrabber::GetSamples(int32_t& count) {
  if (count < 0) count = 0;
  // Channel 1's samples arrive with channel 0's reads, so only channel 0 reads.
  if (currentChannel_ == 0) {
    // A sample frame is one sample of every channel; the reader knows the
    // format's own alignment, which is what its positions count in.
    uint32_t frameBytes = reader_.AudioFrameBytes();
    if (frameBytes == 0) frameBytes = uint32_t(channelCount_) * kBytesPerSample;
    while (int64_t(queues_[0].size()) - int64_t(heads_[0]) < int64_t(count)) {
      // One convenient read: from the read position to the end of the stored
      // chunk that holds it, so it always begins on a sample frame's first
      // channel and the de-interleaving below may restart at channel 0.
      const uint32_t bytes = reader_.ReadAudioChunk(readPosition_, chunk_);
      const int64_t frames = int64_t(bytes / frameBytes);
      // A read of nothing ends the stream; so does a tail shorter than one
      // frame, which would otherwise be read again and again.
      if (bytes == 0 || frames == 0) break;
      readPosition_ += frames;

      const uint32_t values = std::min<uint32_t>(bytes, uint32_t(chunk_.size())) / kBytesPerSample;
      const uint8_t* in = chunk_.data();
      if (channelCount_ == 1) {
        std::vector<int16_t>& queue = queues_[0];
        const size_t base = queue.size();
        queue.resize(base + values);
        int16_t* out = queue.data() + base;
        for (uint32_t i = 0; i < values; ++i) out[i] = sampleAt(in + i * kBytesPerSample);
      } else {
        // Value i belongs to channel i % 2; an odd last value goes to channel 0.
        const uint32_t left = (values + 1) / 2;
        const uint32_t right = values / 2;
        const size_t base0 = queues_[0].size();
        const size_t base1 = queues_[1].size();
        queues_[0].resize(base0 + left);
        queues_[1].resize(base1 + right);
        int16_t* out0 = queues_[0].data() + base0;
        int16_t* out1 = queues_[1].data() + base1;
        for (uint32_t i = 0; i < right; ++i) {
          out0[i] = sampleAt(in + (2 * i) * kBytesPerSample);
          out1[i] = sampleAt(in + (2 * i + 1) * kBytesPerSample);
        }
        if (left > right) out0[right] = sampleAt(in + (2 * right) * kBytesPerSample);
      }
    }
  }

  const std::vector<int16_t>& queue = queues_[currentChannel_];
  const size_t head = heads_[currentChannel_];
  const int64_t queued = int64_t(queue.size() - head);
  if (int64_t(count) > queued) count = int32_t(queued);
  // An empty queue still yields a valid address (with count 0), never null
  // arithmetic on an empty vector.
  static const int16_t kNoSamples[1] = {0};
  return queued > 0 ? queue.data() + head : kNoSamples;
}

void CAviAudioGrabber::ConsumeSamples(int32_t count) {
  std::vector<int16_t>& queue = queues_[currentChannel_];
  size_t& head = heads_[currentChannel_];
  const size_t queued = queue.size() - head;
  const size_t drop = count <= 0 ? 0 : std::min(size_t(count), queued);
  head += drop;
  // The remainder moves to the front once the consumed part is at least as
  // long as what is left: the storage is kept, and a movie stored in very
  // long chunks costs a bounded number of moves per sample instead of one
  // move of the whole queue per step.
  if (head > 0 && head >= queue.size() - head) {
    std::copy(queue.begin() + std::ptrdiff_t(head), queue.end(), queue.begin());
    queue.resize(queue.size() - head);
    head = 0;
  }
  currentChannel_ = (currentChannel_ + 1) % channelCount_;
}

}  // namespace clipvane
