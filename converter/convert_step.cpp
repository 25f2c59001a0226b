// One video frame per step: the conversion step writes a frame record, the
// collection step runs the same walk with the encoder collecting training data.

#include <cstdio>
#include <cstring>

#include "converter/movie_converter.h"
#include "converter/samples_per_frame.h"

namespace clipvane {

SeekEntry* CMovieConverter::TakeKeyFrame() {
  if (seekCursor_ < keyFrames_.size() && keyFrames_[seekCursor_].frame == uint32_t(frameIndex_)) {
    return &keyFrames_[seekCursor_++];
  }
  return nullptr;
}

bool CMovieConverter::FrameIsPresent(int32_t frame, uint32_t* bytes) const {
  // A chunk that runs past the end of the file (a truncated movie) is where
  // both passes stop.
  return frame < framesAvailable_ && movie_->FrameInFile(frame) && movie_->FrameSize(frame, bytes);
}

int32_t CMovieConverter::NextAllotment() {
  return allotment_.Next(samplesPerFrame_, kBlockSamples);
}

void CMovieConverter::FetchFrameAudio(int32_t samples) {
  // Every channel asks for its samples plus one block of look-ahead and
  // consumes one block fewer than it got, so the look-ahead is delivered again
  // at the start of the next frame. The grabber serves channels 0, 1, 0, 1...
  channelSamples_.resize(header_.audioChannels);
  for (uint32_t c = 0; c < header_.audioChannels; ++c) {
    std::vector<int16_t>& buffer = channelSamples_[c];
    buffer.resize(std::size_t(samples) + kBlockSamples);
    int32_t count = samples + kBlockSamples;
    const int16_t* delivered = channelGrabbers_[c]->GetSamples(count);
    if (count < 0) count = 0;
    if (count > 0) std::memcpy(buffer.data(), delivered, std::size_t(count) * sizeof(int16_t));
    std::fill(buffer.begin() + count, buffer.end(), int16_t(0));
    channelGrabbers_[c]->ConsumeSamples(count > kBlockSamples ? count - kBlockSamples : 0);
  }
}

void CMovieConverter::EncodeChannel(uint32_t c) {
  ChannelFrame& frame = channelFrames_[c];
  AudioEncoderState& state = encoderStates_[c];
  const int16_t* samples = channelSamples_[c].data();
  std::size_t position = 0;
  for (int32_t b = 0; b < frameBlocks_; ++b) {
    // Only the first block of a key frame is a key block, in every channel.
    uint8_t* packet = &frame.packets[position];
    const int32_t size = EncodeAudioBlock(state, samples + std::size_t(b) * kBlockSamples, packet,
                                          frameIsKey_ && b == 0, frameCollects_, quality_);
    frame.sizes[std::size_t(b)] = uint8_t(size);
    position += std::size_t(size);
    if (frameDecodes_) DecodeAudioPacket(decoderStates_[c], packet, &frame.decoded[std::size_t(b) * kBlockSamples]);
  }
}

int32_t CMovieConverter::EncodeFrameAudio(bool keyFrame, bool collect, std::size_t* packetBytes) {
  const int32_t samples = NextAllotment();
  frameBlocks_ = samples / kBlockSamples;
  frameIsKey_ = keyFrame;
  frameCollects_ = collect;
  // The debug sound hears what the conversion writes, not what collection discards.
  frameDecodes_ = debugSoundOn_ && !collect;
  const uint32_t channels = header_.audioChannels;
  const std::size_t blocks = std::size_t(frameBlocks_);
  channelFrames_.resize(channels);
  for (ChannelFrame& frame : channelFrames_) {
    frame.packets.resize(blocks * kMaxPacketBytes + kMaxPacketBytes);
    frame.sizes.resize(blocks);
    if (frameDecodes_) frame.decoded.resize(blocks * kBlockSamples);
  }
  FetchFrameAudio(samples);

  // The channels share nothing but the samples fetched above, so the second
  // channel can be encoded beside the first and give the same packets.
  if (channels == 2 && threads_ > 1 && (lane_.Started() || lane_.Start([this] { EncodeChannel(0); }))) {
    lane_.Post();
    try {
      EncodeChannel(1);
    } catch (...) {
      lane_.Wait();
      throw;
    }
    lane_.Wait();
  } else {
    for (uint32_t c = 0; c < channels; ++c) EncodeChannel(c);
  }

  // Packets go to the record block by block, channel 0 first.
  packetBuffer_.resize(blocks * channels * kMaxPacketBytes);
  std::size_t position = 0;
  std::vector<std::size_t> read(channels, 0);
  for (std::size_t b = 0; b < blocks; ++b) {
    for (uint32_t c = 0; c < channels; ++c) {
      const std::size_t size = channelFrames_[c].sizes[b];
      std::memcpy(&packetBuffer_[position], &channelFrames_[c].packets[read[c]], size);
      read[c] += size;
      position += size;
    }
    if (!frameDecodes_ || !debugSoundFile_.IsOpen()) continue;
    for (uint32_t c = 0; c < channels; ++c) {
      const int16_t* decoded = &channelFrames_[c].decoded[b * kBlockSamples];
      for (int j = 0; j < kBlockSamples; ++j) debugFrame_[c + std::size_t(j) * channels] = decoded[j];
    }
    if (!debugSoundFile_.WriteSamples(int32_t(channels * kBlockSamples * 2), debugFrame_.data()) &&
        !debugSoundFile_.IsOpen()) {
      DebugSoundFailed(std::strerror(debugSoundFile_.LastError()));
    }
  }
  *packetBytes = position;
  return frameBlocks_;
}

bool CMovieConverter::CollectStep() {
  const bool keyFrame = TakeKeyFrame() != nullptr;
  uint32_t frameBytes = 0;
  if (!FrameIsPresent(frameIndex_, &frameBytes)) return false;
  ++frameIndex_;
  if (header_.audioSampleRate == 0) return true;
  if (collectedBlocks_ >= collectLimitBlocks_) {
    // Past what the file's audio can justify: the frame keeps its place in
    // the allotment sequence, which the conversion pass continues.
    NextAllotment();
    return true;
  }
  std::size_t discarded = 0;
  collectedBlocks_ += uint64_t(EncodeFrameAudio(keyFrame, true, &discarded));
  return true;
}

bool CMovieConverter::ConvertStep() {
  if (!output_.IsOpen() || Failed()) return false;

  SeekEntry* key = TakeKeyFrame();
  uint32_t frameBytes = 0;
  bool present = FrameIsPresent(frameIndex_, &frameBytes);
  if (!present || (frameBytes > 0 && !movie_->ReadFrame(frameIndex_, frameBuffer_))) {
    // A key frame that was not converted keeps offset 0, like one not reached.
    if (frameIndex_ == 0) {
      Fail("Error: the first frame of " + inputPath_ + " cannot be read\n");
      return false;
    }
    if (frameIndex_ < totalFrameCount_) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "Warning: frame %d cannot be read; the input announces %d frames, the output holds the "
                    "first %d\n",
                    frameIndex_, totalFrameCount_, frameIndex_);
      warning_ = text;
    }
    Finish();
    return false;
  }
  // A frame of 0 bytes is a dropped frame: it keeps its place in the timeline
  // with an empty video payload, and its audio.
  record_.Begin(frameBuffer_.data(), frameBytes);
  int32_t frameNumber = frameIndex_;
  ++frameIndex_;

  uint16_t blockCount = 0;
  if (header_.audioSampleRate != 0) {
    // At most 32769 blocks: the opening refuses more samples per frame.
    std::size_t packetBytes = 0;
    blockCount = uint16_t(EncodeFrameAudio(key != nullptr, false, &packetBytes));
    record_.AppendAudio(packetBuffer_.data(), packetBytes);
  }

  std::size_t recordBytes = record_.Complete(blockCount);
  if (recordBytes > kMaxFrameRecordBytes) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Error: frame %d needs a record of %zu bytes, more than the %u bytes a frame record can hold\n",
                  frameNumber, recordBytes, unsigned(kMaxFrameRecordBytes));
    Fail(text);
    return false;
  }
  uint64_t tail = uint64_t(header_.audioChannels) * kCodebookImageBytes + keyFrames_.size() * kSeekEntryBytes;
  if (output_.Position() + recordBytes + tail > containerLimit_) {
    Fail("Error: frame " + std::to_string(frameNumber) +
         " would take the output past 4 GiB, the most its 32-bit offsets can address\n");
    return false;
  }
  // The seek entry points where this frame's record starts.
  if (key != nullptr) key->offset = uint32_t(output_.Position());
  output_.Write(record_.Data(), recordBytes);
  if (output_.HadError()) {
    Fail("Error: cannot write " + outputPath_ + "\n");
    return false;
  }
  if (recordBytes > header_.maxFrameRecordSize) header_.maxFrameRecordSize = uint32_t(recordBytes);
  return true;
}

}  // namespace clipvane
