#pragma once
// Delivers the 16-bit PCM samples of the movie's audio one channel at a time,
// in whatever block sizes the caller asks for. One grabber serves all channels
// in strict rotation: GetSamples then ConsumeSamples for channel 0, then for
// channel 1, and so on.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace clipvane {

namespace avi {
class AviReader;
}

class CAudioGrabber {
 public:
  virtual ~CAudioGrabber() = default;
  // `count` in: samples wanted for the current channel; out: samples available
  // at the returned address (fewer when the stream is exhausted, 0 when nothing
  // is left). The pointer stays valid until the next call on the grabber.
  virtual const int16_t* GetSamples(int32_t& count) = 0;
  // Drops the first `count` samples of the current channel (clamped to what is
  // queued) and moves on to the next channel.
  virtual void ConsumeSamples(int32_t count) = 0;
};

class CAviAudioGrabber : public CAudioGrabber {
 public:
  // `channels` is the audio format's channel count (1 or 2). The reader is not owned.
  CAviAudioGrabber(avi::AviReader& reader, int32_t channels);
  const int16_t* GetSamples(int32_t& count) override;
  void ConsumeSamples(int32_t count) override;

 private:
  avi::AviReader& reader_;
  int64_t readPosition_ = 0;  // next sample frame of the stream to read
  int32_t channelCount_;
  std::vector<int16_t> queues_[2];
  // Consumed samples at the front of each queue, dropped in batches so that
  // long chunks do not make every step move the whole queue.
  std::size_t heads_[2] = {0, 0};
  int32_t currentChannel_ = 0;
  std::vector<uint8_t> chunk_;  // reused read buffer
};

}  // namespace clipvane
